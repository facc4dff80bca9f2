#!/usr/bin/env bash
# zel-borrow against the real driver. Run by zel-sim, which serves the display on $ZEL_PTY_COM and
# waits for the host's line, the borrower's line and the host's line again, and then presses F1.
#
#   borrow_check.sh [--wine] command HOST BORROW PORT_USER CELLS
#   borrow_check.sh [--wine] interrupt|key HOST BORROW CELLS
#
# A host (zel-host) opens the display, writes CELLS and waits for F1. Then zel-borrow borrows the
# display and either runs PORT_USER, which writes its own line on the port (command), holds the
# display until it gets SIGINT (interrupt), or waits for a line on its standard input, a pipe
# (key); either way it hands the display back, and the host's line is shown again. With --wine the programs are Windows programs run through tools/wine-run.
# Prints what the programs said; exit status zel-borrow's, or the host's when that failed.
set -uo pipefail
# A borrower that has ended closes the pipe; writing to it then fails instead of ending this script.
trap '' PIPE
run=()
# How long the host waits for F1: less than the test's own time-out, so that a display that never
# comes back fails the test with the host's sentence.
host_timeout=100
if [ "$1" = --wine ]; then
    run=("$(cd "$(dirname "$0")/../.." && pwd)/tools/wine-run")
    host_timeout=400
    shift
fi
mode=$1 host=$2 borrow=$3
shift 3
if [ "$mode" = command ]; then user=$1; shift; fi
cells=$1

early=0
work=$(mktemp -d "${TMPDIR:-/tmp}/zel-borrow-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

"${run[@]}" "$host" --timeout "$host_timeout" open "cells $cells" "wait-key F1" close \
    >"$work/host" 2>&1 &
host_pid=$!
# The host's line is on its way once the host says so.
for _ in $(seq 2400); do
    grep -q '^wrote cells' "$work/host" && break
    kill -0 "$host_pid" 2>/dev/null || break
    sleep 0.1
done

if [ "$mode" = command ]; then
    "${run[@]}" "$borrow" --timeout 60 -- "$user" >"$work/borrow" 2>&1
    status=$?
else
    # Held until SIGINT, or until a line comes through the pipe on its standard input.
    mkfifo "$work/keys"
    if [ "$mode" = interrupt ]; then
        "${run[@]}" "$borrow" --timeout 60 --hold 600 <"$work/keys" >"$work/borrow" 2>&1 &
    else
        "${run[@]}" "$borrow" --timeout 60 <"$work/keys" >"$work/borrow" 2>&1 &
    fi
    borrow_pid=$!
    exec 4>"$work/keys"
    for _ in $(seq 600); do
        grep -q '^borrowed' "$work/borrow" && break
        kill -0 "$borrow_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ "$mode" = interrupt ]; then
        kill -INT "$borrow_pid" 2>/dev/null
    else
        # It must hold the display until its key comes: a borrower that gave it back at once
        # would have ended long before these two seconds are over.
        sleep 2
        kill -0 "$borrow_pid" 2>/dev/null || early=1
        echo >&4 2>/dev/null
    fi
    wait "$borrow_pid"
    status=$?
    exec 4>&-
fi

wait "$host_pid"
host_status=$?
sed 's/^/borrow: /' "$work/borrow"
sed 's/^/host: /' "$work/host"
[ "$host_status" = 0 ] || exit "$host_status"
if [ $early = 1 ]; then
    echo "FAILED: zel-borrow ended before its key came"
    exit 1
fi
exit "$status"

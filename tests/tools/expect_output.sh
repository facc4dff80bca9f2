#!/usr/bin/env bash
# Runs a command and checks its exit status and that its output (stdout and stderr together)
# holds each of the given texts.
#
#   expect_output.sh STATUS [TEXT...] -- COMMAND [ARGS...]
set -uo pipefail
want=$1
shift
texts=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    texts+=("$1")
    shift
done
[ $# -gt 1 ] || { echo "usage: expect_output.sh STATUS [TEXT...] -- COMMAND [ARGS...]" >&2; exit 2; }
shift
output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
failed=0
if [ "$status" != "$want" ]; then
    echo "FAILED: exit status $status, expected $want"
    failed=1
fi
for text in "${texts[@]}"; do
    if ! grep -qF -- "$text" <<<"$output"; then
        echo "FAILED: no '$text' in the output"
        failed=1
    fi
done
exit $failed

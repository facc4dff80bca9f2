# What the package checks share (check_package.sh, check_both.sh, check_signing.sh): their
# working folder and how they report, and the checks that run a package's programs under Wine.
# Sourced; the Wine checks need $root, $expect and $sim, and ZEL_WINEPREFIX and ZEL_WINEARCH
# exported for the prefix.

# start_check LABEL NAME: a temporary folder $work (zel-NAME.XXXXXX) with room for a Wine prefix
# at $prefix, both removed at exit (the prefix's Wine server waited for first); step says what
# comes next, fail what failed, and $failed tells whether anything did.
start_check() {
    check_label=$1
    work=$(mktemp -d "${TMPDIR:-/tmp}/zel-$2.XXXXXX")
    prefix=$work/prefix
    failed=0
    trap end_check EXIT
}
end_check() {
    # The prefix's Wine server ends by itself a few seconds after its last program.
    [ -d "$prefix" ] && WINEPREFIX=$prefix timeout 60 wineserver -w 2>/dev/null
    rm -rf "$work"
}
step() { echo "==== $check_label: $* ($SECONDS s)"; }
fail() { echo "FAILED: $*"; failed=1; }

# demo_with PREFIX HOST_FOLDER PORT: the demo by HOST_FOLDER's zel-host.exe with its own zel.dll
# against the simulated serial display on COM<PORT>.
demo_with() {
    local prefix=$1 folder=$2 port=$3
    # "Hello from ZEL" in 8-dot computer braille, in the host's dot order, as tools/demo writes it.
    local cells="53 11 07 07 15 00 0b 17 15 0d 00 75 51 47"
    "$expect" 0 "driver ZEL, version 0x300, 40 text cells, 2 status cells" \
        "display │⠀⠀│⡓⠑⠇⠇⠕⠀⠋⠗⠕⠍⠀⡵⡑⡇⠀⠀" \
        "key Routing 3" "key F1 0" "key SLDN 0" "closed" \
        -- "$sim" --wineprefix "$prefix" --port "$port" --timeout 120 "wait cells $cells" \
           "route 3" F1 SLDN \
        -- "$root/tools/wine-run" "$folder/zel-host.exe" --timeout 120 open info "cells $cells" \
           "wait-key Routing 3" "wait-key F1" "wait-key SLDN" close
}

# borrow_with PREFIX HOST_FOLDER BORROW_FOLDER PORT_USER PORT: HOST_FOLDER's zel-host.exe and
# driver show a line on COM<PORT>; BORROW_FOLDER's zel-borrow.exe borrows the display, PORT_USER
# writes a line of its own on the port, the display is handed back and the host's line and keys
# come again.
borrow_with() {
    local prefix=$1 host=$2 borrower=$3 port_user=$4 port=$5
    local host_line="53 11 07 07 15"
    local borrower_line
    borrower_line=$(printf ' ff%.0s' $(seq 40))
    "$expect" 0 "borrowed the display: port COM$port, identification bytes 0x12 0x34" \
        "port user: wrote its line on COM$port" "borrow: handed the display back" \
        "host: key F1 0" \
        -- "$sim" --wineprefix "$prefix" --port "$port" --timeout 300 "wait cells $host_line" \
           "wait cells $borrower_line" "wait cells $host_line" F1 \
        -- "$root/tests/tools/borrow_check.sh" --wine command "$host/zel-host.exe" \
           "$borrower/zel-borrow.exe" "$port_user" "$host_line"
}

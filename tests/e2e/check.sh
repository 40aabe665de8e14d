# Assertions for the end-to-end tests: each check prints its verdict; finish
# exits 1 when any failed.
failures=0

check() {
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then
        echo "ok:   $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}

marker_state() { [ -e /tmp/tavrin-fcp-dev ] && echo present || echo absent; }

# Every process listed in PIDS_FILE has ended, the run folder is gone and the
# development marker is as it was.
check_nothing_left() {
    local pids_file=$1 before=$2 name pid
    check "the list of started processes was written" test -s "$pids_file"
    while read -r name pid; do
        if [ "$name" = run ]; then
            check "the run folder $pid is removed" test ! -e "$pid"
        else
            check "$name (pid $pid) has ended" sh -c "! kill -0 $pid"
        fi
    done <"$pids_file"
    check "the development marker is as before ($before)" test "$(marker_state)" = "$before"
}

finish() {
    if [ "$failures" -gt 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks held"
    exit 0
}

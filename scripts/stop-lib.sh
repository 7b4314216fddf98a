# Stopping a background child of the sourcing script (sourced, not run).

# Sends SIGTERM to the child $2 and waits up to $1 seconds for it to end,
# then kills it. Sets stopped_rc to its exit code, or to "timeout" (after a
# line saying so, prefixed with $3).
stop_child_within() {
    local secs=$1 pid=$2 label=$3
    stopped_rc=0
    kill -TERM "$pid" 2>/dev/null || true
    if timeout "$secs" tail --pid="$pid" -f /dev/null; then
        wait "$pid" || stopped_rc=$?
    else
        echo "$label: the launcher did not end within $secs s of SIGTERM"
        kill -KILL "$pid" 2>/dev/null || true
        stopped_rc=timeout
    fi
}

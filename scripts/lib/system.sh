# The running system on one machine: starts the bus and display it lacks, the
# service, the editor, the container app and the panel; waits for each to be
# ready (never for a fixed time); stops everything it started. Sourced by
# scripts/run.sh and the end-to-end tests; it only observes the programs from
# outside (their ready lines, the service's API, `fcp-sim ctl`, the bus).
#
# Settings (environment):
#   TAVRIN_BUILD_DIR   the build folder (default build/default in the source tree)
#   TAVRIN_SERVICE_BIN, TAVRIN_SIM_BIN, TAVRIN_RUNNER_BIN, TAVRIN_APP_BIN,
#   TAVRIN_PANEL_BIN, TAVRIN_CTL_BIN   one program each (default: in the build)
#
# Usage: sys_init RUN_DIR; trap sys_stop_all EXIT; then the sys_start_* calls.

SYS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
SYS_BUILD=${TAVRIN_BUILD_DIR:-$SYS_ROOT/build/default}
SYS_SERVICE_BIN=${TAVRIN_SERVICE_BIN:-$SYS_BUILD/tools/tavrin-service/tavrin-service}
SYS_SIM_BIN=${TAVRIN_SIM_BIN:-$SYS_BUILD/tools/fcp-sim/fcp-sim}
SYS_RUNNER_BIN=${TAVRIN_RUNNER_BIN:-$SYS_BUILD/tools/fcp-sim/fcp-script-runner}
SYS_APP_BIN=${TAVRIN_APP_BIN:-$SYS_BUILD/TavrinFCP/tavrin-fcp}
SYS_PANEL_BIN=${TAVRIN_PANEL_BIN:-$SYS_BUILD/ReviewPanel/review-panel}
SYS_CTL_BIN=${TAVRIN_CTL_BIN:-$SYS_BUILD/tools/tavrinctl}

SYS_DEV_MARKER=/tmp/tavrin-fcp-dev
SYS_DIAG_MARKER=/tmp/tavrin-fcp-diag

SYS_NAMES=()         # what was started, in order
SYS_PIDS=()
SYS_MADE_MARKER=0    # 1: the development marker was created here
SYS_MOVED_DIAG=""    # where the diagnostic marker was put aside
SYS_STOPPED=0

# sys_init RUN_DIR LOG_DIR: RUN_DIR holds the run's private state (bus socket,
# XDG_DATA_HOME) and is removed at the end; LOG_DIR keeps the programs' output.
sys_init() {
    SYS_RUN=$1
    SYS_LOGS=$2
    mkdir -p "$SYS_RUN/xdg" "$SYS_LOGS"
    echo "run $SYS_RUN" >"$SYS_LOGS/pids" # what was started, for checking it is all gone
    SYS_T0=$(date +%s.%N)
    # GTK programs would start an accessibility bus that outlives them.
    export NO_AT_BRIDGE=1
}

# Seconds since sys_init, with one decimal.
sys_elapsed() { awk -v a="$SYS_T0" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

sys_pid_of() {
    local i
    for i in "${!SYS_NAMES[@]}"; do
        [ "${SYS_NAMES[$i]}" = "$1" ] && { echo "${SYS_PIDS[$i]}"; return 0; }
    done
    return 1
}

sys_alive() {
    local pid
    pid=$(sys_pid_of "$1") && kill -0 "$pid" 2>/dev/null
}

# sys_spawn NAME COMMAND...: starts COMMAND in the background, its standard
# output in LOG_DIR/NAME.out and its standard error in LOG_DIR/NAME.err.
sys_spawn() {
    local name=$1
    shift
    "$@" >"$SYS_LOGS/$name.out" 2>"$SYS_LOGS/$name.err" </dev/null &
    sys_started "$name" "$!"
}

sys_started() {
    SYS_NAMES+=("$1")
    SYS_PIDS+=("$2")
    echo "$1 $2" >>"$SYS_LOGS/pids"
}

# Says which program failed to start and why, with the end of its log.
sys_start_failed() {
    local name=$1 reason=$2
    echo "FAILED to start $name: $reason" >&2
    if [ -s "$SYS_LOGS/$name.err" ]; then
        echo "---- last lines of $SYS_LOGS/$name.err" >&2
        tail -n 15 "$SYS_LOGS/$name.err" >&2
        echo "----" >&2
    fi
    return 1
}

# sys_wait NAME SECONDS WHAT COMMAND...: polls COMMAND until it succeeds; fails
# when NAME's process ended first or SECONDS passed.
sys_wait() {
    local name=$1 limit=$2 what=$3
    shift 3
    local deadline
    deadline=$(($(date +%s) + limit))
    until "$@" >/dev/null 2>&1; do
        if [ -n "$name" ] && ! sys_alive "$name"; then
            local status=0
            wait "$(sys_pid_of "$name")" 2>/dev/null || status=$?
            sys_start_failed "$name" "it exited (status $status) before $what"
            return 1
        fi
        if [ "$(date +%s)" -ge "$deadline" ]; then
            sys_start_failed "$name" "not $what within ${limit} s"
            return 1
        fi
        sleep 0.1
    done
}

# Polls COMMAND for up to SECONDS; no process to watch.
sys_poll() {
    local limit=$1
    shift
    local deadline
    deadline=$(($(date +%s) + limit))
    until "$@"; do
        [ "$(date +%s)" -ge "$deadline" ] && return 1
        sleep 0.2
    done
}

sys_announce() { printf '  %-15s ready after %5s s  %s\n' "$1" "$(sys_elapsed)" "$2"; }

sys_bus_reachable() {
    [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] &&
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.GetId >/dev/null 2>&1
}

# A private session bus when none is reachable.
sys_start_bus() {
    if sys_bus_reachable; then
        sys_announce "session bus" "(the session's own)"
        return 0
    fi
    sys_spawn dbus-daemon dbus-daemon --session --nofork --address="unix:path=$SYS_RUN/bus" \
        --print-address=1
    sys_wait dbus-daemon 10 "listening" grep -q unix: "$SYS_LOGS/dbus-daemon.out" || return 1
    export DBUS_SESSION_BUS_ADDRESS
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$SYS_LOGS/dbus-daemon.out")
    sys_announce "private bus" "$DBUS_SESSION_BUS_ADDRESS"
}

sys_display_reachable() { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }

# Xvfb when there is no display; SYS_HEADLESS=1 then.
sys_start_display() {
    SYS_HEADLESS=0
    if sys_display_reachable; then
        sys_announce "display" "$DISPLAY (the session's own)"
        return 0
    fi
    SYS_HEADLESS=1
    # -displayfd: Xvfb picks a free display number and writes it once it accepts clients.
    Xvfb -displayfd 3 -screen 0 1400x720x24 -nolisten tcp 3>"$SYS_RUN/display" \
        >"$SYS_LOGS/Xvfb.out" 2>"$SYS_LOGS/Xvfb.err" </dev/null &
    sys_started Xvfb "$!"
    sys_wait Xvfb 15 "accepting clients" grep -q '[0-9]' "$SYS_RUN/display" || return 1
    export DISPLAY=":$(tr -dc 0-9 <"$SYS_RUN/display")"
    sys_announce "Xvfb" "DISPLAY=$DISPLAY (headless)"
}

# The panel shows the development page (the local service) while the marker
# exists; the diagnostic marker would win, so it is put aside for the run.
sys_set_markers() {
    if [ ! -e "$SYS_DEV_MARKER" ]; then
        : >"$SYS_DEV_MARKER" && SYS_MADE_MARKER=1
    fi
    if [ -e "$SYS_DIAG_MARKER" ]; then
        SYS_MOVED_DIAG="$SYS_RUN/tavrin-fcp-diag"
        mv "$SYS_DIAG_MARKER" "$SYS_MOVED_DIAG"
    fi
}

sys_restore_markers() {
    [ "$SYS_MADE_MARKER" = 1 ] && rm -f "$SYS_DEV_MARKER"
    SYS_MADE_MARKER=0
    if [ -n "$SYS_MOVED_DIAG" ] && [ -e "$SYS_MOVED_DIAG" ]; then
        mv "$SYS_MOVED_DIAG" "$SYS_DIAG_MARKER"
    fi
    SYS_MOVED_DIAG=""
}

# sys_start_service [DATA_DIR] [PORT]: sets SYS_URL and SYS_TOKEN.
sys_start_service() {
    local data=${1:-$SYS_RUN/service} port=${2:-0}
    sys_spawn tavrin-service "$SYS_SERVICE_BIN" --port "$port" --data "$data"
    sys_wait tavrin-service 20 "ready" grep -q '^tavrin-service ready ' \
        "$SYS_LOGS/tavrin-service.out" || return 1
    local line
    line=$(grep -m1 '^tavrin-service ready ' "$SYS_LOGS/tavrin-service.out")
    SYS_URL=$(sed -E 's/.* url=([^ ]+).*/\1/' <<<"$line")
    SYS_TOKEN=$(sed -E 's/.* token=([^ ]+).*/\1/' <<<"$line")
    SYS_PORT=${SYS_URL##*:}
    SYS_DATA=$data
    sys_announce tavrin-service "$SYS_URL (data $data)"
}

sys_start_editor() {
    sys_spawn fcp-sim env XDG_DATA_HOME="$SYS_RUN/xdg" "$SYS_SIM_BIN"
    sys_wait fcp-sim 20 "ready" grep -q '"ready":true' "$SYS_LOGS/fcp-sim.out" || return 1
    sys_announce fcp-sim "$(grep -o '"library":"[^"]*"' "$SYS_LOGS/fcp-sim.out")"
}

sys_app_answers() { "$SYS_CTL_BIN" send cancelExport --timeout 2; }

sys_start_app() {
    mkdir -p "$SYS_RUN/xdg/TavrinFCP"
    : >"$SYS_RUN/xdg/TavrinFCP/first-launch-done" # no install alert over the walkthrough
    sys_spawn tavrin-fcp env XDG_DATA_HOME="$SYS_RUN/xdg" TAVRIN_API_BASE_URL="$SYS_URL" \
        TAVRIN_SCRIPT_RUNNER="$SYS_RUNNER_BIN" TAVRIN_EDITOR_PATHS="$SYS_SIM_BIN" "$SYS_APP_BIN"
    sys_wait tavrin-fcp 30 "answering commands on the bus" sys_app_answers || return 1
    sys_announce tavrin-fcp "answers on the bus"
}

sys_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }

# Ready once its window shows and its page has loaded the project from the service.
sys_panel_ready() {
    [ -n "$(sys_window '^Tavrin$')" ] &&
        tail -n +"$SYS_PANEL_LOG_FROM" "$SYS_LOGS/tavrin-service.err" |
        grep -q 'GET /api/projects/[^/ ]* 200'
}

sys_start_panel() {
    local extra=()
    # WebKitGTK's sandbox cannot start as root (e.g. in a container).
    [ "$(id -u)" = 0 ] && extra+=(WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1)
    [ "$SYS_HEADLESS" = 1 ] && extra+=(WEBKIT_DISABLE_COMPOSITING_MODE=1)
    SYS_PANEL_LOG_FROM=$(($(wc -l <"$SYS_LOGS/tavrin-service.err") + 1))
    # Its web view's data and cache stay in the run folder, not the user's.
    sys_spawn review-panel env "${extra[@]}" XDG_DATA_HOME="$SYS_RUN/xdg" XDG_CACHE_HOME="$SYS_RUN/cache" \
        TAVRIN_DEV_ORIGIN="$SYS_URL" TAVRIN_API_BASE_URL="$SYS_URL" "$SYS_PANEL_BIN"
    sys_wait review-panel 60 "showing the service's page" sys_panel_ready || return 1
    [ "$SYS_HEADLESS" = 1 ] && sys_arrange_windows
    sys_announce review-panel "page $SYS_URL/fcp-panel/login"
}

# Without a window manager (Xvfb) windows open at 0,0: put the panel on the
# left and the editor beside it, so the screenshots show both.
sys_arrange_windows() {
    local panel editor
    panel=$(sys_window '^Tavrin$')
    editor=$(sys_window '^fcp-sim')
    [ -n "$panel" ] && xdotool windowmove "$panel" 0 0
    [ -n "$editor" ] && xdotool windowmove "$editor" 410 0
    return 0
}

# sys_screenshot FILE: the whole screen when headless (both windows side by
# side), else the panel's and the editor's windows one after the other.
sys_screenshot() {
    local file=$1
    if [ "$SYS_HEADLESS" = 1 ]; then
        import -silent -window root -crop 1380x720+0+0 +repage "$file"
    else
        local panel editor
        panel=$(sys_window '^Tavrin$')
        editor=$(sys_window '^fcp-sim')
        import -silent -window "$panel" "${file%.png}-panel.png" &&
            import -silent -window "$editor" "${file%.png}-editor.png"
    fi
}

# sys_stop NAME: SIGTERM, up to 10 s to end, then SIGKILL.
sys_stop() {
    local pid i
    pid=$(sys_pid_of "$1") || return 0
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null
        for ((i = 0; i < 100; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null || true
    for i in "${!SYS_NAMES[@]}"; do
        [ "${SYS_NAMES[$i]}" = "$1" ] && unset 'SYS_NAMES[i]' 'SYS_PIDS[i]'
    done
    SYS_NAMES=("${SYS_NAMES[@]}")
    SYS_PIDS=("${SYS_PIDS[@]}")
    return 0
}

# Stops everything started, newest first, restores the marker files and
# removes the run folder. Safe to call twice.
sys_stop_all() {
    [ "$SYS_STOPPED" = 1 ] && return 0
    set +e # a stopped program's status is no error here
    SYS_STOPPED=1
    local i
    for ((i = ${#SYS_NAMES[@]} - 1; i >= 0; i--)); do
        sys_stop "${SYS_NAMES[$i]}"
    done
    sys_restore_markers
    [ -n "${SYS_RUN:-}" ] && rm -rf "$SYS_RUN"
    return 0
}

# ---- reading the system from outside ------------------------------------------

sys_api() { # METHOD PATH [JSON]
    local args=(-sS --fail-with-body -X "$1" -H "Authorization: Bearer $SYS_TOKEN")
    [ $# -ge 3 ] && args+=(-H 'Content-Type: application/json' --data-binary "$3")
    curl "${args[@]}" "$SYS_URL$2"
}

sys_ctl() { "$SYS_SIM_BIN" ctl "$@"; }

# The editor's marker whose note carries the comment's tag, as JSON (or nothing).
sys_marker_of() { sys_ctl markers | jq -c --arg tag "[tavrin:$1:" 'map(select(.note | startswith($tag))) | .[0] // empty'; }

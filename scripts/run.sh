#!/usr/bin/env bash
# The system's main job: installs what is missing, builds, and runs the whole
# system on this machine: the local service, the simulated editor, the
# container app and the panel (in development mode, on the local service).
#
#   scripts/run.sh             with a display: work in the panel and the editor;
#                              closing the panel ends the run. Without one: --demo.
#   scripts/run.sh --demo      the walkthrough: each step with its result and time,
#                              screenshots, a summary; exit 0 when every step held.
#
# Options: --demo, --data DIR (the service's data; default a fresh folder per
# run), --out DIR (screenshots and logs; default build/run-DATE-TIME),
# --no-build (skip installing and building).
set -euo pipefail
cd "$(dirname "$0")/.."

demo=0 build=1 data="" out=""
while [ $# -gt 0 ]; do
    case $1 in
    --demo) demo=1 ;;
    --no-build) build=0 ;;
    --data | --out)
        [ $# -ge 2 ] && [ -n "$2" ] || { echo "run.sh: $1 needs a folder (see --help)" >&2; exit 2; }
        if [ "$1" = --data ]; then data=$(realpath -m "$2"); else out=$(realpath -m "$2"); fi
        shift ;;
    -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done

if [ "$build" = 1 ]; then
    scripts/install-deps.sh
    cmake --preset default >/dev/null
    cmake --build --preset default -j2 --target tavrin-service fcp-sim fcp-script-runner \
        tavrin-fcp review-panel tavrinctl
fi

. scripts/lib/system.sh
out=${out:-$SYS_ROOT/build/run-$(date +%Y%m%d-%H%M%S)}
mkdir -p "$out"
sys_init "$(mktemp -d /tmp/tavrin-run.XXXXXX)" "$out/logs"
trap sys_stop_all EXIT
trap 'echo "run.sh: interrupted, stopping" >&2; exit 130' INT TERM

echo "== Starting the system (logs in $out/logs)"
sys_start_bus
sys_start_display
sys_set_markers
sys_start_service "$data"
sys_start_editor
sys_start_app
sys_start_panel

if [ "$demo" = 0 ] && [ "$SYS_HEADLESS" = 0 ]; then
    cat <<EOF
== The system is running
  The panel ("Tavrin") shows the review page of $SYS_URL; the editor window is "fcp-sim".
  Add comments in the panel and click them to move the playhead; move the playhead
  in the editor. To try an export: "Watch" in the panel, then have the editor render
  one into that folder:  $SYS_SIM_BIN ctl render-export FOLDER NAME.mp4
  (set DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS in that shell).
  Service token: $SYS_TOKEN
  Close the panel (or press Ctrl-C) to stop everything.
EOF
    wait "$(sys_pid_of review-panel)" || true
    echo "== The panel was closed; stopping the system"
    exit 0
fi

# ---- the walkthrough --------------------------------------------------------------
shots="$out/screenshots"
mkdir -p "$shots"
exports="$out/exports"
mkdir -p "$exports"
steps=() results=()
failed=""

# step TITLE FUNCTION: runs FUNCTION, which sets `result`; prints the line
# with the time since the start when the step ended, and how long it took.
step() {
    local title=$1 fn=$2 t0 t1 status=0
    t0=$(sys_elapsed)
    result=""
    "$fn" || status=$?
    t1=$(sys_elapsed)
    local verdict=OK
    [ $status -eq 0 ] || verdict=FAILED
    printf '[%2d] %6s s  %-6s %s (%s s)\n       %s\n' $((${#steps[@]} + 1)) "$t1" "$verdict" "$title" \
        "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')" "$result"
    steps+=("$title")
    results+=("$verdict")
    if [ $status -ne 0 ] && [ -z "$failed" ]; then
        failed="$title"
    fi
    return 0
}

shot() { sys_screenshot "$shots/$1.png" && result+=" [screenshot $1.png]"; }

project=demo
frame() { awk -v a="$1" -v b="$2" 'BEGIN { d = a - b; exit !(d < 0.05 && d > -0.05) }'; }

comment_text='Trim the intro: “zu lang” — ça coupe trop tôt ✂ 字幕'
comment_at=42.5
comment_id=""

has_marker() { [ -n "$(sys_marker_of "$1" 2>/dev/null)" ]; }

step_comment() {
    local answer marker
    answer=$(sys_api POST "/api/projects/$project/comments" \
        "$(jq -nc --arg c "$comment_text" --argjson t $comment_at \
            '{timestamp: $t, content: $c, userName: "Zoë Reviewer"}')") ||
        { result="the service refused the comment: $answer"; return 1; }
    comment_id=$(jq -r .id <<<"$answer")
    if ! sys_poll 20 has_marker "$comment_id"; then
        result="comment $comment_id: no tagged marker in the editor within 20 s"
        return 1
    fi
    # the page may still be writing it: wait until the note is the one it sends
    marker=$(sys_marker_of "$comment_id")
    local note="[tavrin:$comment_id:open] $comment_text"
    if [ "$(jq -r .note <<<"$marker")" != "$note" ]; then
        result="marker note is $(jq -c .note <<<"$marker"), expected \"$note\""
        return 1
    fi
    frame "$(jq -r .start <<<"$marker")" $comment_at ||
        { result="marker at $(jq -r .start <<<"$marker") s, expected $comment_at s"; return 1; }
    result="comment $comment_id became marker $(jq -c '{start, value, note}' <<<"$marker")"
    shot 1-comment-marker
}

# The page highlights the comment when the panel asks the container app for the
# marker under the new playhead and gets this comment's marker back: seen on the bus.
bus_answered_marker() {
    tail -c +"$bus_from" "$SYS_LOGS/bus-monitor.out" |
        awk -v id="$comment_id" '/getMarkerAtTime/ { asked = 1 } asked && index($0, id) { found = 1 } END { exit !found }'
}

step_playhead() {
    sys_ctl playhead 1 >/dev/null
    bus_from=$(($(stat -c %s "$SYS_LOGS/bus-monitor.out") + 1))
    local answer
    answer=$(sys_ctl playhead $comment_at) || { result="fcp-sim ctl playhead failed"; return 1; }
    frame "$(jq -r .seconds <<<"$answer")" $comment_at ||
        { result="the playhead is at $answer"; return 1; }
    if ! sys_poll 15 bus_answered_marker; then
        result="playhead at $(jq -r .seconds <<<"$answer") s, but the panel did not look up the comment's marker within 15 s"
        return 1
    fi
    result="playhead at $(jq -r .seconds <<<"$answer") s; the panel found marker $comment_id there and the page highlights it"
    shot 2-playhead-highlight
}

resolved_marker() { [[ "$(sys_marker_of "$comment_id" | jq -r .note)" == "[tavrin:$comment_id:resolved]"* ]]; }

step_resolve() {
    sys_api PATCH "/api/comments/$comment_id" '{"resolved":true}' >/dev/null ||
        { result="the service refused to resolve the comment"; return 1; }
    sys_poll 20 resolved_marker ||
        { result="the marker's tag did not change to resolved within 20 s: $(sys_marker_of "$comment_id")"; return 1; }
    result="marker note now $(sys_marker_of "$comment_id" | jq -c .note)"
    shot 3-resolved
}

export_name="Demo Cut"
step_start_export() {
    local answer
    answer=$("$SYS_CTL_BIN" send startExport "$(jq -nc --arg p $project --arg t "$SYS_TOKEN" \
        --arg n "$export_name" --arg f "$exports" \
        '{projectId: $p, token: $t, name: $n, outputFolder: $f}')" --timeout 10) ||
        { result="startExport got no answer"; return 1; }
    [ "$answer" = true ] || { result="startExport answered $answer"; return 1; }
    result="startExport answered true; the container app watches $exports"
}

# The videos with that SHA-256 uploaded by this run (with --data, an earlier
# run's upload of the same file may already be listed).
new_videos() {
    sys_api GET "/api/projects/$project/videos" | jq .videos |
        jq -c --arg s "$1" --argjson old "$videos_before" 'map(select(.sha256 == $s and (.id | IN($old[]) | not)))'
}
ready_video() { new_videos "$1" | jq -e 'map(select(.status == "ready")) | length > 0' >/dev/null; }

step_export() {
    local render sha size videos_before
    videos_before=$(sys_api GET "/api/projects/$project/videos" | jq -c '[.videos[].id]') ||
        { result="the service did not list the videos"; return 1; }
    render=$(sys_ctl render-export "$exports" "$export_name.mp4" --bytes 7340032 --seconds 1) ||
        { result="the editor did not render the export"; return 1; }
    sha=$(jq -r .sha256 <<<"$render")
    size=$(jq -r .size <<<"$render")
    if ! sys_poll 40 ready_video "$sha"; then
        result="rendered $size bytes (sha256 $sha), but no new ready video with that SHA-256 within 40 s: $(sys_api GET "/api/projects/$project/videos" | jq .videos | jq -c 'map({id, name, status, sha256})')"
        return 1
    fi
    local video
    video=$(new_videos "$sha" | jq -c 'map(select(.status == "ready"))[0] | {id, name, status, size, sha256}')
    [ "$(jq -r .size <<<"$video")" = "$size" ] || { result="video $video, rendered $size bytes"; return 1; }
    result="rendered $size bytes; the service shows $video"
    shot 4-export-uploaded
}

echo "== Walkthrough (screenshots in $shots)"
sys_arrange_windows # the screenshots show both windows whole
sys_spawn bus-monitor dbus-monitor --session "interface='com.tavrin.Notifications'"
shot 0-started >/dev/null || true
step "A reviewer's comment on the service becomes a tagged marker in the editor" step_comment
step "The editor's playhead jumps to it and the page highlights the comment" step_playhead
step "Resolving it on the service updates the marker's tag" step_resolve
step "The export flow starts as the page starts it" step_start_export
step "An export rendered by the editor is uploaded and ready with its SHA-256" step_export

echo "== Summary"
for i in "${!steps[@]}"; do
    printf '  %-6s %s\n' "${results[$i]}" "${steps[$i]}"
done
echo "  ${#steps[@]} steps in $(sys_elapsed) s; screenshots in $shots; logs in $out/logs"
if [ -n "$failed" ]; then
    echo "== FAILED at: $failed"
    exit 1
fi
echo "== Every step held"
exit 0

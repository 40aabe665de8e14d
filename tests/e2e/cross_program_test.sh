#!/usr/bin/env bash
# Cases a user meets across the programs, on the running system: two comments
# at once, the editor not running, the service down during an upload. Seen
# only from outside: the service's API, `fcp-sim ctl`, `tavrinctl send`, logs.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tests/e2e/check.sh"
. "$root/scripts/lib/system.sh"

tmp=$(mktemp -d /tmp/tavrin-e2e.XXXXXX)
marker_before=$(marker_state)
unset DISPLAY DBUS_SESSION_BUS_ADDRESS
sys_init "$(mktemp -d /tmp/tavrin-run.XXXXXX)" "$tmp/logs"
trap 'sys_stop_all; rm -rf "$tmp"' EXIT

if ! { sys_start_bus && sys_start_display && sys_set_markers && sys_start_service "$tmp/data" &&
    sys_start_editor && sys_start_app && sys_start_panel; }; then
    echo "FAIL: the system did not start"
    exit 1
fi

note_of() { sys_marker_of "$1" | jq -r .note; }
post_comment() { # SECONDS TEXT -> the new comment's id
    sys_api POST /api/projects/demo/comments "$(jq -nc --argjson t "$1" --arg c "$2" \
        '{timestamp: $t, content: $c, userName: "Łukasz"}')" | jq -r .id
}
notes_are() { # ID TEXT [ID TEXT...]: each comment's marker carries its open tag and text
    while [ $# -gt 0 ]; do
        [ "$(note_of "$1")" = "[tavrin:$1:open] $2" ] || return 1
        shift 2
    done
}

echo "== Two comments made at once both become markers, non-ASCII text intact"
text_a='Farbe prüfen — «trop saturé» 🎨'
text_b='カット点を2フレーム後ろへ'
post_comment 20 "$text_a" >"$tmp/a" &
first=$!
post_comment 21 "$text_b" >"$tmp/b"
wait "$first"
id_a=$(cat "$tmp/a") id_b=$(cat "$tmp/b")
check "both comments were made ($id_a, $id_b)" test -n "$id_a" -a -n "$id_b"
check "both markers are in the editor with their text" sys_poll 20 notes_are "$id_a" "$text_a" "$id_b" "$text_b"

echo "== The editor not running: the sync answers false and nothing is lost"
library=$(grep -o '"library":"[^"]*"' "$SYS_LOGS/fcp-sim.out" | cut -d'"' -f4)
sys_ctl quit
check "the editor has ended" sys_poll 10 sh -c "! kill -0 $(sys_pid_of fcp-sim)"
sys_stop fcp-sim
record='{"comment":{"id":"c-offline","timestamp":30,"timestampEnd":null,"userName":"Ana","content":"Später","resolved":false}}'
check "syncComment answers false without the editor" \
    test "$("$SYS_CTL_BIN" send syncComment "$record" --timeout 30)" = false
check "the editor's library still holds both markers" grep -q "$id_b" "$library"
mv "$SYS_LOGS/fcp-sim.out" "$SYS_LOGS/fcp-sim-1.out"
sys_start_editor >/dev/null
check "the restarted editor shows both markers" notes_are "$id_a" "$text_a" "$id_b" "$text_b"
check "the same sync succeeds once the editor is back" \
    test "$("$SYS_CTL_BIN" send syncComment "$record" --timeout 30)" = true
check "its marker is there beside the others" notes_are c-offline 'Später'
check "the earlier markers are kept" notes_are "$id_a" "$text_a" "$id_b" "$text_b"

echo "== The service down during an upload: the upload fails with a log line, the next export uploads"
exports="$tmp/exports"
mkdir -p "$exports"
config=$(jq -nc --arg t "$SYS_TOKEN" --arg f "$exports" '{projectId: "demo", token: $t, name: "Cut", outputFolder: $f}')
check "startExport answers true" test "$("$SYS_CTL_BIN" send startExport "$config" --timeout 10)" = true
port=$SYS_PORT
sys_ctl render-export "$exports" first.mp4 --bytes 6000000 --seconds 0.5 >/dev/null
sys_stop tavrin-service # before the export has been quiet long enough to be sent
check "the failed upload is logged with the file" \
    sys_poll 30 grep -q "upload of $exports/first.mp4 failed" "$SYS_LOGS/tavrin-fcp.err"
mv "$SYS_LOGS/tavrin-service.out" "$SYS_LOGS/tavrin-service-1.out"
mv "$SYS_LOGS/tavrin-service.err" "$SYS_LOGS/tavrin-service-1.err"
sys_start_service "$tmp/data" "$port" >/dev/null
sha=$(sys_ctl render-export "$exports" second.mp4 --bytes 6000000 --seconds 0.5 | jq -r .sha256)
ready() { sys_api GET /api/projects/demo/videos | jq -e --arg s "$sha" '.videos | map(select(.status == "ready" and .sha256 == $s)) | length == 1'; }
check "the next export is uploaded and ready with its SHA-256" sys_poll 40 ready

sys_stop_all
check_nothing_left "$tmp/logs/pids" "$marker_before"
finish

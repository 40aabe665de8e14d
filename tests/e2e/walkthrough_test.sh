#!/usr/bin/env bash
# The main job's headless walkthrough, as run.sh runs it: every step holds,
# the screenshots are images of the screen, and nothing it started is left.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tests/e2e/check.sh"

tmp=$(mktemp -d /tmp/tavrin-e2e.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
marker_before=$(marker_state)

env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS "$root/scripts/run.sh" --demo --no-build \
    --out "$tmp/out" >"$tmp/output" 2>&1
status=$?
cat "$tmp/output"

check "run.sh exits 0" [ "$status" -eq 0 ]
check "it ends saying every step held" grep -q '^== Every step held$' "$tmp/output"
for title in "becomes a tagged marker in the editor" "the page highlights the comment" \
    "updates the marker's tag" "The export flow starts" "uploaded and ready with its SHA-256"; do
    check "step held: $title" grep -Eq "^\[ ?[0-9]+\] +[0-9.]+ s  OK +.*$title" "$tmp/output"
done
for shot in 1-comment-marker 2-playhead-highlight 3-resolved 4-export-uploaded; do
    check "screenshot $shot is a 1380x720 PNG" \
        test "$(identify -format '%m %wx%h' "$tmp/out/screenshots/$shot.png" 2>/dev/null)" = "PNG 1380x720"
done
check_nothing_left "$tmp/out/logs/pids" "$marker_before"
finish

#!/usr/bin/env bash
# The system's main job. Installs what is missing, builds, and runs it.
# Until the container app and panel exist, this reads the markers of a sample
# timeline and writes them back as a marker document, with tavrinctl.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2 --target tavrinctl

ctl=build/default/tools/tavrinctl
echo "== Markers read from samples/timeline.fcpxml"
"$ctl" markers read samples/timeline.fcpxml
echo "== The same markers written as a marker document"
"$ctl" markers read samples/timeline.fcpxml | "$ctl" markers write

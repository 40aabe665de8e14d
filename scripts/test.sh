#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs the whole test suite.
# Usage: scripts/test.sh [ctest arguments...]   e.g. scripts/test.sh -L unit
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j2
ctest --preset default "$@"

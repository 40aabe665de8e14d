#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Safe to run any number of times; asks apt only for what is missing.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ pkg-config clang clang-format libclang-rt-14-dev
    # libraries
    nlohmann-json3-dev libglib2.0-dev libwebkit2gtk-4.1-dev libgtk-3-dev libcurl4-openssl-dev libcli11-dev
    libsqlite3-dev libssl-dev
    # tests, benchmarks and tools
    libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libicu-dev libpugixml-dev
    libxtst-dev
    curl procps
    # the main job and the end-to-end tests: JSON, window placement, screenshots
    jq xdotool x11-utils imagemagick
    # run time
    dbus dbus-x11 xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"

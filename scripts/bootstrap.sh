#!/usr/bin/env bash
# Installs every Debian package Taln needs to build, test, benchmark and run.
# The one list of system dependencies: `make run` and `make test` both call this.
set -euo pipefail

packages=(
    # toolchain
    build-essential cmake pkg-config clang libclang-rt-14-dev
    # libraries Taln links
    libfftw3-dev
    libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
    libsdl2-dev
    libebur128-dev
    qt6-base-dev qt6-base-dev-tools libgl-dev
    # the live layer: the LV2 plugin and taln-mic, the PipeWire microphone
    lv2-dev libpipewire-0.3-dev
    # tests and benchmarks
    libgtest-dev libgmock-dev libbenchmark-dev
    ffmpeg sox hyperfine
    # the live tests: lv2ls and lv2apply, and a private PipeWire session for taln-mic
    lilv-utils pipewire pipewire-bin wireplumber dbus
    # the Debian package and its checks
    dpkg-dev desktop-file-utils appstream lintian
    # looking at the window without a display
    xvfb xauth imagemagick adwaita-icon-theme
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

echo "bootstrap: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

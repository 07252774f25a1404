#!/usr/bin/env bash
# Builds what a plug-in ships into dist/: one wheel per Python found on this machine (3.10 and
# 3.11 each get their own; 3.12 and newer share one stable-ABI wheel), repaired by auditwheel and
# tagged manylinux_2_28, and an sdist. The module is built for glibc 2.28 with the compiler of
# build_third_party.sh (Zig, cmake/zig-x86_64-linux-gnu.2.28.cmake) and links its static
# third-party libraries, so it needs nothing beyond the manylinux policy's system libraries; the
# wheels carry those libraries' licence texts in their .dist-info/licenses/third-party/.
# Pythons are looked up as pythonX.Y on PATH and under pyenv's versions; PYTHONS="path..."
# chooses them instead. Build trees are kept under build/, so a second run is incremental.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# --windows [--probe]: the Windows wheel instead (scripts/windows/build_wheel.sh).
[ "${1:-}" != --windows ] || exec scripts/windows/build_wheel.sh "${@:2}"
t0=$SECONDS

[ -x .venv/bin/auditwheel ] || scripts/setup.sh
echo "third-party libraries:"
scripts/build_third_party.sh
prefix="$root/build/third-party/prefix"

. scripts/find_python.sh
pythons=()
if [ -n "${PYTHONS:-}" ]; then
    read -r -a pythons <<<"$PYTHONS"
else
    for v in 3.10 3.11; do p="$(find_python $v)"; [ -z "$p" ] || pythons+=("$p"); done
    # One stable-ABI wheel serves 3.12 and newer: build it with the oldest of them.
    for v in 3.12 3.13; do p="$(find_python $v)"; [ -z "$p" ] || { pythons+=("$p"); break; }; done
fi
[ ${#pythons[@]} -gt 0 ] || { echo "no Python 3.10 to 3.13 found" >&2; exit 1; }

mkdir -p dist build/wheel/raw
# (The Windows wheels stay.)
find dist -maxdepth 1 -name 'tavrel-*.whl' ! -name '*-win_amd64.whl' -delete
rm -f dist/tavrel-*.tar.gz build/wheel/raw/*.whl
for py in "${pythons[@]}"; do
    v="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    env="build/wheel/env-$v"
    log="build/wheel/build-$v.log"
    echo "wheel for Python $v (log: $log)"
    if [ ! -x "$env/bin/python" ]; then
        "$py" -m venv "$env"
        "$env/bin/python" -m pip install -q --upgrade pip >"$log" 2>&1 || { cat "$log"; exit 1; }
        "$env/bin/python" -m pip install -q scikit-build-core nanobind build >>"$log" 2>&1 ||
            { cat "$log"; exit 1; }
    fi
    "$env/bin/python" -m pip wheel --no-build-isolation --no-deps -w build/wheel/raw \
        -C "build-dir=build/wheel/{wheel_tag}" \
        -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$root/cmake/zig-x86_64-linux-gnu.2.28.cmake" \
        -C "cmake.define.TAV_ZIG_TOOLCHAIN=$root/build/third-party/zig" \
        -C "cmake.define.TAV_THIRD_PARTY_PREFIX=$prefix" . >"$log" 2>&1 || { cat "$log"; exit 1; }
done

for whl in build/wheel/raw/*.whl; do
    # The tag of the glibc it was built for, even where it happens to need an older one only.
    PATH="$root/.venv/bin:$PATH" auditwheel repair --plat manylinux_2_28_x86_64 --only-plat \
        -w dist "$whl" >build/wheel/repair.log 2>&1 ||
        { cat build/wheel/repair.log; exit 1; }
done
# The licence texts of the libraries linked in go with every wheel (the project's own LICENSE is
# there already, from pyproject.toml).
"$root/.venv/bin/python" scripts/wheel_licenses.py "$prefix/share/licenses" dist/tavrel-*manylinux*.whl
"$env/bin/python" -m build --sdist --no-isolation -o dist . >build/wheel/sdist.log 2>&1 ||
    { cat build/wheel/sdist.log; exit 1; }

for f in dist/tavrel-*; do
    awk -v f="$(basename "$f")" -v n="$(stat -c %s "$f")" \
        'BEGIN { printf "  %-60s %5.1f MB\n", f, n / 1048576 }'
done
echo "built in $((SECONDS - t0)) s"

#!/usr/bin/env bash
# Developer build without reinstalling: compiles the extension into build/dev-NAME and stages an
# importable package in build/dev-NAME/stage (use PYTHONPATH=build/dev-NAME/stage). Further
# arguments go to cmake's configure step (for example -DCMAKE_CXX_FLAGS=...); TARGET=name builds
# only that target.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
name="${1:-main}"
shift || true
bdir="$root/build/dev-$name"
cmake -S "$root" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython_EXECUTABLE="${VENV:-$root/.venv}/bin/python" "$@" >/dev/null
cmake --build "$bdir" ${TARGET:+--target "$TARGET"}
stage="$bdir/stage/tavrel"
mkdir -p "$stage"
for f in "$root"/src/tavrel/*.py; do ln -sf "$f" "$stage/"; done
cp -f "$bdir"/tav_core*.so "$stage/"
echo "PYTHONPATH=$bdir/stage"

#!/usr/bin/env bash
# Writes dist/tavrel_blender-VERSION.zip, the Blender add-on archive. One folder, tavrel_blender/,
# serves both ways Blender installs add-ons:
#   - Blender 3.x to 4.1 (Debian's 3.4 among them): a legacy add-on; its __init__.py carries
#     bl_info and unpacks the bundled wheel on first enable;
#   - Blender 4.2 and newer: an extension; blender_manifest.toml lists the wheel, which Blender
#     installs itself.
# The wheel is for the Python named by PYTHON (default: the .venv's); it must be the Python minor
# version of the Blender that installs the add-on. A manylinux wheel in dist/ for that Python is
# used where one was built (scripts/build_wheels.sh); otherwise the repository builds one with
# pip wheel, which links this machine's FFmpeg and so suits Blender on this kind of system.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
[ -x .venv/bin/python ] || scripts/setup.sh
python="${PYTHON:-$root/.venv/bin/python}"
tag="$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
version="$(sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)"
addon_version="$(sed -n 's/^ *"version": (\([0-9]*\), \([0-9]*\), \([0-9]*\)),/\1.\2.\3/p' \
                 src/tavrel/blender/__init__.py)"

wheel="$(ls dist/tavrel-"$version"-"$tag"-*manylinux*.whl 2>/dev/null | tail -n 1 || true)"
if [ -z "$wheel" ]; then
    rm -rf build/addon-wheel
    "$python" -m pip wheel -q --no-deps --no-build-isolation -w build/addon-wheel . ||
        "$python" -m pip wheel -q --no-deps -w build/addon-wheel .
    wheel="$(ls build/addon-wheel/tavrel-"$version"-"$tag"-*.whl | tail -n 1)"
fi

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
addon="$stage/tavrel_blender"
mkdir -p "$addon/wheels" dist
cp src/tavrel/blender/__init__.py "$addon/"
cp "$wheel" "$addon/wheels/"
cat > "$addon/blender_manifest.toml" <<TOML
schema_version = "1.0.0"
id = "tavrel_blender"
version = "$addon_version"
name = "Tavrel"
tagline = "Drive a camera with the Tavrel phone app"
maintainer = "The tavrel developers"
type = "add-on"
blender_version_min = "4.2.0"
license = ["SPDX:GPL-3.0-or-later"]
platforms = ["linux-x64"]
wheels = ["./wheels/$(basename "$wheel")"]

[permissions]
network = "Serves the Tavrel phone app over TCP"
TOML
archive="$root/dist/tavrel_blender-$addon_version.zip"
rm -f "$archive"
(cd "$stage" && "$python" -c 'import shutil, sys; shutil.make_archive(sys.argv[1][:-4], "zip", ".", "tavrel_blender")' "$archive")
echo "$archive (core: $(basename "$wheel"))"

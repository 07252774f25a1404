#!/usr/bin/env bash
# Writes dist/tavrel_blender-VERSION.zip, the Blender add-on archive. One folder, tavrel_blender/,
# serves both ways Blender installs add-ons:
#   - Blender 3.x to 4.1 (Debian's 3.4 among them): a legacy add-on; its __init__.py carries
#     bl_info and unpacks the bundled wheel for Blender's Python on first enable;
#   - Blender 4.2 and newer: an extension; blender_manifest.toml lists the wheels, and Blender
#     installs the one for its Python itself.
# The archive carries the shipped wheels of dist/ (scripts/build_wheels.sh, run here where they
# are missing) for Python 3.10 and 3.11 (Blender 4.2 to 5.0 run 3.11), and for 3.12 and 3.13
# (Blender 5.1 and newer run 3.13) the stable-ABI wheel tagged for each of them: Blender takes
# the Pythons an extension supports from its wheels' tags, and where a stable-ABI wheel sits
# beside version-specific ones it counts only the versions named. It also carries the licence
# texts, the project's and those of the libraries the wheels link.
# The Windows wheels of dist/ (scripts/build_wheels.sh --windows) go in too when they are there,
# or, with --windows, are built first where they are missing; the manifest then names
# windows-x64 beside linux-x64.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
version="$(sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)"
addon_version="$(sed -n 's/^ *"version": (\([0-9]*\), \([0-9]*\), \([0-9]*\)),/\1.\2.\3/p' \
                 src/tavrel/blender/__init__.py)"
licenses="build/third-party/prefix/share/licenses"
win_licenses="build/third-party/x86_64-w64-mingw32/prefix/share/licenses"
case "${1:-}" in
    "") windows=0 ;;
    --windows) windows=1 ;;
    *) echo "usage: $0 [--windows]" >&2; exit 2 ;;
esac

linux_wheels() { ls dist/tavrel-"$version"-*manylinux*.whl 2>/dev/null || true; }
windows_wheels() { ls dist/tavrel-"$version"-*-win_amd64.whl 2>/dev/null || true; }
wheels() { linux_wheels; windows_wheels; }
[ -n "$(linux_wheels)" ] && [ -f "$licenses/VERSIONS" ] || scripts/build_wheels.sh >&2
if [ $windows -eq 1 ] && { [ -z "$(windows_wheels)" ] || [ ! -f "$win_licenses/VERSIONS" ]; }; then
    scripts/build_wheels.sh --windows >&2
fi
platforms='"linux-x64"'
[ -z "$(windows_wheels)" ] || platforms='"linux-x64", "windows-x64"'

stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
addon="$stage/tavrel_blender"
mkdir -p "$addon/wheels" "$addon/licenses" dist
cp src/tavrel/blender/__init__.py LICENSE "$addon/"
cp -r "$licenses" "$addon/licenses/third-party"
[ -z "$(windows_wheels)" ] || cp -r "$win_licenses" "$addon/licenses/third-party-windows"
for w in $(wheels); do
    case "$w" in
        *-abi3-*) cp "$w" "$stage/"
                  for minor in 12 13; do
                      .venv/bin/wheel tags --python-tag "cp3$minor" --abi-tag "cp3$minor" \
                          "$stage/$(basename "$w")" >/dev/null
                  done
                  mv "$stage"/tavrel-*-cp31[23]-cp31[23]-*.whl "$addon/wheels/" ;;
        *) cp "$w" "$addon/wheels/" ;;
    esac
done
listed=()
for w in "$addon"/wheels/*.whl; do listed+=("\"./wheels/$(basename "$w")\""); done
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
platforms = [$platforms]
wheels = [$(IFS=,; echo "${listed[*]}" | sed 's/,/, /g')]

[permissions]
network = "Serves the Tavrel phone app over TCP"
TOML
archive="$root/dist/tavrel_blender-$addon_version.zip"
rm -f "$archive"
(cd "$stage" && python3 -c 'import shutil, sys; shutil.make_archive(sys.argv[1][:-4], "zip", ".", "tavrel_blender")' "$archive")
echo "$archive (cores: $(cd "$addon/wheels" && echo *.whl))"

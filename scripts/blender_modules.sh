#!/usr/bin/env bash
# Prepares Blender as a Python module (the registry's bpy, a real Blender build of about 400 MB)
# for the tests, one virtual environment per release under build/bpy/env-VERSION, with bpy and its
# dependencies installed. The wheels are downloaded once and kept in build/bpy/wheels; a second
# run only checks. Prints one line per release: "VERSION PYTHON" (the environment's interpreter).
#
#   scripts/blender_modules.sh [VERSION...]     (default: every release below)
#
# The releases: the two LTS lines on Python 3.11 and the newest 5.x on Python 3.13.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$root/scripts/find_python.sh"
declare -A python_of=([4.2.23]=3.11 [4.5.15]=3.11 [5.3.0]=3.13)
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(4.2.23 4.5.15 5.3.0)

top="$root/build/bpy"
mkdir -p "$top/wheels"
for version in "${versions[@]}"; do
    pv="${python_of[$version]:-}"
    [ -n "$pv" ] || { echo "blender_modules.sh: no Python known for bpy $version" >&2; exit 2; }
    env="$top/env-$version"
    log="$top/env-$version.log"
    if [ ! -f "$env/.ready" ]; then
        py="$(find_python "$pv")"
        [ -n "$py" ] || { echo "blender_modules.sh: bpy $version needs Python $pv" >&2; exit 1; }
        t0=$SECONDS
        echo "bpy $version: setting up $env (log: $log)" >&2
        rm -rf "$env"
        {
            "$py" -m venv "$env" &&
            "$env/bin/python" -m pip download -q --no-deps --only-binary=:all: \
                -d "$top/wheels" "bpy==$version" &&
            "$env/bin/python" -m pip install -q --find-links "$top/wheels" "bpy==$version"
        } >"$log" 2>&1 || { cat "$log" >&2; echo "setting up bpy $version failed" >&2; exit 1; }
        touch "$env/.ready"
        echo "bpy $version: ready in $((SECONDS - t0)) s" >&2
    fi
    echo "$version $env/bin/python"
done

#!/usr/bin/env bash
# Starts Blender on the current DISPLAY with the Tavrel add-on enabled and serving on port N
# (default 0: any free port; the add-on prints the connection string) in pull mode, from this
# repository: its Python sources and the core module that scripts/setup.sh built into .venv.
# Installs Blender and the build through the set-up where they are missing. Arguments after
# --port go to Blender unchanged; the exit status is Blender's.
#
#   scripts/blender.sh [--port N] [BLENDER ARGS...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
port=0
if [ "${1:-}" = "--port" ]; then
    [ $# -ge 2 ] || { echo "blender.sh: --port needs a number" >&2; exit 2; }
    port="$2"
    shift 2
fi
if ! [[ "$port" =~ ^[0-9]+$ ]] || [ "$port" -gt 65535 ]; then
    echo "blender.sh: --port must be 0 to 65535" >&2
    exit 2
fi
if ! command -v blender >/dev/null || [ ! -x "$root/.venv/bin/python" ]; then
    "$root/scripts/setup.sh"
fi
core="$("$root/.venv/bin/python" -c 'import tavrel.tav_core as m; print(m.__file__)')"

# The add-on as Blender loads it: the package from the sources with the built core beside it,
# and the add-on module tavrel_blender (its entry file).
stage="$root/build/blender-dev"
mkdir -p "$stage/tavrel" "$stage/tavrel_blender"
for f in "$root"/src/tavrel/*.py; do ln -sfn "$f" "$stage/tavrel/"; done
ln -sfn "$root/src/tavrel/blender" "$stage/tavrel/blender"
ln -sfn "$core" "$stage/tavrel/"
ln -sfn "$root/src/tavrel/blender/__init__.py" "$stage/tavrel_blender/__init__.py"

export PYTHONPATH="$stage${PYTHONPATH:+:$PYTHONPATH}"
exec blender --python-expr "import tavrel.blender.launch as l; l.main($port)" "$@"

# Sourced by the scripts that need a given Python: find_python X.Y prints the path of a working
# pythonX.Y, from PATH or else the newest under pyenv's versions, or nothing.
find_python() {
    local v="$1" c
    local pyenv="${PYENV_ROOT:-$HOME/.pyenv}"
    for c in "$(command -v "python$v" || true)" \
             $(ls -d "$pyenv"/versions/"$v".*/bin/"python$v" 2>/dev/null | sort -V -r); do
        if [ -n "$c" ] && "$c" -c 'import sys' >/dev/null 2>&1; then echo "$c"; return; fi
    done
}

#!/usr/bin/env bash
# Runs a Windows program under Wine, in a Wine prefix of our own (one per checkout, under
# ~/.cache/tavrel, not in the source tree: its drive z: is a link to /, which a walk of the tree
# that follows links, as the sdist's does, would take into the whole file system) that is
# prepared on first use (quietly: no Mono or Gecko installers, no debug output), with a time
# limit. The program's exit code is passed on; 124 means it ran out of time.
#
# usage: scripts/wine.sh [--time-limit SECONDS] PROGRAM.exe [ARGUMENTS...]
#        scripts/wine.sh --prepare        (only prepares the prefix)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
limit=120
prepare_only=0
case "${1:-}" in
    --time-limit) limit="$2"; shift 2 ;;
    --prepare) prepare_only=1; shift ;;
esac
[ $prepare_only -eq 1 ] || [ $# -ge 1 ] || { sed -n '2,9p' "$0" >&2; exit 2; }
command -v wine >/dev/null || { echo "wine is not installed (Debian: wine64)" >&2; exit 1; }

export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tavrel/wine-$(printf %s "$root" | sha256sum | cut -c1-12)}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64

if [ ! -f "$WINEPREFIX/.prepared" ]; then
    mkdir -p "$WINEPREFIX"
    log="$WINEPREFIX-prepare.log"
    t0=$SECONDS
    if ! timeout 300 wine wineboot --init >"$log" 2>&1 || ! timeout 120 wineserver --wait >>"$log" 2>&1; then
        cat "$log" >&2; echo "preparing the Wine prefix $WINEPREFIX failed" >&2; exit 1
    fi
    touch "$WINEPREFIX/.prepared"
    echo "wine: prefix prepared in $((SECONDS - t0)) s ($WINEPREFIX)" >&2
fi
[ $prepare_only -eq 0 ] || exit 0

# The wineserver outlives the program by a few seconds unless told otherwise; a run that times
# out takes the whole prefix's processes down with it.
status=0
timeout --kill-after=5 "$limit" wine "$@" || status=$?
[ $status -ne 124 ] || { wineserver --kill || true; echo "wine: '$1' ran out of its $limit s" >&2; }
exit $status

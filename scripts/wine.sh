#!/usr/bin/env bash
# Runs a Windows program under Wine, in a Wine prefix of our own (one per checkout, under
# ~/.cache/tavrel, not in the source tree: its drive z: is a link to /, which a walk of the tree
# that follows links, as the sdist's does, would take into the whole file system) that is
# prepared on first use (quietly: no Mono or Gecko installers, no debug output), with a time
# limit. The program's exit code is passed on; 124 means it ran out of time.
#
# With TAVREL_NEWER_WINE=1 it is Debian 13's Wine (10.0), for what Debian 12's Wine 8 cannot run
# (Blender 5.x as a Python module): in a root of its own made once with debootstrap (about two
# minutes, 700 MB, kept beside the prefixes), entered through a private mount namespace that shows
# it this system's /proc, /sys, /dev, /tmp, the checkout and this cache; a prefix of its own.
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
[ $prepare_only -eq 1 ] || [ $# -ge 1 ] || { sed -n '2,14p' "$0" >&2; exit 2; }
command -v wine >/dev/null || { echo "wine is not installed (Debian: wine64)" >&2; exit 1; }

cache="${XDG_CACHE_HOME:-$HOME/.cache}/tavrel"
name="wine-$(printf %s "$root" | sha256sum | cut -c1-12)"
wine=(wine)
wineserver=(wineserver)
if [ -n "${TAVREL_NEWER_WINE:-}" ]; then
    newer="$cache/wine-10-root"
    if [ ! -f "$newer/.ready" ]; then
        echo "wine: making the root of Debian 13's Wine in $newer" >&2
        rm -rf "$newer"
        debootstrap --variant=minbase --include=wine64,wine trixie "$newer" >"$newer.log" 2>&1 ||
            { cat "$newer.log" >&2; echo "debootstrap failed" >&2; exit 1; }
        touch "$newer/.ready"
    fi
    enter='mount --make-rprivate /
for d in /proc /sys /dev /tmp "$WINE_CACHE" "$PWD"; do mkdir -p "$0$d"; mount --rbind "$d" "$0$d"; done
exec chroot "$0" sh -c "cd \"\$0\" && exec \"\$@\"" "$PWD" "$@"'
    export WINE_CACHE="$cache"
    wine=(unshare -m bash -c "$enter" "$newer" wine)
    wineserver=(unshare -m bash -c "$enter" "$newer" wineserver)
    name="$name-wine10"
fi
export WINEPREFIX="${WINEPREFIX:-$cache/$name}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64

if [ ! -f "$WINEPREFIX/.prepared" ]; then
    mkdir -p "$WINEPREFIX"
    log="$WINEPREFIX-prepare.log"
    t0=$SECONDS
    if ! timeout 300 "${wine[@]}" wineboot --init >"$log" 2>&1 ||
        ! timeout 120 "${wineserver[@]}" --wait >>"$log" 2>&1; then
        cat "$log" >&2; echo "preparing the Wine prefix $WINEPREFIX failed" >&2; exit 1
    fi
    touch "$WINEPREFIX/.prepared"
    echo "wine: prefix prepared in $((SECONDS - t0)) s ($WINEPREFIX)" >&2
fi
[ $prepare_only -eq 0 ] || exit 0

# The wineserver outlives the program by a few seconds unless told otherwise; a run that times
# out takes the whole prefix's processes down with it.
status=0
timeout --kill-after=5 "$limit" "${wine[@]}" "$@" || status=$?
[ $status -ne 124 ] || { "${wineserver[@]}" --kill || true; echo "wine: '$1' ran out of its $limit s" >&2; }
exit $status

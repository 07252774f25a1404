#!/usr/bin/env bash
# Installs what building for Windows and testing under Wine need, when it is missing: Debian's
# mingw-w64 C++ compiler (posix threads) and binutils, Wine (64-bit), doctest, osslsigncode
# (the signatures of the Windows Python builds) and debootstrap (the root of a newer Wine). apt's output goes to build/windows-install.log;
# the terminal shows one line.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
debs=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 doctest-dev osslsigncode
      debootstrap)
missing=()
for d in "${debs[@]}"; do
    dpkg-query -W -f='${Status}' "$d" 2>/dev/null | grep -q "install ok installed" || missing+=("$d")
done
[ ${#missing[@]} -gt 0 ] || exit 0
mkdir -p "$root/build"
log="$root/build/windows-install.log"
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
printf 'installing %s ... ' "${missing[*]}"
if $sudo apt-get update >"$log" 2>&1 &&
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >>"$log" 2>&1; then
    echo done
else
    echo FAILED; cat "$log"; echo "installing the Windows toolchain failed (log: $log)" >&2; exit 1
fi

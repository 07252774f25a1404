#!/usr/bin/env bash
# Writes the C and C++ compilers of the Linux wheels into DIR/bin (cc, c++): Zig's clang (the
# registry's ziglang, in .venv) building for x86_64 Linux with glibc 2.28, so what they build runs
# on every system of the manylinux_2_28 policy. Zig links its own C++ runtime (libc++) statically.
# DIR/include/X11 links the system's X11 headers, the one system library (beyond the C library,
# which comes with Zig) the module compiles against. Prints a line naming the compiler, for the
# keys of builds that must follow it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:?usage: $0 DIR}"
target=x86_64-linux-gnu.2.28

zig="$("$root/.venv/bin/python" -c \
    'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))' 2>/dev/null)" ||
    { echo "no ziglang in .venv (scripts/setup.sh installs it)" >&2; exit 1; }
mkdir -p "$dir/bin" "$dir/include"
# (The system's X11, whatever pkg-config search the caller set up.)
x11="$(env -u PKG_CONFIG_LIBDIR -u PKG_CONFIG_PATH pkg-config --variable=includedir x11)/X11"
[ -d "$x11" ] || { echo "no X11 headers (libx11-dev)" >&2; exit 1; }
ln -sfn "$x11" "$dir/include/X11"
for tool in cc c++; do
    # A build without an -O flag is Zig's debug build, which traps on undefined behaviour: a
    # configure script's test programs must behave as with any other compiler.
    printf '#!/bin/sh\nexec "%s" %s -target %s -fno-sanitize=undefined -isystem "%s" "$@"\n' \
        "$zig" "$tool" "$target" "$dir/include" >"$dir/bin/$tool.new"
    chmod +x "$dir/bin/$tool.new"
    mv -f "$dir/bin/$tool.new" "$dir/bin/$tool"
done
# (This script's own text stands for the flags.)
echo "zig $("$zig" version) $target $(cksum <"${BASH_SOURCE[0]}")"

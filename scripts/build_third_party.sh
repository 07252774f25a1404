#!/usr/bin/env bash
# Builds the third-party libraries a wheel carries, static and position independent, into
# build/third-party/prefix, with the Linux wheels' compiler (scripts/zig_toolchain.sh: Zig for
# glibc 2.28, in build/third-party/zig): libvpx (the VP9 encoder alone, real time, CPU features
# detected at run time), a small FFmpeg (libavcodec with the libvpx VP9 encoder, libavfilter with
# the filters the encoder's graph uses, libswscale, libavutil), libqrencode, libpng and zlib, and
# the licence texts of what a wheel carries in build/third-party/prefix/share/licenses (with
# VERSIONS, the source each came from). The sources are Debian's source packages, fetched with apt
# through a deb-src list of our own under build/third-party/apt (the system's apt configuration is
# left alone). Each library is rebuilt, from a fresh source tree, only when its source version,
# its configuration or the compiler changes, so a second run takes seconds. Output of the builds
# goes to build/third-party/LIB.log; the terminal shows a line a library.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
top="$root/build/third-party"
prefix="$top/prefix"
jobs="$(nproc)"
mkdir -p "$top/src" "$prefix"

# The target: this machine (the default), or --windows for 64-bit Windows, cross-built with
# mingw-w64 (posix threads) into build/third-party/x86_64-w64-mingw32/prefix.
target=native
case "${1:-}" in
    "") ;;
    --windows) target=windows ;;
    *) echo "usage: $0 [--windows]" >&2; exit 2 ;;
esac

# --- sources ---------------------------------------------------------------------------------
apt_dir="$top/apt"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o APT::Sandbox::User=root -qq)

apt_source_list() {
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache"
    . /etc/os-release
    local suite="${VERSION_CODENAME:?no Debian code name in /etc/os-release}"
    printf '%s\n' \
        "deb-src http://deb.debian.org/debian $suite main" \
        "deb-src http://deb.debian.org/debian $suite-updates main" \
        "deb-src http://deb.debian.org/debian-security $suite-security main" >"$apt_dir/sources.list"
    # Refresh the index at most once a day.
    if [ -z "$(find "$apt_dir/lists" -maxdepth 1 -name '*Sources*' -mtime -1 2>/dev/null)" ]; then
        apt-get "${apt_opts[@]}" update >"$apt_dir/update.log" 2>&1 ||
            { cat "$apt_dir/update.log"; echo "apt-get update for the source list failed" >&2; exit 1; }
    fi
}

# fetch PACKAGE: unpacks Debian's source of PACKAGE into $top/src and prints its directory. The
# Debian patches are applied where the whole source package can be had; a mirror that serves
# only the upstream archive gives the upstream source (said on standard error).
fetch() {
    local pkg="$1" dl="$top/src/$pkg-download" dir
    mkdir -p "$dl"
    (cd "$dl" && apt-get "${apt_opts[@]}" source --download-only "$pkg" >"$dl/fetch.log" 2>&1) ||
        # A mirror without the security suite's files: the release's own version.
        (cd "$dl" && apt-get "${apt_opts[@]}" source --download-only \
            "$pkg/$(. /etc/os-release && echo "$VERSION_CODENAME")" >>"$dl/fetch.log" 2>&1) || true
    local dsc orig
    dsc="$(ls -t "$dl"/*.dsc 2>/dev/null | head -1 || true)"
    orig="$(ls "$dl"/*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -1 || true)"
    [ -n "$orig" ] || { cat "$dl/fetch.log" >&2; echo "no source for $pkg" >&2; exit 1; }
    dir="$top/src/$pkg"
    if [ -f "$dir/.from" ] && grep -qxF -e "$(basename "${dsc:-none}")" -e "$(basename "$orig")" "$dir/.from"; then
        echo "$dir"; return
    fi
    rm -rf "$dir"
    if [ -n "$dsc" ] && (cd "$dl" && dpkg-source --no-check -x "$dsc" "$dir" >>"$dl/fetch.log" 2>&1); then
        basename "$dsc" >"$dir/.from"
    else
        echo "  $pkg: the Debian source package is incomplete on the mirror; using the upstream archive" >&2
        rm -rf "$dir"; mkdir -p "$dir"
        tar -xf "$orig" -C "$dir" --strip-components=1
        basename "$orig" >"$dir/.from"
    fi
    echo "$dir"
}

# --- builds ----------------------------------------------------------------------------------
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
export CFLAGS="-O2 -fPIC"

# The compiler, where it is not the one the configuration names (it goes into the builds' keys).
compiler=""
# build NAME PACKAGE CONFIG FUNCTION: runs FUNCTION in the unpacked source of PACKAGE unless the
# same source and CONFIG were built before with the same $compiler. (FUNCTION runs where errexit
# does not apply: it chains its steps with &&.)
build() {
    local name="$1" pkg="$2" config="$3" fn="$4" src stamp
    src="$(fetch "$pkg")"
    stamp="$prefix/.$name-$(printf '%s\n%s\n%s' "$(cat "$src/.from")" "$config" "$compiler" |
        sha256sum | cut -c1-16)"
    if [ -f "$stamp" ]; then echo "  $name: cached"; return; fi
    local t0=$SECONDS
    # Objects of another compiler or configuration must not survive: a tree built in before is
    # unpacked afresh.
    if [ -n "$(find "$src" -name '*.o' -print -quit)" ]; then
        rm -f "$src/.from"
        src="$(fetch "$pkg")"
    fi
    echo "  $name: building from $(cat "$src/.from") (log: ${top#"$root"/}/$name.log)"
    rm -f "$prefix/.$name-"*
    (cd "$src" && "$fn" "$config") >"$top/$name.log" 2>&1 ||
        { tail -n 60 "$top/$name.log"; echo "building $name failed (log: $top/$name.log)" >&2; exit 1; }
    touch "$stamp"
    echo "  $name: built in $((SECONDS - t0)) s"
}

vpx_config="--enable-static --disable-shared --enable-pic --disable-vp8 --enable-vp9-encoder
 --disable-vp9-decoder --enable-realtime-only --enable-runtime-cpu-detect --disable-vp9-highbitdepth
 --disable-examples --disable-tools --disable-docs --disable-unit-tests --disable-install-docs
 --disable-install-bins --disable-install-srcs --as=nasm"
build_vpx() {
    # libvpx chooses its own optimisation level; keep the generic CFLAGS out of its way.
    CFLAGS="" ./configure --prefix="$prefix" --target=x86_64-linux-gcc $1 && make -j"$jobs" &&
        make install
}

ffmpeg_config="--enable-static --disable-shared --enable-pic --pkg-config-flags=--static
 --disable-programs --disable-doc --disable-everything --disable-autodetect --disable-network
 --disable-avdevice --disable-avformat --disable-swresample --disable-postproc --enable-libvpx
 --enable-encoder=libvpx_vp9 --enable-filter=buffer,buffersink,scale,vflip,format
 --enable-runtime-cpudetect --enable-x86asm --disable-debug"
build_ffmpeg() {
    # Zig's C library headers are the newest glibc's, which dropped sys/sysctl.h (2.32), while its
    # glibc 2.28 still links sysctl(), so configure finds the call; FFmpeg uses it on BSDs only.
    CFLAGS="" ./configure --prefix="$prefix" --cc="$CC" --cxx="$CXX" \
        --extra-cflags="-I$prefix/include" --extra-ldflags="-L$prefix/lib" $1 &&
        sed -i 's/^#define HAVE_SYSCTL 1$/#define HAVE_SYSCTL 0/' config.h &&
        make -j"$jobs" && make install
}

qrencode_config="--enable-static --disable-shared --with-pic --without-tools"
build_autotools() {
    ./configure --prefix="$prefix" CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" $1 &&
        make -j"$jobs" && make install
}
build_zlib() {
    ./configure --prefix="$prefix" $1 && make -j"$jobs" libz.a && make install
}

png_config="--enable-static --disable-shared --with-pic --disable-tools"

# --- Windows (x86_64-w64-mingw32) ------------------------------------------------------------
# The same libraries with the same configuration, plus zlib (which Windows lacks), static, into a
# prefix of their own. Their sources unpack afresh under build/third-party/x86_64-w64-mingw32/src,
# since the native builds leave their objects in their own source trees. Their licence texts go to
# that prefix's share/licenses, with zlib's and those of MinGW-w64's runtime, which the Windows
# module links statically.
win_host=x86_64-w64-mingw32
win_top="$top/$win_host"

win_build_vpx() {
    CFLAGS="" CROSS="$win_host-" ./configure --prefix="$prefix" \
        --target=x86_64-win64-gcc $1 && make -j"$jobs" && make install
}
win_build_ffmpeg() {
    # Windows threads, so the libraries need no pthreads runtime.
    CFLAGS="" ./configure --prefix="$prefix" --arch=x86_64 --target-os=mingw32 \
        --cross-prefix="$win_host-" --pkg-config=pkg-config --enable-w32threads \
        --extra-cflags="-I$prefix/include" --extra-ldflags="-L$prefix/lib" $1 &&
        make -j"$jobs" && make install
}
win_build_autotools() {
    build_autotools "--host=$win_host $1"
}
win_build_zlib() {
    CHOST="$win_host" build_zlib "$1"
}
# CPython's headers for Windows (Include/ with PC/pyconfig.h) and import libraries of python3.dll
# (the stable ABI) and pythonXY.dll, made with dlltool from the symbols its sources declare,
# into $prefix/pythonX.Y. An extension links one of them; nothing of CPython is built.
win_python_dev() {
    local v dir
    v="$(sed -n 's/^#define PY_VERSION[[:space:]]*"\([0-9]*\.[0-9]*\).*/\1/p' Include/patchlevel.h)" &&
        dir="$prefix/python$v" && rm -rf "$dir" && mkdir -p "$dir/lib" &&
        cp -a Include "$dir/include" &&
        # (3.13 ships it as a template whose only blank is the free-threaded build: left off.)
        { cp PC/pyconfig.h "$dir/include/" 2>/dev/null || cp PC/pyconfig.h.in "$dir/include/pyconfig.h"; } &&
        python3 "$root/scripts/windows/python_def.py" . "$dir/lib" &&
        for def in "$dir"/lib/*.def; do
            "$win_host-dlltool" -d "$def" -l "${def%/*}/lib$(basename "$def" .def).a" || return
        done
}
# The import libraries follow the script that lists their symbols.
python_def="python_def.py $(cksum <"$root/scripts/windows/python_def.py")"
# The stable ABI of Python 3.12, which the abi3 wheel and nanobind's stable ABI build need, is
# not in Debian 12's CPython 3.11: its headers come from Debian 13's python3.13 source package
# (a module built with them for Py_LIMITED_API 3.12 loads in 3.12 and newer).
win_python_stable_abi() {
    local list="$top/apt-trixie"
    local apt_opts=(-o "Dir::Etc::SourceList=$list/sources.list" -o Dir::Etc::SourceParts=/dev/null
                    -o "Dir::State::Lists=$list/lists" -o "Dir::Cache=$list/cache"
                    -o APT::Sandbox::User=root -qq)
    mkdir -p "$list/lists/partial" "$list/cache"
    echo "deb-src http://deb.debian.org/debian trixie main" >"$list/sources.list"
    if [ -z "$(find "$list/lists" -maxdepth 1 -name '*Sources*' -mtime -1 2>/dev/null)" ]; then
        apt-get "${apt_opts[@]}" update >"$list/update.log" 2>&1 ||
            { cat "$list/update.log"; echo "apt-get update for Debian 13's sources failed" >&2; exit 1; }
    fi
    build win-python3.13 python3.13 "$python_def" win_python_dev
}
build_windows() {
    command -v "$win_host-gcc-posix" >/dev/null ||
        { echo "no $win_host-gcc-posix: install g++-mingw-w64-x86-64-posix" >&2; exit 1; }
    local top="$win_top"
    prefix="$win_top/prefix"
    export PKG_CONFIG_PATH="$prefix/lib/pkgconfig" PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig"
    export CFLAGS="-O2" CC="$win_host-gcc-posix" CXX="$win_host-g++-posix"
    mkdir -p "$prefix"
    build win-zlib zlib "--static" win_build_zlib
    build win-libvpx libvpx "$vpx_config" win_build_vpx
    build win-ffmpeg ffmpeg "$ffmpeg_config" win_build_ffmpeg
    build win-qrencode qrencode "$qrencode_config" win_build_autotools
    build win-libpng libpng1.6 "$png_config" win_build_autotools
    build win-python3.11 python3.11 "$python_def" win_python_dev
    win_python_stable_abi
}
# notice NAME PACKAGE LICENCE FILES...: the licence texts FILES of PACKAGE's source, for what the
# wheels and the add-on ship, and a line in VERSIONS naming the source they came from.
notice() {
    local name="$1" pkg="$2" licence="$3" src
    shift 3
    src="$(fetch "$pkg")"
    mkdir -p "$licenses/$name"
    for f in "$@"; do cp "$src/$f" "$licenses/$name/"; done
    printf '%s\t%s\t%s\n' "$name" "$(sed 's/\.\(dsc\|orig\.tar\..*\)$//' "$src/.from")" "$licence" \
        >>"$licenses/VERSIONS"
}
# notices: the texts of the libraries built into $prefix, in $prefix/share/licenses.
notices() {
    licenses="$prefix/share/licenses"
    rm -rf "$licenses"
    mkdir -p "$licenses"
    notice ffmpeg ffmpeg LGPL-2.1-or-later LICENSE.md COPYING.LGPLv2.1
    notice libvpx libvpx BSD-3-Clause LICENSE PATENTS
    notice qrencode qrencode LGPL-2.1-or-later COPYING
    notice libpng libpng1.6 libpng-2.0 LICENSE
    notice zlib zlib Zlib LICENSE
}

apt_source_list
if [ "$target" = windows ]; then
    build_windows
    top="$win_top"
    notices
    # The Windows module links MinGW-w64's runtime statically: winpthreads and the CRT start-up
    # code (mingw-w64-common's notice), libgcc and libstdc++ (GCC's runtime library exception).
    for pkg in mingw-w64-common gcc-mingw-w64-x86-64-posix-runtime; do
        mkdir -p "$licenses/mingw-w64-runtime/$pkg"
        cp "/usr/share/doc/$pkg/copyright" "$licenses/mingw-w64-runtime/$pkg/copyright"
        printf '%s\t%s (the toolchain'"'"'s)\t%s\n' "mingw-w64-runtime/$pkg" \
            "${pkg}_$(dpkg-query -W -f '${Version}' "$pkg")" "see copyright" >>"$licenses/VERSIONS"
    done
    exit 0
fi
compiler="$("$root/scripts/zig_toolchain.sh" "$top/zig")"
export CC="$top/zig/bin/cc" CXX="$top/zig/bin/c++"
build zlib zlib "--static" build_zlib
build libvpx libvpx "$vpx_config" build_vpx
build ffmpeg ffmpeg "$ffmpeg_config" build_ffmpeg
build qrencode qrencode "$qrencode_config" build_autotools
build libpng libpng1.6 "$png_config" build_autotools
notices

# Builds the Linux wheels' module for x86_64 Linux with glibc 2.28 (the manylinux_2_28 policy)
# with the compilers scripts/zig_toolchain.sh writes into TAV_ZIG_TOOLCHAIN (its DIR): Zig's
# clang, its C library stubs of that glibc and its libc++, linked in statically. Only the policy's
# system libraries come from this machine (X11's headers through the toolchain, its libraries
# from the system's library folders).
set(TAV_ZIG_TOOLCHAIN "" CACHE PATH "The folder scripts/zig_toolchain.sh wrote")
if(NOT TAV_ZIG_TOOLCHAIN)
  message(FATAL_ERROR "This toolchain needs -DTAV_ZIG_TOOLCHAIN=DIR (scripts/zig_toolchain.sh DIR)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAV_ZIG_TOOLCHAIN)
set(CMAKE_C_COMPILER "${TAV_ZIG_TOOLCHAIN}/bin/cc")
set(CMAKE_CXX_COMPILER "${TAV_ZIG_TOOLCHAIN}/bin/c++")
# Zig's compiler names no system folders; X11's libraries are found where Debian keeps them too.
set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
# Its X11 headers are a link to the system's alone (the system's folder of them holds glibc's too).
set(TAV_TOOLCHAIN_HAS_X11_HEADERS ON)
# nanobind's headers (3.1) use stderr without including <cstdio>: libstdc++'s headers bring it in
# on the way, libc++'s do not, nor do Python's headers for the stable ABI.
set(CMAKE_CXX_FLAGS_INIT "-include cstdio")

# Cross-builds for 64-bit Windows with Debian's mingw-w64 (the posix threads variant, which
# offers std::thread). The C and C++ runtimes and winpthread are linked statically, so what is
# built needs no MinGW DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAV_WIN_HOST x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TAV_WIN_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAV_WIN_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${TAV_WIN_HOST}-windres)
set(CMAKE_AR ${TAV_WIN_HOST}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TAV_WIN_HOST}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TAV_WIN_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# CMake packages such as nanobind's are sources and scripts, found where the build machine has them.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Windows 10 and newer.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00)
set(TAV_WIN_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
# MinGW keeps debug symbols inside the binary: release builds drop them.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${TAV_WIN_STATIC_RUNTIME}")
  set(CMAKE_${kind}_LINKER_FLAGS_RELEASE_INIT "-s")
endforeach()

# Programs built here run under Wine.
find_program(TAV_WINE wine)
if(TAV_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAV_WINE})
endif()

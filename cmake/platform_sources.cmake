# The platform layer's files for a build: src/tav_core/platform/ has one folder per system (linux/,
# macos/, win/, x11/ for the screen grab of X11 systems) and posix/ for what every POSIX system
# offers. A facility is a file name; a system overrides one by having a file of that name, and the
# build takes, per facility, the file of the first folder in its list that has one. This is the
# one place that rule and each system's folders live: CMakeLists.txt includes it, and
# scripts/check_platforms.sh runs it (cmake -DTAV_SYSTEM=macos -P cmake/platform_sources.cmake
# prints a system's files; -DTAV_PLATFORM_DIRS=posix those of the given folders).

# tav_build_system(OUT): the system this build is for: windows, portable (TAV_PORTABLE_POSIX),
# macos or linux.
function(tav_build_system out)
  if(WIN32)
    set(${out} windows PARENT_SCOPE)
  elseif(TAV_PORTABLE_POSIX)
    set(${out} portable PARENT_SCOPE)
  elseif(APPLE)
    set(${out} macos PARENT_SCOPE)
  else()
    set(${out} linux PARENT_SCOPE)
  endif()
endfunction()

# tav_platform_dirs(OUT SYSTEM): the folders of SYSTEM (linux, macos, windows, or portable: the
# portable POSIX build), first choice first.
function(tav_platform_dirs out system)
  if(system STREQUAL "windows")
    set(dirs win)
  elseif(system STREQUAL "portable")
    set(dirs x11 posix)
  elseif(system STREQUAL "macos")
    set(dirs macos posix)
  else()
    set(dirs linux x11 posix)
  endif()
  set(${out} ${dirs} PARENT_SCOPE)
endfunction()

# tav_platform_sources(OUT DIR...): per facility, the file of the first DIR that has one.
function(tav_platform_sources out)
  set(root "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../src/tav_core/platform")
  set(facilities "")
  set(sources "")
  foreach(dir IN LISTS ARGN)
    if(CMAKE_SCRIPT_MODE_FILE)
      file(GLOB files "${root}/${dir}/*.cpp")
    else()
      file(GLOB files CONFIGURE_DEPENDS "${root}/${dir}/*.cpp")
    endif()
    foreach(file IN LISTS files)
      get_filename_component(facility "${file}" NAME)
      if(NOT facility IN_LIST facilities)
        list(APPEND facilities "${facility}")
        get_filename_component(file "${file}" REALPATH)
        list(APPEND sources "${file}")
      endif()
    endforeach()
  endforeach()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(TAV_SYSTEM)
    tav_platform_dirs(TAV_PLATFORM_DIRS ${TAV_SYSTEM})
  endif()
  tav_platform_sources(sources ${TAV_PLATFORM_DIRS})
  foreach(file IN LISTS sources)
    message(NOTICE "${file}")
  endforeach()
endif()

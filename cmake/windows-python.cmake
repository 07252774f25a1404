# Stands in for find_package(Python) when a module is cross-built for Windows: CPython's headers
# and import libraries under TAV_WINDOWS_PYTHON (scripts/build_third_party.sh --windows installs
# them as .../prefix/pythonX.Y), and the build machine's own interpreter for nanobind's tools.
# Gives what nanobind's CMake package expects: Python::Interpreter, Python::Module (linking
# pythonXY.dll), Python::SABIModule (linking the stable ABI's python3.dll), Python_VERSION and the
# Windows file name suffixes.
if(NOT IS_DIRECTORY "${TAV_WINDOWS_PYTHON}/include")
  message(FATAL_ERROR "TAV_WINDOWS_PYTHON: no CPython headers under '${TAV_WINDOWS_PYTHON}'")
endif()
file(STRINGS "${TAV_WINDOWS_PYTHON}/include/patchlevel.h" _tav_py_line
     REGEX "^#define PY_VERSION[ \t]+\"[0-9]+\\.[0-9]+\\.[0-9]+")
string(REGEX MATCH "([0-9]+)\\.([0-9]+)\\.([0-9]+)" Python_VERSION "${_tav_py_line}")
set(Python_VERSION_MAJOR ${CMAKE_MATCH_1})
set(Python_VERSION_MINOR ${CMAKE_MATCH_2})
set(Python_INTERPRETER_ID Python)
set(Python_INCLUDE_DIRS "${TAV_WINDOWS_PYTHON}/include")
set(Python_FOUND TRUE)
set(_tav_py_dll python${Python_VERSION_MAJOR}${Python_VERSION_MINOR})

find_program(Python_EXECUTABLE NAMES python3 REQUIRED NO_CMAKE_FIND_ROOT_PATH)
add_executable(Python::Interpreter IMPORTED)
set_target_properties(Python::Interpreter PROPERTIES IMPORTED_LOCATION "${Python_EXECUTABLE}")

# MinGW's compiler is not MSVC, so PC/pyconfig.h needs to be told it targets 64-bit Windows.
foreach(_tav_py_target Module SABIModule)
  add_library(Python::${_tav_py_target} INTERFACE IMPORTED)
  set_target_properties(Python::${_tav_py_target} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${Python_INCLUDE_DIRS}"
    INTERFACE_COMPILE_DEFINITIONS MS_WIN64)
endforeach()
set_target_properties(Python::Module PROPERTIES
  INTERFACE_LINK_LIBRARIES "${TAV_WINDOWS_PYTHON}/lib/lib${_tav_py_dll}.a")
set_target_properties(Python::SABIModule PROPERTIES
  INTERFACE_LINK_LIBRARIES "${TAV_WINDOWS_PYTHON}/lib/libpython3.a")

set(NB_SUFFIX ".cp${Python_VERSION_MAJOR}${Python_VERSION_MINOR}-win_amd64.pyd")
set(NB_SUFFIX_S ".pyd")

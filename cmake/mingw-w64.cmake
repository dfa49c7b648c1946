# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix, the
# variant with C++ threads):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The programs run under Wine (wine64) where it is installed, so the tests run with ctest here.
# Header-only CLI11 and nlohmann-json come from the build machine through a folder holding only
# their directories; GoogleTest is built from Debian's source package (googletest). libftdi1,
# the Python package, the benchmarks and kavro view (cpp-httplib) are not built for Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KAVRO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KAVRO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVRO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVRO_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KAVRO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthread linked in: the DLLs and programs need no MinGW DLLs
# beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Where the build machine's header-only libraries and GoogleTest are found (config files of
# this folder).
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-w64 CACHE PATH "")
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-w64 CACHE PATH "")
set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-w64 CACHE PATH "")

set(KAVRO_WITH_LIBFTDI OFF CACHE BOOL "")
set(KAVRO_BUILD_PYTHON OFF CACHE BOOL "")
set(KAVRO_BUILD_BENCHMARKS OFF CACHE BOOL "")

# Wine's loader lies outside PATH on Debian (dpkg -L wine64).
find_program(KAVRO_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KAVRO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVRO_WINE})
endif()

# CLI11 (header-only) for the Windows cross-build: the build machine's headers.
include(${CMAKE_CURRENT_LIST_DIR}/host_headers.cmake)
kavro_host_headers(CLI11::CLI11 CLI)
set(CLI11_FOUND TRUE)

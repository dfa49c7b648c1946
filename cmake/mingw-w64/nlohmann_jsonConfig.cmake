# nlohmann-json (header-only) for the Windows cross-build: the build machine's headers.
include(${CMAKE_CURRENT_LIST_DIR}/host_headers.cmake)
kavro_host_headers(nlohmann_json::nlohmann_json nlohmann)
set(nlohmann_json_FOUND TRUE)

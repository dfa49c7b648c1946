# The version of Debian's nlohmann-json3-dev, from its own version file.
set(PACKAGE_VERSION 0)
file(GLOB _kavro_json_version /usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake
     /usr/lib/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
if(_kavro_json_version)
  list(GET _kavro_json_version 0 _kavro_json_version)
  file(STRINGS ${_kavro_json_version} _kavro_line REGEX "set\\(PACKAGE_VERSION \"[0-9.]+\"\\)")
  string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" PACKAGE_VERSION "${_kavro_line}")
endif()
if(PACKAGE_VERSION VERSION_LESS PACKAGE_FIND_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()

# GoogleTest for the Windows cross-build, built with the cross compiler from Debian's source
# package (googletest, in /usr/src/googletest).
if(NOT TARGET GTest::gtest_main)
  set(_kavro_gtest_source /usr/src/googletest)
  if(NOT EXISTS ${_kavro_gtest_source}/CMakeLists.txt)
    set(GTest_FOUND FALSE)
    return()
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${_kavro_gtest_source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Its own warnings are not this project's: built without the project's -Werror.
  set_target_properties(gtest gtest_main PROPERTIES COMPILE_OPTIONS "")
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
set(GTest_FOUND TRUE)

# Installs the library into a scratch prefix and builds a C99 program against the installed C
# header twice, with find_package(KAVRO_USB_DLL) and with pkg-config, and runs both.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/package/c_consumer
                -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix} RESULT_VARIABLE configure_rc
                OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build RESULT_VARIABLE build_rc)
execute_process(COMMAND ${WORK_DIR}/cmake-build/c_consumer RESULT_VARIABLE run_rc OUTPUT_VARIABLE out)
if(rc OR configure_rc OR build_rc OR run_rc OR NOT out MATCHES "^abi 1, load [0-9]+\\.[0-9]+\n$")
  message(FATAL_ERROR "the find_package C consumer did not build or run: ${out}")
endif()

file(GLOB pcdirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pcdirs}")
execute_process(COMMAND pkg-config --cflags --libs KAVRO_USB_DLL OUTPUT_VARIABLE flags
                OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND cc -std=c99 -Wall -Wextra -pedantic -Werror
                ${SOURCE_DIR}/tests/package/c_consumer/main.c ${flags} -o ${WORK_DIR}/pc-c-consumer
                RESULT_VARIABLE rc)
get_filename_component(libdir "${pcdirs}" DIRECTORY)
set(ENV{LD_LIBRARY_PATH} "${libdir}")
execute_process(COMMAND ${WORK_DIR}/pc-c-consumer RESULT_VARIABLE run_rc OUTPUT_VARIABLE out)
if(rc OR run_rc OR NOT out MATCHES "^abi 1, load [0-9]+\\.[0-9]+\n$")
  message(FATAL_ERROR "the pkg-config C consumer did not build or run: ${out}")
endif()
message(STATUS "a C program built against the installed C interface with CMake and pkg-config ran")

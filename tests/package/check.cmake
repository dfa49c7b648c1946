# Installs the library into a scratch prefix, then builds tiny outside programs against it
# twice: with find_package(KAVRO_USB_DLL) and with pkg-config, and the README's examples; runs
# the installed tool, the README's program on the C++ emulator, and programs on the installed
# drop-in D2XX library.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "install failed")
endif()

# The README's examples, as they stand there, build against the installed package too (the one
# on the C++ emulator with find_package as well). The code's ; [ ] would split or group CMake
# list items, so they travel as placeholders.
file(READ ${SOURCE_DIR}/README.md readme)
string(REPLACE ";" "@SEMI@" readme "${readme}")
string(REPLACE "[" "@OPEN@" readme "${readme}")
string(REPLACE "]" "@CLOSE@" readme "${readme}")
string(REGEX MATCHALL "```cpp\n[^`]*```" examples "${readme}")
list(LENGTH examples count)
if(count LESS 2)
  message(FATAL_ERROR "the README's two C++ examples were not found")
endif()
set(n 0)
foreach(example IN LISTS examples)
  math(EXPR n "${n} + 1")
  string(REGEX REPLACE "^```cpp\n(.*)```$" "\\1" code "${example}")
  string(REPLACE "@SEMI@" ";" code "${code}")
  string(REPLACE "@OPEN@" "[" code "${code}")
  string(REPLACE "@CLOSE@" "]" code "${code}")
  file(WRITE ${WORK_DIR}/readme_example_${n}.cpp "${code}")
  if(code MATCHES "kavro_emulator.h")
    set(emulated ${n})  # the example on the C++ emulator
  endif()
endforeach()
if(NOT emulated)
  message(FATAL_ERROR "the README's example on the C++ emulator was not found")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/package/consumer
                -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix}
                -DEMULATED=${WORK_DIR}/readme_example_${emulated}.cpp RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "configuring the find_package consumer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the find_package consumer failed")
endif()
execute_process(COMMAND ${WORK_DIR}/cmake-build/consumer RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(rc OR NOT out MATCHES "Get_Decimal_Point=-3")
  message(FATAL_ERROR "the find_package consumer did not run: ${out}")
endif()
# An emulated board unplugged and plugged in again, and the typed board on it reconnected.
string(CONCAT reconnected "^KAVRO-0001 disconnected\nread: disconnected: IO Error[^\n]*\n"
       "KAVRO-0001 reconnected\nread: a reading\n$")
execute_process(COMMAND ${WORK_DIR}/cmake-build/emulated RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(rc OR NOT out MATCHES "${reconnected}")
  message(FATAL_ERROR "the README's C++ emulator program (find_package) did not run: ${out}")
endif()

file(GLOB pcdirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pcdirs}")
foreach(module KAVRO_USB_DLL kavro-emulator)
  execute_process(COMMAND pkg-config --cflags --libs ${module} OUTPUT_VARIABLE flags_${module}
                  RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc)
    message(FATAL_ERROR "pkg-config does not know ${module}")
  endif()
  separate_arguments(flags_${module} UNIX_COMMAND "${flags_${module}}")
endforeach()
set(flags ${flags_KAVRO_USB_DLL})
execute_process(COMMAND c++ -std=c++17 ${SOURCE_DIR}/tests/package/consumer/main.cpp ${flags}
                -o ${WORK_DIR}/pc-consumer RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the pkg-config consumer failed")
endif()
foreach(n RANGE 1 ${count})
  execute_process(COMMAND c++ -std=c++17 -Wall -Werror ${WORK_DIR}/readme_example_${n}.cpp
                  ${flags_kavro-emulator} -o ${WORK_DIR}/readme_example_${n} RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "README example ${n} does not build against the installed package")
  endif()
endforeach()

# The installed tool finds the library in its own prefix, with no loader path set.
unset(ENV{LD_LIBRARY_PATH})
if(EXISTS ${prefix}/bin/kavro)
  execute_process(COMMAND ${prefix}/bin/kavro --emulate list RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(rc OR NOT out MATCHES "2 boards attached")
    message(FATAL_ERROR "the installed kavro did not run: ${out}")
  endif()
endif()

string(REPLACE ";" ":" libpath "${pcdirs}")
get_filename_component(libdir "${libpath}" DIRECTORY)
set(ENV{LD_LIBRARY_PATH} "${libdir}")
execute_process(COMMAND ${WORK_DIR}/pc-consumer RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(rc OR NOT out MATCHES "Get_Decimal_Point=-3")
  message(FATAL_ERROR "the pkg-config consumer did not run: ${out}")
endif()
execute_process(COMMAND ${WORK_DIR}/readme_example_${emulated} RESULT_VARIABLE rc
                OUTPUT_VARIABLE out)
if(rc OR NOT out MATCHES "${reconnected}")
  message(FATAL_ERROR "the README's C++ emulator program (pkg-config) did not run: ${out}")
endif()

# Without hardware: the installed drop-in library, first on the loader's path, serves the
# README's first example and a program that uses its control header.
set(emulator ${libdir}/KAVRO_USB_DLL/emulator)
set(ENV{LD_LIBRARY_PATH} "${emulator}:${libdir}")
execute_process(COMMAND ${WORK_DIR}/readme_example_1 RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(rc OR NOT out MATCHES "offset load")
  message(FATAL_ERROR "the README's first example did not run on the installed drop-in: ${out}")
endif()
execute_process(COMMAND c++ -std=c++17 ${SOURCE_DIR}/tests/package/consumer/without_hardware.cpp
                ${flags} -L${emulator} -lftd2xx -o ${WORK_DIR}/without-hardware RESULT_VARIABLE rc)
execute_process(COMMAND ${WORK_DIR}/without-hardware RESULT_VARIABLE run OUTPUT_VARIABLE out)
if(rc OR run OR NOT out STREQUAL "4 channels, then disconnected, a reading, disconnected\n")
  message(FATAL_ERROR "the program using kavro_dropin.h did not build or run: ${out}")
endif()
message(STATUS "both consumers built and ran; the README's ${count} examples built; the installed "
               "tool, C++ emulator and drop-in library ran")

# Installs the build into a scratch prefix and imports kavro from where the install put it: the
# package files, the extension and the library it finds through its run path.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${WORK_DIR}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "install failed")
endif()
set(ENV{PYTHONPATH} ${WORK_DIR}/${SITE})
execute_process(COMMAND ${PYTHON} -c [=[
import kavro, sys
assert kavro.__file__.startswith(sys.argv[1]), kavro.__file__
with kavro.open("KAVRO-0001", link=kavro.Emulator()) as board:
    print("installed kavro reads", board.read().unit_code)
]=] ${WORK_DIR} WORKING_DIRECTORY ${WORK_DIR}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc OR NOT out MATCHES "installed kavro reads 2")
  message(FATAL_ERROR "the installed package did not import and read: ${out} ${err}")
endif()
message(STATUS "${out}")

# The shared library exports only the C interface (kavro_*), the public class with its version
# string, and the typed API (namespace kavro): nothing of the emulator inside it, of the
# standard library's templates or of other internals.
execute_process(COMMAND nm -D -C --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
string(REPLACE "\n" ";" symbols "${symbols}")
set(c_functions 0)
foreach(line IN LISTS symbols)
  string(REGEX REPLACE "^[0-9a-f]+ . " "" name "${line}")
  if(name MATCHES "^kavro_")
    math(EXPR c_functions "${c_functions} + 1")
  elseif(NOT name MATCHES "^((typeinfo|typeinfo name|vtable) for |non-virtual thunk to )?(kavro::|KAVRO_USB_DLL)"
         OR name MATCHES "^((typeinfo|typeinfo name|vtable) for )?kavro::(emu|detail)::")
    list(APPEND stray "${name}")
  endif()
endforeach()
if(rc OR stray OR c_functions LESS 30)
  message(FATAL_ERROR "unexpected exports (${c_functions} kavro_ functions): ${stray}")
endif()

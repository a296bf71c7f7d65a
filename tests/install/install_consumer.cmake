# Installs the build tree into a scratch prefix, builds a small CGI program
# against it with find_package(QuibCgi), runs it once, and removes the scratch.
string(RANDOM LENGTH 10 tag)
set(scratch ${SCRATCH_PARENT}/install-test-${tag})
set(prefix ${scratch}/prefix)

macro(fail what)
  file(REMOVE_RECURSE ${scratch})
  message(FATAL_ERROR "${what}")
endmacro()

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(rc)
  fail("cmake --install failed: ${err}")
endif()
string(REPLACE "," ";" expected "${EXPECTED}")
foreach(f ${expected})
  if(NOT EXISTS ${prefix}/${f})
    fail("not installed: ${f}")
  endif()
endforeach()

set(flags "")
if(SANITIZE)
  # The installed libraries carry sanitizer calls; their user links the runtime.
  set(flags "-fsanitize=address,undefined")
endif()
set(toolchain "")
if(TOOLCHAIN_FILE)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${scratch}/build ${toolchain}
                        -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
                        -DCMAKE_CXX_FLAGS=${flags} -DCMAKE_EXE_LINKER_FLAGS=${flags}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc)
  fail("configuring the consumer failed:\n${out}\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${scratch}/build
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc)
  fail("building the consumer failed:\n${out}\n${err}")
endif()

string(REPLACE "," ";" emulator "${EMULATOR}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env REQUEST_METHOD=GET QUERY_STRING=who=a%20b%26c
                        ${emulator} ${scratch}/build/hello.cgi
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
# The header's CR LF compared as LF: execute_process may hand back either.
string(REPLACE "\r" "" got "${out}")
if(rc OR NOT got STREQUAL "Content-Type: text/plain\n\nHello, a b&c\n")
  fail("hello.cgi gave status ${rc} and:\n${out}\n${err}")
endif()
file(REMOVE_RECURSE ${scratch})

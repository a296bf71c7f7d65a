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

# The layer exports only its own names, so that a program linking it cannot
# collide with them: every strong definition in libquib_cgi.a starts with
# "cgi" (or is AddressSanitizer's ODR indicator of one, __odr_asan.cgi...);
# weak ones may only be the C++ library's inline code (std::, __gnu_cxx::,
# after a template's return type), which the linker merges;
# libquib_cgi_main.a defines main alone.
foreach(lib quib_cgi quib_cgi_main)
  file(GLOB archive ${prefix}/lib*/lib${lib}.a)
  execute_process(COMMAND ${NM} -g --defined-only -C ${archive}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc OR NOT archive)
    fail("nm of lib${lib}.a failed: ${err}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${out}")
  foreach(line ${lines})
    if(NOT line MATCHES "^[0-9a-fA-F]* ([A-Za-z]) (.*)$")
      continue()
    endif()
    set(kind ${CMAKE_MATCH_1})
    set(name "${CMAKE_MATCH_2}")
    if(lib STREQUAL "quib_cgi_main" AND name STREQUAL "main")
    elseif(lib STREQUAL "quib_cgi" AND name MATCHES "^(__odr_asan[.])?cgi")
    elseif(lib STREQUAL "quib_cgi" AND kind MATCHES "^[WVu]$" AND name MATCHES "^([^(]* )?(std|__gnu_cxx)::")
    else()
      fail("lib${lib}.a exports ${kind} ${name}")
    endif()
  endforeach()
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

# Builds a small CGI program (consumer/) and runs it once, then removes the scratch.
# Without SUBPROJECT: installs the request layer's component of BUILD_DIR into a
# scratch prefix, checks what the prefix holds, builds the program against it
# with find_package(QuibCgi), then installs the rest and checks the PROGRAMS.
# With SUBPROJECT (the tree): the program's project builds the tree as its
# subproject, tools and tests included, so that nothing in it assumes it is
# the top-level project.
string(RANDOM LENGTH 10 tag)
set(scratch ${SCRATCH_PARENT}/install-test-${tag})
set(prefix ${scratch}/prefix)

macro(fail what)
  file(REMOVE_RECURSE ${scratch})
  message(FATAL_ERROR "${what}")
endmacro()

# nm's lines of lib${lib}.a ("address kind name"); args such as -g --defined-only.
function(archive_symbols var lib)
  file(GLOB archive ${prefix}/lib*/lib${lib}.a)
  execute_process(COMMAND ${NM} ${ARGN} -C ${archive}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc OR NOT archive)
    fail("nm of lib${lib}.a failed: ${err}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${out}")
  set(${var} "${lines}" PARENT_SCOPE)
endfunction()

set(archives quib_cgi quib_cgi_main quib_platform_files)
if(NOT SUBPROJECT)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                          --component cgi
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(rc)
    fail("cmake --install --component cgi failed: ${err}")
  endif()
  # The layer's component is its header, its archives and its package: no
  # program, no other library.
  file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
  string(REPLACE ";" "|" names "${archives}")
  foreach(f ${installed})
    if(NOT f MATCHES "^(include/quib/cgi/cgi[.]h|lib[^/]*/lib(${names})[.]a|lib[^/]*/cmake/QuibCgi/QuibCgi[A-Za-z-]*[.]cmake)$")
      fail("the cgi component installs ${f}")
    endif()
  endforeach()

  # No archive of the package holds or calls the simulated chip or a QNX
  # stand-in: they live in quib_platform, which is never installed.
  foreach(lib ${archives})
    archive_symbols(lines ${lib})
    foreach(line ${lines})
      if(line MATCHES "nor_chip|norsim|quib_nor|mmap_device_memory|MsgSend|name_open|name_close|ThreadCtl")
        fail("lib${lib}.a holds ${line}")
      endif()
    endforeach()
  endforeach()

  # The layer exports only its own names, so that a program linking it cannot
  # collide with them: every strong definition in libquib_cgi.a starts with
  # "cgi" (or is AddressSanitizer's ODR indicator of one, __odr_asan.cgi...),
  # and in libquib_platform_files.a with "platform_"; weak ones may only be the
  # C++ library's inline code (std::, __gnu_cxx::, after a template's return
  # type), which the linker merges; libquib_cgi_main.a defines main alone.
  foreach(lib ${archives})
    archive_symbols(lines ${lib} -g --defined-only)
    foreach(line ${lines})
      if(NOT line MATCHES "^[0-9a-fA-F]* ([A-Za-z]) (.*)$")
        continue()
      endif()
      set(kind ${CMAKE_MATCH_1})
      set(name "${CMAKE_MATCH_2}")
      if(lib STREQUAL "quib_cgi_main" AND name STREQUAL "main")
      elseif(lib STREQUAL "quib_cgi" AND name MATCHES "^(__odr_asan[.])?cgi")
      elseif(lib STREQUAL "quib_platform_files" AND name MATCHES "^(__odr_asan[.])?platform_")
      elseif(NOT lib STREQUAL "quib_cgi_main" AND kind MATCHES "^[WVu]$" AND
             name MATCHES "^([^(]* )?(std|__gnu_cxx)::")
      else()
        fail("lib${lib}.a exports ${kind} ${name}")
      endif()
    endforeach()
  endforeach()
endif()

set(flags "")
if(SANITIZE)
  # The installed libraries carry sanitizer calls; their user links the runtime.
  set(flags "-fsanitize=address,undefined")
endif()
set(options -DCMAKE_PREFIX_PATH=${prefix})
if(SUBPROJECT)
  set(options -DQUIB_TREE=${SUBPROJECT} -DQUIB_TOOLS=ON -DQUIB_TESTS=ON)
endif()
if(TOOLCHAIN_FILE)
  list(APPEND options -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${scratch}/build ${options}
                        -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
                        -DCMAKE_CXX_FLAGS=${flags} -DCMAKE_EXE_LINKER_FLAGS=${flags}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc)
  fail("configuring the consumer failed:\n${out}\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${scratch}/build --target hello
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

if(NOT SUBPROJECT)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(rc)
    fail("cmake --install failed: ${err}")
  endif()
  string(REPLACE "," ";" programs "${PROGRAMS}")
  foreach(f ${programs})
    if(NOT EXISTS ${prefix}/${f})
      fail("not installed: ${f}")
    endif()
  endforeach()
endif()
file(REMOVE_RECURSE ${scratch})

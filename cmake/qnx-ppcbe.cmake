# The instrument: QNX Neutrino 6.4 or 6.5 on its 32-bit big-endian PowerPC
# (MPC5200), built with the SDK's qcc driver (qcc -Vgcc_ntoppcbe: gcc 4.2 on
# 6.4, gcc 4.4 on 6.5; PowerPC support ends with 6.5). The product is C++03
# and builds as gnu++98: QNX's headers declare no POSIX or QNX interface under
# strict ANSI (-std=c++98 defines __STRICT_ANSI__), so GNU extensions stay on.
# Source the SDK's environment first (qnx6-env.sh or qnxsdp-env.sh), which
# sets QNX_HOST and QNX_TARGET:
#   cmake -S . -B build-qnx -DCMAKE_TOOLCHAIN_FILE=cmake/qnx-ppcbe.cmake
set(CMAKE_SYSTEM_NAME QNX)
set(CMAKE_SYSTEM_PROCESSOR ppcbe)

if(NOT DEFINED ENV{QNX_TARGET})
  message(FATAL_ERROR "QNX_TARGET is not set: source the QNX SDK's environment script first")
endif()

set(CMAKE_C_COMPILER qcc)
set(CMAKE_C_COMPILER_TARGET gcc_ntoppcbe)
# q++ is qcc's C++ driver; the dialect itself comes from the build (gnu++98).
set(CMAKE_CXX_COMPILER q++)
set(CMAKE_CXX_COMPILER_TARGET gcc_ntoppcbe)
set(CMAKE_SYSROOT $ENV{QNX_TARGET})

set(CMAKE_FIND_ROOT_PATH $ENV{QNX_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

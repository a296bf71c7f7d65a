# The instrument: QNX Neutrino on its 32-bit big-endian PowerPC (MPC5200),
# built with the QNX SDK's qcc driver (-Vgcc_ntoppcbe). Source the SDK's
# environment first (qnxsdp-env.sh), which sets QNX_HOST and QNX_TARGET:
#   cmake -S . -B build-qnx -DCMAKE_TOOLCHAIN_FILE=cmake/qnx-ppcbe.cmake
set(CMAKE_SYSTEM_NAME QNX)
set(CMAKE_SYSTEM_PROCESSOR ppcbe)

if(NOT DEFINED ENV{QNX_TARGET})
  message(FATAL_ERROR "QNX_TARGET is not set: source the QNX SDK's environment script first")
endif()

set(CMAKE_C_COMPILER qcc)
set(CMAKE_C_COMPILER_TARGET gcc_ntoppcbe)
set(CMAKE_CXX_COMPILER q++)
set(CMAKE_CXX_COMPILER_TARGET gcc_ntoppcbe)
set(CMAKE_SYSROOT $ENV{QNX_TARGET})

set(CMAKE_FIND_ROOT_PATH $ENV{QNX_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

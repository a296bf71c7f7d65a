# The instrument's processor on this machine: 32-bit big-endian PowerPC built
# with Debian's cross compiler and run under qemu-user, so that every test
# also sees the target's byte order and word size (make test-ppc).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(QUIB_PPC_SYSROOT /usr/powerpc-linux-gnu)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

# 32-bit glibc calls fail with EOVERFLOW on the host's 64-bit inode numbers
# (readdir under emulation) unless file offsets and inodes are 64 bits wide.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

set(CMAKE_FIND_ROOT_PATH ${QUIB_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages may also come from prefixes that CMAKE_PREFIX_PATH names (an install of this tree).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Everything CTest runs goes through the emulator. The settings travel in the
# environment, so that the programs a test starts inherit them: QEMU_LD_PREFIX
# is -L (the target's libraries), QEMU_RESERVED_VA gives the guest 3 GiB of
# address space, and QUIB_EMULATOR tells the tests and tools which program
# runs a binary of this build (there is no binfmt registration to do it).
set(QUIB_PPC_QEMU /usr/bin/qemu-ppc)
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env QEMU_LD_PREFIX=${QUIB_PPC_SYSROOT} QEMU_RESERVED_VA=0xC0000000
    QUIB_EMULATOR=${QUIB_PPC_QEMU} ${QUIB_PPC_QEMU} -L ${QUIB_PPC_SYSROOT})

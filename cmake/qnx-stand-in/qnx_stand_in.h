// Stands in for the QNX Neutrino 6.4 SDK headers in one check only: make
// test-ppc compiles the product and platform/qnx with the PowerPC Linux cross
// compiler against it, as gnu++98 (compile only, never linked or run). It
// declares exactly the calls and constants that the product takes from QNX,
// with QNX's own values and prototypes, and takes away what QNX 6.4 lacks; a
// real build for the instrument uses the SDK's own headers instead.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

// QNX 6.4 has no O_NOFOLLOW; fcntl.h is already in, so it stays undefined.
#undef O_NOFOLLOW
// QNX's initialiser narrows into an int field from C++11 on: the product
// initialises its mutexes with pthread_mutex_init, and this check keeps it so.
#undef PTHREAD_MUTEX_INITIALIZER

// <sys/neutrino.h>
#define _NTO_TCTL_IO 1
// <sys/mman.h>
#define PROT_READ 0x00000100
#define PROT_WRITE 0x00000200
#define PROT_NOCACHE 0x00000800
#define MAP_SHARED 0x00000001
#define MAP_FAILED ((void*)-1)

extern "C" {
// <sys/neutrino.h>
int ThreadCtl(int cmd, void* data);
int MsgSend(int coid, const void* smsg, int sbytes, void* rmsg, int rbytes);
// <sys/mman.h>
void* mmap_device_memory(void* addr, size_t len, int prot, int flags, uint64_t physical);
int munmap_device_memory(void* addr, size_t len);
// <sys/dispatch.h>
int name_open(const char* name, int flags);
int name_close(int coid);
}

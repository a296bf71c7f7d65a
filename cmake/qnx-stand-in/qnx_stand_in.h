// Stands in for the QNX Neutrino SDK headers in one check only: make test-ppc
// compiles platform/qnx with the PowerPC Linux cross compiler against it
// (compile only, never linked or run). It declares exactly the calls and
// constants that the code takes from the system, as QNX documents them; a
// real build for the instrument uses the SDK's own headers instead.
#pragma once

#include <stddef.h>
#include <stdint.h>

// <sys/neutrino.h>
#define _NTO_TCTL_IO 14
// <sys/mman.h>: the mapping bypasses the cache.
#define PROT_NOCACHE 0x00000800

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

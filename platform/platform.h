// What the product code may call of the operating system beyond POSIX.
// On the instrument (QNX Neutrino) these are the system's own interfaces and
// volatile accesses to the uncached flash window; on Linux, platform/host/
// stands in for each of them. Nothing outside platform/ includes an OS-only header.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <pthread.h>
#include <sys/types.h>

#if defined(__QNX__)
#include <sys/dispatch.h>
#include <sys/mman.h>
#include <sys/neutrino.h>
#else
#include <sys/mman.h>

// ---- Device access (QNX signatures and values) ----
// PROT_READ and PROT_WRITE stay glibc's: the stand-in mapping ignores them.
#ifndef PROT_NOCACHE
#define PROT_NOCACHE 0x00000800
#endif
#define _NTO_TCTL_IO 1

extern "C" {
int ThreadCtl(int cmd, void* data);
void* mmap_device_memory(void* addr, size_t len, int prot, int flags, uint64_t physical);
int munmap_device_memory(void* addr, size_t len);

// ---- Message passing (QNX signatures) ----
int name_open(const char* name, int flags);
int name_close(int coid);
int MsgSend(int coid, const void* smsg, int sbytes, void* rmsg, int rbytes);
}
#endif

// ---- Flash bus: the only way the product touches the device window ----
// A byte read and a byte write at a window address, each reaching the device
// exactly once and in program order.
uint8_t platform_bus_read8(uintptr_t addr);
void platform_bus_write8(uintptr_t addr, uint8_t value);

// ---- The instrument root ----
// Resolves one of the instrument's fixed absolute paths ("/tmp/info",
// "/NANDdrive/firm/") to the path to open on this machine. Returns out, or
// NULL when the result does not fit outSize (out is then the empty string).
char* platform_path(const char* instrumentPath, char* out, size_t outSize);

// The root itself ("" on the instrument, where paths are used as they stand).
const char* platform_root();

// Creates a private (rw-------) empty file from a template such as
// "/tmp/quibXXXXXX" resolved below the root, with O_CREAT|O_EXCL (never
// through a link, never a file that was there), and keeps it open. On success
// writes the host path into out and returns the file's descriptor (read and
// write, close-on-exec); on failure returns -1 and leaves no file. The file is
// to be used through that descriptor, never opened again by its path.
int platform_open_private_temp(const char* instrumentTemplate, char* out, size_t outSize);

// Runs the program at an instrument path with the given arguments (argv[0]
// included, NULL-terminated), without a command interpreter, its standard
// output going to the open file outFd (left open, at its offset). Returns
// the program's exit status, or -1 when it could not run.
int platform_run_output_to(const char* instrumentProgram, const char* const argv[], int outFd);

// Opens the file at an instrument path for an fcntl lock, creating it
// rw------- with O_CREAT|O_EXCL when missing. Returns its fd, or -1 when it
// cannot be opened, when the last component is a symbolic link, when it is
// not a regular file, or when another user owns it.
int platform_open_lock_file(const char* instrumentPath);

// The system's host name as gethostname gives it (with its domain when the
// system's name has one), terminated: 0, or -1 (out is then empty).
int platform_host_name(char* out, size_t outSize);

// The environment variable's value when it is a positive number below limit
// (a test's shorter limit), else limit itself.
long platform_shortened_limit(const char* variable, long limit);

// ---- How a run ends: no file left behind ----
// Makes SIGTERM, SIGINT and SIGHUP end the run without its files: the handler
// calls removeOwnFiles (NULL for none; async-signal-safe calls only), removes
// every registered scratch file, then ends the process by the same signal.
// SIGPIPE is ignored: a write to a closed pipe fails with EPIPE instead.
// Returns 0, or -1 when a handler cannot be installed.
int platform_handle_termination(void (*removeOwnFiles)());
// Holds those signals in the calling thread until the matching release (holds
// nest); one that came meanwhile is handled at the release. A thread started
// while they are held keeps them held for good.
void platform_hold_termination();
void platform_release_termination();
// Scratch files: the termination handler unlinks every registered host path.
// The path's buffer must stay as it is until the path is forgotten.
// platform_open_scratch is platform_open_private_temp with the new file
// registered (signals held in between): its fd, or -1 (no file).
int platform_open_scratch(const char* instrumentTemplate, char* out, size_t outSize);
// 0, or -1 when the list (a handful of files) is full.
int platform_scratch_add(const char* hostPath);
// Unlinks the file and forgets the path.
void platform_scratch_remove(const char* hostPath);
// Forgets the path: the file was renamed into place, or is in other hands.
void platform_scratch_forget(const char* hostPath);

// ---- Threads ----
// Sets attr to create a thread at the instrument's fixed priority with explicit
// scheduling. Returns 0, or an errno value.
int platform_thread_attr_priority(pthread_attr_t* attr, int priority);

// What the upgrade handlers share among themselves and with their tests: the
// query and page of the dispatcher, the upload being handled, the NOR writer's
// steps and the file store. Other subsystems include upgrade.h only.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

#include "upgrade/upgrade.h"

// ---- dispatch.cpp: query string, result page ----
struct UpgradeQuery {
    const char* urlToken;     // whole "url=..." token, key included
    int udpPort;              // character of "udp_port=", 0 for none
    RestoreKind restoreKind;  // the last restore key of the query string
};

// True when a request may be served: neither Origin nor Referer (null or
// empty), or the Origin (else the Referer) names the host and port of the
// Host header, and that host is one of the instrument's own names (an IPv4
// or bracketed IPv6 literal, localhost, the system's host name with or
// without its domain). "null", another scheme than http or https, or one
// that does not parse is another site.
bool FromOwnPage(const char* origin, const char* referer, const char* host);

// Writes s into out (outSize bytes) with every byte but RFC 3986's unreserved
// ones (letters, digits, "-._~") as %XX, upper-case: the form of the page's
// query values and of the progress record's name. False when it does not fit
// (out then holds the empty string).
bool PercentEncode(const char* s, char* out, size_t outSize);

// True when ref (a url token's value) stays on the instrument: no scheme, no
// "//host" in any of its spellings, nothing a browser strips or unquotes first.
bool IsRelativeReference(const char* ref);

// Splits qs in place at each '&' and fills q; a null or empty qs keeps the
// defaults, and a url token that is not a relative reference gives the default.
void ScanQueryString(char* qs, UpgradeQuery* q);

// Writes the headers and the XHTML page for the outcome to out.
void WriteResultPage(FILE* out, int outcome, const UpgradeQuery* q, const char* typeText,
                     const char* baseName);

// The file name after its last '/' or '\'; out holds outSize bytes.
void StripDirectories(const char* name, char* out, size_t outSize);

bool Begins(const char* s, const char* prefix);

// ---- upload.cpp: the upload being handled ----
struct ChargeFirmware {
    int32_t fd;             // upload, read-only; -1 when not open
    uint32_t checksum;      // byte sum modulo 2^32
    int32_t size;           // length in bytes
    char versionName[32];   // base name up to its first '.', zero-filled, no terminator at 32
    int32_t firstSector;    // first 64 KiB sector of the target region
};
extern ChargeFirmware S_ChargeFirmware;
enum { UPG_INTER_SIZE = 1024 };
extern uint8_t inter[UPG_INTER_SIZE];

// The upload opened read-only, retried when interrupted: its fd, or -1.
int OpenUpload(const char* tmpPath);
// Closes S_ChargeFirmware.fd when it is open and marks it closed.
void CloseUpload();
// One read of fd into inter, retried when interrupted: bytes read, 0 at the end, or -1.
ssize_t ReadInter(int fd);

// Reads fd from its start through inter and hands each chunk's length to put,
// with context; false when a read fails or put refuses a chunk.
template <typename Context>
bool ForEachChunk(int fd, bool (*put)(Context* context, size_t n), Context* context)
{
    if (lseek(fd, 0, SEEK_SET) != 0)
        return false;
    for (;;) {
        const ssize_t n = ReadInter(fd);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!put(context, static_cast<size_t>(n)))
            return false;
    }
}

// Sums and measures the open file through inter: 0, or -1 when a read fails.
int ComputeChecksumSize(ChargeFirmware* record);
// 0 when size lies within [minSize, maxSize]; a limit of 0 or less is not applied.
int CheckSize(const ChargeFirmware* record, int32_t minSize, int32_t maxSize);

// ---- nor_region.cpp ----
// Erases count sectors from firstSector: 0, or -1 when the range leaves the
// flash window (nothing erased) or an erase fails.
int EraseFlashSectors(int32_t firstSector, int32_t count);
// Copies the whole file into flash from address on in 1024-byte writes, each
// read back through the driver: 0, or -1 after a failed read, write or
// comparison (fd is then closed).
int WriteImageInFlash(const char* label, uintptr_t address, int fd);

// ---- file_store.cpp ----
// Copies the open file fd into the instrument directory dir (ending in '/') as
// finalName without a command interpreter: a temporary name in dir, flushed to
// disk and read back against the upload, renamed into place, and only then are
// the older files whose names begin with oldPrefix (none when null) removed.
// 0, or -1 with the previous files left as they were and no temporary file left.
int CopyUploadIntoPlace(int fd, const char* dir, const char* finalName, const char* oldPrefix);

// ---- EnvoiUDP.cpp ----
// True when the last four characters of name are ".txt" in any case.
bool EndsWithTxt(const char* name);

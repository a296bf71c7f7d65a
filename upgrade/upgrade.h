// The upgrade request: cgiMain routes the one uploaded file to its handler and
// answers with the result page. Every handler returns an outcome code: 0 done,
// 1 GPS configuration stored, 101..109 failures (shown as code + 1900).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

// ---- Outcome codes ----
constexpr int UPG_DONE = 0;
constexpr int UPG_GPS_STORED = 1;
constexpr int UPG_ERR_NAME = 101;      // no usable file name, or upload not readable
constexpr int UPG_ERR_UPLOAD = 102;    // no "Filedata" file upload
constexpr int UPG_ERR_KIND = 103;      // unknown prefix, not ".txt", bad markers, exchange failed
constexpr int UPG_ERR_LOADER = 104;    // DSP hand-off result -1
constexpr int UPG_ERR_DSP = 105;       // DSP hand-off result -2
constexpr int UPG_ERR_PEER = 106;      // peer unreachable or answer not accepted
constexpr int UPG_ERR_WRITE = 107;     // flash or file write failed
constexpr int UPG_ERR_SIZE = 108;      // size outside the target's limits
constexpr int UPG_ERR_ORIGIN = 109;    // posted from another site

// ---- main.cpp: query string, routing, result page ----
// What a restore request asks for, by the query key that names it; the values
// are those the handlers' int parameter carries.
enum RestoreKind : int {
    RESTORE_NONE = 0,
    RESTORE_SETTINGS = 1,  // "settings=": a settings backup, or a GPS configuration
    RESTORE_MODELS = 2,    // "models="
    RESTORE_SYSTEM = 3,    // "system="
};

struct UpgradeQuery {
    const char* urlToken;     // whole "url=..." token, key included
    int udpPort;              // character of "udp_port=", 0 for none
    RestoreKind restoreKind;  // the last restore key of the query string
};

// True when a request may be served: no Origin (null or empty), or one whose
// host and port are those of the Host header. "null", another scheme than
// http or https, or an origin that does not parse is another site.
bool SameSiteOrigin(const char* origin, const char* host);

// True when ref (a url token's value) stays on the instrument: no scheme, no
// "//host" in any of its spellings, nothing a browser strips or unquotes first.
bool IsRelativeReference(const char* ref);

// Splits qs in place at each '&' and fills q; a null or empty qs keeps the
// defaults, and a url token that is not a relative reference gives the default.
void ScanQueryString(char* qs, UpgradeQuery* q);

// Routes the "Filedata" upload; writes baseName (and typeText on the UDP route).
int Fichier(int udpPort, int restoreKind, char* baseName, char* typeText);

// Writes the headers and the XHTML page for the outcome to out.
void WriteResultPage(FILE* out, int outcome, const UpgradeQuery* q, const char* typeText,
                     const char* baseName);

// The file name after its last '/' or '\'; out holds outSize bytes.
void StripDirectories(const char* name, char* out, size_t outSize);

// ---- flash_file.cpp: image dispatch and the NOR/NAND writers ----
struct ChargeFirmware {
    int32_t fd;             // upload, read-only; -1 when not open
    uint32_t checksum;      // byte sum modulo 2^32
    int32_t size;           // length in bytes
    char versionName[32];   // base name up to its first '.', zero-filled, no terminator at 32
    int32_t firstSector;    // first 64 KiB sector of the target region
};
extern ChargeFirmware S_ChargeFirmware;
constexpr size_t UPG_INTER_SIZE = 1024;
extern uint8_t inter[UPG_INTER_SIZE];

// The upload opened read-only, retried when interrupted: its fd, or -1.
int OpenUpload(const char* tmpPath);
// Closes S_ChargeFirmware.fd when it is open and marks it closed.
void CloseUpload();
// One read of fd into inter, retried when interrupted: bytes read, 0 at the end, or -1.
ssize_t ReadInter(int fd);
bool Begins(const char* s, const char* prefix);

int flash_file(const char* baseName, const char* tmpPath, char* typeText);
int flash_Web(const char* baseName, const char* tmpPath);
int flash_firmware(const char* baseName, const char* tmpPath);
int flash_loader(const char* baseName, const char* tmpPath);

// Sums and measures the open file through inter: 0, or -1 when a read fails.
int ComputeChecksumSize(ChargeFirmware* record);
// 0 when size lies within [minSize, maxSize]; a limit of 0 or less is not applied.
int CheckSize(const ChargeFirmware* record, int32_t minSize, int32_t maxSize);
// Erases count sectors from firstSector: 0, or -1 when the range leaves the
// flash window (nothing erased) or an erase fails.
int EraseFlashSectors(int32_t firstSector, int32_t count);
// Copies the whole file into flash from address on in 1024-byte writes, each
// read back through the driver: 0, or -1 after a failed read, write or
// comparison (fd is then closed).
int WriteImageInFlash(const char* label, uintptr_t address, int fd);

// Copies the open file fd into the instrument directory dir (ending in '/') as
// finalName without a command interpreter: a temporary name in dir, flushed to
// disk and read back against the upload, renamed into place, and only then are
// the older files whose names begin with oldPrefix (none when null) removed.
// 0, or -1 with the previous files left as they were and no temporary file left.
int CopyUploadIntoPlace(int fd, const char* dir, const char* finalName, const char* oldPrefix);

// ---- flash_DSP.cpp: DSP images go to the loader service ----
// 0 accepted; -1 service unreachable or refused (status 1); -2 anything else.
int flash_DSP(const char* baseName, const char* tmpPath, int command);
int flash_firmwareDSP(const char* baseName, const char* tmpPath);
int flash_loaderDSP(const char* baseName, const char* tmpPath);

// ---- EnvoiUDP.cpp ----
int EnvoiUDP(int udpPort, const char* tmpPath, const char* baseName);

// ---- Restore_Settings.cpp ----
int Restore_Settings(const char* tmpPath, const char* baseName, int restoreKind);
int Store_Gps_Conf(const char* tmpPath, const char* baseName);

// True when the last four characters of name are ".txt" in any case.
bool EndsWithTxt(const char* name);

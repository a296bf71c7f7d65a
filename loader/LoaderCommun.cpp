// Board and loader identification.
#include "loader/LoaderCommun.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flash/Flash_Drv.h"
#include "platform/bigendian.h"
#include "platform/compile_check.h"
#include "platform/platform.h"

EtatLoader S_EtatLoader;
DecodeTrame S_DecodeTrame;

namespace {

const char BOARD_REPORT_PROGRAM[] = "/proc/boot/pidin";
// A private name per run: the CGI, state.cgi and the tools may identify the
// board at the same time, and nobody else may choose what this run reads.
const char BOARD_REPORT_TEMPLATE[] = "/tmp/infoXXXXXX";
const char NAMES_FILE[] = "/tmp/Noms";
// Only the head of the report is examined: the memory size sits on its first line.
enum { BOARD_REPORT_HEAD = 256 };
const char BOARD2_MEMORY[] = "/64Mb";
enum { NAMES_FILE_HEAD = 256 };
enum { NAMES_HEADER_BYTES = 13 };
// The names file's fields are read into these arrays, which share one size.
enum { NAMES_FIELD_SIZE = sizeof S_EtatLoader.loaderVersionText };
QUIB_COMPILE_CHECK(sizeof S_EtatLoader.firmwareVersionText == NAMES_FIELD_SIZE &&
                   sizeof S_EtatLoader.serialNumberText == NAMES_FIELD_SIZE);
// The loader image cannot reach past its one sector; a larger size word is not
// a loader image and must not drag the scan into the parameter sectors.
const int32_t LOADER_IMAGE_MAX = static_cast<int32_t>(FLASH_SECTOR_SIZE) - 8;
enum { VERSION_BLOCK_SIZE = 32 };
// Whether the last GetBoardVersion read a report of this run.
int boardIdentified = 0;

bool containsBytes(const char* hay, size_t hayLen, const char* needle, size_t needleLen)
{
    if (needleLen == 0 || hayLen < needleLen)
        return false;
    for (size_t i = 0; i + needleLen <= hayLen; ++i)
        if (memcmp(hay + i, needle, needleLen) == 0)
            return true;
    return false;
}

// Reads up to size bytes, riding over short reads; returns the count read.
size_t readHead(int fd, char* buf, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

void copyCut(char* dst, size_t dstSize, const char* src)
{
    size_t n = strlen(src);
    if (n >= dstSize)
        n = dstSize - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace

// ---------------------------------------------------------------------------
// Board configuration

int GetBoardVersion()
{
    S_EtatLoader.boardVersion = 1;
    boardIdentified = 0;

    char reportPath[PATH_MAX];
    const int fd = platform_open_scratch(BOARD_REPORT_TEMPLATE, reportPath, sizeof reportPath);
    if (fd < 0)
        return -1;
    const char* const argv[] = {"pidin", "info", NULL};
    const int status = platform_run_output_to(BOARD_REPORT_PROGRAM, argv, fd);
    // Read back through the descriptor the program wrote to, never the name.
    char head[BOARD_REPORT_HEAD];
    const size_t got = lseek(fd, 0, SEEK_SET) == 0 ? readHead(fd, head, sizeof head) : 0;
    close(fd);
    platform_scratch_remove(reportPath);
    // A program that failed may have written part of its report (a full /tmp):
    // board 1 by default would send a board 2's image into NOR.
    if (status != 0 || got == 0)
        return -1;
    if (containsBytes(head, got, BOARD2_MEMORY, sizeof BOARD2_MEMORY - 1))
        S_EtatLoader.boardVersion = 2;
    boardIdentified = 1;
    return 0;
}

int F_BoardIdentified()
{
    return boardIdentified;
}

int GetLoaderCINTVersion()
{
    S_EtatLoader.cintLoaderVersion = 3;
    S_EtatLoader.cintLoaderRevision = 0;

    uintptr_t cursor = FLASH_ADD_LOADER;
    uint8_t sizeWord[4];
    uint8_t sumWord[4];
    if (F_FlashDrv_Read(&cursor, sizeWord, sizeof sizeWord) != 0 ||
        F_FlashDrv_Read(&cursor, sumWord, sizeof sumWord) != 0)
        return 0;
    // An erased region reads 0xFFFFFFFF: negative, so nothing is scanned.
    int32_t remaining = static_cast<int32_t>(platform_get_be32(sizeWord));
    if (remaining > LOADER_IMAGE_MAX)
        remaining = LOADER_IMAGE_MAX;

    char chunk[LOADER_SCAN_CHUNK];
    while (remaining > 0) {
        int32_t len = remaining <= LOADER_SCAN_CHUNK ? remaining : LOADER_SCAN_CHUNK;
        if (F_FlashDrv_Read(&cursor, chunk, static_cast<uint32_t>(len)) != 0)
            return 0;
        remaining -= len;
        // Each piece is searched on its own: a marker cut by a piece boundary
        // is not found, which is how the instrument has always told loaders apart.
        if (containsBytes(chunk, static_cast<size_t>(len), LOADER_MARKER_10SECT,
                          sizeof LOADER_MARKER_10SECT - 1)) {
            S_EtatLoader.cintLoaderVersion = 4;
            S_EtatLoader.cintLoaderRevision = 0;
            return 1;
        }
    }
    return 0;
}

int F_DetectCINTBoardConfig(int useForcedVersion)
{
    (void)GetBoardVersion();
    if (S_EtatLoader.boardVersion == 2) {
        S_EtatLoader.firmwareSectorCount = 0;
        return 0;
    }
    (void)GetLoaderCINTVersion();
    int32_t generation = S_EtatLoader.cintLoaderVersion;
    if (useForcedVersion != 0 && S_EtatLoader.forcedLoaderVersion != 0)
        generation = S_EtatLoader.forcedLoaderVersion;
    S_EtatLoader.firmwareSectorCount = static_cast<uint32_t>(generation) > 3 ? 10 : 8;
    return 0;
}

// ---------------------------------------------------------------------------
// Loader information

int F_Extract_FileName(const char* pathPrefix, char* dst, size_t dstSize)
{
    if (pathPrefix == NULL || dst == NULL || dstSize == 0)
        return -1;
    // The prefix is a directory and the start of the names wanted in it.
    const char* slash = strrchr(pathPrefix, '/');
    const char* namePrefix = slash != NULL ? slash + 1 : pathPrefix;
    size_t dirLen = slash != NULL ? static_cast<size_t>(slash - pathPrefix) + 1 : 0;
    char dirInstrument[PATH_MAX];
    if (dirLen >= sizeof dirInstrument)
        return -1;
    if (dirLen == 0) {
        dirInstrument[0] = '.';
        dirInstrument[1] = '\0';
    } else {
        memcpy(dirInstrument, pathPrefix, dirLen);
        dirInstrument[dirLen] = '\0';
    }
    char dirHost[PATH_MAX];
    if (platform_path(dirInstrument, dirHost, sizeof dirHost) == NULL)
        return -1;
    size_t dirHostLen = strlen(dirHost);
    size_t namePrefixLen = strlen(namePrefix);

    // The greatest matching name in byte order is the one `ls` lists last.
    char last[NAME_MAX + 1];
    last[0] = '\0';
    bool found = false;
    DIR* dir = opendir(dirHost);
    if (dir != NULL) {
        while (const dirent* e = readdir(dir)) {
            const char* name = e->d_name;
            if (strncmp(name, namePrefix, namePrefixLen) != 0)
                continue;
            // A wildcard does not match hidden names unless the prefix itself does.
            if (name[0] == '.' && namePrefix[0] != '.')
                continue;
            char full[PATH_MAX];
            size_t nameLen = strlen(name);
            if (dirHostLen + 1 + nameLen >= sizeof full)
                continue;
            memcpy(full, dirHost, dirHostLen);
            size_t at = dirHostLen;
            if (at == 0 || full[at - 1] != '/')
                full[at++] = '/';
            memcpy(full + at, name, nameLen + 1);
            struct stat st;
            if (stat(full, &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            if (!found || strcmp(name, last) > 0) {
                copyCut(last, sizeof last, name);
                found = true;
            }
        }
        closedir(dir);
    }
    // The listing is read line by line: a name holding a newline ends there.
    char* newline = strchr(last, '\n');
    if (newline != NULL)
        *newline = '\0';
    copyCut(dst, dstSize, last);
    return 0;
}

namespace {

// Copies the 32-byte version block at address into name. A block whose name
// fills all 32 bytes has no terminator of its own; the byte behind it ends the
// text. A wholly erased block (no image was ever written) names nothing: its
// 0xFF bytes are not a name. A refused read leaves name as it was.
void readVersionBlock(uintptr_t address, char* name)
{
    uintptr_t cursor = address;
    if (F_FlashDrv_Read(&cursor, name, VERSION_BLOCK_SIZE) != 0)
        return;
    size_t erased = 0;
    while (erased < VERSION_BLOCK_SIZE && static_cast<uint8_t>(name[erased]) == 0xFF)
        ++erased;
    name[erased == VERSION_BLOCK_SIZE ? 0 : VERSION_BLOCK_SIZE] = '\0';
}

}  // namespace

int F_InitDecodeTrame()
{
    if (S_EtatLoader.boardVersion == 1) {
        readVersionBlock(FLASH_ADD_VERSFIRMW, S_DecodeTrame.firmwareName);
        readVersionBlock(FLASH_ADD_VERSLOADER, S_DecodeTrame.loaderName);
        memcpy(S_DecodeTrame.serialField, "serie", 6);
        memset(S_DecodeTrame.clearedBlock, 0, sizeof S_DecodeTrame.clearedBlock);
    } else if (S_EtatLoader.boardVersion == 2) {
        (void)F_Extract_FileName("/NANDdrive/firm/L", S_DecodeTrame.loaderName,
                                 sizeof S_DecodeTrame.loaderName);
        (void)F_Extract_FileName("/NANDdrive/firm/F", S_DecodeTrame.firmwareName,
                                 sizeof S_DecodeTrame.firmwareName);
    }
    return 1;
}

char* getNomLoader() { return S_DecodeTrame.loaderName; }
char* getNomFirmware() { return S_DecodeTrame.firmwareName; }

void P_LoaderLoadLoaderVersion(char** out)
{
    if (out != NULL)
        *out = S_EtatLoader.loaderVersionText;
}

void P_LoaderLoadFirmwareVersion(char** out)
{
    if (out != NULL)
        *out = S_EtatLoader.firmwareVersionText;
}

void P_LoaderLoadSerialNumber(char** out)
{
    if (out != NULL)
        *out = S_EtatLoader.serialNumberText;
}

// ---------------------------------------------------------------------------
// DSP names and firmware versions

int IsNumeric(int c) { return c >= '0' && c <= '9' ? 1 : 0; }

int F_LoaderDSPNomsDSP()
{
    char path[PATH_MAX];
    if (platform_path(NAMES_FILE, path, sizeof path) == NULL)
        return -1;
    // Another program writes the file: a FIFO or device put in its place must
    // not hang the run.
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    // One byte more than is read, so that the integers' text is always terminated.
    char text[NAMES_FILE_HEAD + 1];
    size_t got = readHead(fd, text, NAMES_FILE_HEAD);
    close(fd);
    text[got] = '\0';

    char* fields[] = {S_EtatLoader.loaderVersionText, S_EtatLoader.firmwareVersionText,
                      S_EtatLoader.serialNumberText};
    const size_t fieldCount = sizeof fields / sizeof fields[0];
    for (size_t i = 0; i < fieldCount; ++i)
        fields[i][0] = '\0';

    // A file that ends inside a field ends that field there; the fields
    // behind it stay empty and no integers are read.
    size_t pos = NAMES_HEADER_BYTES;
    for (size_t i = 0; i < fieldCount; ++i) {
        char* f = fields[i];
        if (pos >= got)
            return 1;
        size_t n = 0;
        while (pos < got && text[pos] != ',') {
            if (n == NAMES_FIELD_SIZE - 1) {
                f[0] = '\0';
                return -1;
            }
            f[n++] = text[pos++];
        }
        f[n] = '\0';
        if (pos >= got)
            return 1;
        ++pos;  // the ','
    }

    // "%d,%d,%d,%d,%d,%d", without sscanf's undefined behaviour on overflow:
    // an out-of-range number is clamped to the int32 range.
    const char* p = text + pos;
    const size_t valueCount = sizeof S_EtatLoader.dspValues / sizeof S_EtatLoader.dspValues[0];
    for (size_t i = 0; i < valueCount; ++i) {
        if (i != 0) {
            if (*p != ',')
                break;
            ++p;
        }
        char* end = NULL;
        long v = strtol(p, &end, 10);
        if (end == p)
            break;
        if (v > INT32_MAX)
            v = INT32_MAX;
        if (v < INT32_MIN)
            v = INT32_MIN;
        S_EtatLoader.dspValues[i] = static_cast<int32_t>(v);
        p = end;
    }
    return 1;
}

int F_GetFirmVersion(const char* text, int32_t* major, int32_t* minor)
{
    int32_t ignoredMajor = 0;
    int32_t ignoredMinor = 0;
    if (major == NULL)
        major = &ignoredMajor;
    if (minor == NULL)
        minor = &ignoredMinor;
    *major = 0;
    *minor = 0;
    if (text == NULL)
        return 0;

    const char* start = strstr(text, "DSP4");
    start = start != NULL ? start + 4 : text;
    const int LAST_POSITION = 31;
    int found = 0;
    for (int i = 0; i <= LAST_POSITION && start[i] != '\0' && found < 2;) {
        if (!IsNumeric(static_cast<unsigned char>(start[i]))) {
            ++i;
            continue;
        }
        int32_t number = start[i] - '0';
        ++i;
        // Numbers have at most two digits: "123" reads as 12, then 3.
        if (IsNumeric(static_cast<unsigned char>(start[i]))) {
            number = number * 10 + (start[i] - '0');
            ++i;
        }
        *(found == 0 ? major : minor) = number;
        ++found;
    }
    return 0;
}

// Image dispatch and the writers of the three CINT images: into their NOR
// regions on board version 1, as files on the NAND drive on board version 2.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flash/EEProm.h"
#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "platform/bigendian.h"
#include "platform/platform.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade.h"

ChargeFirmware S_ChargeFirmware = {-1, 0, 0, {}, 0};
uint8_t inter[UPG_INTER_SIZE];

int OpenUpload(const char* tmpPath)
{
    int fd;
    do {
        fd = open(tmpPath, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void CloseUpload()
{
    if (S_ChargeFirmware.fd >= 0)
        close(S_ChargeFirmware.fd);
    S_ChargeFirmware.fd = -1;
}

ssize_t ReadInter(int fd)
{
    ssize_t n;
    do {
        n = read(fd, inter, sizeof inter);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool Begins(const char* s, const char* prefix)
{
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

namespace {

// The regions come from the flash map: each ends where the next begins, and
// the version and info blocks sit at the map's offsets from the region's end.
constexpr int32_t kSector = FLASH_SECTOR_SIZE;
constexpr int32_t kHeaderSize = 8;
constexpr int32_t kBlockSize = 32;
constexpr int32_t kVersionFromEnd = FLASH_OFF_PARAM_MAINT - FLASH_OFF_VERSFIRMW;
constexpr int32_t kInfoFromEnd = FLASH_OFF_PARAM_USER - FLASH_OFF_INFOLOADER;

constexpr int32_t kWebSector = FLASH_OFF_WEB / FLASH_SECTOR_SIZE;
constexpr int32_t kWebSectors = (FLASH_OFF_FIRMW - FLASH_OFF_WEB) / FLASH_SECTOR_SIZE;
constexpr int32_t kFirmSector = FLASH_OFF_FIRMW / FLASH_SECTOR_SIZE;
constexpr int32_t kLoaderSector = FLASH_OFF_LOADER / FLASH_SECTOR_SIZE;
constexpr int32_t kLoaderSectors = (FLASH_OFF_PARAM_USER - FLASH_OFF_LOADER) / FLASH_SECTOR_SIZE;
static_assert(kWebSector == 27 && kWebSectors == 21 && kFirmSector == 48 && kLoaderSector == 59 &&
              kLoaderSectors == 1 && kVersionFromEnd == 128 && kInfoFromEnd == 256);

constexpr char kNandDir[] = "/NANDdrive/firm/";
constexpr char kTempStem[] = ".quibcopy";  // never matches the W*, F*, L* kinds

// Reads fd from its start through inter and hands each chunk's length to put;
// false when a read fails or put refuses a chunk.
template <typename Put>
bool ForEachChunk(int fd, Put put)
{
    if (lseek(fd, 0, SEEK_SET) != 0)
        return false;
    for (;;) {
        const ssize_t n = ReadInter(fd);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!put(static_cast<size_t>(n)))
            return false;
    }
}

uintptr_t SectorAddress(int32_t sector)
{
    return FLASH_ADD_DEBUT + static_cast<uintptr_t>(sector) * kSector;
}

// Programs len bytes at *cursor (advanced) and reads them back through the
// driver: a cell the chip reported done can still hold other bits. 0, or -1.
int WriteChecked(uintptr_t* cursor, const void* data, uint32_t len)
{
    const uintptr_t start = *cursor;
    if (F_FlashDrv_Write(cursor, data, len) != 0)
        return -1;
    const uint8_t* want = static_cast<const uint8_t*>(data);
    uint8_t back[256];
    for (uint32_t done = 0; done < len;) {
        const uint32_t n = len - done < sizeof back ? len - done : static_cast<uint32_t>(sizeof back);
        uintptr_t at = start + done;
        if (F_FlashDrv_Read(&at, back, n) != 0 || std::memcmp(back, want + done, n) != 0)
            return -1;
        done += n;
    }
    return 0;
}

int WriteWord(uintptr_t* cursor, uint32_t v)
{
    uint8_t be[4];
    platform_put_be32(be, v);
    return WriteChecked(cursor, be, sizeof be);
}

int WriteBlock(uintptr_t address, const void* block)
{
    return WriteChecked(&address, block, kBlockSize);
}

// What differs between the three NOR kinds.
struct NorKind {
    const char* label;
    int32_t firstSector;
    int32_t sectors;
    int32_t minSize;
    int32_t maxSize;          // the image must end before the region's blocks
    bool versionBlock;
    bool infoBlock;
    const char* nandOldPrefix;
    const char* nandName;     // null: the base name
};

void FillVersionName(const char* baseName)
{
    std::memset(S_ChargeFirmware.versionName, 0, sizeof S_ChargeFirmware.versionName);
    size_t n = 0;
    while (n < sizeof S_ChargeFirmware.versionName && baseName[n] != '\0' && baseName[n] != '.')
        ++n;
    std::memcpy(S_ChargeFirmware.versionName, baseName, n);
}

int WriteNor(const NorKind& k, const char* baseName)
{
    if (ComputeChecksumSize(&S_ChargeFirmware) < 0)
        return UPG_ERR_SIZE;
    if (CheckSize(&S_ChargeFirmware, k.minSize, k.maxSize) != 0)
        return UPG_ERR_SIZE;
    if (EraseFlashSectors(k.firstSector, k.sectors) < 0)
        return UPG_ERR_WRITE;

    const uintptr_t region = SectorAddress(k.firstSector);
    if (WriteImageInFlash(k.label, region + kHeaderSize, S_ChargeFirmware.fd) != 0) {
        S_ChargeFirmware.fd = -1;  // closed by the copy
        return UPG_ERR_WRITE;
    }

    const uintptr_t regionEnd = SectorAddress(k.firstSector + k.sectors);
    if (k.versionBlock) {
        FillVersionName(baseName);
        if (WriteBlock(regionEnd - kVersionFromEnd, S_ChargeFirmware.versionName) != 0)
            return UPG_ERR_WRITE;
    }
    if (k.infoBlock) {
        char info[kBlockSize] = {};
        std::snprintf(info, sizeof info, "LOADER : %d", 1);
        if (WriteBlock(regionEnd - kInfoFromEnd, info) != 0)
            return UPG_ERR_WRITE;
    }
    // The header last: until it is there the region reads erased, so a header
    // that agrees with its image means the image and its blocks are whole.
    uintptr_t cursor = region;
    if (WriteWord(&cursor, static_cast<uint32_t>(S_ChargeFirmware.size)) != 0 ||
        WriteWord(&cursor, S_ChargeFirmware.checksum) != 0)
        return UPG_ERR_WRITE;
    return UPG_DONE;
}

int WriteImage(const NorKind& k, const char* baseName, const char* tmpPath)
{
    S_ChargeFirmware.firstSector = k.firstSector;
    S_ChargeFirmware.fd = OpenUpload(tmpPath);
    if (S_ChargeFirmware.fd < 0)
        return UPG_ERR_NAME;

    int result;
    if (S_EtatLoader.boardVersion == 2) {
        // No size limit on the drive; the sum only describes the file.
        ComputeChecksumSize(&S_ChargeFirmware);
        const char* name = k.nandName != nullptr ? k.nandName : baseName;
        result = CopyUploadIntoPlace(S_ChargeFirmware.fd, kNandDir, name, k.nandOldPrefix) == 0
                     ? UPG_DONE
                     : UPG_ERR_WRITE;
    } else {
        result = WriteNor(k, baseName);
    }
    CloseUpload();
    return result;
}

bool WriteAll(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Copies fd from its start into the new file at path; flushed to disk.
bool CopyTo(int fd, const char* path)
{
    int out = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0)
        return false;
    bool ok = ForEachChunk(fd, [out](size_t n) { return WriteAll(out, inter, n); });
    // The stored files are read by other programs than this one.
    ok = ok && fchmod(out, 0644) == 0 && fsync(out) == 0;
    return close(out) == 0 && ok;
}

// Whether the file at path, read back after the flush, holds exactly the
// upload's bytes: the drive's own report of the writes is not taken as proof.
bool SameAsUpload(int fd, const char* path)
{
    int copy = open(path, O_RDONLY | O_CLOEXEC);
    if (copy < 0)
        return false;
    uint8_t back[UPG_INTER_SIZE];
    auto readAll = [copy, &back](size_t n) {
        for (size_t got = 0; got < n;) {
            const ssize_t r = read(copy, back + got, n - got);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            got += static_cast<size_t>(r);
        }
        return true;
    };
    bool same = ForEachChunk(fd, [&](size_t n) { return readAll(n) && std::memcmp(back, inter, n) == 0; });
    same = same && !readAll(1);
    close(copy);
    return same;
}

void SyncDirectory(const char* hostDir)
{
    int d = open(hostDir, O_RDONLY | O_CLOEXEC);
    if (d >= 0) {
        fsync(d);
        close(d);
    }
}

// Removes the older files of the kind but the new one, and copies left by an
// interrupted run.
void RemoveOlder(const char* hostDir, const char* oldPrefix, const char* finalName)
{
    DIR* dir = opendir(hostDir);
    if (dir == nullptr)
        return;
    char path[1024];
    while (const dirent* e = readdir(dir)) {
        const char* n = e->d_name;
        const bool older = oldPrefix != nullptr && Begins(n, oldPrefix) &&
                           std::strcmp(n, finalName) != 0;
        const bool staleCopy = Begins(n, kTempStem);
        if (!older && !staleCopy)
            continue;
        struct stat st {};
        if (std::snprintf(path, sizeof path, "%s%s", hostDir, n) < static_cast<int>(sizeof path) &&
            lstat(path, &st) == 0 && !S_ISDIR(st.st_mode))
            unlink(path);
    }
    closedir(dir);
}

}  // namespace

int ComputeChecksumSize(ChargeFirmware* record)
{
    record->size = 0;
    record->checksum = 0;
    uint32_t sum = 0;
    int64_t size = 0;
    const bool whole = ForEachChunk(record->fd, [&](size_t n) {
        size += static_cast<int64_t>(n);
        for (size_t i = 0; i < n; ++i)
            sum += inter[i];
        return true;
    });
    if (!whole || size > INT32_MAX)
        return -1;
    record->size = static_cast<int32_t>(size);
    record->checksum = sum;
    return 0;
}

int CheckSize(const ChargeFirmware* record, int32_t minSize, int32_t maxSize)
{
    if (maxSize > 0 && record->size > maxSize)
        return -1;
    if (minSize > 0 && record->size < minSize)
        return -1;
    return 0;
}

int EraseFlashSectors(int32_t firstSector, int32_t count)
{
    // The driver erases wherever it is told; on the 2 MiB chip most regions
    // lie past the window, so the whole range is checked before the first erase.
    if (FLASH_Size == 0 || firstSector < 0 || count < 0 ||
        static_cast<uint64_t>(firstSector + count) * kSector > FLASH_Size)
        return -1;
    for (int32_t i = 0; i < count; ++i) {
        upgrade_progress(UPG_PHASE_ERASING, i + 1, count);
        if (F_FlashDrv_EraseSector(SectorAddress(firstSector + i)) != 1)
            return -1;
    }
    return 0;
}

int WriteImageInFlash(const char* /*label*/, uintptr_t address, int fd)
{
    int64_t written = 0;
    if (ForEachChunk(fd, [&](size_t n) {
            if (WriteChecked(&address, inter, static_cast<uint32_t>(n)) != 0)
                return false;
            written += static_cast<int64_t>(n);
            upgrade_progress(UPG_PHASE_PROGRAMMING, written, S_ChargeFirmware.size);
            return true;
        }))
        return 0;
    close(fd);
    return -1;
}

int CopyUploadIntoPlace(int fd, const char* dir, const char* finalName, const char* oldPrefix)
{
    char hostDir[1024];
    char temp[1024];
    char target[1024];
    char tmpl[1024];
    if (finalName[0] == '\0' || std::strchr(finalName, '/') != nullptr ||
        platform_path(dir, hostDir, sizeof hostDir) == nullptr ||
        std::snprintf(tmpl, sizeof tmpl, "%s%sXXXXXX", dir, kTempStem) >= static_cast<int>(sizeof tmpl) ||
        std::snprintf(target, sizeof target, "%s%s", hostDir, finalName) >= static_cast<int>(sizeof target))
        return -1;
    if (platform_make_private_temp(tmpl, temp, sizeof temp) != 0)
        return -1;
    if (!CopyTo(fd, temp) || !SameAsUpload(fd, temp) || rename(temp, target) != 0) {
        unlink(temp);
        return -1;
    }
    // Only once the new file is in place do the older ones go: a failure
    // before this point leaves every previous file.
    RemoveOlder(hostDir, oldPrefix, finalName);
    SyncDirectory(hostDir);
    return 0;
}

int flash_Web(const char* baseName, const char* tmpPath)
{
    static constexpr NorKind k = {"Web MMI", kWebSector, kWebSectors, 0,
                                  kWebSectors * kSector - kHeaderSize,
                                  false, false, "W", "Web.tar.gz"};
    return WriteImage(k, baseName, tmpPath);
}

int flash_firmware(const char* baseName, const char* tmpPath)
{
    const int32_t n = S_EtatLoader.firmwareSectorCount;
    // Only the two region layouts the loaders know; anything else would reach
    // into the parameter sectors.
    const int32_t sectors = n == 8 || n == 10 ? n : 0;
    if (sectors == 0 && S_EtatLoader.boardVersion != 2)
        return UPG_ERR_WRITE;
    const NorKind k = {"CINT Firmware", kFirmSector, sectors, kSector,
                       sectors * kSector - kVersionFromEnd - kHeaderSize,
                       true, false, "F", nullptr};
    return WriteImage(k, baseName, tmpPath);
}

int flash_loader(const char* baseName, const char* tmpPath)
{
    static constexpr NorKind k = {"CINT Loader", kLoaderSector, kLoaderSectors, 1024,
                                  kLoaderSectors * kSector - kInfoFromEnd - kHeaderSize,
                                  true, true, "L", nullptr};
    return WriteImage(k, baseName, tmpPath);
}

int flash_file(const char* baseName, const char* tmpPath, char* typeText)
{
    // Nothing can be written without the service; saying "done" would be a lie.
    if (F_InitEEProm() != 0)
        return UPG_ERR_WRITE;

    struct Kind {
        const char* prefix;
        const char* type;
        int (*writer)(const char*, const char*);
        bool stored;  // written here (flash or NAND drive), not handed to a peer
    };
    static constexpr Kind kinds[] = {
        {"Web", "IHM", flash_Web, true},
        {"FrmWCINT", "FirmwareCINT", flash_firmware, true},
        {"LoaderCINT", "LoaderCINT", flash_loader, true},
        {"FrmWDSP", "FirmwareDSP", flash_firmwareDSP, false},
        {"LoaderDSP", "LoaderDSP", flash_loaderDSP, false},
    };
    for (const Kind& k : kinds) {
        if (Begins(baseName, k.prefix)) {
            std::snprintf(typeText, 128, "%s", k.type);
            // The page shows the progress as the instrument's storage being written.
            if (k.stored)
                upgrade_progress_begin(baseName);
            const int result = k.writer(baseName, tmpPath);
            upgrade_progress_end();
            return result;
        }
    }
    return UPG_ERR_KIND;
}

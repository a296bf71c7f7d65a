// The CINT images (web archive, firmware, loader): into their NOR regions on
// board version 1, laid out by the flash map; to the file store on board version 2.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flash/EEProm.h"
#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "platform/bigendian.h"
#include "platform/compile_check.h"
#include "platform/platform.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade_internal.h"

namespace {

// The regions come from the flash map: each ends where the next begins, and
// the version and info blocks sit at the map's offsets from the region's end.
const int32_t kSector = FLASH_SECTOR_SIZE;
const int32_t kHeaderSize = 8;
enum { kBlockSize = 32 };
const int32_t kVersionFromEnd = FLASH_OFF_PARAM_MAINT - FLASH_OFF_VERSFIRMW;
const int32_t kInfoFromEnd = FLASH_OFF_PARAM_USER - FLASH_OFF_INFOLOADER;

const int32_t kWebSector = FLASH_OFF_WEB / FLASH_SECTOR_SIZE;
const int32_t kWebSectors = (FLASH_OFF_FIRMW - FLASH_OFF_WEB) / FLASH_SECTOR_SIZE;
const int32_t kFirmSector = FLASH_OFF_FIRMW / FLASH_SECTOR_SIZE;
const int32_t kLoaderSector = FLASH_OFF_LOADER / FLASH_SECTOR_SIZE;
const int32_t kLoaderSectors = (FLASH_OFF_PARAM_USER - FLASH_OFF_LOADER) / FLASH_SECTOR_SIZE;
QUIB_COMPILE_CHECK(kWebSector == 27 && kWebSectors == 21 && kFirmSector == 48 &&
                   kLoaderSector == 59 && kLoaderSectors == 1 && kVersionFromEnd == 128 &&
                   kInfoFromEnd == 256);

const char kNandDir[] = "/NANDdrive/firm/";

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
        if (F_FlashDrv_Read(&at, back, n) != 0 || memcmp(back, want + done, n) != 0)
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

// Where the copy of an image into flash has got to.
struct FlashCopy {
    uintptr_t address;  // of the next chunk
    int64_t written;    // bytes programmed and read back
};

// Programs the n bytes of inter at copy->address (advanced), read back, and
// records the progress: false when the write or its read-back fails.
bool ProgramChunk(FlashCopy* copy, size_t n)
{
    if (WriteChecked(&copy->address, inter, static_cast<uint32_t>(n)) != 0)
        return false;
    copy->written += static_cast<int64_t>(n);
    upgrade_progress(UPG_PHASE_PROGRAMMING, copy->written, S_ChargeFirmware.size);
    return true;
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
    memset(S_ChargeFirmware.versionName, 0, sizeof S_ChargeFirmware.versionName);
    size_t n = 0;
    while (n < sizeof S_ChargeFirmware.versionName && baseName[n] != '\0' && baseName[n] != '.')
        ++n;
    memcpy(S_ChargeFirmware.versionName, baseName, n);
}

// Erases the kind's region and writes the upload, its blocks and its header.
int WriteRegion(const NorKind& k, const char* baseName)
{
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
        snprintf(info, sizeof info, "LOADER : %d", 1);
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

int WriteNor(const NorKind& k, const char* baseName)
{
    if (ComputeChecksumSize(&S_ChargeFirmware) < 0)
        return UPG_ERR_SIZE;
    if (CheckSize(&S_ChargeFirmware, k.minSize, k.maxSize) != 0)
        return UPG_ERR_SIZE;
    // A run told to end meanwhile ends once the region is whole (or its write
    // has failed), never with the region half written.
    platform_hold_termination();
    const int result = WriteRegion(k, baseName);
    platform_release_termination();
    return result;
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
        const char* name = k.nandName != NULL ? k.nandName : baseName;
        result = CopyUploadIntoPlace(S_ChargeFirmware.fd, kNandDir, name, k.nandOldPrefix) == 0
                     ? UPG_DONE
                     : UPG_ERR_WRITE;
    } else {
        result = WriteNor(k, baseName);
    }
    CloseUpload();
    return result;
}

}  // namespace

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
    FlashCopy copy = {address, 0};
    if (ForEachChunk(fd, ProgramChunk, &copy))
        return 0;
    close(fd);
    return -1;
}

int flash_Web(const char* baseName, const char* tmpPath)
{
    static const NorKind k = {"Web MMI", kWebSector, kWebSectors, 0,
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
                       true, false, "F", NULL};
    return WriteImage(k, baseName, tmpPath);
}

int flash_loader(const char* baseName, const char* tmpPath)
{
    static const NorKind k = {"CINT Loader", kLoaderSector, kLoaderSectors, 1024,
                              kLoaderSectors * kSector - kInfoFromEnd - kHeaderSize,
                              true, true, "L", NULL};
    return WriteImage(k, baseName, tmpPath);
}

// NOR flash driver: maps and identifies the byte-wide JEDEC device at the top
// of the physical space, publishes the flash memory map, and programs and
// erases it with the AMD command set. Every device access is one bus cycle
// through platform_bus_read8/write8, in program order.
#include "flash/Flash_Drv.h"

#include <unistd.h>

#include "platform/platform.h"

uintptr_t FLASH_ADD_DEBUT = 0;
uint32_t FLASH_Size = 0;
uintptr_t FLASH_ADD_FIN = 0;
uint8_t V_FlashDrv_MemType = 0;

uintptr_t FLASH_ADD_IMAGE = 0;
uintptr_t FLASH_ADD_WEB = 0;
uintptr_t FLASH_ADD_FIRMW = 0;
uintptr_t FLASH_ADD_VERSFIRMW = 0;
uintptr_t FLASH_ADD_PARAM_MAINT = 0;
uintptr_t FLASH_ADD_LOADER = 0;
uintptr_t FLASH_ADD_INFOLOADER = 0;
uintptr_t FLASH_ADD_VERSLOADER = 0;
uintptr_t FLASH_ADD_PARAM_USER = 0;
uintptr_t FLASH_ADD_PARAM_PROD = 0;
uintptr_t FLASH_ADD_PARAM_RFU2 = 0;
uintptr_t FLASH_ADD_PARAM_RFU1 = 0;

const S_FlashMapEntry FLASH_MAP[] = {
    {"FLASH_ADD_IMAGE", &FLASH_ADD_IMAGE, FLASH_OFF_IMAGE},
    {"FLASH_ADD_WEB", &FLASH_ADD_WEB, FLASH_OFF_WEB},
    {"FLASH_ADD_FIRMW", &FLASH_ADD_FIRMW, FLASH_OFF_FIRMW},
    {"FLASH_ADD_VERSFIRMW", &FLASH_ADD_VERSFIRMW, FLASH_OFF_VERSFIRMW},
    {"FLASH_ADD_PARAM_MAINT", &FLASH_ADD_PARAM_MAINT, FLASH_OFF_PARAM_MAINT},
    {"FLASH_ADD_LOADER", &FLASH_ADD_LOADER, FLASH_OFF_LOADER},
    {"FLASH_ADD_INFOLOADER", &FLASH_ADD_INFOLOADER, FLASH_OFF_INFOLOADER},
    {"FLASH_ADD_VERSLOADER", &FLASH_ADD_VERSLOADER, FLASH_OFF_VERSLOADER},
    {"FLASH_ADD_PARAM_USER", &FLASH_ADD_PARAM_USER, FLASH_OFF_PARAM_USER},
    {"FLASH_ADD_PARAM_PROD", &FLASH_ADD_PARAM_PROD, FLASH_OFF_PARAM_PROD},
    {"FLASH_ADD_PARAM_RFU2", &FLASH_ADD_PARAM_RFU2, FLASH_OFF_PARAM_RFU2},
    {"FLASH_ADD_PARAM_RFU1", &FLASH_ADD_PARAM_RFU1, FLASH_OFF_PARAM_RFU1},
};

namespace {

const uint64_t kPhysLower = 0xFFE00000;  // the 2 MiB part, and the first probe
const uint64_t kPhysUpper = 0xFFC00000;  // the 4 MiB parts
enum { kProbeLen = 16 };                 // whole pages get mapped: 0xAAA is inside
const uint32_t kCmd1 = 0xAAA;
const uint32_t kCmd2 = 0x555;
const useconds_t kErasePollSleepUs = 200000;

const int kDevMemProt = PROT_READ | PROT_WRITE | PROT_NOCACHE;

void busWrite(uint32_t offset, uint8_t value) { platform_bus_write8(FLASH_ADD_DEBUT + offset, value); }

void unlock()
{
    busWrite(kCmd1, 0xAA);
    busWrite(kCmd2, 0x55);
}

void enterBypass()
{
    unlock();
    busWrite(kCmd1, 0x20);
}

void leaveBypass()
{
    busWrite(kCmd1, 0x90);
    busWrite(kCmd2, 0x00);
}

void autoselect()
{
    unlock();
    busWrite(kCmd1, 0x90);
}

// Maps len bytes of the device at physical; 0 when the mapping failed.
uintptr_t mapDevice(size_t len, uint64_t physical)
{
    void* p = mmap_device_memory(NULL, len, kDevMemProt, MAP_SHARED, physical);
    return p == MAP_FAILED ? 0 : reinterpret_cast<uintptr_t>(p);
}

// Reads the device code through a probe mapping at physical; false when the
// probe could not be mapped.
bool probe(uint64_t physical)
{
    uintptr_t p = mapDevice(kProbeLen, physical);
    if (p == 0)
        return false;
    FLASH_ADD_DEBUT = p;
    V_FlashDrv_MemType = F_FlashDrv_Get_FlashID();
    munmap_device_memory(reinterpret_cast<void*>(p), kProbeLen);
    return true;
}

// Publishes the map of the window at FLASH_ADD_DEBUT.
void setMap()
{
    FLASH_ADD_FIN = FLASH_ADD_DEBUT + FLASH_Size;
    for (int i = 0; i < FLASH_MAP_ENTRIES; ++i)
        *FLASH_MAP[i].address = FLASH_ADD_DEBUT + FLASH_MAP[i].offset;
}

// Empties the window and the map, so that every later access fails with -2.
void clearMap()
{
    FLASH_ADD_DEBUT = 0;
    FLASH_Size = 0;
    FLASH_ADD_FIN = 0;
    for (int i = 0; i < FLASH_MAP_ENTRIES; ++i)
        *FLASH_MAP[i].address = 0;
}

int failInit()
{
    clearMap();
    return -4;
}

bool bit7Matches(uint8_t read, uint8_t data) { return ((read ^ data) & 0x80) == 0; }

// Polls DQ7 until it shows data's bit 7 (1), or until DQ5 reports the
// operation timed out (0, the chip reset). An erase polls with a pause after
// each status that is not yet final; a program polls flat out.
int pollStatus(uintptr_t target, uint8_t data, useconds_t pauseUs)
{
    while (true) {
        uint8_t status = platform_bus_read8(target);
        if (bit7Matches(status, data))
            return 1;
        if (pauseUs != 0)
            usleep(pauseUs);
        if ((status & 0x20) == 0)
            continue;
        // DQ5 and DQ7 may change together: read once more before giving up.
        if (bit7Matches(platform_bus_read8(target), data))
            return 1;
        P_FlashDrv_Reset(target);
        return 0;
    }
}

}  // namespace

int F_FlashDrv_Init()
{
    // A second Init (F_InitEEProm after cgiMain's) releases the first window
    // rather than leaving it mapped for the rest of the process.
    F_FlashDrv_Close();
    ThreadCtl(_NTO_TCTL_IO, NULL);
    V_FlashDrv_MemType = 0xC8;

    if (!probe(kPhysLower))
        return failInit();
    uint64_t physical = kPhysUpper;
    if (V_FlashDrv_MemType == 0xC8) {
        FLASH_Size = 0x200000;
        physical = kPhysLower;
    } else if (V_FlashDrv_MemType == 0x93) {
        FLASH_Size = 0x400000;
    } else {
        // The lower probe only tells the 2 MiB part and the 0x93 part; the
        // other 4 MiB parts answer at their own base.
        V_FlashDrv_MemType = 0xA3;
        if (!probe(kPhysUpper))
            return failInit();
        if (V_FlashDrv_MemType != 0xA3 && V_FlashDrv_MemType != 0x53)
            return failInit();
        FLASH_Size = 0x400000;
    }

    uintptr_t window = mapDevice(FLASH_Size, physical);
    if (window == 0)
        return failInit();
    FLASH_ADD_DEBUT = window;
    setMap();
    return 0;
}

int F_FlashDrv_Close()
{
    if (FLASH_Size == 0)
        return 0;
    const int rc = munmap_device_memory(reinterpret_cast<void*>(FLASH_ADD_DEBUT), FLASH_Size);
    clearMap();
    return rc;
}

uint8_t F_FlashDrv_Get_FlashID()
{
    autoselect();
    uint8_t id = platform_bus_read8(FLASH_ADD_DEBUT + 1);
    if (id == 0 || id == 1) {
        // Parts that put a continuation byte at offset 1 keep the code at offset 2.
        autoselect();
        id = platform_bus_read8(FLASH_ADD_DEBUT + 2);
    }
    busWrite(kCmd1, 0xF0);
    return id;
}

void P_FlashDrv_Reset(uintptr_t target) { platform_bus_write8(target, 0xF0); }

int P_FlashDrv_DataPolling(uintptr_t target, uint8_t data) { return pollStatus(target, data, 0); }

int P_FlashDrv_DataPolling_sleep(uintptr_t target, uint8_t data)
{
    return pollStatus(target, data, kErasePollSleepUs);
}

// By offset from the window's first byte: a window mapped at the top of a
// 32-bit address space has FLASH_ADD_FIN wrapped to 0. An address below the
// window wraps to an offset past FLASH_Size.
bool F_FlashDrv_InWindow(uintptr_t addr) { return addr - FLASH_ADD_DEBUT < FLASH_Size; }

// start and start + len - 1 both inside the window, computed without the
// wrap-around that a huge len would cause in 32-bit arithmetic.
bool F_FlashDrv_RangeInWindow(uintptr_t start, uint32_t len)
{
    if (!F_FlashDrv_InWindow(start))
        return false;
    const uintptr_t offset = start - FLASH_ADD_DEBUT;
    if (len == 0)
        return offset > 0;
    return len - 1 < FLASH_Size - offset;
}

int F_FlashDrv_GetByte(uintptr_t addr)
{
    if (!F_FlashDrv_InWindow(addr))
        return -2;
    return platform_bus_read8(addr);
}

int F_FlashDrv_SetByte(uintptr_t addr, uint8_t value)
{
    if (!F_FlashDrv_InWindow(addr))
        return -2;
    for (int attempt = 0; attempt < 2; ++attempt) {
        unlock();
        busWrite(kCmd1, 0xA0);
        platform_bus_write8(addr, value);
        if (P_FlashDrv_DataPolling(addr, value))
            return 0;
    }
    return -3;
}

int F_FlashDrv_ReadByte(uintptr_t* cursor, uint8_t* out)
{
    int rc = F_FlashDrv_GetByte(*cursor);
    ++*cursor;
    if (rc < 0)
        return rc;
    *out = static_cast<uint8_t>(rc);
    return 0;
}

int F_FlashDrv_WriteByte(uintptr_t* cursor, uint8_t value)
{
    int rc = F_FlashDrv_SetByte(*cursor, value);
    if (rc == 0)
        ++*cursor;
    return rc;
}

int F_FlashDrv_Read(uintptr_t* cursor, void* buf, uint32_t len)
{
    uintptr_t start = *cursor;
    if (!F_FlashDrv_RangeInWindow(start, len))
        return -2;
    uint8_t* dst = static_cast<uint8_t*>(buf);
    for (uint32_t i = 0; i < len; ++i)
        dst[i] = platform_bus_read8(start + i);
    *cursor = start + len;
    return 0;
}

int F_FlashDrv_Write(uintptr_t* cursor, const void* buf, uint32_t len)
{
    uintptr_t start = *cursor;
    if (!F_FlashDrv_RangeInWindow(start, len))
        return -2;
    const uint8_t* src = static_cast<const uint8_t*>(buf);
    enterBypass();
    for (uint32_t i = 0; i < len; ++i) {
        busWrite(kCmd1, 0xA0);
        platform_bus_write8(start + i, src[i]);
        if (!P_FlashDrv_DataPolling(start + i, src[i])) {
            leaveBypass();
            return -3;
        }
    }
    leaveBypass();
    *cursor = start + len;
    return 0;
}

int F_FlashDrv_EraseSector(uintptr_t sector)
{
    // An erase command sent outside the window would be bus writes into
    // memory that is not the chip.
    if (!F_FlashDrv_InWindow(sector))
        return 0;
    unlock();
    busWrite(kCmd1, 0x80);
    unlock();
    platform_bus_write8(sector, 0x30);
    return P_FlashDrv_DataPolling_sleep(sector, 0xFF);
}

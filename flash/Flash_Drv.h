// NOR flash driver and the flash memory map.
// Window addresses are uintptr_t everywhere (32 bits on the instrument), and
// the device is reached only through platform_bus_read8/write8.
#pragma once

#include <stdint.h>

// ---- The flash memory map, set by F_FlashDrv_Init ----
extern uintptr_t FLASH_ADD_DEBUT;
extern uint32_t FLASH_Size;
extern uintptr_t FLASH_ADD_FIN;
extern uint8_t V_FlashDrv_MemType;

extern uintptr_t FLASH_ADD_IMAGE;
extern uintptr_t FLASH_ADD_WEB;
extern uintptr_t FLASH_ADD_FIRMW;
extern uintptr_t FLASH_ADD_VERSFIRMW;
extern uintptr_t FLASH_ADD_PARAM_MAINT;
extern uintptr_t FLASH_ADD_LOADER;
extern uintptr_t FLASH_ADD_INFOLOADER;
extern uintptr_t FLASH_ADD_VERSLOADER;
extern uintptr_t FLASH_ADD_PARAM_USER;
extern uintptr_t FLASH_ADD_PARAM_PROD;
extern uintptr_t FLASH_ADD_PARAM_RFU2;
extern uintptr_t FLASH_ADD_PARAM_RFU1;

// Offsets of the regions from the first byte of the window.
static const uint32_t FLASH_SECTOR_SIZE = 0x10000;
static const uint32_t FLASH_OFF_IMAGE = 0x000000;
static const uint32_t FLASH_OFF_WEB = 0x1B0000;
static const uint32_t FLASH_OFF_FIRMW = 0x300000;
static const uint32_t FLASH_OFF_VERSFIRMW = 0x39FF80;
static const uint32_t FLASH_OFF_PARAM_MAINT = 0x3A0000;
static const uint32_t FLASH_OFF_LOADER = 0x3B0000;
static const uint32_t FLASH_OFF_INFOLOADER = 0x3BFF00;
static const uint32_t FLASH_OFF_VERSLOADER = 0x3BFF80;
static const uint32_t FLASH_OFF_PARAM_USER = 0x3C0000;
static const uint32_t FLASH_OFF_PARAM_PROD = 0x3D0000;
static const uint32_t FLASH_OFF_PARAM_RFU2 = 0x3E0000;
static const uint32_t FLASH_OFF_PARAM_RFU1 = 0x3F0000;

// The map as one table: F_FlashDrv_Init sets each address from it, and
// whatever lists the map reads it here rather than keeping its own list.
struct S_FlashMapEntry {
    const char* name;
    uintptr_t* address;
    uint32_t offset;
};
// Defined in Flash_Drv.cpp; a definition with another count does not compile.
enum { FLASH_MAP_ENTRIES = 12 };
extern const S_FlashMapEntry FLASH_MAP[FLASH_MAP_ENTRIES];

// Driver results: 0 success, -2 outside the window, -3 programming failed,
// -4 mapping or identification failed. One window a process: Init releases
// the window of an earlier Init; Close releases it and empties the map, so
// that later accesses fail with -2 (0 for an erase). Close of no window is 0.
int F_FlashDrv_Init();
int F_FlashDrv_Close();
uint8_t F_FlashDrv_Get_FlashID();

int F_FlashDrv_GetByte(uintptr_t addr);
int F_FlashDrv_SetByte(uintptr_t addr, uint8_t value);
int F_FlashDrv_ReadByte(uintptr_t* cursor, uint8_t* out);
int F_FlashDrv_WriteByte(uintptr_t* cursor, uint8_t value);
int F_FlashDrv_Read(uintptr_t* cursor, void* buf, uint32_t len);
int F_FlashDrv_Write(uintptr_t* cursor, const void* buf, uint32_t len);
// 1 erased, 0 failed (also for an address outside the window).
int F_FlashDrv_EraseSector(uintptr_t sector);

// Whether addr, or every byte of len bytes from start, lies in the mapped
// window (false for all before F_FlashDrv_Init and after it failed). A length
// of 0 puts the last byte at start - 1, so it fails at the window's first byte.
bool F_FlashDrv_InWindow(uintptr_t addr);
bool F_FlashDrv_RangeInWindow(uintptr_t start, uint32_t len);

// Driver-internal, exposed for tests.
void P_FlashDrv_Reset(uintptr_t target);
int P_FlashDrv_DataPolling(uintptr_t target, uint8_t data);
int P_FlashDrv_DataPolling_sleep(uintptr_t target, uint8_t data);

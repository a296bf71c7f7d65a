// The flash pack record store: a chain of packs (4-byte header, then data)
// from the first byte of a parameter sector, ended by an erased header.
// A pack is never rewritten in place: a save marks the old pack obsolete by
// clearing bits of its status and appends the new one.
//
// A chain address inside the flash window goes through the flash driver; any
// other non-zero address is ordinary memory holding a sector image, so that a
// copy of a sector can be walked and decoded with the same operations.
// A chain never extends past the 64 KiB sector (block) of its base.
#pragma once

#include <cstdint>

constexpr uint8_t FLASHPACK_STATUS_FREE = 0xFF;      // erased: the chain ends here
constexpr uint8_t FLASHPACK_STATUS_WRITING = 0xFE;   // header programmed, data under way
constexpr uint8_t FLASHPACK_STATUS_VALID = 0xF8;
constexpr uint8_t FLASHPACK_STATUS_OBSOLETE = 0xC0;

constexpr uint32_t FLASHPACK_HEAD_SIZE = 4;
constexpr uint32_t FLASHPACK_BLOCK_SIZE = 0x10000;
constexpr uint32_t FLASHPACK_BUFFER_SIZE = 10240;

// Results: 0 success, or a count from the reading operations.
constexpr int FLASHPACK_ERR_BITFIELD = -1;   // bit field exhausted or empty
constexpr int FLASHPACK_ERR_RANGE = -2;      // from the driver: outside the window
constexpr int FLASHPACK_ERR_ADDRESS = -3;    // address 0 (also the driver's programming failure)
constexpr int FLASHPACK_ERR_END = -4;        // end of chain reached
constexpr int FLASHPACK_ERR_BLOCK = -5;      // next header in another block / no room in the sector
constexpr int FLASHPACK_ERR_NOT_FREE = -6;   // the place to write is not erased
constexpr int FLASHPACK_ERR_NO_PACK = -7;    // no valid pack with that id

// The header exactly as it lies in flash; the length is most significant byte first.
struct S_FlashPackHeader {
    uint8_t ucStatus;
    uint8_t ucId;
    uint8_t aucLength[2];
};
static_assert(sizeof(S_FlashPackHeader) == FLASHPACK_HEAD_SIZE);

constexpr uint16_t F_FlashPack_HeadLength(const S_FlashPackHeader& h)
{
    return static_cast<uint16_t>((h.aucLength[0] << 8) | h.aucLength[1]);
}

constexpr S_FlashPackHeader F_FlashPack_MakeHead(uint8_t status, uint8_t id, uint16_t length)
{
    return S_FlashPackHeader{status, id,
                             {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)}};
}

extern uint8_t V_A_cFlashTab[FLASHPACK_BUFFER_SIZE];
extern uint8_t* V_A_cFlashMem;
extern S_FlashPackHeader V_S_sFlashPackHeader;

int F_FlashPack_Init();

int F_FlashPack_ReadHead(uintptr_t addr, S_FlashPackHeader* header);
int F_FlashPack_NextHead(uintptr_t* cursor, const S_FlashPackHeader* header);
int F_FlashPack_Read(uintptr_t addr, const S_FlashPackHeader* header, void* buf, int size);
int F_FlashPack_Write(uintptr_t addr, const S_FlashPackHeader* header, const void* data, uint32_t len);

int F_FlashPack_CrcMk(const S_FlashPackHeader* header, const void* data, uint32_t len);
int F_FlashPack_CrcCk(const S_FlashPackHeader* header, const void* buf, int size);

// The address of the valid pack of id (its header in *header), or 0 with the
// address where the chain ends stored through end. The walk stops at a free
// header or where no further header fits in the base's sector; in the latter
// case *end is that address and the sector has no room left.
uintptr_t F_FlashPack_SearchPackId(uintptr_t base, uint8_t id, S_FlashPackHeader* header,
                                   uintptr_t* end);
int F_FlashPack_LoadPackId(uintptr_t base, uint8_t id, void* buf, int size);
// Refuses with -5, writing nothing, when the new pack would not fit before the
// end of the base's sector; a failure to obsolete the old pack is returned
// before anything else is written.
int F_FlashPack_SavePackId(uintptr_t base, uint8_t id, const void* data, uint32_t len);

int F_FlashPack_BitField_MK(uintptr_t base, uint8_t id, uint32_t nbytes);
int F_FlashPack_BitField_Inc(uintptr_t base, uint8_t id, int* count);
int F_FlashPack_BitField_Get(uintptr_t base, uint8_t id);

// First address past the 64 KiB sector that holds addr: sectors are counted from
// the window's first byte inside the window, from address 0 elsewhere.
uintptr_t F_FlashPack_SectorEnd(uintptr_t addr);

// The flash pack record store: a chain of packs (4-byte header, then data)
// from the first byte of a parameter sector, ended by an erased header.
// A pack is never rewritten in place: a save appends the new pack, makes it
// valid, and only then marks the older packs of its id obsolete by clearing
// bits of their status, so a power cut never leaves the id without a record.
// A header is programmed id and length first, status last: a cut inside it
// leaves a free status over programmed bytes (a torn header), which the next
// save takes over or seals; every other header's length can be trusted.
//
// A pack address inside the flash window goes through the flash driver for
// every byte of the pack; any other non-zero address is ordinary memory
// holding a sector image, so that a copy of a sector can be walked and
// decoded with the same operations.
// A chain never extends past the 64 KiB sector (block) of its base.
#pragma once

#include <stdint.h>

#include "platform/compile_check.h"

static const uint8_t FLASHPACK_STATUS_FREE = 0xFF;      // erased: the chain ends here
static const uint8_t FLASHPACK_STATUS_WRITING = 0xFE;   // header programmed, data under way
static const uint8_t FLASHPACK_STATUS_VALID = 0xF8;
static const uint8_t FLASHPACK_STATUS_OBSOLETE = 0xC0;

static const uint32_t FLASHPACK_HEAD_SIZE = 4;
static const uint32_t FLASHPACK_BLOCK_SIZE = 0x10000;
static const uint32_t FLASHPACK_BUFFER_SIZE = 10240;

// Results: 0 success, or a count from the reading operations.
static const int FLASHPACK_ERR_BITFIELD = -1;   // bit field exhausted or empty
static const int FLASHPACK_ERR_RANGE = -2;      // from the driver: outside the window
static const int FLASHPACK_ERR_ADDRESS = -3;    // address 0 (also the driver's programming failure)
static const int FLASHPACK_ERR_END = -4;        // end of chain reached
static const int FLASHPACK_ERR_BLOCK = -5;      // next header in another block / no room in the sector
static const int FLASHPACK_ERR_NOT_FREE = -6;   // the place to write is not erased
static const int FLASHPACK_ERR_NO_PACK = -7;    // no valid pack with that id

// The header exactly as it lies in flash; the length is most significant byte first.
struct S_FlashPackHeader {
    uint8_t ucStatus;
    uint8_t ucId;
    uint8_t aucLength[2];
};
QUIB_COMPILE_CHECK(sizeof(S_FlashPackHeader) == FLASHPACK_HEAD_SIZE);

inline uint16_t F_FlashPack_HeadLength(const S_FlashPackHeader& h)
{
    return static_cast<uint16_t>((h.aucLength[0] << 8) | h.aucLength[1]);
}

// A free status over id or length bytes that a cut left programmed: the chain
// ends there, and the next save reuses or seals those four bytes.
inline bool F_FlashPack_HeadTorn(const S_FlashPackHeader& h)
{
    return h.ucStatus == FLASHPACK_STATUS_FREE &&
           (h.ucId != 0xFF || h.aucLength[0] != 0xFF || h.aucLength[1] != 0xFF);
}

inline S_FlashPackHeader F_FlashPack_MakeHead(uint8_t status, uint8_t id, uint16_t length)
{
    const S_FlashPackHeader h = {status, id,
                                 {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)}};
    return h;
}

extern uint8_t V_A_cFlashTab[FLASHPACK_BUFFER_SIZE];
extern uint8_t* V_A_cFlashMem;
extern S_FlashPackHeader V_S_sFlashPackHeader;

int F_FlashPack_Init();

int F_FlashPack_ReadHead(uintptr_t addr, S_FlashPackHeader* header);
int F_FlashPack_NextHead(uintptr_t* cursor, const S_FlashPackHeader* header);
int F_FlashPack_Read(uintptr_t addr, const S_FlashPackHeader* header, void* buf, int size);
// In the window: -6, nothing written, unless the place is free and a torn header
// there can take the new header's bytes; -2, nothing written, when the pack
// would run past the window.
int F_FlashPack_Write(uintptr_t addr, const S_FlashPackHeader* header, const void* data, uint32_t len);

int F_FlashPack_CrcMk(const S_FlashPackHeader* header, const void* data, uint32_t len);
int F_FlashPack_CrcCk(const S_FlashPackHeader* header, const void* buf, int size);

// The address of the valid pack of id (its header in *header), or 0 with the
// address where the chain ends stored through end. The walk stops at a free
// (or torn) header or where no further header fits in the base's sector; in
// the latter case *end is that address and the sector has no room left.
// When a cut left two valid packs of the id, the later one is returned: its
// save had completed, only the retirement of the older one had not.
uintptr_t F_FlashPack_SearchPackId(uintptr_t base, uint8_t id, S_FlashPackHeader* header,
                                   uintptr_t* end);
int F_FlashPack_LoadPackId(uintptr_t base, uint8_t id, void* buf, int size);
// Appends the new pack, makes it valid, then makes every older valid pack of
// id obsolete. Refuses with -5, writing nothing, when the new pack would not
// fit before the end of the base's sector. A failure to obsolete an older pack
// is returned after the new one is valid (loads already give the new record).
int F_FlashPack_SavePackId(uintptr_t base, uint8_t id, const void* data, uint32_t len);

int F_FlashPack_BitField_MK(uintptr_t base, uint8_t id, uint32_t nbytes);
int F_FlashPack_BitField_Inc(uintptr_t base, uint8_t id, int* count);
int F_FlashPack_BitField_Get(uintptr_t base, uint8_t id);

// First address past the 64 KiB sector that holds addr: sectors are counted from
// the window's first byte inside the window, from address 0 elsewhere.
uintptr_t F_FlashPack_SectorEnd(uintptr_t addr);

#include "flash/Flash_Pack.h"

#include <cstring>

#include "flash/Flash_Drv.h"

uint8_t V_A_cFlashTab[FLASHPACK_BUFFER_SIZE];
uint8_t* V_A_cFlashMem = nullptr;
S_FlashPackHeader V_S_sFlashPackHeader = {FLASHPACK_STATUS_FREE, 0, {0, 0}};

namespace {

int P_FlashPack_ReadBytes(uintptr_t addr, void* buf, uint32_t len)
{
    if (len == 0)
        return 0;
    if (F_FlashDrv_InWindow(addr)) {
        uintptr_t cursor = addr;
        return F_FlashDrv_Read(&cursor, buf, len);
    }
    std::memcpy(buf, reinterpret_cast<const void*>(addr), len);
    return 0;
}

// Programs bytes in flash, or stores them in memory for a chain held there.
int P_FlashPack_Program(uintptr_t addr, const void* data, uint32_t len)
{
    if (len == 0)
        return 0;
    if (F_FlashDrv_InWindow(addr)) {
        uintptr_t cursor = addr;
        return F_FlashDrv_Write(&cursor, data, len);
    }
    std::memcpy(reinterpret_cast<void*>(addr), data, len);
    return 0;
}

// A status change is one byte that only clears bits; SetByte retries once.
int P_FlashPack_SetStatus(uintptr_t addr, uint8_t status)
{
    if (F_FlashDrv_InWindow(addr))
        return F_FlashDrv_SetByte(addr, status);
    *reinterpret_cast<uint8_t*>(addr) = status;
    return 0;
}

struct WalkResult {
    uintptr_t found = 0;        // first valid pack of the id, 0 when none
    S_FlashPackHeader head{};   // its header
    uintptr_t end = 0;          // where the walk stopped
};

// Walks the chain from base within base's sector. With stopAtMatch the walk
// ends at the first valid pack of id; otherwise it goes on to the chain's end,
// which a save needs to know before it touches anything.
WalkResult P_FlashPack_Walk(uintptr_t base, uint8_t id, bool stopAtMatch)
{
    WalkResult r;
    uintptr_t addr = base;
    const uintptr_t limit = F_FlashPack_SectorEnd(base);
    while (addr != 0 && addr <= limit && limit - addr >= FLASHPACK_HEAD_SIZE) {
        S_FlashPackHeader h;
        if (F_FlashPack_ReadHead(addr, &h) != 0 || h.ucStatus == FLASHPACK_STATUS_FREE)
            break;
        if (r.found == 0 && h.ucStatus == FLASHPACK_STATUS_VALID && h.ucId == id) {
            r.found = addr;
            r.head = h;
            if (stopAtMatch)
                return r;
        }
        addr += FLASHPACK_HEAD_SIZE + F_FlashPack_HeadLength(h);
    }
    r.end = addr;
    return r;
}

// Where a new pack of 4 + len bytes goes: the chain's free header, provided the
// whole pack fits before the end of base's sector. Nothing is written here.
int P_FlashPack_AppendPlace(uintptr_t base, uint32_t len, const WalkResult& w)
{
    const uintptr_t limit = F_FlashPack_SectorEnd(base);
    if (w.end == 0 || w.end > limit || limit - w.end < FLASHPACK_HEAD_SIZE ||
        limit - w.end - FLASHPACK_HEAD_SIZE < len || len > 0xFFFF)
        return FLASHPACK_ERR_BLOCK;
    uint8_t status = 0;
    int rc = P_FlashPack_ReadBytes(w.end, &status, 1);
    if (rc != 0)
        return rc;
    return status == FLASHPACK_STATUS_FREE ? 0 : FLASHPACK_ERR_NOT_FREE;
}

// Claims the place of a new pack of id: the room is checked before the old pack
// is touched, so a refused save leaves the chain exactly as it was, old record
// still valid; then the old pack is made obsolete. w receives the walk.
int P_FlashPack_ClaimPlace(uintptr_t base, uint8_t id, uint32_t len, WalkResult& w)
{
    w = P_FlashPack_Walk(base, id, false);
    int rc = P_FlashPack_AppendPlace(base, len, w);
    if (rc == 0 && w.found != 0)
        rc = P_FlashPack_SetStatus(w.found, FLASHPACK_STATUS_OBSOLETE);
    return rc;
}

}  // namespace

uintptr_t F_FlashPack_SectorEnd(uintptr_t addr)
{
    if (F_FlashDrv_InWindow(addr))
        return FLASH_ADD_DEBUT + ((addr - FLASH_ADD_DEBUT) / FLASHPACK_BLOCK_SIZE + 1) * FLASHPACK_BLOCK_SIZE;
    return (addr | (FLASHPACK_BLOCK_SIZE - 1)) + 1;
}

int F_FlashPack_Init()
{
    V_A_cFlashMem = V_A_cFlashTab;
    std::memset(V_A_cFlashTab, 0, sizeof V_A_cFlashTab);
    V_S_sFlashPackHeader.ucStatus = FLASHPACK_STATUS_FREE;
    return 0;
}

int F_FlashPack_ReadHead(uintptr_t addr, S_FlashPackHeader* header)
{
    if (addr == 0 || header == nullptr)
        return FLASHPACK_ERR_ADDRESS;
    S_FlashPackHeader h;
    int rc = P_FlashPack_ReadBytes(addr, &h, sizeof h);
    if (rc != 0)
        return rc;
    *header = h;
    V_S_sFlashPackHeader = h;
    return 0;
}

int F_FlashPack_NextHead(uintptr_t* cursor, const S_FlashPackHeader* header)
{
    if (cursor == nullptr || header == nullptr)
        return FLASHPACK_ERR_ADDRESS;
    if (header->ucStatus == FLASHPACK_STATUS_FREE)
        return FLASHPACK_ERR_END;
    const uintptr_t current = *cursor;
    const uintptr_t next = current + FLASHPACK_HEAD_SIZE + F_FlashPack_HeadLength(*header);
    *cursor = next;
    return F_FlashPack_SectorEnd(next) != F_FlashPack_SectorEnd(current) ? FLASHPACK_ERR_BLOCK : 0;
}

int F_FlashPack_Read(uintptr_t addr, const S_FlashPackHeader* header, void* buf, int size)
{
    if (addr == 0 || header == nullptr || (buf == nullptr && size > 0))
        return FLASHPACK_ERR_ADDRESS;
    int count = F_FlashPack_HeadLength(*header);
    if (size < count)
        count = size < 0 ? 0 : size;
    int rc = P_FlashPack_ReadBytes(addr + FLASHPACK_HEAD_SIZE, buf, static_cast<uint32_t>(count));
    if (rc != 0)
        return rc;
    rc = F_FlashPack_CrcCk(header, buf, size);
    return rc < 0 ? rc : count;
}

int F_FlashPack_Write(uintptr_t addr, const S_FlashPackHeader* header, const void* data, uint32_t len)
{
    if (addr == 0 || header == nullptr || (data == nullptr && len > 0))
        return FLASHPACK_ERR_ADDRESS;
    if (!F_FlashDrv_InWindow(addr)) {
        // A memory image takes the header as given: this is how images are built.
        std::memcpy(reinterpret_cast<void*>(addr), header, FLASHPACK_HEAD_SIZE);
        if (len > 0)
            std::memcpy(reinterpret_cast<void*>(addr + FLASHPACK_HEAD_SIZE), data, len);
        return 0;
    }
    int status = F_FlashDrv_GetByte(addr);
    if (status < 0)
        return status;
    if (status != FLASHPACK_STATUS_FREE)
        return FLASHPACK_ERR_NOT_FREE;
    F_FlashPack_CrcMk(header, data, len);
    int rc = P_FlashPack_Program(addr, header, FLASHPACK_HEAD_SIZE);
    if (rc == 0)
        rc = P_FlashPack_Program(addr + FLASHPACK_HEAD_SIZE, data, len);
    if (rc != 0)
        return rc;
    // A pack left in 0xFE is invisible to every search: that is a lost save,
    // so the last step's failure is reported like any other.
    return F_FlashDrv_SetByte(addr, FLASHPACK_STATUS_VALID);
}

int F_FlashPack_CrcMk(const S_FlashPackHeader*, const void*, uint32_t)
{
    return 0;
}

int F_FlashPack_CrcCk(const S_FlashPackHeader*, const void*, int)
{
    return 0;
}

uintptr_t F_FlashPack_SearchPackId(uintptr_t base, uint8_t id, S_FlashPackHeader* header, uintptr_t* end)
{
    WalkResult w = P_FlashPack_Walk(base, id, true);
    if (w.found != 0) {
        if (header != nullptr)
            *header = w.head;
        return w.found;
    }
    if (end != nullptr)
        *end = w.end;
    return 0;
}

int F_FlashPack_LoadPackId(uintptr_t base, uint8_t id, void* buf, int size)
{
    S_FlashPackHeader h;
    uintptr_t end = 0;
    uintptr_t addr = F_FlashPack_SearchPackId(base, id, &h, &end);
    if (addr == 0)
        return FLASHPACK_ERR_NO_PACK;
    return F_FlashPack_Read(addr, &h, buf, size);
}

int F_FlashPack_SavePackId(uintptr_t base, uint8_t id, const void* data, uint32_t len)
{
    if (base == 0)
        return FLASHPACK_ERR_ADDRESS;
    WalkResult w;
    int rc = P_FlashPack_ClaimPlace(base, id, len, w);
    if (rc != 0)
        return rc;
    const S_FlashPackHeader h = F_FlashPack_MakeHead(FLASHPACK_STATUS_WRITING, id, static_cast<uint16_t>(len));
    rc = F_FlashPack_Write(w.end, &h, data, len);
    if (rc == 0 && !F_FlashDrv_InWindow(w.end))
        rc = P_FlashPack_SetStatus(w.end, FLASHPACK_STATUS_VALID);
    return rc;
}

int F_FlashPack_BitField_MK(uintptr_t base, uint8_t id, uint32_t nbytes)
{
    if (base == 0)
        return FLASHPACK_ERR_ADDRESS;
    WalkResult w;
    int rc = P_FlashPack_ClaimPlace(base, id, nbytes, w);
    if (rc != 0)
        return rc;
    // Only the header: the counter's bytes are the erased flash after it.
    const S_FlashPackHeader h = F_FlashPack_MakeHead(FLASHPACK_STATUS_VALID, id, static_cast<uint16_t>(nbytes));
    return P_FlashPack_Program(w.end, &h, FLASHPACK_HEAD_SIZE);
}

int F_FlashPack_BitField_Inc(uintptr_t base, uint8_t id, int* count)
{
    if (count == nullptr)
        return FLASHPACK_ERR_ADDRESS;
    S_FlashPackHeader h;
    uintptr_t end = 0;
    uintptr_t addr = F_FlashPack_SearchPackId(base, id, &h, &end);
    if (addr == 0)
        return FLASHPACK_ERR_NO_PACK;
    const int c = *count;
    if (c < 0 || c / 8 >= F_FlashPack_HeadLength(h))
        return FLASHPACK_ERR_BITFIELD;
    const uint8_t value = static_cast<uint8_t>(0xFF << (c % 8 + 1));
    int rc = P_FlashPack_Program(addr + FLASHPACK_HEAD_SIZE + static_cast<uint32_t>(c / 8), &value, 1);
    if (rc != 0)
        return rc;
    *count = c + 1;
    return 0;
}

int F_FlashPack_BitField_Get(uintptr_t base, uint8_t id)
{
    S_FlashPackHeader h;
    uintptr_t end = 0;
    if (F_FlashPack_SearchPackId(base, id, &h, &end) == 0)
        return FLASHPACK_ERR_NO_PACK;
    return F_FlashPack_HeadLength(h) == 0 ? FLASHPACK_ERR_BITFIELD : 0;
}

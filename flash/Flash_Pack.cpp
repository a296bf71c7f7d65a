// The flash pack record store: byte access, headers, the chain walk, then the
// operations of Flash_Pack.h.
#include "flash/Flash_Pack.h"

#include <string.h>

#include "flash/Flash_Drv.h"

uint8_t V_A_cFlashTab[FLASHPACK_BUFFER_SIZE];
uint8_t* V_A_cFlashMem = NULL;
S_FlashPackHeader V_S_sFlashPackHeader = {FLASHPACK_STATUS_FREE, 0, {0, 0}};

namespace {

// ---- Byte access: flash or memory, decided once from the pack's address ----

// Reads len bytes at pack + offset: for a pack in the window through the
// driver, which refuses (-2) whatever lies past the window; else from memory.
int P_FlashPack_ReadBytes(uintptr_t pack, uint32_t offset, void* buf, uint32_t len)
{
    if (len == 0)
        return 0;
    if (F_FlashDrv_InWindow(pack)) {
        uintptr_t cursor = pack + offset;
        return F_FlashDrv_Read(&cursor, buf, len);
    }
    memcpy(buf, reinterpret_cast<const void*>(pack + offset), len);
    return 0;
}

// Programs len bytes at pack + offset, chosen as for reading.
int P_FlashPack_Program(uintptr_t pack, uint32_t offset, const void* data, uint32_t len)
{
    if (len == 0)
        return 0;
    if (F_FlashDrv_InWindow(pack)) {
        uintptr_t cursor = pack + offset;
        return F_FlashDrv_Write(&cursor, data, len);
    }
    memcpy(reinterpret_cast<void*>(pack + offset), data, len);
    return 0;
}

// A status change is one byte that only clears bits; SetByte retries once.
int P_FlashPack_SetStatus(uintptr_t pack, uint8_t status)
{
    if (F_FlashDrv_InWindow(pack))
        return F_FlashDrv_SetByte(pack, status);
    *reinterpret_cast<uint8_t*>(pack) = status;
    return 0;
}

// ---- Headers ----

// Programs id and length first and the status last, so that a cut inside the
// header leaves a free status: never a pack whose length is only half there.
int P_FlashPack_ProgramHead(uintptr_t pack, const S_FlashPackHeader& h)
{
    uint8_t bytes[FLASHPACK_HEAD_SIZE];
    memcpy(bytes, &h, sizeof bytes);
    int rc = P_FlashPack_Program(pack, 1, bytes + 1, FLASHPACK_HEAD_SIZE - 1);
    return rc != 0 ? rc : P_FlashPack_SetStatus(pack, h.ucStatus);
}

// Whether want can be programmed over the header there: a free status, and
// id and length bytes that only need bits cleared (erased, or a torn header of
// the same pack).
bool P_FlashPack_HeadFits(const S_FlashPackHeader& there, const S_FlashPackHeader& want)
{
    uint8_t a[FLASHPACK_HEAD_SIZE];
    uint8_t b[FLASHPACK_HEAD_SIZE];
    memcpy(a, &there, sizeof a);
    memcpy(b, &want, sizeof b);
    bool fits = there.ucStatus == FLASHPACK_STATUS_FREE;
    for (uint32_t i = 1; i < FLASHPACK_HEAD_SIZE; ++i)
        fits = fits && (a[i] & b[i]) == b[i];
    return fits;
}

// Turns a torn header into an empty obsolete pack, which the walk steps over.
int P_FlashPack_Seal(uintptr_t pack)
{
    const uint8_t zero[2] = {0, 0};
    int rc = P_FlashPack_Program(pack, 2, zero, sizeof zero);
    return rc != 0 ? rc : P_FlashPack_SetStatus(pack, FLASHPACK_STATUS_OBSOLETE);
}

// ---- The chain ----

// A visitor of the walk: gets each pack's address and header, and the
// context the walk was given; false stops the walk.
typedef bool (*P_FlashPack_Visit)(uintptr_t addr, const S_FlashPackHeader& h, void* context);

// Walks the chain from base within base's sector, handing each pack's address
// and header to visit (false stops the walk). Returns where the walk stopped,
// with the header read there (free or torn) in *last, erased when none was.
uintptr_t P_FlashPack_Walk(uintptr_t base, S_FlashPackHeader* last, P_FlashPack_Visit visit, void* context)
{
    uintptr_t addr = base;
    const uintptr_t limit = F_FlashPack_SectorEnd(base);
    *last = F_FlashPack_MakeHead(FLASHPACK_STATUS_FREE, 0xFF, 0xFFFF);
    while (addr != 0 && addr <= limit && limit - addr >= FLASHPACK_HEAD_SIZE) {
        S_FlashPackHeader h;
        if (F_FlashPack_ReadHead(addr, &h) != 0)
            break;
        if (h.ucStatus == FLASHPACK_STATUS_FREE) {
            *last = h;
            break;
        }
        if (!visit(addr, h, context))
            break;
        addr += FLASHPACK_HEAD_SIZE + F_FlashPack_HeadLength(h);
    }
    return addr;
}

// Goes on over every pack, so that the walk stops only at the chain's end.
bool P_FlashPack_VisitAll(uintptr_t, const S_FlashPackHeader&, void*)
{
    return true;
}

// Finds the place for a pack with header h and len data bytes at the chain's
// end: 0 with *at set, or -5 when it does not fit before the end of base's
// sector, with nothing written, so a refused save leaves the chain as it was.
// A torn header there that cannot take h is sealed first.
int P_FlashPack_Claim(uintptr_t base, const S_FlashPackHeader& h, uint32_t len, uintptr_t* at)
{
    S_FlashPackHeader last;
    const uintptr_t end = P_FlashPack_Walk(base, &last, P_FlashPack_VisitAll, NULL);
    const uintptr_t limit = F_FlashPack_SectorEnd(base);
    const bool seal = F_FlashPack_HeadTorn(last) && !P_FlashPack_HeadFits(last, h);
    const uintptr_t place = end + (seal ? FLASHPACK_HEAD_SIZE : 0);
    if (len > 0xFFFF || end == 0 || place > limit || limit - place < FLASHPACK_HEAD_SIZE ||
        limit - place - FLASHPACK_HEAD_SIZE < len)
        return FLASHPACK_ERR_BLOCK;
    if (seal) {
        int rc = P_FlashPack_Seal(end);
        if (rc != 0)
            return rc;
    }
    *at = place;
    return 0;
}

// What the retiring walk carries: the id, the pack to keep, the first failure.
struct S_FlashPackRetire {
    uint8_t id;
    uintptr_t keep;
    int rc;
};

// Makes a valid pack of the context's id obsolete, keeping the first failure;
// stops at the pack to keep.
bool P_FlashPack_VisitRetire(uintptr_t addr, const S_FlashPackHeader& h, void* context)
{
    S_FlashPackRetire* retire = static_cast<S_FlashPackRetire*>(context);
    if (addr == retire->keep)
        return false;
    if (h.ucStatus == FLASHPACK_STATUS_VALID && h.ucId == retire->id) {
        const int r = P_FlashPack_SetStatus(addr, FLASHPACK_STATUS_OBSOLETE);
        if (retire->rc == 0)
            retire->rc = r;
    }
    return true;
}

// Makes every valid pack of id ahead of keep obsolete: 0, or the first
// failure (the later ones are still tried).
int P_FlashPack_RetireOlder(uintptr_t base, uint8_t id, uintptr_t keep)
{
    S_FlashPackRetire retire = {id, keep, 0};
    S_FlashPackHeader last;
    P_FlashPack_Walk(base, &last, P_FlashPack_VisitRetire, &retire);
    return retire.rc;
}

// What the search carries: the id, and the last valid pack of it walked (0: none).
struct S_FlashPackSearch {
    uint8_t id;
    uintptr_t found;
    S_FlashPackHeader foundHead;
};

// Remembers a valid pack of the context's id, so that the last one walked wins.
bool P_FlashPack_VisitSearch(uintptr_t addr, const S_FlashPackHeader& h, void* context)
{
    S_FlashPackSearch* search = static_cast<S_FlashPackSearch*>(context);
    if (h.ucStatus == FLASHPACK_STATUS_VALID && h.ucId == search->id) {
        search->found = addr;
        search->foundHead = h;
    }
    return true;
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
    memset(V_A_cFlashTab, 0, sizeof V_A_cFlashTab);
    V_S_sFlashPackHeader.ucStatus = FLASHPACK_STATUS_FREE;
    return 0;
}

int F_FlashPack_ReadHead(uintptr_t addr, S_FlashPackHeader* header)
{
    if (addr == 0 || header == NULL)
        return FLASHPACK_ERR_ADDRESS;
    S_FlashPackHeader h;
    int rc = P_FlashPack_ReadBytes(addr, 0, &h, sizeof h);
    if (rc != 0)
        return rc;
    *header = h;
    V_S_sFlashPackHeader = h;
    return 0;
}

int F_FlashPack_NextHead(uintptr_t* cursor, const S_FlashPackHeader* header)
{
    if (cursor == NULL || header == NULL)
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
    if (addr == 0 || header == NULL || (buf == NULL && size > 0))
        return FLASHPACK_ERR_ADDRESS;
    int count = F_FlashPack_HeadLength(*header);
    if (size < count)
        count = size < 0 ? 0 : size;
    int rc = P_FlashPack_ReadBytes(addr, FLASHPACK_HEAD_SIZE, buf, static_cast<uint32_t>(count));
    if (rc != 0)
        return rc;
    rc = F_FlashPack_CrcCk(header, buf, size);
    return rc < 0 ? rc : count;
}

int F_FlashPack_Write(uintptr_t addr, const S_FlashPackHeader* header, const void* data, uint32_t len)
{
    if (addr == 0 || header == NULL || (data == NULL && len > 0))
        return FLASHPACK_ERR_ADDRESS;
    if (!F_FlashDrv_InWindow(addr)) {
        // A memory image takes the header as given: this is how images are built.
        memcpy(reinterpret_cast<void*>(addr), header, FLASHPACK_HEAD_SIZE);
        if (len > 0)
            memcpy(reinterpret_cast<void*>(addr + FLASHPACK_HEAD_SIZE), data, len);
        return 0;
    }
    if (!F_FlashDrv_RangeInWindow(addr, FLASHPACK_HEAD_SIZE) ||
        len > FLASH_ADD_FIN - addr - FLASHPACK_HEAD_SIZE)
        return FLASHPACK_ERR_RANGE;
    S_FlashPackHeader there;
    int rc = P_FlashPack_ReadBytes(addr, 0, &there, FLASHPACK_HEAD_SIZE);
    if (rc != 0)
        return rc;
    if (!P_FlashPack_HeadFits(there, *header))
        return FLASHPACK_ERR_NOT_FREE;
    F_FlashPack_CrcMk(header, data, len);
    rc = P_FlashPack_ProgramHead(addr, *header);
    if (rc == 0)
        rc = P_FlashPack_Program(addr, FLASHPACK_HEAD_SIZE, data, len);
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
    S_FlashPackSearch search = {id, 0, {0, 0, {0, 0}}};
    S_FlashPackHeader last;
    const uintptr_t stop = P_FlashPack_Walk(base, &last, P_FlashPack_VisitSearch, &search);
    if (search.found != 0) {
        V_S_sFlashPackHeader = search.foundHead;
        if (header != NULL)
            *header = search.foundHead;
        return search.found;
    }
    if (end != NULL)
        *end = stop;
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
    const S_FlashPackHeader h = F_FlashPack_MakeHead(FLASHPACK_STATUS_WRITING, id, static_cast<uint16_t>(len));
    uintptr_t at = 0;
    int rc = P_FlashPack_Claim(base, h, len, &at);
    if (rc != 0)
        return rc;
    rc = F_FlashPack_Write(at, &h, data, len);
    if (rc == 0 && !F_FlashDrv_InWindow(at))
        rc = P_FlashPack_SetStatus(at, FLASHPACK_STATUS_VALID);
    // The older packs go only once the new one is valid: until then they are the record.
    return rc != 0 ? rc : P_FlashPack_RetireOlder(base, id, at);
}

int F_FlashPack_BitField_MK(uintptr_t base, uint8_t id, uint32_t nbytes)
{
    if (base == 0)
        return FLASHPACK_ERR_ADDRESS;
    const S_FlashPackHeader h = F_FlashPack_MakeHead(FLASHPACK_STATUS_VALID, id, static_cast<uint16_t>(nbytes));
    uintptr_t at = 0;
    int rc = P_FlashPack_Claim(base, h, nbytes, &at);
    // Only the header: the counter's bytes are the erased flash after it.
    if (rc == 0)
        rc = P_FlashPack_ProgramHead(at, h);
    return rc != 0 ? rc : P_FlashPack_RetireOlder(base, id, at);
}

int F_FlashPack_BitField_Inc(uintptr_t base, uint8_t id, int* count)
{
    if (count == NULL)
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
    int rc = P_FlashPack_Program(addr, FLASHPACK_HEAD_SIZE + static_cast<uint32_t>(c / 8), &value, 1);
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

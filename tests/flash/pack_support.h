// Helpers shared by the pack store and product record tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flash/Flash_Pack.h"
#include "flash/flh2ConfigIP.h"
#include "flash/flh2Product.h"

namespace packtest {

// Two erased 64 KiB blocks of ordinary memory, aligned to a block: a chain
// image in the first, and the second to show that nothing runs into it.
class MemSector {
public:
    MemSector() : p_(static_cast<uint8_t*>(std::aligned_alloc(FLASHPACK_BLOCK_SIZE, 2 * FLASHPACK_BLOCK_SIZE)))
    {
        std::memset(p_, 0xFF, 2 * FLASHPACK_BLOCK_SIZE);
    }
    ~MemSector() { std::free(p_); }
    MemSector(const MemSector&) = delete;
    MemSector& operator=(const MemSector&) = delete;
    uintptr_t base() const { return reinterpret_cast<uintptr_t>(p_); }
    uint8_t* bytes() const { return p_; }

private:
    uint8_t* p_;
};

struct Pack {
    uint32_t offset;
    uint8_t status;
    uint8_t id;
    uint16_t length;
    bool operator==(const Pack&) const = default;
};

// The packs of the chain at base, walked the way a reader outside the store would.
inline std::vector<Pack> walk(uintptr_t base)
{
    std::vector<Pack> out;
    uintptr_t addr = base;
    for (int guard = 0; guard < 20000; ++guard) {
        S_FlashPackHeader h;
        if (F_FlashPack_ReadHead(addr, &h) != 0 || h.ucStatus == FLASHPACK_STATUS_FREE)
            break;
        out.push_back({static_cast<uint32_t>(addr - base), h.ucStatus, h.ucId, F_FlashPack_HeadLength(h)});
        if (F_FlashPack_NextHead(&addr, &h) != 0)
            break;
    }
    return out;
}

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

// A network command table unlike the defaults in every row.
inline T_ConfigIP_Tab table(const std::string& tag)
{
    T_ConfigIP_Tab t{};
    for (int r = 0; r < CONFIGIP_ROWS; ++r) {
        F_Flash_SetWord(t[r].aucFlag, static_cast<uint32_t>(r & 1));
        std::snprintf(t[r].acText, sizeof t[r].acText, "%s %d", tag.c_str(), r);
    }
    return t;
}

inline bool rowsEqual(const T_ConfigIP_Tab& a, const T_ConfigIP_Tab& b, int from, int to)
{
    return std::memcmp(&a[from], &b[from], static_cast<size_t>(to - from) * sizeof(S_ConfigIP_Row)) == 0;
}

}  // namespace packtest

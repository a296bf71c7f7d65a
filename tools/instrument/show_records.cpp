// `instrument show`: the record chain of the product parameter sector, read
// from flash/nor.img (read-only) and walked with the pack store's own
// operations over a copy in memory, so the tool sees the chain as the product does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "flash/Flash_Drv.h"
#include "flash/Flash_Pack.h"
#include "flash/flh2ConfigIP.h"
#include "flash/flh2Product.h"
#include "tools/common/regular_file.h"
#include "tools/common/text.h"
#include "tools/instrument/instrument.h"

namespace tool {
namespace {

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

const char* statusName(uint8_t s)
{
    switch (s) {
    case FLASHPACK_STATUS_FREE: return "free";
    case FLASHPACK_STATUS_WRITING: return "writing";
    case FLASHPACK_STATUS_VALID: return "valid";
    case FLASHPACK_STATUS_OBSOLETE: return "obsolete";
    default: return "invalid";
    }
}

void decodeProduct(ShowContext& ctx, Json& pack)
{
    const uint32_t version = F_Flash_GetWord(V_A_cFlashMem);
    F_Flash_DecodeStruct_Product(0);
    Json mode = Json::array();
    for (uint32_t w : FlashProd_Mode.words)
        mode.push_back(Json(w));
    if (ctx.json) {
        pack["version"] = Json(version);
        pack["productMode"] = mode;
        return;
    }
    std::fprintf(ctx.out, "             product mode (format %u%s): %s %s %s\n", version,
                 version == 0 ? ", loads the defaults" : "", hex(FlashProd_Mode.words[0], 8).c_str(),
                 hex(FlashProd_Mode.words[1], 8).c_str(), hex(FlashProd_Mode.words[2], 8).c_str());
}

void decodeConfigIP(ShowContext& ctx, Json& pack)
{
    const uint32_t presence = F_Flash_GetWord(V_A_cFlashMem);
    ConfigIP_Tab_Cmd = T_ConfigIP_Tab{};
    F_Flash_DecodeStruct_ConfigIP(0);
    const int rows = presence != 0 ? CONFIGIP_STORED_ROWS : CONFIGIP_DEFAULT_ROWS;
    Json table = Json::array();
    if (!ctx.json)
        std::fprintf(ctx.out, "             network commands (presence %u%s):\n", presence,
                     presence == 0 ? ", loads the defaults" : "");
    for (int r = 0; r < rows; ++r) {
        const S_ConfigIP_Row& row = ConfigIP_Tab_Cmd.rows[r];
        std::string text(row.acText, strnlen(row.acText, sizeof row.acText));
        if (ctx.json) {
            Json j = Json::object();
            j["row"] = Json(r);
            j["flag"] = Json(F_ConfigIP_RowFlag(row));
            j["text"] = Json(text);
            table.push_back(j);
        } else {
            std::fprintf(ctx.out, "             %2d  %u  \"%s\"\n", r, F_ConfigIP_RowFlag(row),
                         escapeBytes(text, kQuotedField).c_str());
        }
    }
    if (ctx.json) {
        pack["presence"] = Json(presence);
        pack["networkCommands"] = table;
    }
}

}  // namespace

int showRecords(ShowContext& ctx)
{
    const std::string image = ctx.root + "/flash/nor.img";
    Json section = Json::object();
    section["offset"] = Json(FLASH_OFF_PARAM_PROD);
    section["sector"] = Json(FLASH_OFF_PARAM_PROD / FLASH_SECTOR_SIZE);
    int fd = tool::openRegular(image);
    struct stat st{};
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0)
            close(fd);
        std::fprintf(stderr, "instrument show: cannot read %s\n", image.c_str());
        return 1;
    }
    const uint64_t chipSize = static_cast<uint64_t>(st.st_size);
    if (chipSize < uint64_t{FLASH_OFF_PARAM_PROD} + FLASH_SECTOR_SIZE) {
        close(fd);
        if (ctx.json) {
            section["present"] = Json(false);
            section["reason"] = Json("the " + std::to_string(chipSize >> 20) + " MiB chip has no product parameter sector");
            ctx.doc["records"] = section;
        } else {
            std::fprintf(ctx.out, "Product parameter sector: none, the %llu MiB chip ends at %s\n",
                         static_cast<unsigned long long>(chipSize >> 20),
                         hex(static_cast<uint32_t>(chipSize), 6).c_str());
        }
        return 0;
    }
    // The sector and the one after it: a pack whose data run past the sector
    // end is still read from real bytes, never from past the copy. The copy is
    // aligned to its 64 KiB block, as the store's walk counts blocks.
    constexpr size_t span = 2 * FLASH_SECTOR_SIZE;
    std::unique_ptr<uint8_t, FreeDeleter> copy(
        static_cast<uint8_t*>(std::aligned_alloc(FLASH_SECTOR_SIZE, span)));
    if (!copy) {
        close(fd);
        return 1;
    }
    std::memset(copy.get(), 0xFF, span);
    const ssize_t got = pread(fd, copy.get(), span, FLASH_OFF_PARAM_PROD);
    close(fd);
    if (got < static_cast<ssize_t>(FLASH_SECTOR_SIZE)) {
        std::fprintf(stderr, "instrument show: cannot read the product sector of %s\n", image.c_str());
        return 1;
    }

    const uintptr_t base = reinterpret_cast<uintptr_t>(copy.get());
    const uintptr_t limit = base + FLASH_SECTOR_SIZE;
    auto offsetOf = [&](uintptr_t a) { return static_cast<uint32_t>(FLASH_OFF_PARAM_PROD + (a - base)); };
    if (!ctx.json)
        std::fprintf(ctx.out, "Product parameter sector: sector %u at %s\n", FLASH_OFF_PARAM_PROD / FLASH_SECTOR_SIZE,
                     hex(FLASH_OFF_PARAM_PROD, 6).c_str());
    Json packs = Json::array();
    std::string ending;
    int validOfId[256] = {};
    uintptr_t addr = base;
    for (;;) {
        if (limit - addr < FLASHPACK_HEAD_SIZE) {
            ending = "the chain fills the sector: no room for another pack";
            break;
        }
        S_FlashPackHeader h;
        F_FlashPack_ReadHead(addr, &h);
        Json pack = Json::object();
        pack["offset"] = Json(offsetOf(addr));
        pack["status"] = Json(statusName(h.ucStatus));
        pack["statusByte"] = Json(unsigned{h.ucStatus});
        if (F_FlashPack_HeadTorn(h)) {
            pack["status"] = Json("torn");
            packs.push_back(pack);
            if (!ctx.json)
                std::fprintf(ctx.out, "  %s  torn      (a cut inside a header: the next save takes it over or seals it)\n",
                             hex(offsetOf(addr), 6).c_str());
            break;
        }
        if (h.ucStatus == FLASHPACK_STATUS_FREE) {
            const uint32_t room = static_cast<uint32_t>(limit - addr);
            pack["room"] = Json(room);
            packs.push_back(pack);
            if (!ctx.json)
                std::fprintf(ctx.out, "  %s  free      (%u bytes left in the sector)\n",
                             hex(offsetOf(addr), 6).c_str(), room);
            break;
        }
        const uint16_t length = F_FlashPack_HeadLength(h);
        if (h.ucStatus == FLASHPACK_STATUS_VALID)
            ++validOfId[h.ucId];
        pack["id"] = Json(unsigned{h.ucId});
        pack["length"] = Json(unsigned{length});
        const bool pastEnd = limit - addr - FLASHPACK_HEAD_SIZE < length;
        if (pastEnd)
            pack["pastSectorEnd"] = Json(true);
        if (!ctx.json)
            std::fprintf(ctx.out, "  %s  %-8s  id %u  length %u%s%s\n", hex(offsetOf(addr), 6).c_str(),
                         statusName(h.ucStatus), h.ucId, length,
                         h.ucStatus == FLASHPACK_STATUS_VALID || h.ucStatus == FLASHPACK_STATUS_WRITING ||
                                 h.ucStatus == FLASHPACK_STATUS_OBSOLETE
                             ? ""
                             : (" (status " + hex(h.ucStatus, 2) + ")").c_str(),
                         pastEnd ? "  (runs past the sector end)" : "");
        if (h.ucStatus == FLASHPACK_STATUS_VALID &&
            (h.ucId == FLASHPACK_ID_PRODUCT || h.ucId == FLASHPACK_ID_CONFIGIP)) {
            // A pack shorter than its record decodes over zeros, not over the
            // previous pack's bytes.
            F_FlashPack_Init();
            F_FlashPack_Read(addr, &h, V_A_cFlashMem, FLASHPACK_BUFFER_SIZE);
            if (h.ucId == FLASHPACK_ID_PRODUCT)
                decodeProduct(ctx, pack);
            else
                decodeConfigIP(ctx, pack);
        }
        packs.push_back(pack);
        if (F_FlashPack_NextHead(&addr, &h) != 0) {
            ending = addr == limit ? "the chain fills the sector: no room for another pack"
                                   : "the chain leaves the sector at " + hex(offsetOf(addr), 6);
            break;
        }
    }
    if (!ending.empty() && !ctx.json)
        std::fprintf(ctx.out, "  %s\n", ending.c_str());
    Json multiple = Json::array();
    for (int id = 0; id < 256; ++id) {
        if (validOfId[id] < 2)
            continue;
        multiple.push_back(Json(id));
        if (!ctx.json)
            std::fprintf(ctx.out, "  id %d: %d valid packs (a save was cut before it retired the older); loads take the last\n",
                         id, validOfId[id]);
    }
    if (ctx.json) {
        section["present"] = Json(true);
        section["packs"] = packs;
        section["multipleValid"] = multiple;
        if (!ending.empty())
            section["end"] = Json(ending);
        ctx.doc["records"] = section;
    }
    return 0;
}

}  // namespace tool

// instrument show, flash section: the chip, the flash memory map, and each
// image region's header, byte sum, version and info blocks. Reads nor.img
// directly and read-only: showing an instrument never changes its flash.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "flash/Flash_Drv.h"
#include "platform/host/nor_chip.h"
#include "tools/common/bigendian.h"
#include "tools/common/regular_file.h"
#include "tools/common/text.h"
#include "tools/instrument/instrument.h"

namespace tool {
namespace {

struct Region {
    const char* key;
    const char* label;
    uint32_t firstSector;
    uint32_t sectors;
    uint32_t tailReserved;  // bytes at the region's end kept for the version/info blocks
    uint32_t minSize;       // the smallest image the writer accepts
    int64_t versionOffset;  // -1: none
    int64_t infoOffset;     // -1: none
};

// The regions as the flash map places them; the 8-sector firmware layout ends
// two sectors short of the map's 10-sector one.
constexpr uint32_t kSec = FLASH_SECTOR_SIZE;
constexpr uint32_t kWeb = FLASH_OFF_WEB / kSec;
constexpr uint32_t kFirm = FLASH_OFF_FIRMW / kSec;
constexpr uint32_t kLoader = FLASH_OFF_LOADER / kSec;
constexpr uint32_t kVersionTail = FLASH_OFF_PARAM_MAINT - FLASH_OFF_VERSFIRMW;
constexpr Region kRegions[] = {
    {"web", "web archive", kWeb, kFirm - kWeb, 0, 0, -1, -1},
    {"firmware10", "CINT firmware, 10 sectors", kFirm, 10, kVersionTail, kSec, (kFirm + 10) * kSec - kVersionTail, -1},
    {"firmware8", "CINT firmware, 8 sectors", kFirm, 8, kVersionTail, kSec, (kFirm + 8) * kSec - kVersionTail, -1},
    {"loader", "CINT loader", kLoader, (FLASH_OFF_PARAM_USER - FLASH_OFF_LOADER) / kSec,
     FLASH_OFF_PARAM_USER - FLASH_OFF_INFOLOADER, 1024, FLASH_OFF_VERSLOADER, FLASH_OFF_INFOLOADER},
};
constexpr uint32_t kBlockLen = 32;
constexpr size_t kConfMax = 64u << 10;  // nor.conf is a few lines

struct Chip {
    unsigned code = 0x93;
    std::string bytes;
    uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }
    uint8_t at(uint32_t off) const { return static_cast<uint8_t>(bytes[off]); }
    uint32_t be32(uint32_t off) const
    {
        return readBe32(reinterpret_cast<const uint8_t*>(bytes.data()) + off);
    }
};

// The chip's code from nor.conf (its other keys are the chip's business); a
// missing nor.conf leaves the default, anything there but a regular file fails.
bool readCode(const std::string& root, unsigned& code)
{
    const std::string path = root + "/flash/nor.conf";
    std::string text;
    if (!tool::readRegular(path, kConfMax, text)) {
        struct stat st {};
        return lstat(path.c_str(), &st) != 0 && errno == ENOENT;
    }
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("code=", 0) == 0) {
            try {
                code = static_cast<unsigned>(std::stoul(line.substr(5), nullptr, 0));
            } catch (...) {
                return false;
            }
        }
    }
    return true;
}

bool loadChip(const std::string& root, Chip& chip)
{
    if (!readCode(root, chip.code)) {
        std::fprintf(stderr, "instrument show: %s/flash/nor.conf: bad code, or not a regular file\n",
                     root.c_str());
        return false;
    }
    // One byte more than the largest chip is enough to tell an image too long.
    if (!tool::readRegular(root + "/flash/nor.img", norsim::kSize4MiB + 1, chip.bytes)) {
        std::fprintf(stderr, "instrument show: %s/flash/nor.img: no flash image, or not a regular file\n",
                     root.c_str());
        return false;
    }
    if (chip.size() != norsim::chipSize(chip.code)) {
        std::fprintf(stderr, "instrument show: nor.img is not the %u bytes of chip 0x%02X\n",
                     norsim::chipSize(chip.code), chip.code);
        return false;
    }
    return true;
}

// A 32-byte text block: up to its terminator (or all 32 bytes), "erased"
// when it was never written.
struct Block {
    bool inChip = false;
    bool erased = false;
    std::string text;
};

Block readBlock(const Chip& chip, int64_t off)
{
    Block b;
    if (off < 0 || off + kBlockLen > chip.size())
        return b;
    b.inChip = true;
    b.erased = true;
    for (uint32_t i = 0; i < kBlockLen; ++i)
        b.erased = b.erased && chip.at(static_cast<uint32_t>(off) + i) == 0xFF;
    for (uint32_t i = 0; !b.erased && i < kBlockLen; ++i) {
        uint8_t c = chip.at(static_cast<uint32_t>(off) + i);
        if (c == 0)
            break;
        b.text += static_cast<char>(c);
    }
    return b;
}

Json blockJson(const Block& b, int64_t off)
{
    Json j = Json::object();
    j["offset"] = static_cast<long long>(off);
    j["state"] = !b.inChip ? "outside" : b.erased ? "erased" : "written";
    if (b.inChip && !b.erased)
        j["text"] = b.text;
    return j;
}

void printBlock(FILE* out, const char* what, const Block& b, int64_t off)
{
    std::fprintf(out, "    %s block at %s: ", what, hex(static_cast<uint64_t>(off), 6).c_str());
    if (!b.inChip)
        std::fprintf(out, "outside the chip\n");
    else if (b.erased)
        std::fprintf(out, "erased\n");
    else
        std::fprintf(out, "\"%s\"\n", escapeBytes(b.text, kQuotedField).c_str());
}

Json showRegion(ShowContext& ctx, const Chip& chip, const Region& r)
{
    const uint32_t start = r.firstSector * kSec;
    const uint32_t end = start + r.sectors * kSec;
    const uint32_t maxSize = end - start - 8 - r.tailReserved;
    Json j = Json::object();
    j["name"] = r.key;
    j["label"] = r.label;
    j["firstSector"] = r.firstSector;
    j["sectors"] = r.sectors;
    j["offset"] = start;
    j["minSize"] = r.minSize;
    j["maxSize"] = maxSize;
    FILE* out = ctx.out;
    if (!ctx.json) {
        std::string sectors = " " + std::to_string(r.firstSector);
        if (r.sectors > 1)
            sectors = "s" + sectors + "-" + std::to_string(r.firstSector + r.sectors - 1);
        std::fprintf(out, "  %s: sector%s, header at %s\n", r.label, sectors.c_str(),
                     hex(start, 6).c_str());
    }

    bool erased = true;
    if (start + 8 > chip.size()) {
        j["state"] = "outside";
        if (!ctx.json)
            std::fprintf(out, "    outside the %u MiB chip\n", chip.size() >> 20);
        return j;
    }
    for (uint32_t i = 0; i < 8; ++i)
        erased = erased && chip.at(start + i) == 0xFF;
    if (erased) {
        j["state"] = "erased";
        if (!ctx.json)
            std::fprintf(out, "    header: erased\n");
    } else {
        const uint32_t size = chip.be32(start);
        const uint32_t stored = chip.be32(start + 4);
        // An image cut off by the chip's end cannot agree, whatever its sum.
        const uint32_t avail = chip.size() - (start + 8);
        const uint32_t summed = size < avail ? size : avail;
        uint32_t sum = 0;
        for (uint32_t i = 0; i < summed; ++i)
            sum += chip.at(start + 8 + i);
        const bool agree = summed == size && sum == stored;
        const bool fits = size <= maxSize;
        j["state"] = "written";
        j["size"] = size;
        j["storedSum"] = stored;
        j["computedSum"] = sum;
        j["summedBytes"] = summed;
        j["agree"] = agree;
        j["fits"] = fits;
        if (!ctx.json) {
            std::fprintf(out, "    header: size %u (%s), byte sum %s\n", size, hex(size, 8).c_str(),
                         hex(stored, 8).c_str());
            std::fprintf(out, "    recomputed byte sum over %u bytes: %s, %s\n", summed,
                         hex(sum, 8).c_str(), agree ? "agree" : "DIFFER");
            if (!fits)
                std::fprintf(out, "    size exceeds the region's %u bytes\n", maxSize);
        }
    }
    if (r.infoOffset >= 0) {
        Block b = readBlock(chip, r.infoOffset);
        j["info"] = blockJson(b, r.infoOffset);
        if (!ctx.json)
            printBlock(out, "info", b, r.infoOffset);
    }
    if (r.versionOffset >= 0) {
        Block b = readBlock(chip, r.versionOffset);
        j["version"] = blockJson(b, r.versionOffset);
        if (!ctx.json)
            printBlock(out, "version", b, r.versionOffset);
    }
    return j;
}

}  // namespace

int showFlash(ShowContext& ctx)
{
    Chip chip;
    if (!loadChip(ctx.root, chip))
        return 1;
    const uint64_t base = norsim::chipBase(chip.code);
    FILE* out = ctx.out;

    Json jc = Json::object();
    jc["code"] = chip.code;
    jc["codeHex"] = hex(chip.code, 2);
    jc["size"] = chip.size();
    jc["physicalBase"] = static_cast<unsigned long long>(base);
    ctx.doc["chip"] = jc;
    if (!ctx.json) {
        std::fprintf(out, "flash chip: code %s, %u MiB (%s bytes) at physical %s-%s\n",
                     hex(chip.code, 2).c_str(), chip.size() >> 20, hex(chip.size(), 6).c_str(),
                     hex(base, 8).c_str(), hex(base + chip.size() - 1, 8).c_str());
        std::fprintf(out, "flash map (offset in the window, physical address, sector):\n");
    }

    Json jm = Json::array();
    for (const S_FlashMapEntry& e : FLASH_MAP) {
        const bool in = e.offset < chip.size();
        Json m = Json::object();
        m["name"] = e.name;
        m["offset"] = e.offset;
        m["sector"] = e.offset / kSec;
        m["inChip"] = in;
        if (in)
            m["physical"] = static_cast<unsigned long long>(base + e.offset);
        jm.push_back(m);
        if (!ctx.json)
            std::fprintf(out, "  %-22s %s  %-10s  sector %2u%s\n", e.name, hex(e.offset, 6).c_str(),
                         in ? hex(base + e.offset, 8).c_str() : "-", e.offset / kSec,
                         in ? "" : "  outside the chip");
    }
    ctx.doc["map"] = jm;

    if (!ctx.json)
        std::fprintf(out, "image regions:\n");
    Json jr = Json::array();
    for (const Region& r : kRegions)
        jr.push_back(showRegion(ctx, chip, r));
    ctx.doc["regions"] = jr;
    return 0;
}

}  // namespace tool

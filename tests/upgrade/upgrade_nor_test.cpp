// The image writers on a board with NOR image regions, against the simulated
// chip, and the progress file that reports their writing.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tests/support/chip_root.h"
#include "tests/support/image_bytes.h"
#include "tests/support/power_cut.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade_internal.h"

using quibtest::be32;
using quibtest::byteSum;
using quibtest::pattern;

namespace {

constexpr uint32_t kSector = 0x10000;
enum Kind { Web, Firmware, Loader };
constexpr uint32_t kFirst[] = {27, 48, 59};  // each kind's first sector
// The version block keeps a name up to its first dot, at most 32 bytes.
const std::string kName[] = {"Web.tgz", "FrmWCINT_V2.bin", "LoaderCINT_" + std::string(30, 'L')};

// Puts content in an upload file, maps the chip and runs the kind's writer.
int writeImage(const quibtest::ChipRoot& root, Kind kind, const std::string& name, const std::string& content,
               int sectors = 10)
{
    root.write("/tmp/quibImg", content);
    EXPECT_EQ(F_FlashDrv_Init(), 0);
    S_EtatLoader.boardVersion = 1;
    S_EtatLoader.firmwareSectorCount = sectors;
    int (*const writers[])(const char*, const char*) = {flash_Web, flash_firmware, flash_loader};
    return writers[kind](name.c_str(), root.host("/tmp/quibImg").c_str());
}

// A whole region: header, image, erased bytes, and the info and version blocks at its end.
std::string region(Kind kind, const std::string& name, const std::string& img, uint32_t sectors)
{
    std::string r = be32(img.size()) + be32(byteSum(img)) + img;
    r.resize(sectors * kSector, '\xFF');
    if (kind == Loader)
        r.replace(r.size() - 256, 32, std::string("LOADER : 1").append(22, '\0'));
    if (kind != Web)
        r.replace(r.size() - 128, 32, name.substr(0, name.find('.')).append(32, '\0'), 0, 32);
    return r;
}

// "phase done/total file" from the file, "none", or "malformed".
std::string progressFile(const quibtest::TempRoot& root)
{
    if (!root.exists(UPG_PROGRESS_PATH))
        return "none";
    char phase[16], file[64];
    long long done, total, started, time;
    const std::string text = root.read(UPG_PROGRESS_PATH);
    if (std::sscanf(text.c_str(), "phase=%15s done=%lld total=%lld started=%lld time=%lld file=%63s", phase,
                    &done, &total, &started, &time, file) != 6)
        return "malformed";
    return std::string(phase) + " " + std::to_string(done) + "/" + std::to_string(total) + " " + file;
}

}  // namespace

// Sizes at the limits of each layout, failed erases and programs, and bytes the chip
// reported done but read back wrong (a weak cell keeps bit 0 up: each byte has it
// clear), in every block. The region's older image is erased, the next region kept;
// a refused size or a region leaving the 2 MiB chip touches nothing.
TEST(UpgradeNorRoute, RegionLayoutSizeLimitsAndFailedWrites)
{
    struct Case {
        Kind kind;
        size_t size;
        int want;
        uint32_t sectors = 10;  // the firmware's
        std::string conf = "";
        unsigned chip = 0x93;
    };
    auto fail = [](uint32_t at) { return "program_fail_always=" + std::to_string(at); };
    auto weak = [](uint32_t at) { return "silent_program_error=" + std::to_string(at); };
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    const Case cases[] = {
        {Firmware, 65535, 108}, {Firmware, 65536, 0}, {Firmware, 10 * kSector - 136, 0},
        {Firmware, 10 * kSector - 135, 108}, {Firmware, 8 * kSector - 136, 0, 8},
        {Firmware, 8 * kSector - 135, 108, 8},
        {Loader, 1023, 108}, {Loader, 1024, 0}, {Loader, kSector - 264, 0}, {Loader, kSector - 263, 108},
        {Web, 0, 0}, {Web, 21 * kSector - 8, 0}, {Web, 21 * kSector - 7, 108}, {Web, 5000, 107, 10, "", 0xC8},
        {Firmware, 100000, 107, 10, "erase_fail_sector=50"}, {Firmware, 100000, 107, 10, fail(0x300005)},
        {Firmware, 100000, 107, 10, fail(0x311178)}, {Firmware, 100000, 107, 10, fail(0x39FF80)},
        {Loader, 2000, 107, 10, fail(0x3BFF00)}, {Firmware, 100000, 107, 10, weak(0x300009)},
        {Firmware, 100000, 107, 10, weak(0x39FF80)}, {Loader, 2000, 0, 10, weak(0x300009)},  // another region's cell
    };
#pragma GCC diagnostic pop
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + " " + std::to_string(c.size) + " " + c.conf);
        quibtest::ChipRoot root(c.chip);
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        const uint32_t sectors = c.kind == Web ? 21 : c.kind == Loader ? 1 : c.sectors;
        const uint32_t start = kFirst[c.kind] * kSector, end = start + sectors * kSector;
        // An older image in each of the region's sectors, and the next region's first bytes.
        for (uint32_t at = start; at <= end && at < FLASH_Size; at += kSector) {
            uintptr_t cursor = FLASH_ADD_DEBUT + at;
            ASSERT_EQ(F_FlashDrv_Write(&cursor, at < end ? "old" : "next", 4), 0);
        }
        root.setSettings(c.conf + "\n");
        std::string want = root.image();
        const std::string img = pattern(c.size);
        EXPECT_EQ(writeImage(root, c.kind, kName[c.kind], img, c.sectors), c.want);
        if (c.want == 0)
            want.replace(start, sectors * kSector, region(c.kind, kName[c.kind], img, sectors));
        EXPECT_TRUE((c.want == 107 && c.chip != 0xC8) || root.image() == want);
    }
    quibtest::ChipRoot small(0xC8);  // a range may end at the chip's end, and is checked before any erase
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    uintptr_t cursor = FLASH_ADD_WEB;
    ASSERT_EQ(F_FlashDrv_Write(&cursor, "old", 3), 0);
    EXPECT_EQ(EraseFlashSectors(27, 6), -1);
    EXPECT_EQ(small.image().substr(27 * kSector, 3), "old");
    EXPECT_EQ(EraseFlashSectors(27, 5), 0);
}

// A loader or firmware upload cut by the power after its programs, and in torn mode inside them
// (the erase, a spread of the image, every byte of the blocks and the header; weak header bytes),
// leaves the region erased, with a header that disagrees with its bytes, or whole (old or new
// image with its blocks); the next upload repairs it.
TEST(UpgradeNorRoute, PowerCutLeavesTheRegionDetectablyInvalidOrWhole)
{
    for (const auto mode : {quibtest::CutMode::Whole, quibtest::CutMode::Torn}) {
        for (const auto& [kind, sectors, size, stride] :
             {std::tuple{Loader, 1u, 4000u, 997u}, {Firmware, 10u, 65536u, 4999u}}) {
            const uint32_t header = kFirst[kind] * kSector;
            quibtest::ChipRoot root(0x93, "weak_bytes=" + std::to_string(header + 3) + "," +
                                              std::to_string(header + 7) + "\n");
            const std::string images[] = {pattern(size + 100, 1), pattern(size, 2), pattern(size + 50, 3)};
            const std::string stem = kind == Loader ? "LoaderCINT_" : "FrmWCINT_";
            const std::string names[] = {stem + "old", stem + "new", stem + "next"};
            ASSERT_EQ(writeImage(root, kind, names[0], images[0]), 0);
            quibtest::PowerCut cut(root, [&] { EXPECT_EQ(writeImage(root, kind, names[1], images[1]), 0); }, mode);
            const std::string whole[] = {region(kind, names[0], images[0], sectors),
                                         region(kind, names[1], images[1], sectors),
                                         region(kind, names[2], images[2], sectors)};
            auto state = [&]() -> std::string {
                const std::string_view r = cut.view(header, sectors * kSector);
                if (r.substr(0, 8) == std::string(8, '\xFF'))
                    return "erased";
                for (int i = 0; i < 3; ++i) {
                    if (r == whole[i])
                        return i == 0 ? "old" : i == 1 ? "new" : "next";
                }
                uint32_t n = 0;
                for (int i = 0; i < 4; ++i)
                    n = n << 8 | static_cast<uint8_t>(r[i]);
                const bool agrees = n <= r.size() - 8 && be32(byteSum(std::string(r.substr(8, n)))) == r.substr(4, 4);
                return agrees ? "agrees, not whole" : "disagrees";
            };
            quibtest::CutCounts counts(stem + "upload", mode);
            for (size_t n = 0; n <= cut.points(); ++n) {
                if (n > 12 && n + 80 < cut.points() && n % stride != 0)
                    continue;
                for (size_t w = 0; w < cut.ways(n); ++w) {
                    cut.cut(n, w);
                    const std::string got = state();
                    counts.add(got);
                    ASSERT_TRUE(got == "erased" || got == "disagrees" || (got == "old" && n == 0 && w == 0) ||
                                got == "new")
                        << cut.describe(n, w) << ": " << got;
                    ASSERT_TRUE(n < cut.points() || got == "new");
                    // Past the first sector's erase the header reads erased, whatever is torn beside it:
                    // the repair is tried after every whole cut, that erase torn, and each torn header byte.
                    if (w > 0 && n > 0 && n + 8 < cut.points())
                        continue;
                    ASSERT_EQ(writeImage(root, kind, names[2], images[2]), 0) << cut.describe(n, w);
                    ASSERT_EQ(state(), "next") << cut.describe(n, w);
                    cut.restart();
                }
            }
        }
    }
}

// A link or FIFO planted at the file's name is replaced, never followed or waited on; the name goes out
// percent-encoded, so no record line is other than the handler's own.
TEST(UpgradeProgress, RewrittenPerPhasePerStepAtMostFiveTimesASecond)
{
    quibtest::ChipRoot root;
    auto step = [&root](int waitMs, UpgradePhase phase, long long done, long long total) {
        usleep(waitMs * 1000);
        upgrade_progress(phase, done, total);
        return progressFile(root);
    };
    root.write("/aside", "kept");
    ASSERT_EQ(symlink(root.host("/aside").c_str(), root.host(UPG_PROGRESS_PATH).c_str()), 0);
    EXPECT_EQ(step(0, UPG_PHASE_ERASING, 1, 10), "malformed");  // before begin: the planted link as it was
    upgrade_progress_begin("F;x\nfile=y.bin");
    EXPECT_EQ(progressFile(root), "checking 0/0 F%3Bx%0Afile%3Dy.bin");
    EXPECT_EQ(step(0, UPG_PHASE_ERASING, 1, 10), "erasing 1/10 F%3Bx%0Afile%3Dy.bin");
    upgrade_progress_end();
    upgrade_progress_begin("F.bin");
    EXPECT_EQ(step(0, UPG_PHASE_ERASING, 1, 10), "erasing 1/10 F.bin");
    EXPECT_EQ(step(0, UPG_PHASE_ERASING, 2, 10), "erasing 1/10 F.bin");  // too soon
    EXPECT_EQ(step(210, UPG_PHASE_ERASING, 3, 10), "erasing 3/10 F.bin");
    EXPECT_EQ(step(0, UPG_PHASE_PROGRAMMING, 1024, 200000), "programming 1024/200000 F.bin");  // a new phase
    EXPECT_EQ(step(210, UPG_PHASE_PROGRAMMING, 65535, 200000), "programming 1024/200000 F.bin");  // 64 KiB
    upgrade_progress_end();
    EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{});
    EXPECT_EQ(root.read("/aside"), "kept");

    ASSERT_EQ(mkfifo(root.host(UPG_PROGRESS_PATH).c_str(), 0600), 0);
    upgrade_progress_begin("F.bin");
    EXPECT_EQ(progressFile(root), "checking 0/0 F.bin");
    upgrade_progress_end();
    // A directory in the file's place fails every update, and never the writer.
    root.write(std::string(UPG_PROGRESS_PATH) + "/x", "");
    upgrade_progress_begin("F.bin");
    ASSERT_EQ(writeImage(root, Firmware, "F.bin", pattern(200000)), 0);
    upgrade_progress_end();
    EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{"quibImg"});  // the upload alone
}

// `instrument init`: the board report program and the CINT loader image.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tools/common/bigendian.h"
#include "tools/instrument/instrument.h"

namespace fs = std::filesystem;

namespace tool {
namespace {

// What QNX's `pidin info` prints on each board. Board 2, the one with the NAND
// drive, has 64 MB of memory, and that is how the product tells it apart.
std::string boardReport(int board)
{
    if (board == 2)
        return "CPU:PPC Release:6.3.2  FreeMem:41Mb/64Mb BootTime:Mar 14 09:26:53 UTC 2011\n"
               "Processes: 38, Threads: 131\n"
               "Processor1: 2147552768 MPC5200 396MHz FPU\n";
    return "CPU:PPC Release:6.3.2  FreeMem:97Mb/128Mb BootTime:Mar 14 09:26:53 UTC 2011\n"
           "Processes: 36, Threads: 122\n"
           "Processor1: 2147552768 MPC5200 396MHz FPU\n";
}

std::string reportProgram(int board)
{
    return "#!/bin/sh\n"
           "# Stand-in for /proc/boot/pidin on a board-" + std::to_string(board) +
           " controller: only the info report is simulated.\n"
           "if [ \"$1\" != info ]; then\n"
           "    echo \"pidin: only 'pidin info' is simulated\" >&2\n"
           "    exit 1\n"
           "fi\n"
           "cat <<'EOF'\n" + boardReport(board) + "EOF\n";
}

// A loader image of the given generation: a banner, then code-like bytes; the
// generation-4 image carries the 10-sector marker inside its first chunk.
std::string loaderImage(int generation)
{
    std::string img = "CINT loader generation " + std::to_string(generation) + "\n";
    if (generation == 4)
        img += std::string("cfg ") + LOADER_MARKER_10SECT + "\n";
    uint32_t x = 0x2545F491u + static_cast<uint32_t>(generation);
    while (img.size() < 6144) {
        x = x * 1664525u + 1013904223u;
        img += static_cast<char>(x >> 24);
    }
    return img;
}

// A 32-byte block: the text, then zero bytes.
std::string block32(const std::string& text)
{
    std::string b = text.substr(0, 32);
    b.resize(32, '\0');
    return b;
}

int writeLoader(const InitOptions& opt, InitMade& made)
{
    const fs::path image = fs::path(opt.root) / "flash" / "nor.img";
    std::error_code ec;
    const uintmax_t chipSize = fs::file_size(image, ec);
    if (ec) {
        std::fprintf(stderr, "instrument init: no chip image at %s: %s\n", image.c_str(),
                     ec.message().c_str());
        return 1;
    }
    if (chipSize < FLASH_OFF_PARAM_USER) {
        std::fprintf(stderr,
                     "instrument init: --loader-generation needs a 4 MiB chip: the loader region "
                     "at offset 0x%06X lies outside this %ju KiB chip\n",
                     static_cast<unsigned>(FLASH_OFF_LOADER), chipSize / 1024);
        return 1;
    }
    const std::string img = loaderImage(opt.loaderGeneration);
    uint32_t sum = 0;
    for (unsigned char c : img)
        sum += c;
    // Laid out as the loader writer leaves the region: header, image, info
    // block, version block (named after a file LoaderCINT_vN.bin).
    const struct {
        uint32_t offset;
        std::string bytes;
    } parts[] = {
        {FLASH_OFF_LOADER, be32Bytes(static_cast<uint32_t>(img.size())) + be32Bytes(sum) + img},
        {FLASH_OFF_INFOLOADER, block32("LOADER : 1")},
        {FLASH_OFF_VERSLOADER, block32("LoaderCINT_v" + std::to_string(opt.loaderGeneration))},
    };
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    for (const auto& p : parts) {
        f.seekp(p.offset);
        f.write(p.bytes.data(), static_cast<std::streamsize>(p.bytes.size()));
    }
    f.flush();
    if (!f) {
        std::fprintf(stderr, "instrument init: cannot write the loader into %s\n", image.c_str());
        return 1;
    }
    char line[1200];
    std::snprintf(line, sizeof line,
                  "loader image: generation %d (%s) in the loader region at offset 0x%06X of %s",
                  opt.loaderGeneration,
                  opt.loaderGeneration == 4 ? "10 firmware sectors" : "8 firmware sectors",
                  static_cast<unsigned>(FLASH_OFF_LOADER), image.c_str());
    made.lines.push_back(line);
    return 0;
}

}  // namespace

int initBoard(const InitOptions& opt, InitMade& made)
{
    const fs::path program = fs::path(opt.root) / "proc" / "boot" / "pidin";
    std::error_code ec;
    if (!fs::exists(program, ec))
        made.paths.push_back(program.string());
    {
        std::ofstream out(program, std::ios::binary | std::ios::trunc);
        out << reportProgram(opt.board);
        if (!out) {
            std::fprintf(stderr, "instrument init: cannot write %s\n", program.c_str());
            return 1;
        }
    }
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec, ec);
    if (ec) {
        std::fprintf(stderr, "instrument init: cannot make %s executable\n", program.c_str());
        return 1;
    }
    made.lines.push_back("board report: " + program.string() + ", board " + std::to_string(opt.board) +
                         (opt.board == 2 ? " (NAND drive)" : " (NOR image regions)"));
    return opt.loaderGeneration == 0 ? 0 : writeLoader(opt, made);
}

}  // namespace tool

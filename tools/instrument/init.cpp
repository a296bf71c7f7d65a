// instrument init: the root, the directories of the instrument's fixed
// paths, and an erased chip of the chosen code.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/host/nor_chip.h"
#include "tools/instrument/instrument.h"

namespace fs = std::filesystem;

namespace tool {
namespace {

// Creates dir and its missing parents, noting each one made.
bool makeDirectories(const fs::path& dir, InitMade& made)
{
    fs::path p;
    for (const fs::path& part : dir) {
        p /= part;
        std::error_code ec;
        if (fs::is_directory(p, ec))
            continue;
        if (!fs::create_directory(p, ec)) {
            std::fprintf(stderr, "instrument init: %s: %s\n", p.c_str(),
                         ec ? ec.message().c_str() : "exists and is not a directory");
            return false;
        }
        made.paths.push_back(p.string());
    }
    return true;
}

}  // namespace

int initRoot(const InitOptions& opt, InitMade& made)
{
    static const char* const dirs[] = {
        "flash", "proc/boot", "dev/name/local", "NANDdrive/firm", "www/system/conf", "tmp", "var/log",
    };
    for (const char* d : dirs) {
        if (!makeDirectories(fs::path(opt.root) / d, made))
            return 1;
    }
    // A new chip every time: init makes a fresh instrument, not a repaired one.
    const fs::path flash = fs::path(opt.root) / "flash";
    for (const char* f : {"nor.img", "nor.conf"}) {
        std::error_code ec;
        if (!fs::exists(flash / f, ec))
            made.paths.push_back((flash / f).string());
    }
    if (norsim::createErasedChip(opt.root.c_str(), opt.flashCode) != 0) {
        std::fprintf(stderr, "instrument init: %s: %s\n", flash.c_str(), std::strerror(errno));
        return 1;
    }
    char line[1200];
    std::snprintf(line, sizeof line, "chip: %s, code 0x%02X (%s), erased", (flash / "nor.img").c_str(),
                  opt.flashCode, opt.flashCode == 0xC8 ? "2 MiB" : "4 MiB");
    made.lines.push_back(line);
    return 0;
}

int init(const InitOptions& opt)
{
    InitMade made;
    int rc = initRoot(opt, made);
    if (rc == 0)
        rc = initBoard(opt, made);
    if (rc != 0) {
        for (auto it = made.paths.rbegin(); it != made.paths.rend(); ++it) {
            std::error_code ec;
            fs::remove_all(*it, ec);
        }
        return rc;
    }
    for (const std::string& line : made.lines)
        std::printf("%s\n", line.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace tool

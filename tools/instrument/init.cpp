// instrument init: the root, the directories of the instrument's fixed
// paths, and an erased chip of the chosen code.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/host/nor_chip.h"
#include "tools/instrument/instrument.h"

namespace tool {

int initRoot(const InitOptions& opt)
{
    namespace fs = std::filesystem;
    static const char* const dirs[] = {
        "flash", "proc/boot", "dev/name/local", "NANDdrive/firm", "www/system/conf", "tmp", "var/log",
    };
    for (const char* d : dirs) {
        std::error_code ec;
        fs::path p = fs::path(opt.root) / d;
        fs::create_directories(p, ec);
        if (ec) {
            std::fprintf(stderr, "instrument init: %s: %s\n", p.c_str(), ec.message().c_str());
            return 1;
        }
    }
    // A new chip every time: init makes a fresh instrument, not a repaired one.
    if (norsim::createErasedChip(opt.root.c_str(), opt.flashCode) != 0) {
        std::fprintf(stderr, "instrument init: %s/flash: %s\n", opt.root.c_str(),
                     std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace tool

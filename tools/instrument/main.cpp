// instrument init ROOT [--board 1|2] [--flash 0xC8|0x93|0xA3|0x53] [--loader-generation 3|4]
// instrument show ROOT [--json]
// instrument peers ROOT [options]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/instrument/instrument.h"

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: instrument init ROOT [--board 1|2] [--flash 0xC8|0x93|0xA3|0x53]"
                 " [--loader-generation 3|4]\n"
                 "       instrument show ROOT [--json]\n"
                 "       instrument peers ROOT [options]   (instrument peers --help)\n");
    return 2;
}

bool parseInt(const char* s, long& out)
{
    char* end = nullptr;
    out = std::strtol(s, &end, 0);
    return end != s && *end == '\0';
}

int cmdInit(int argc, char** argv)
{
    tool::InitOptions opt;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        long v = 0;
        if ((a == "--board" || a == "--flash" || a == "--loader-generation") && i + 1 < argc) {
            if (!parseInt(argv[++i], v)) {
                std::fprintf(stderr, "instrument init: %s needs a number\n", a.c_str());
                return 2;
            }
            if (a == "--board") {
                if (v != 1 && v != 2) {
                    std::fprintf(stderr, "instrument init: --board is 1 or 2\n");
                    return 2;
                }
                opt.board = static_cast<int>(v);
            } else if (a == "--flash") {
                if (v != 0xC8 && v != 0x93 && v != 0xA3 && v != 0x53) {
                    std::fprintf(stderr, "instrument init: --flash is 0xC8, 0x93, 0xA3 or 0x53\n");
                    return 2;
                }
                opt.flashCode = static_cast<unsigned>(v);
            } else {
                if (v != 3 && v != 4) {
                    std::fprintf(stderr, "instrument init: --loader-generation is 3 or 4\n");
                    return 2;
                }
                opt.loaderGeneration = static_cast<int>(v);
            }
        } else if (a.starts_with("--") || !opt.root.empty()) {
            return usage();
        } else {
            opt.root = a;
        }
    }
    if (opt.root.empty())
        return usage();
    return tool::init(opt);
}

int cmdShow(int argc, char** argv)
{
    tool::ShowContext ctx;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json")
            ctx.json = true;
        else if (a.starts_with("--") || !ctx.root.empty())
            return usage();
        else
            ctx.root = a;
    }
    if (ctx.root.empty())
        return usage();
    int rc = tool::showFlash(ctx);
    if (rc == 0)
        rc = tool::showRecords(ctx);
    if (rc == 0)
        rc = tool::showBoard(ctx);
    if (rc == 0)
        rc = tool::showFiles(ctx);
    if (ctx.json)
        std::fprintf(ctx.out, "%s\n", tool::dumpJson(ctx.doc).c_str());
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    std::string cmd = argv[1];
    if (cmd == "init")
        return cmdInit(argc - 2, argv + 2);
    if (cmd == "show")
        return cmdShow(argc - 2, argv + 2);
    if (cmd == "peers")
        return tool::runPeers(argc - 2, argv + 2);
    return usage();
}

// `instrument show`: the board, the loader generation and the installed names,
// found by running the product's own identification against the root.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tools/common/regular_file.h"
#include "tools/common/text.h"
#include "tools/instrument/instrument.h"

namespace fs = std::filesystem;

namespace tool {
namespace {

// Names come from flash on board 1 and may hold any byte; an erased block
// already reads as no name.
std::string printable(const char* name)
{
    return name[0] == '\0' ? "(none)" : escapeBytes(name, "");
}

// Whether a run of upgrade.cgi holds the request lock now: "held", "free", or
// "none" when no run has made the file yet. Opened without following a link
// or waiting on a FIFO, and never created here.
std::string requestLock(const fs::path& root)
{
    const int fd = tool::openRegular(root / "tmp/upgrade.lock");
    if (fd < 0)
        return "none";
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    const bool probed = fcntl(fd, F_GETLK, &fl) == 0;
    close(fd);
    return !probed ? "none" : fl.l_type == F_UNLCK ? "free" : "held";
}

}  // namespace

int showBoard(ShowContext& ctx)
{
    std::error_code ec;
    const fs::path root = fs::absolute(ctx.root, ec);
    if (ec || !fs::is_directory(root)) {
        std::fprintf(stderr, "instrument show: %s is not an instrument root\n", ctx.root.c_str());
        return 1;
    }
    // The product finds every fixed path below INSTRUMENT_ROOT; detection runs
    // the board report program into a private scratch file of its own, so it
    // may run beside an upload, and leaves no file behind.
    setenv("INSTRUMENT_ROOT", root.c_str(), 1);
    const int flash = F_FlashDrv_Init();
    S_EtatLoader = {};
    S_DecodeTrame = {};
    F_DetectCINTBoardConfig(1);
    F_InitDecodeTrame();
    if (flash == 0)
        F_FlashDrv_Close();

    const int board = S_EtatLoader.boardVersion;
    const bool identified = F_BoardIdentified() != 0;
    const std::string lock = requestLock(root);
    if (ctx.json) {
        Json b = Json::object();
        b["version"] = board;
        b["loaderGeneration"] = board == 2 ? Json() : Json(S_EtatLoader.cintLoaderVersion);
        b["firmwareSectorCount"] = S_EtatLoader.firmwareSectorCount;
        b["loaderName"] = std::string(getNomLoader());
        b["firmwareName"] = std::string(getNomFirmware());
        b["identified"] = identified;  // false: the report could not be read, version is the fallback
        ctx.doc["board"] = std::move(b);
        ctx.doc["requestLock"] = lock;
        return 0;
    }
    std::fprintf(ctx.out, "board\n");
    std::fprintf(ctx.out, "  version            %d (%s)%s\n", board,
                 board == 2 ? "NAND drive" : "NOR image regions",
                 identified ? "" : ", not identified: the board report could not be read");
    if (board == 2)
        std::fprintf(ctx.out, "  loader generation  not examined on this board\n");
    else
        std::fprintf(ctx.out, "  loader generation  %d%s\n", S_EtatLoader.cintLoaderVersion,
                     flash == 0 ? "" : " (no flash window)");
    std::fprintf(ctx.out, "  firmware sectors   %d\n", S_EtatLoader.firmwareSectorCount);
    std::fprintf(ctx.out, "  loader name        %s\n", printable(getNomLoader()).c_str());
    std::fprintf(ctx.out, "  firmware name      %s\n", printable(getNomFirmware()).c_str());
    std::fprintf(ctx.out, "  request lock       %s\n", lock.c_str());
    return 0;
}

}  // namespace tool

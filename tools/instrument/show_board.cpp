// `instrument show`: the board, the loader generation and the installed names,
// found by running the product's own identification against the root.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
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
    // the board report program and leaves no scratch file behind.
    setenv("INSTRUMENT_ROOT", root.c_str(), 1);
    const int flash = F_FlashDrv_Init();
    S_EtatLoader = {};
    S_DecodeTrame = {};
    F_DetectCINTBoardConfig(1);
    F_InitDecodeTrame();
    if (flash == 0)
        F_FlashDrv_Close();

    const int board = S_EtatLoader.boardVersion;
    if (ctx.json) {
        Json b = Json::object();
        b["version"] = board;
        b["loaderGeneration"] = board == 2 ? Json() : Json(S_EtatLoader.cintLoaderVersion);
        b["firmwareSectorCount"] = S_EtatLoader.firmwareSectorCount;
        b["loaderName"] = std::string(getNomLoader());
        b["firmwareName"] = std::string(getNomFirmware());
        ctx.doc["board"] = std::move(b);
        return 0;
    }
    std::fprintf(ctx.out, "board\n");
    std::fprintf(ctx.out, "  version            %d (%s)\n", board,
                 board == 2 ? "NAND drive" : "NOR image regions");
    if (board == 2)
        std::fprintf(ctx.out, "  loader generation  not examined on this board\n");
    else
        std::fprintf(ctx.out, "  loader generation  %d%s\n", S_EtatLoader.cintLoaderVersion,
                     flash == 0 ? "" : " (no flash window)");
    std::fprintf(ctx.out, "  firmware sectors   %d\n", S_EtatLoader.firmwareSectorCount);
    std::fprintf(ctx.out, "  loader name        %s\n", printable(getNomLoader()).c_str());
    std::fprintf(ctx.out, "  firmware name      %s\n", printable(getNomFirmware()).c_str());
    return 0;
}

}  // namespace tool

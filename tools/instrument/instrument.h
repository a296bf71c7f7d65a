// The `instrument` host tool: make, inspect and serve a simulated instrument.
// Each subcommand and each section of `show` lives in its own file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/json.h"

namespace tool {

struct InitOptions {
    std::string root;
    int board = 1;               // 1: NOR image regions, 2: NAND drive
    unsigned flashCode = 0x93;   // 0xC8, 0x93, 0xA3, 0x53
    int loaderGeneration = 0;    // 0: loader region left erased, 3 or 4
};

// What init made: the paths that were not there before, in the order made
// (removed again, newest first, when a later step fails), and one line per
// thing for the user (printed when every step succeeded).
struct InitMade {
    std::vector<std::string> paths;
    std::vector<std::string> lines;
};

// init.cpp: `instrument init`: every step below, one line on standard output
// per thing made; on failure nothing it made is left behind.
int init(const InitOptions& opt);
// init.cpp: the root, its directories and the erased chip.
int initRoot(const InitOptions& opt, InitMade& made);
// init_board.cpp: the board report program and the CINT loader image.
int initBoard(const InitOptions& opt, InitMade& made);

// What one `show` section writes to: text on out, or members of doc with --json.
struct ShowContext {
    std::string root;
    bool json = false;
    FILE* out = stdout;
    Json doc = Json::object();
};

// Each returns 0, or non-zero when the root cannot be read.
int showFlash(ShowContext& ctx);    // show_flash.cpp: chip, map, image regions
int showRecords(ShowContext& ctx);  // show_records.cpp: product parameter sector
int showBoard(ShowContext& ctx);    // show_board.cpp: board, loader, names
int showFiles(ShowContext& ctx);    // show_files.cpp: NAND images, GPS configurations

// peers.cpp: `instrument peers ROOT [options]`; argv starts after "peers".
int runPeers(int argc, char** argv);

}  // namespace tool

// Board and loader identification: which controller board this is, which
// generation of CINT loader sits in flash, the installed loader and firmware
// names, and the parsers of the DSP names file and of DSP firmware names.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The identification record. Zero at process start; the field order is fixed
// because other components of the instrument share it.
struct EtatLoader {
    char firmwareVersionText[32];  // from the names file, NUL-terminated
    char loaderVersionText[32];
    char serialNumberText[32];
    int32_t dspValues[6];
    int32_t cintLoaderVersion;     // 3 or 4, the generation found in flash
    int32_t cintLoaderRevision;    // always 0
    int32_t forcedLoaderVersion;   // wins over cintLoaderVersion when asked for and not 0
    int32_t firmwareSectorCount;   // 10 or 8 on board 1, 0 on board 2
    int32_t boardVersion;          // 1: NOR image regions, 2: NAND drive
};
extern EtatLoader S_EtatLoader;

// Names of the installed CINT loader and firmware. Zero at process start.
struct DecodeTrame {
    char loaderName[128];
    char firmwareName[128];
    char serialField[128];
    uint8_t clearedBlock[9];       // cleared on board 1, no other meaning here
};
extern DecodeTrame S_DecodeTrame;

// Marker that a generation-4 loader image carries; it expects 10 firmware sectors.
static const char LOADER_MARKER_10SECT[] = "FIRM_10SECT";
// The loader image is scanned in pieces of this size, each searched on its own.
enum { LOADER_SCAN_CHUNK = 1280 };

// ---- Board configuration ----
// Detects the board and, on board 1, the loader generation; fills
// firmwareSectorCount. useForcedVersion != 0 lets forcedLoaderVersion win.
// Needs F_FlashDrv_Init to have run. Returns 0 always: a caller that only
// reads S_EtatLoader gets board 1 when the report could not be read, as it
// always has; one that writes to the board asks F_BoardIdentified first.
int F_DetectCINTBoardConfig(int useForcedVersion);
// 0 when this run's board report was read; -1 (board 1) when it could not be
// made, the program failed, or the report is empty.
int GetBoardVersion();
// 1 when the last detection read a board report, 0 when it could not (or
// detection has not run): boardVersion then holds the fallback only.
int F_BoardIdentified();
// 1 when the loader image in flash carries the marker (generation 4), else 0.
int GetLoaderCINTVersion();

// ---- Loader information ----
// Fills S_DecodeTrame for the detected board (nothing when detection has not
// run). Returns 1 always.
int F_InitDecodeTrame();
// Writes into dst (dstSize bytes) the base name of the last file, in byte
// order, whose path begins with pathPrefix ("" when none does); a longer name
// is cut to dstSize - 1 characters. -1 (dst unchanged) when the prefix cannot
// be resolved on this machine.
int F_Extract_FileName(const char* pathPrefix, char* dst, size_t dstSize);
char* getNomLoader();
char* getNomFirmware();
void P_LoaderLoadLoaderVersion(char** out);
void P_LoaderLoadFirmwareVersion(char** out);
void P_LoaderLoadSerialNumber(char** out);

// ---- DSP names and firmware versions ----
// Parses "/tmp/Noms" into the three texts and dspValues of S_EtatLoader.
// 1 on success; -1 when the file does not open or a text field has 32 or more
// characters.
int F_LoaderDSPNomsDSP();
// Major and minor version (each 0 to 99) of a DSP firmware name, taken after
// its first "DSP4". Returns 0 always.
int F_GetFirmVersion(const char* text, int32_t* major, int32_t* minor);
// 1 for '0' to '9', else 0.
int IsNumeric(int c);

// The network command table: twenty rows of a flag word and a command text,
// stored as a presence word followed by rows 0 to 18 byte for byte (row 19 is
// never stored). A row is laid out as in flash on every platform, so that the
// byte-for-byte copy gives the same record on a little-endian host.
#pragma once

#include <stdint.h>

#include "platform/compile_check.h"

static const uint8_t FLASHPACK_ID_CONFIGIP = 2;
enum {
    CONFIGIP_ROWS = 20,
    CONFIGIP_STORED_ROWS = 19,
    CONFIGIP_DEFAULT_ROWS = 18,   // rows a load of the defaults overwrites
    CONFIGIP_TEXT_SIZE = 92
};

struct S_ConfigIP_Row {
    uint8_t aucFlag[4];                 // u32 flag word, most significant byte first
    char acText[CONFIGIP_TEXT_SIZE];    // zero-terminated, zero-filled
};
QUIB_COMPILE_CHECK(sizeof(S_ConfigIP_Row) == 96);

// The table as one object, so that it is assigned and copied whole.
struct T_ConfigIP_Tab {
    S_ConfigIP_Row rows[CONFIGIP_ROWS];
};

extern T_ConfigIP_Tab ConfigIP_Tab_Cmd;
extern const T_ConfigIP_Tab ConfigIP_Tab_CmdDef;

uint32_t F_ConfigIP_RowFlag(const S_ConfigIP_Row& row);

// Both always return 1.
int F_Flash_EncodeStruct_ConfigIP();
// A zero presence word (or useDefaults) loads rows 0 to 17 of the defaults;
// rows 18 and 19 then keep their content, as row 19 always does.
int F_Flash_DecodeStruct_ConfigIP(int useDefaults);

// The product information record: the product mode, three words kept as they
// are, in a versioned encoding in the pack store's staging buffer.
//   0: u32 format version (written as 3), 4, 8, 12: the mode's words,
//   every word most significant byte first.
#pragma once

#include <stdint.h>

static const uint8_t FLASHPACK_ID_PRODUCT = 1;
static const uint32_t FLASHPROD_FORMAT_VERSION = 3;
enum { FLASHPROD_MODE_WORDS = 3 };

// The mode as one object, so that it is assigned and copied whole.
struct T_FlashProd_Mode {
    uint32_t words[FLASHPROD_MODE_WORDS];
};

extern T_FlashProd_Mode FlashProd_Mode;
extern const T_FlashProd_Mode FlashProd_ModeDef;

// Both always return 1.
int F_Flash_EncodeStruct_Product();
// Version 0 (or useDefaults): the defaults; 1: two words, the third 0; 2 and up: three words.
int F_Flash_DecodeStruct_Product(int useDefaults);

// Big-endian words of the staging buffer, shared with the other record codecs.
uint32_t F_Flash_GetWord(const uint8_t* p);
void F_Flash_SetWord(uint8_t* p, uint32_t value);
// The staging buffer, also before the pack store has been initialised.
uint8_t* F_Flash_Staging();

#include "flash/flh2Product.h"

#include <stddef.h>

#include "flash/Flash_Pack.h"
#include "platform/bigendian.h"

T_FlashProd_Mode FlashProd_Mode = {{0, 0, 0}};
const T_FlashProd_Mode FlashProd_ModeDef = {{0, 0, 0}};

uint32_t F_Flash_GetWord(const uint8_t* p)
{
    return platform_get_be32(p);
}

void F_Flash_SetWord(uint8_t* p, uint32_t value)
{
    platform_put_be32(p, value);
}

uint8_t* F_Flash_Staging()
{
    return V_A_cFlashMem != NULL ? V_A_cFlashMem : V_A_cFlashTab;
}

int F_Flash_EncodeStruct_Product()
{
    uint8_t* buf = F_Flash_Staging();
    F_Flash_SetWord(buf, FLASHPROD_FORMAT_VERSION);
    for (int i = 0; i < FLASHPROD_MODE_WORDS; ++i)
        F_Flash_SetWord(buf + 4 + 4 * i, FlashProd_Mode.words[i]);
    return 1;
}

int F_Flash_DecodeStruct_Product(int useDefaults)
{
    uint8_t* buf = F_Flash_Staging();
    if (useDefaults != 0)
        F_Flash_SetWord(buf, 0);
    const uint32_t version = F_Flash_GetWord(buf);
    if (version == 0) {
        FlashProd_Mode = FlashProd_ModeDef;
    } else {
        FlashProd_Mode.words[0] = F_Flash_GetWord(buf + 4);
        FlashProd_Mode.words[1] = F_Flash_GetWord(buf + 8);
        // The first format had two words; its records load with the third cleared.
        FlashProd_Mode.words[2] = version >= 2 ? F_Flash_GetWord(buf + 12) : 0;
    }
    return 1;
}

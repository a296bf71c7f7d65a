#include "flash/EEProm_Prod.h"

#include "flash/Flash_Drv.h"
#include "flash/Flash_Pack.h"
#include "flash/flh2ConfigIP.h"
#include "flash/flh2Product.h"

namespace {

const int PROD_ERR_ERASE = -3;

// The 2 MiB chip has no product sector: its address lies past the window and
// would otherwise be taken for ordinary memory.
bool P_Prod_SectorMapped()
{
    return F_FlashDrv_RangeInWindow(FLASH_ADD_PARAM_PROD, FLASH_SECTOR_SIZE);
}

// 0 when the record is to come from the defaults.
int P_Prod_LoadPack(uint8_t id)
{
    if (!P_Prod_SectorMapped())
        return 0;
    return F_FlashPack_LoadPackId(FLASH_ADD_PARAM_PROD, id, F_Flash_Staging(), FLASHPACK_BUFFER_SIZE);
}

int P_Prod_SavePack(uint8_t id)
{
    if (!P_Prod_SectorMapped())
        return FLASHPACK_ERR_RANGE;
    return F_FlashPack_SavePackId(FLASH_ADD_PARAM_PROD, id, F_Flash_Staging(), FLASHPACK_BUFFER_SIZE);
}

}  // namespace

int F_LoadCnf_Product_Info(int useDefaults)
{
    if (useDefaults == 0)
        useDefaults = P_Prod_LoadPack(FLASHPACK_ID_PRODUCT) <= 0 ? 1 : 0;
    return F_Flash_DecodeStruct_Product(useDefaults);
}

int F_LoadCnf_Product_ConfigIP(int useDefaults)
{
    if (useDefaults == 0)
        useDefaults = P_Prod_LoadPack(FLASHPACK_ID_CONFIGIP) <= 0 ? 1 : 0;
    return F_Flash_DecodeStruct_ConfigIP(useDefaults);
}

int F_LoadCnf_Product(int useDefaults)
{
    const int rc = F_LoadCnf_Product_Info(useDefaults);
    if (rc < 0)
        return rc;
    return F_LoadCnf_Product_ConfigIP(useDefaults);
}

int F_SaveCnf_Product_Info()
{
    F_Flash_EncodeStruct_Product();
    return P_Prod_SavePack(FLASHPACK_ID_PRODUCT);
}

int F_SaveCnf_Product_ConfigIP()
{
    F_Flash_EncodeStruct_ConfigIP();
    return P_Prod_SavePack(FLASHPACK_ID_CONFIGIP);
}

int F_SaveCnf_Product()
{
    if (!P_Prod_SectorMapped())
        return FLASHPACK_ERR_RANGE;
    // Saving into a sector that failed to erase would program over old bits.
    if (F_FlashDrv_EraseSector(FLASH_ADD_PARAM_PROD) != 1)
        return PROD_ERR_ERASE;
    const int rc = F_SaveCnf_Product_Info();
    if (rc < 0)
        return rc;
    return F_SaveCnf_Product_ConfigIP();
}

#include "flash/flh2ConfigIP.h"

#include <cstring>
#include <string_view>

#include "flash/flh2Product.h"
#include "platform/bigendian.h"

namespace {

constexpr S_ConfigIP_Row P_ConfigIP_Row(uint32_t flag, std::string_view text)
{
    S_ConfigIP_Row row{};
    platform_put_be32(row.aucFlag, flag);
    for (size_t i = 0; i < text.size() && i + 1 < sizeof row.acText; ++i)
        row.acText[i] = text[i];
    return row;
}

}  // namespace

T_ConfigIP_Tab ConfigIP_Tab_Cmd{};

constexpr T_ConfigIP_Tab ConfigIP_Tab_CmdDef = {
    P_ConfigIP_Row(1, "io-net -c1 -ptcpip cache=1,forward -dmpc5200 mac=%s,verbose"),
    P_ConfigIP_Row(1, "waitfor /dev/io-net/en0 4"),
    P_ConfigIP_Row(1, "ifconfig en0 %s netmask 255.255.0.0"),
    P_ConfigIP_Row(1, "if_up -p en0"),
    P_ConfigIP_Row(1, "dhcp.client -t %s -u"),
    P_ConfigIP_Row(0, "netbat1"),
    P_ConfigIP_Row(0, "netbat2"),
    P_ConfigIP_Row(0, "netbat3"),
    P_ConfigIP_Row(0, "020000000000"),
    P_ConfigIP_Row(0, "192.168.36.100"),
    P_ConfigIP_Row(0, "0"),
    P_ConfigIP_Row(0, "1"),
    P_ConfigIP_Row(0, "devc-pty"),
    P_ConfigIP_Row(0, "waitfor /dev/ptyp0 4"),
    P_ConfigIP_Row(0, "qconn port=8002"),
    P_ConfigIP_Row(0, "192.168.36.99"),
    P_ConfigIP_Row(0, "inetd"),
    P_ConfigIP_Row(1, "route add default 192.168.36.100"),
    P_ConfigIP_Row(0, ""),
    P_ConfigIP_Row(0, ""),
};

uint32_t F_ConfigIP_RowFlag(const S_ConfigIP_Row& row)
{
    return F_Flash_GetWord(row.aucFlag);
}

int F_Flash_EncodeStruct_ConfigIP()
{
    uint8_t* buf = F_Flash_Staging();
    F_Flash_SetWord(buf, 1);
    std::memcpy(buf + 4, ConfigIP_Tab_Cmd.data(), CONFIGIP_STORED_ROWS * sizeof(S_ConfigIP_Row));
    return 1;
}

int F_Flash_DecodeStruct_ConfigIP(int useDefaults)
{
    uint8_t* buf = F_Flash_Staging();
    if (useDefaults != 0)
        F_Flash_SetWord(buf, 0);
    if (F_Flash_GetWord(buf) != 0) {
        std::memcpy(ConfigIP_Tab_Cmd.data(), buf + 4, CONFIGIP_STORED_ROWS * sizeof(S_ConfigIP_Row));
        // The consumer reads each text as a C string: a damaged record must
        // not hand it one without a terminator.
        for (int r = 0; r < CONFIGIP_STORED_ROWS; ++r)
            ConfigIP_Tab_Cmd[r].acText[CONFIGIP_TEXT_SIZE - 1] = '\0';
    } else {
        std::memcpy(ConfigIP_Tab_Cmd.data(), ConfigIP_Tab_CmdDef.data(),
                    CONFIGIP_DEFAULT_ROWS * sizeof(S_ConfigIP_Row));
    }
    return 1;
}

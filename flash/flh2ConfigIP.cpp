#include "flash/flh2ConfigIP.h"

#include <string.h>

#include "flash/flh2Product.h"

T_ConfigIP_Tab ConfigIP_Tab_Cmd;

// Each row: the flag word, most significant byte first, then the text.
const T_ConfigIP_Tab ConfigIP_Tab_CmdDef = {{
    {{0, 0, 0, 1}, "io-net -c1 -ptcpip cache=1,forward -dmpc5200 mac=%s,verbose"},
    {{0, 0, 0, 1}, "waitfor /dev/io-net/en0 4"},
    {{0, 0, 0, 1}, "ifconfig en0 %s netmask 255.255.0.0"},
    {{0, 0, 0, 1}, "if_up -p en0"},
    {{0, 0, 0, 1}, "dhcp.client -t %s -u"},
    {{0, 0, 0, 0}, "netbat1"},
    {{0, 0, 0, 0}, "netbat2"},
    {{0, 0, 0, 0}, "netbat3"},
    {{0, 0, 0, 0}, "020000000000"},
    {{0, 0, 0, 0}, "192.168.36.100"},
    {{0, 0, 0, 0}, "0"},
    {{0, 0, 0, 0}, "1"},
    {{0, 0, 0, 0}, "devc-pty"},
    {{0, 0, 0, 0}, "waitfor /dev/ptyp0 4"},
    {{0, 0, 0, 0}, "qconn port=8002"},
    {{0, 0, 0, 0}, "192.168.36.99"},
    {{0, 0, 0, 0}, "inetd"},
    {{0, 0, 0, 1}, "route add default 192.168.36.100"},
    {{0, 0, 0, 0}, ""},
    {{0, 0, 0, 0}, ""},
}};

uint32_t F_ConfigIP_RowFlag(const S_ConfigIP_Row& row)
{
    return F_Flash_GetWord(row.aucFlag);
}

int F_Flash_EncodeStruct_ConfigIP()
{
    uint8_t* buf = F_Flash_Staging();
    F_Flash_SetWord(buf, 1);
    memcpy(buf + 4, ConfigIP_Tab_Cmd.rows, CONFIGIP_STORED_ROWS * sizeof(S_ConfigIP_Row));
    return 1;
}

int F_Flash_DecodeStruct_ConfigIP(int useDefaults)
{
    uint8_t* buf = F_Flash_Staging();
    if (useDefaults != 0)
        F_Flash_SetWord(buf, 0);
    if (F_Flash_GetWord(buf) != 0) {
        memcpy(ConfigIP_Tab_Cmd.rows, buf + 4, CONFIGIP_STORED_ROWS * sizeof(S_ConfigIP_Row));
        // The consumer reads each text as a C string: a damaged record must
        // not hand it one without a terminator.
        for (int r = 0; r < CONFIGIP_STORED_ROWS; ++r)
            ConfigIP_Tab_Cmd.rows[r].acText[CONFIGIP_TEXT_SIZE - 1] = '\0';
    } else {
        memcpy(ConfigIP_Tab_Cmd.rows, ConfigIP_Tab_CmdDef.rows,
               CONFIGIP_DEFAULT_ROWS * sizeof(S_ConfigIP_Row));
    }
    return 1;
}

// A text file for one of the application's UDP configurations: the
// application server is told which one, the file's name and where it lies.
#include <ctype.h>
#include <string.h>

#include "upgrade/Message_Channel.h"
#include "upgrade/upgrade_internal.h"

bool EndsWithTxt(const char* name)
{
    static const char kTxt[] = ".txt";
    const size_t n = strlen(name);
    if (n < 4)
        return false;
    for (size_t i = 0; i < 4; ++i) {
        if (tolower(static_cast<unsigned char>(name[n - 4 + i])) != kTxt[i])
            return false;
    }
    return true;
}

int EnvoiUDP(int udpPort, const char* tmpPath, const char* baseName)
{
    // "UDPConf2=a&mode=9:..." would hand the application a second mode.
    if (!EndsWithTxt(baseName) || !channel_name_fits(baseName))
        return UPG_ERR_KIND;
    return channel_send_udp_conf(static_cast<char>(udpPort), baseName, tmpPath);
}

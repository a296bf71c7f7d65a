// Messages to the application server ("firmware") and the loader service
// ("loader"). Each exchange opens the name and sends one message; the buffers
// are the module's own, so nothing here allocates.
#include "upgrade/Message_Channel.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"
#include "upgrade/upgrade.h"

namespace {

const int kStatusAccepted = 4;
const int kStatusDspRefused = 1;

// Holds the 127-character base name and a host temporary path with room to spare.
char text_msg[1024];
char text_reply[1024];
// Command word and text; the reply, at most 128 bytes, goes to its own buffer.
unsigned char dsp_msg[1024];
unsigned char dsp_reply[128];

// Opens name and sends the text formatted in text_msg, whose snprintf result
// is textLen, with its terminator; a text that did not fit is not sent.
int text_exchange(const char* name, int textLen)
{
    int coid = name_open(name, 0);
    if (coid == -1)
        return UPG_ERR_PEER;
    if (textLen < 0 || static_cast<size_t>(textLen) >= sizeof text_msg) {
        name_close(coid);
        return UPG_ERR_PEER;
    }
    // textLen + 1 is within text_msg, checked above.
    int status = MsgSend(coid, text_msg, textLen + 1, text_reply,
                         static_cast<int>(sizeof text_reply));
    if (status == -1) {
        // Standard error, not standard output: the response has not been
        // written yet, and a line ahead of its headers would break it.
        fputs("alert(\"Erreur MsgSend\");\r\n", stderr);
        return UPG_ERR_KIND;
    }
    if (status == kStatusAccepted) {
        name_close(coid);
        return UPG_DONE;
    }
    return UPG_ERR_PEER;
}

}  // namespace

bool channel_name_fits(const char* name)
{
    for (const char* p = name; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 || strchr("&=:", *p) != NULL)
            return false;
    }
    return true;
}

int channel_send_udp_conf(char udpPort, const char* baseName, const char* tmpPath)
{
    int n = snprintf(text_msg, sizeof text_msg, "mode=4&UDPConf%c=%s:%s", udpPort, baseName,
                     tmpPath);
    return text_exchange("firmware", n);
}

int channel_send_restore_settings(const char* tmpPath)
{
    int n = snprintf(text_msg, sizeof text_msg, "mode=4&RestoreSettings=%s", tmpPath);
    return text_exchange("firmware", n);
}

int channel_send_restore_models(const char* tmpPath)
{
    int n = snprintf(text_msg, sizeof text_msg, "mode=4&target=loader&RestoreModels=%s",
                     tmpPath);
    return text_exchange("loader", n);
}

int channel_send_dsp_image(int command, const char* tmpPath, const char* baseName)
{
    int coid = name_open("loader", 0);
    if (coid == -1)
        return -1;

    int32_t word = command;
    memcpy(dsp_msg, &word, sizeof word);
    char* text = reinterpret_cast<char*>(dsp_msg + sizeof word);
    size_t room = sizeof dsp_msg - sizeof word;
    int n = snprintf(text, room, "%s,%s", tmpPath, baseName);
    if (n < 0 || static_cast<size_t>(n) >= room) {
        name_close(coid);
        return -2;
    }

    // A reply shorter than the result word leaves some of these bytes, and a
    // word holding any 0xFF byte is not 0 in either byte order: never accepted.
    memset(dsp_reply, 0xFF, sizeof dsp_reply);
    int status = MsgSend(coid, dsp_msg, static_cast<int>(sizeof word) + n, dsp_reply,
                         static_cast<int>(sizeof dsp_reply));
    if (status == kStatusDspRefused)
        return -1;
    if (status == 3 || status == kStatusAccepted) {
        int32_t result = 0;
        memcpy(&result, dsp_reply, sizeof result);
        return result == 0 ? 0 : -2;
    }
    return -2;
}

// Restores are carried out by the peers from the uploaded file; this side only
// checks that a settings backup looks like one.
#include <string.h>
#include <unistd.h>

#include "loader/LoaderCommun.h"
#include "upgrade/Message_Channel.h"
#include "upgrade/upgrade_internal.h"

namespace {

bool Contains(const uint8_t* text, size_t len, const char* needle)
{
    const size_t n = strlen(needle);
    for (size_t i = 0; i + n <= len; ++i) {
        if (memcmp(text + i, needle, n) == 0)
            return true;
    }
    return false;
}

// A settings backup names its interface (IHM or MMI) and QNX in its first kilobyte.
bool HasSettingsMarkers(int fd)
{
    if (lseek(fd, 0, SEEK_SET) != 0)
        return false;
    const ssize_t n = ReadInter(fd);
    if (n <= 0)
        return false;
    // The text ends at its first zero byte.
    const void* nul = memchr(inter, 0, static_cast<size_t>(n));
    const size_t len = nul != NULL ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - inter)
                                   : static_cast<size_t>(n);
    if (!Contains(inter, len, "IHM") && !Contains(inter, len, "MMI"))
        return false;
    return Contains(inter, len, "QNX");
}

}  // namespace

int Restore_Settings(const char* tmpPath, const char* baseName, int restoreKind)
{
    if (!EndsWithTxt(baseName))
        return UPG_ERR_KIND;
    if (restoreKind == RESTORE_MODELS || restoreKind == RESTORE_SYSTEM)
        return channel_send_restore_models(tmpPath);

    S_ChargeFirmware.fd = OpenUpload(tmpPath);
    if (S_ChargeFirmware.fd < 0)
        return UPG_ERR_NAME;
    const bool marked = HasSettingsMarkers(S_ChargeFirmware.fd);
    CloseUpload();
    if (!marked)
        return UPG_ERR_KIND;
    return channel_send_restore_settings(tmpPath);
}

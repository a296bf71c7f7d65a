// DSP images are not written here: the loader service is told where the
// upload lies and what it is, and reads it itself before it answers.
#include "upgrade/Message_Channel.h"
#include "upgrade/upgrade.h"

namespace {
const int kDspLoader = 3;
const int kDspFirmware = 4;
}  // namespace

int flash_DSP(const char* baseName, const char* tmpPath, int command)
{
    if (!channel_name_fits(baseName))
        return UPG_ERR_KIND;
    return channel_send_dsp_image(command, tmpPath, baseName);
}

int flash_firmwareDSP(const char* baseName, const char* tmpPath)
{
    return flash_DSP(baseName, tmpPath, kDspFirmware);
}

int flash_loaderDSP(const char* baseName, const char* tmpPath)
{
    return flash_DSP(baseName, tmpPath, kDspLoader);
}

// The upload as the handlers read it: opened, read through the shared buffer,
// summed and measured.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "upgrade/upgrade_internal.h"

ChargeFirmware S_ChargeFirmware = {-1, 0, 0, {}, 0};
uint8_t inter[UPG_INTER_SIZE];

int OpenUpload(const char* tmpPath)
{
    int fd;
    do {
        fd = open(tmpPath, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void CloseUpload()
{
    if (S_ChargeFirmware.fd >= 0)
        close(S_ChargeFirmware.fd);
    S_ChargeFirmware.fd = -1;
}

ssize_t ReadInter(int fd)
{
    ssize_t n;
    do {
        n = read(fd, inter, sizeof inter);
    } while (n < 0 && errno == EINTR);
    return n;
}

int ComputeChecksumSize(ChargeFirmware* record)
{
    record->size = 0;
    record->checksum = 0;
    uint32_t sum = 0;
    int64_t size = 0;
    const bool whole = ForEachChunk(record->fd, [&](size_t n) {
        size += static_cast<int64_t>(n);
        for (size_t i = 0; i < n; ++i)
            sum += inter[i];
        return true;
    });
    if (!whole || size > INT32_MAX)
        return -1;
    record->size = static_cast<int32_t>(size);
    record->checksum = sum;
    return 0;
}

int CheckSize(const ChargeFirmware* record, int32_t minSize, int32_t maxSize)
{
    if (maxSize > 0 && record->size > maxSize)
        return -1;
    if (minSize > 0 && record->size < minSize)
        return -1;
    return 0;
}

// The upload as the handlers read it: opened, read through the shared buffer,
// summed and measured.
#include <errno.h>
#include <stdio.h>
#include <string.h>
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

namespace {

// The byte sum and length of what has been read so far.
struct SumSize {
    uint32_t sum;
    int64_t size;
};

// Adds the n bytes of inter to *total; always true.
bool AddChunk(SumSize* total, size_t n)
{
    total->size += static_cast<int64_t>(n);
    for (size_t i = 0; i < n; ++i)
        total->sum += inter[i];
    return true;
}

}  // namespace

int ComputeChecksumSize(ChargeFirmware* record)
{
    record->size = 0;
    record->checksum = 0;
    SumSize total = {0, 0};
    const bool whole = ForEachChunk(record->fd, AddChunk, &total);
    if (!whole || total.size > INT32_MAX)
        return -1;
    record->size = static_cast<int32_t>(total.size);
    record->checksum = total.sum;
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

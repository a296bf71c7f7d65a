// The request lock's file, opened where it stands and never through a link:
// plain POSIX, the same on the instrument and on Linux.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int platform_open_lock_file(const char* instrumentPath)
{
    char path[1024];
    if (platform_path(instrumentPath, path, sizeof path) == nullptr)
        return -1;
    // O_NOFOLLOW: a link planted in /tmp must not make us create or lock
    // another file; O_NONBLOCK: a FIFO or device put there must not hang the open.
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

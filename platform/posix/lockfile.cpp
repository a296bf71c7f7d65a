// The request lock's file, opened where it stands and never through a link:
// plain POSIX, the same on the instrument and on Linux.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// QNX 6.4 has no O_NOFOLLOW: there the lstat before and the fstat after the
// open, which must name the same regular file, are what refuse a link.
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif

int platform_open_lock_file(const char* instrumentPath)
{
    char path[1024];
    if (platform_path(instrumentPath, path, sizeof path) == NULL)
        return -1;
    struct stat before;
    const bool existed = lstat(path, &before) == 0;
    if (existed && !S_ISREG(before.st_mode))
        return -1;
    // O_NONBLOCK: a FIFO or device put there must not hang the open. A new
    // file is made with O_EXCL, which no link satisfies, dangling or not.
    // Two runs that both found no file race to make it: the loser's O_EXCL
    // fails with EEXIST, and it opens the winner's file on its second turn.
    int fd = -1;
    for (int turn = 0; turn < 2 && fd < 0; ++turn) {
        fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT && !existed)
            fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return -1;
    }
    if (fd < 0)
        return -1;
    struct stat st;
    struct stat after;
    // Swapped for a link between the lstat and the open: the path no longer
    // names the file that was opened. Another user's file would let that user
    // hold every upload back, or make us lock a file of theirs.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        lstat(path, &after) != 0 || !S_ISREG(after.st_mode) || after.st_dev != st.st_dev ||
        after.st_ino != st.st_ino ||
        (existed && (before.st_dev != st.st_dev || before.st_ino != st.st_ino))) {
        close(fd);
        return -1;
    }
    return fd;
}

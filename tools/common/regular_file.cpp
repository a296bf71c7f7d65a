#include "tools/common/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tool {

int openRegular(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    // Reads of a regular file never wait anyway; the flag only mattered for the open.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool readRegular(const std::string& path, size_t maxBytes, std::string& out)
{
    out.clear();
    const int fd = openRegular(path);
    if (fd < 0)
        return false;
    char buf[65536];
    bool ok = true;
    while (out.size() < maxBytes) {
        const size_t want = maxBytes - out.size() < sizeof buf ? maxBytes - out.size() : sizeof buf;
        const ssize_t n = read(fd, buf, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

}  // namespace tool

// Message passing to the instrument's peers. A name registered by a peer is a
// Unix-domain SOCK_SEQPACKET socket at $INSTRUMENT_ROOT/dev/name/local/NAME; a
// connection id is the connected socket. One exchange is one packet out and one
// packet back: a 4-byte little-endian signed status, then the reply data.
//
// QUIB_MSG_TIMEOUT_MS (a positive number of milliseconds) shortens the 30 s
// that an exchange may wait for its answer; tests use it.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr long kDefaultTimeoutMs = 30000;

long timeout_ms()
{
    return platform_shortened_limit("QUIB_MSG_TIMEOUT_MS", kDefaultTimeoutMs);
}

long long now_ms()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for events or the deadline passes: 0 ready, -1 not.
int wait_for(int fd, short events, long long deadline)
{
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0)
            return -1;
        pollfd p {fd, events, 0};
        int n = poll(&p, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
        if (n > 0)
            return 0;
        if (n < 0 && errno != EINTR)
            return -1;
    }
}

// An exchange that went wrong half-way must not leave its late answer to be
// taken for the answer of the next exchange on the same connection.
int broken(int coid)
{
    shutdown(coid, SHUT_RDWR);
    return -1;
}

}  // namespace

extern "C" int name_open(const char* name, int flags)
{
    (void)flags;
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    char instrumentPath[sizeof addr.sun_path + 32];
    if (std::strlen(name) >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::strcpy(instrumentPath, "/dev/name/local/");
    std::strcat(instrumentPath, name);
    // A root too deep for sun_path cannot hold a reachable name: refuse it
    // rather than connect to a silently cut path.
    if (platform_path(instrumentPath, addr.sun_path, sizeof addr.sun_path) == nullptr) {
        errno = ENAMETOOLONG;
        return -1;
    }

    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    // Non-blocking, so that a peer that stopped accepting (full backlog)
    // cannot hold the caller longer than an exchange may last.
    long long deadline = now_ms() + timeout_ms();
    while (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN && now_ms() < deadline) {
            usleep(5000);
            continue;
        }
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

extern "C" int name_close(int coid)
{
    return close(coid);
}

extern "C" int MsgSend(int coid, const void* smsg, int sbytes, void* rmsg, int rbytes)
{
    if (coid < 0 || sbytes < 0 || rbytes < 0 || (smsg == nullptr && sbytes > 0) ||
        (rmsg == nullptr && rbytes > 0)) {
        errno = EINVAL;
        return -1;
    }
    long long deadline = now_ms() + timeout_ms();

    for (;;) {
        ssize_t n = send(coid, smsg, static_cast<size_t>(sbytes), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == sbytes)
            break;
        if (n >= 0)  // a packet socket sends all or nothing; anything else is broken
            return broken(coid);
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || wait_for(coid, POLLOUT, deadline) != 0)
            return broken(coid);
    }

    // The status and the reply land in place with one receive; whatever the
    // peer sent beyond rbytes is dropped with the rest of the packet.
    unsigned char status[4];
    iovec iov[2] = {{status, sizeof status}, {rmsg, static_cast<size_t>(rbytes)}};
    msghdr msg {};
    msg.msg_iov = iov;
    msg.msg_iovlen = rbytes > 0 ? 2 : 1;
    for (;;) {
        if (wait_for(coid, POLLIN, deadline) != 0)
            return broken(coid);
        ssize_t n = recvmsg(coid, &msg, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < static_cast<ssize_t>(sizeof status))  // closed, failed or short packet
            return broken(coid);
        break;
    }
    uint32_t word = static_cast<uint32_t>(status[0]) | static_cast<uint32_t>(status[1]) << 8 |
                    static_cast<uint32_t>(status[2]) << 16 | static_cast<uint32_t>(status[3]) << 24;
    return static_cast<int32_t>(word);
}

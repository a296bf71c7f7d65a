#include "tests/support/fake_peer.h"

#include <chrono>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quibtest {

FakePeer::FakePeer(const std::string& root, const std::string& name, PeerAnswer answer)
    : answer_(std::move(answer)), path_(root + "/dev/name/local/" + name)
{
    std::filesystem::create_directories(root + "/dev/name/local");
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket path too long: " + path_);
    path_.copy(addr.sun_path, path_.size());
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener_, 16) != 0 || pipe(stop_) != 0)
        throw std::runtime_error("cannot serve " + path_);
    thread_ = std::thread([this] { serve(); });
}

FakePeer::~FakePeer()
{
    char c = 0;
    (void)!write(stop_[1], &c, 1);
    thread_.join();
    close(listener_);
    close(stop_[0]);
    close(stop_[1]);
    unlink(path_.c_str());
}

std::vector<std::string> FakePeer::received() const
{
    std::lock_guard lock(mtx_);
    return received_;
}

int FakePeer::answered() const
{
    std::lock_guard lock(mtx_);
    return answered_;
}

// One connection at a time is all a test's sender needs.
void FakePeer::serve()
{
    int conn = -1;
    for (;;) {
        pollfd fds[2] = {{stop_[0], POLLIN, 0}, {conn >= 0 ? conn : listener_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
            continue;
        if (fds[0].revents)
            break;
        if (conn < 0) {
            conn = accept(listener_, nullptr, nullptr);
            continue;
        }
        char buf[65536];
        ssize_t n = recv(conn, buf, sizeof buf, 0);
        if (n <= 0) {
            close(conn);
            conn = -1;
            continue;
        }
        {
            std::lock_guard lock(mtx_);
            received_.emplace_back(buf, static_cast<size_t>(n));
        }
        if (answer_.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(answer_.delayMs));
        std::string packet;
        switch (answer_.kind) {
        case PeerAnswer::Reply: {
            auto s = static_cast<uint32_t>(answer_.status);
            for (int i = 0; i < 4; ++i)
                packet += static_cast<char>((s >> (8 * i)) & 0xff);
            packet += answer_.data;
            send(conn, packet.data(), packet.size(), MSG_NOSIGNAL);
            std::lock_guard lock(mtx_);
            ++answered_;
            break;
        }
        case PeerAnswer::Raw:
            send(conn, answer_.data.data(), answer_.data.size(), MSG_NOSIGNAL);
            break;
        case PeerAnswer::Close:
            close(conn);
            conn = -1;
            break;
        }
    }
    if (conn >= 0)
        close(conn);
}

}  // namespace quibtest

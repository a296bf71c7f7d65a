// A peer of the instrument inside a test: serves a name below an instrument
// root (one connection at a time), records each message, then answers as told.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quibtest {

struct PeerAnswer {
    enum Kind { Reply, Raw, Close };  // status (4 bytes, little-endian) then data; data alone; no answer
    Kind kind = Reply;
    int32_t status = 4;
    std::string data;
    int delayMs = 0;  // waits this long before answering

    static PeerAnswer reply(int32_t status, std::string data = {}, int delayMs = 0) { return {Reply, status, data, delayMs}; }
    static PeerAnswer raw(std::string data) { return {Raw, 0, data, 0}; }
    static PeerAnswer close() { return {Close, 0, {}, 0}; }
};

class FakePeer {
public:
    FakePeer(const std::string& root, const std::string& name, PeerAnswer answer = {})
        : answer_(answer), path_(root + "/dev/name/local/" + name)
    {
        std::filesystem::create_directories(root + "/dev/name/local");
        sockaddr_un addr {AF_UNIX, {}};
        path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
        if (path_.size() >= sizeof addr.sun_path || bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_, 16) != 0)
            throw std::runtime_error("cannot serve " + path_);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakePeer()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
        ::close(conn_);
        unlink(path_.c_str());
    }

    std::vector<std::string> received() const { std::lock_guard lock(mtx_); return received_; }
    int answered() const { return answered_; }

private:
    void record(std::string message) { std::lock_guard lock(mtx_); received_.push_back(std::move(message)); }
    void serve()
    {
        for (char buf[65536]; !stop_;) {
            pollfd p {conn_ >= 0 ? conn_ : listener_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0)
                continue;
            if (conn_ < 0) {
                conn_ = accept(listener_, nullptr, nullptr);
                continue;
            }
            const ssize_t n = recv(conn_, buf, sizeof buf, 0);
            if (n > 0)
                record(std::string(buf, static_cast<size_t>(n)));
            if (n <= 0 || answer_.kind == PeerAnswer::Close) {
                ::close(conn_);
                conn_ = -1;
                continue;
            }
            usleep(static_cast<useconds_t>(answer_.delayMs) * 1000);
            const auto s = static_cast<uint32_t>(answer_.status);
            const std::string packet = (answer_.kind == PeerAnswer::Raw ? "" : std::string {char(s), char(s >> 8), char(s >> 16), char(s >> 24)}) + answer_.data;
            send(conn_, packet.data(), packet.size(), MSG_NOSIGNAL);
            ++answered_;
        }
    }

    PeerAnswer answer_;
    std::string path_;
    int listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0), conn_ = -1;
    std::atomic<bool> stop_ {false};
    mutable std::mutex mtx_;  // guards received_
    std::vector<std::string> received_;
    std::atomic<int> answered_ {0};
    std::thread thread_;
};

}  // namespace quibtest

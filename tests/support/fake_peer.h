// A stand-in for one of the instrument's peers inside a test: serves a name
// below an instrument root, records every message and answers as told.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quibtest {

struct PeerAnswer {
    enum Kind {
        Reply,   // 4-byte little-endian status, then data
        Raw,     // data alone as the whole packet
        Close,   // close the connection without answering
    };
    Kind kind = Reply;
    int32_t status = 4;
    std::string data;
    int delayMs = 0;  // waits this long before answering

    static PeerAnswer reply(int32_t status, std::string data = {}, int delayMs = 0)
    {
        return {Reply, status, std::move(data), delayMs};
    }
    static PeerAnswer raw(std::string data) { return {Raw, 0, std::move(data), 0}; }
    static PeerAnswer close() { return {Close, 0, {}, 0}; }
};

class FakePeer {
public:
    FakePeer(const std::string& root, const std::string& name, PeerAnswer answer = {});
    ~FakePeer();
    FakePeer(const FakePeer&) = delete;
    FakePeer& operator=(const FakePeer&) = delete;

    // Messages received so far, each recorded before it is answered.
    std::vector<std::string> received() const;
    // Answers sent so far.
    int answered() const;

private:
    void serve();

    PeerAnswer answer_;
    std::string path_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    mutable std::mutex mtx_;
    std::vector<std::string> received_;
    int answered_ = 0;
    std::thread thread_;
};

}  // namespace quibtest

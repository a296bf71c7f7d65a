// SHA-256, incremental, for the peers' log and form-echo's report of the files
// they read: OpenSSL's libcrypto (sha256.cpp), or sha256_fallback.cpp in a
// cross build that has no libcrypto of its target.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace tool {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(const void* data, size_t len);
    // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
    std::string hex();

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace tool

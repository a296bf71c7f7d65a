// SHA-256 through OpenSSL's libcrypto (EVP).
#include "tools/common/sha256.h"

#include <cstdio>
#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace tool {

struct Sha256::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~State()
    {
        EVP_MD_CTX_free(ctx);
        // libcrypto keeps state per thread until the thread ends; a peer's
        // connection thread may still be ending when the process exits.
        OPENSSL_thread_stop();
    }
};

Sha256::Sha256() : s_(std::make_unique<State>())
{
    EVP_DigestInit_ex(s_->ctx, EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, size_t len) { EVP_DigestUpdate(s_->ctx, data, len); }

std::string Sha256::hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(s_->ctx, digest, &n);
    std::string out;
    char two[3];
    for (unsigned int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        out += two;
    }
    return out;
}

}  // namespace tool

#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <openssl/evp.h>

namespace Zentak {

// An incremental SHA-256 over bytes as they arrive (OpenSSL's EVP digest).
// Used by one thread at a time; not copyable.
class Sha256 {
public:
    // Throws std::runtime_error when OpenSSL cannot set the digest up.
    Sha256();

    void Update(const void* data, std::size_t size);
    // The digest of everything so far as 64 lowercase hex digits. The object
    // then starts over, as after Reset.
    std::string HexDigest();
    // Forgets everything taken so far.
    void Reset();

    // Whether `text` is 64 hex digits (either case).
    static bool IsHexDigest(const std::string& text);
    // `text` in lowercase (for hex digests read from a configuration).
    static std::string Normalised(const std::string& text);

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m_context;
};

} // namespace Zentak

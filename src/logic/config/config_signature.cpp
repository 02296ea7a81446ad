#include "logic/config/config_signature.h"

#include <memory>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace Zentak {
namespace {

constexpr std::size_t kSignatureSize = 64; // Ed25519

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Decodes one base64 text (no line breaks inside); false when it is not one
// or does not decode to exactly `size` bytes.
bool DecodeBase64(const std::string& text, std::size_t size, std::vector<unsigned char>& out)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && IsSpace(text[end - 1])) {
        --end;
    }
    const std::string trimmed = text.substr(begin, end - begin);
    if (trimmed.empty() || trimmed.size() % 4 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < trimmed.size(); ++i) {
        const char c = trimmed[i];
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '+' || c == '/';
        const bool padding = c == '=' && i + 2 >= trimmed.size();
        if (!alphabet && !padding) {
            return false;
        }
    }
    std::size_t padding = 0;
    if (trimmed.back() == '=') {
        padding = trimmed[trimmed.size() - 2] == '=' ? 2 : 1;
    }
    std::vector<unsigned char> decoded(trimmed.size() / 4 * 3);
    const int length = EVP_DecodeBlock(decoded.data(),
                                       reinterpret_cast<const unsigned char*>(trimmed.data()),
                                       static_cast<int>(trimmed.size()));
    // EVP_DecodeBlock counts the padding as zero bytes.
    if (length < 0 || static_cast<std::size_t>(length) < padding ||
        static_cast<std::size_t>(length) - padding != size) {
        return false;
    }
    decoded.resize(size);
    out = std::move(decoded);
    return true;
}

} // namespace

std::string CheckConfigSignature(const std::string& publicKeyPem, const std::string& data,
                                 const std::string& signature)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> source(
        BIO_new_mem_buf(publicKeyPem.data(), static_cast<int>(publicKeyPem.size())), &BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        source ? PEM_read_bio_PUBKEY(source.get(), nullptr, nullptr, nullptr) : nullptr,
        &EVP_PKEY_free);
    // OpenSSL keeps the reasons of failed calls in a per-thread queue that
    // libcurl's TLS code reads too; nothing of ours may be left in it.
    struct ClearErrors {
        ~ClearErrors() { ERR_clear_error(); }
    } clearErrors;
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
        return "the configuration public key of this build is no Ed25519 public key";
    }
    std::vector<unsigned char> raw;
    if (!DecodeBase64(signature, kSignatureSize, raw)) {
        return "the signature is not the base64 form of an Ed25519 signature";
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        return "EVP_DigestVerifyInit failed";
    }
    const int verified =
        EVP_DigestVerify(context.get(), raw.data(), raw.size(),
                         reinterpret_cast<const unsigned char*>(data.data()), data.size());
    if (verified != 1) {
        return "the signature does not match the configuration";
    }
    return {};
}

std::string ConfigSignatureUrl(const std::string& url)
{
    const std::size_t schemeEnd = url.find("://");
    const std::size_t pathEnd =
        url.find_first_of("?#", schemeEnd == std::string::npos ? 0 : schemeEnd + 3);
    if (pathEnd == std::string::npos) {
        return url + ".sig";
    }
    return url.substr(0, pathEnd) + ".sig" + url.substr(pathEnd);
}

} // namespace Zentak

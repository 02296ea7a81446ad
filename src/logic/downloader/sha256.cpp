#include "logic/downloader/sha256.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace Zentak {
namespace {

void Check(int result, const char* call)
{
    if (result != 1) {
        throw std::runtime_error(std::string(call) + " failed for SHA-256");
    }
}

} // namespace

Sha256::Sha256() : m_context(EVP_MD_CTX_new(), &EVP_MD_CTX_free)
{
    if (!m_context) {
        throw std::runtime_error("EVP_MD_CTX_new failed");
    }
    Reset();
}

void Sha256::Reset()
{
    Check(EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr), "EVP_DigestInit_ex");
}

void Sha256::Update(const void* data, std::size_t size)
{
    if (size > 0) {
        Check(EVP_DigestUpdate(m_context.get(), data, size), "EVP_DigestUpdate");
    }
}

std::string Sha256::HexDigest()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Check(EVP_DigestFinal_ex(m_context.get(), digest, &length), "EVP_DigestFinal_ex");
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0f];
    }
    Reset();
    return hex;
}

bool Sha256::IsHexDigest(const std::string& text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return std::isxdigit(c) != 0;
           });
}

std::string Sha256::Normalised(const std::string& text)
{
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

} // namespace Zentak

#include "logic/config/config_signature.h"

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace Zentak {
namespace {

std::string Fixture(const std::string& name)
{
    std::ifstream file(std::string(ZENTAK_TEST_DATA_DIR) + "/signing/" + name, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The base64 Ed25519 signature of `data` with the tests' private key, made
// here with OpenSSL directly rather than with the code under test.
std::string Sign(const std::string& data)
{
    const std::string pem = Fixture("test_private.pem");
    std::unique_ptr<BIO, decltype(&BIO_free)> source(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(source.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t length = sizeof(signature);
    if (!key || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
        ADD_FAILURE() << "cannot sign with the test key";
        return {};
    }
    unsigned char text[90];
    const int written = EVP_EncodeBlock(text, signature, static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(written));
}

TEST(ConfigSignatureTest, AcceptsOnlyTheSignatureOfTheseBytesUnderThisKey)
{
    const std::string key = Fixture("test_public.pem");
    const std::string config = "[Product]\r\nversion = 1\r\n";
    const std::string signature = Sign(config);
    ASSERT_EQ(signature.size(), 88u);
    std::string flipped = signature;
    flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
    const std::string bad = "the signature does not match the configuration";
    const std::string malformed = "the signature is not the base64 form of an Ed25519 signature";
    const std::string noKey = "the configuration public key of this build is no Ed25519 public key";

    struct Case {
        const char* what;
        std::string key;
        std::string data;
        std::string signature;
        std::string result;
    } cases[] = {
        {"good", key, config, signature, ""},
        {"good, with the line feed the tool writes", key, config, signature + "\n", ""},
        {"good, surrounded by white space", key, config, "  " + signature + "\r\n", ""},
        {"one byte of the configuration changed", key, "[Product]\r\nversion = 2\r\n", signature, bad},
        {"line ends changed", key, "[Product]\nversion = 1\n", signature, bad},
        {"a byte appended", key, config + "\n", signature, bad},
        {"signature bits changed", key, config, flipped, bad},
        {"another key", Fixture("other_public.pem"), config, signature, bad},
        {"empty signature file", key, config, "", malformed},
        {"not base64", key, config, std::string(88, '*'), malformed},
        {"too short", key, config, signature.substr(0, 84), malformed},
        {"raw bytes instead of base64", key, config, std::string(64, '\x01'), malformed},
        {"break inside", key, config, signature.substr(0, 40) + "\n" + signature.substr(40), malformed},
        {"no key", "", config, signature, noKey},
        {"not a key", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n", config,
         signature, noKey},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(CheckConfigSignature(test.key, test.data, test.signature), test.result)
            << test.what;
    }
}

TEST(ConfigSignatureTest, SignatureUrlEndsThePath)
{
    const std::pair<const char*, const char*> cases[] = {
        {"https://cdn.example/rm/config.ini", "https://cdn.example/rm/config.ini.sig"},
        {"http://127.0.0.1:8080/c.ini?stage=7", "http://127.0.0.1:8080/c.ini.sig?stage=7"},
        {"http://127.0.0.1/c.ini#top", "http://127.0.0.1/c.ini.sig#top"},
        {"http://127.0.0.1/a?b=c#d", "http://127.0.0.1/a.sig?b=c#d"},
    };
    for (const auto& [url, expected] : cases) {
        EXPECT_EQ(ConfigSignatureUrl(url), expected) << url;
    }
}

} // namespace
} // namespace Zentak

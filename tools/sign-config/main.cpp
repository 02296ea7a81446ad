// sign-config: makes the Ed25519 key pair that configurations are signed
// with, signs a configuration and checks a signature, the way the installer
// checks it.
//
//     sign-config keygen <private.pem> <public.pem>
//     sign-config hash <config.ini> <package folder>
//     sign-config sign <private.pem> <config.ini> [<signature file>]
//     sign-config verify <public.pem> <config.ini> [<signature file>]
//
// `hash` writes the "sha256" and "size" of every installer section whose
// package (the last path element of its URL) is in the folder into the
// configuration. `hash` and `sign` check the configuration as the
// installer's --check-config does, and `sign` refuses one with problems.
//
// The signature file (default: the configuration's path plus ".sig") holds
// the base64 form of the 64-byte Ed25519 signature of the configuration's
// exact bytes, and a line feed. Exit code 0 on success, 1 on failure, 2 on
// wrong usage.

#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "logic/config/config_check.h"
#include "logic/config/config_signature.h"

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

int Usage()
{
    std::cerr << "usage: sign-config keygen <private.pem> <public.pem>\n"
                 "       sign-config hash <config.ini> <package folder>\n"
                 "       sign-config sign <private.pem> <config.ini> [<signature file>]\n"
                 "       sign-config verify <public.pem> <config.ini> [<signature file>]\n";
    return 2;
}

int Fail(const std::string& text)
{
    std::cerr << "sign-config: " << text;
    if (const unsigned long code = ERR_get_error()) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof(reason));
        std::cerr << " (" << reason << ")";
    }
    std::cerr << "\n";
    return 1;
}

bool ReadFile(const std::string& path, std::string& content)
{
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) {
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    content = text.str();
    return static_cast<bool>(file) || file.eof();
}

// Opens `path` for writing; `secret` files are readable by their owner only.
std::unique_ptr<FILE, decltype(&fclose)> Create(const std::string& path, bool secret)
{
    const mode_t previous = umask(secret ? 077 : 022);
    std::unique_ptr<FILE, decltype(&fclose)> file(std::fopen(path.c_str(), "wb"), &fclose);
    umask(previous);
    return file;
}

int KeyGen(const std::string& privatePath, const std::string& publicPath)
{
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
    EVP_PKEY* raw = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &raw) != 1) {
        return Fail("cannot make an Ed25519 key");
    }
    const Key key(raw, &EVP_PKEY_free);
    auto privateFile = Create(privatePath, true);
    if (!privateFile ||
        PEM_write_PrivateKey(privateFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        std::fflush(privateFile.get()) != 0) {
        return Fail("cannot write " + privatePath);
    }
    auto publicFile = Create(publicPath, false);
    if (!publicFile || PEM_write_PUBKEY(publicFile.get(), key.get()) != 1 ||
        std::fflush(publicFile.get()) != 0) {
        return Fail("cannot write " + publicPath);
    }
    std::cout << "Private key: " << privatePath << " (keep it secret)\n"
              << "Public key: " << publicPath
              << " (configure the build with -DZENTAK_CONFIG_PUBLIC_KEY=" << publicPath << ")\n";
    return 0;
}

// The configuration's problems on standard error; true when there are none.
bool Sound(const std::string& configPath, const std::string& config)
{
    const std::vector<std::string> problems = Zentak::CheckConfiguration(config, configPath);
    for (const std::string& problem : problems) {
        std::cerr << problem << "\n";
    }
    return problems.empty();
}

// The SHA-256 (lowercase hex) and size of a file; false when it cannot be read.
bool HashFile(const std::filesystem::path& path, std::string& digest, std::uintmax_t& size)
{
    std::ifstream file(path, std::ios::in | std::ios::binary);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    if (!file || !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return false;
    }
    std::vector<char> block(1 << 20);
    size = 0;
    while (file) {
        file.read(block.data(), static_cast<std::streamsize>(block.size()));
        const std::streamsize got = file.gcount();
        if (got > 0) {
            EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(got));
            size += static_cast<std::uintmax_t>(got);
        }
    }
    if (!file.eof()) {
        return false;
    }
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), hash, &length);
    static const char* hex = "0123456789abcdef";
    digest.clear();
    for (unsigned int i = 0; i < length; ++i) {
        digest += hex[hash[i] >> 4];
        digest += hex[hash[i] & 15];
    }
    return true;
}

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

int Hash(const std::string& configPath, const std::string& folder)
{
    std::string config;
    if (!ReadFile(configPath, config)) {
        return Fail("cannot read " + configPath);
    }
    // Line by line, so comments and order stay as they are: each installer
    // section loses its old sha256 and size lines and gets new ones after
    // its last key.
    std::istringstream in(config);
    std::vector<std::string> out;
    bool inInstaller = false;
    std::size_t sectionEnd = 0;
    std::string url;
    int hashed = 0;
    bool failed = false;
    auto closeSection = [&] {
        if (!inInstaller || url.empty()) {
            return;
        }
        const std::string name = url.substr(0, url.find_first_of("?#"));
        const std::filesystem::path package =
            std::filesystem::path(folder) / name.substr(name.rfind('/') + 1);
        std::string digest;
        std::uintmax_t size = 0;
        if (!HashFile(package, digest, size)) {
            std::cerr << "sign-config: no package " << package.string() << " for " << url << "\n";
            failed = true;
            return;
        }
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(sectionEnd),
                   {"sha256 = " + digest, "size = " + std::to_string(size)});
        ++hashed;
    };
    for (std::string line; std::getline(in, line);) {
        const std::string trimmed = Trimmed(line);
        if (!trimmed.empty() && trimmed[0] == '[') {
            closeSection();
            inInstaller = Lower(trimmed).rfind("[installer]", 0) == 0;
            url.clear();
            out.push_back(line);
            sectionEnd = out.size();
            continue;
        }
        const std::size_t equals = trimmed.find('=');
        const std::string key = Lower(Trimmed(trimmed.substr(0, equals)));
        if (inInstaller && equals != std::string::npos && (key == "sha256" || key == "size")) {
            continue;
        }
        if (inInstaller && equals != std::string::npos && key == "url") {
            url = Trimmed(trimmed.substr(equals + 1));
        }
        out.push_back(line);
        if (!trimmed.empty() && trimmed[0] != ';' && trimmed[0] != '#') {
            sectionEnd = out.size();
        }
    }
    closeSection();
    if (failed) {
        return 1;
    }
    std::string text;
    for (const std::string& line : out) {
        text += line + "\n";
    }
    std::ofstream file(configPath, std::ios::out | std::ios::trunc | std::ios::binary);
    file << text;
    file.close();
    if (!file) {
        return Fail("cannot write " + configPath);
    }
    std::cout << "sha256 and size of " << hashed << " packages written to " << configPath << "\n";
    return Sound(configPath, text) ? 0 : 1;
}

int Sign(const std::string& privatePath, const std::string& configPath,
         const std::string& signaturePath)
{
    auto privateFile = std::unique_ptr<FILE, decltype(&fclose)>(
        std::fopen(privatePath.c_str(), "rb"), &fclose);
    if (!privateFile) {
        return Fail("cannot open " + privatePath);
    }
    const Key key(PEM_read_PrivateKey(privateFile.get(), nullptr, nullptr, nullptr),
                  &EVP_PKEY_free);
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
        return Fail(privatePath + " holds no Ed25519 private key");
    }
    std::string config;
    if (!ReadFile(configPath, config)) {
        return Fail("cannot read " + configPath);
    }
    if (!Sound(configPath, config)) {
        return Fail(configPath + " has problems: not signed");
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    unsigned char signature[64];
    size_t length = sizeof(signature);
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(config.data()), config.size()) != 1 ||
        length != sizeof(signature)) {
        return Fail("cannot sign " + configPath);
    }
    std::vector<unsigned char> text(4 * ((length + 2) / 3) + 1);
    const int written = EVP_EncodeBlock(text.data(), signature, static_cast<int>(length));
    std::ofstream out(signaturePath, std::ios::out | std::ios::trunc | std::ios::binary);
    out.write(reinterpret_cast<const char*>(text.data()), written);
    out << "\n";
    out.close();
    if (!out) {
        return Fail("cannot write " + signaturePath);
    }
    std::cout << "Signature of " << configPath << " written to " << signaturePath << "\n";
    return 0;
}

int Verify(const std::string& publicPath, const std::string& configPath,
           const std::string& signaturePath)
{
    std::string key;
    std::string config;
    std::string signature;
    if (!ReadFile(publicPath, key)) {
        return Fail("cannot read " + publicPath);
    }
    if (!ReadFile(configPath, config)) {
        return Fail("cannot read " + configPath);
    }
    if (!ReadFile(signaturePath, signature)) {
        return Fail("cannot read " + signaturePath);
    }
    const std::string reason = Zentak::CheckConfigSignature(key, config, signature);
    if (!reason.empty()) {
        return Fail(signaturePath + ": " + reason);
    }
    std::cout << signaturePath << ": good signature of " << configPath << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "keygen") {
        return KeyGen(args[1], args[2]);
    }
    if (args.size() == 3 && args[0] == "hash") {
        return Hash(args[1], args[2]);
    }
    if ((args.size() == 3 || args.size() == 4) && (args[0] == "sign" || args[0] == "verify")) {
        const std::string signaturePath = args.size() == 4 ? args[3] : args[2] + ".sig";
        return args[0] == "sign" ? Sign(args[1], args[2], signaturePath)
                                 : Verify(args[1], args[2], signaturePath);
    }
    return Usage();
}

#include "support/test_certificates.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <unistd.h>

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace Zentak::Test {
namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        char text[256] = {};
        ERR_error_string_n(ERR_get_error(), text, sizeof(text));
        throw std::runtime_error(std::string("test certificate: ") + what + " failed: " + text);
    }
}

EVP_PKEY* MakeKey()
{
    // Elliptic-curve keys: instant to make, unlike RSA keys of a useful size.
    EVP_PKEY* key = EVP_EC_gen("prime256v1");
    Check(key != nullptr, "EVP_EC_gen");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    Check(extension != nullptr, "X509V3_EXT_conf_nid");
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    Check(added == 1, "X509_add_ext");
}

X509* MakeCertificate(EVP_PKEY* key, const char* commonName, long serial, X509* issuer,
                      EVP_PKEY* issuerKey)
{
    X509* certificate = X509_new();
    Check(certificate != nullptr, "X509_new");
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
    // Valid from an hour ago, so that a clock a little behind does not matter.
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 7 * 24 * 3600);
    Check(X509_set_pubkey(certificate, key) == 1, "X509_set_pubkey");
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Zentak test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : certificate;
    Check(X509_set_issuer_name(certificate, X509_get_subject_name(signer)) == 1,
          "X509_set_issuer_name");
    if (!issuer) {
        AddExtension(certificate, signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        AddExtension(certificate, signer, NID_subject_key_identifier, "hash");
    } else {
        AddExtension(certificate, signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(certificate, signer, NID_key_usage, "critical,digitalSignature");
        AddExtension(certificate, signer, NID_ext_key_usage, "serverAuth");
        AddExtension(certificate, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
        AddExtension(certificate, signer, NID_subject_key_identifier, "hash");
        AddExtension(certificate, signer, NID_authority_key_identifier, "keyid:always");
    }
    Check(X509_sign(certificate, issuerKey, EVP_sha256()) > 0, "X509_sign");
    return certificate;
}

} // namespace

TestCertificateAuthority::TestCertificateAuthority()
    : m_caKey(MakeKey(), &EVP_PKEY_free),
      m_caCertificate(MakeCertificate(m_caKey.get(), "Zentak test authority", 1, nullptr,
                                      m_caKey.get()),
                      &X509_free),
      m_serverKey(MakeKey(), &EVP_PKEY_free),
      m_serverCertificate(MakeCertificate(m_serverKey.get(), "127.0.0.1", 2,
                                          m_caCertificate.get(), m_caKey.get()),
                          &X509_free)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "zentak-test-ca-XXXXXX").string();
    const int descriptor = mkstemp(pattern.data());
    Check(descriptor >= 0, "mkstemp");
    FILE* file = fdopen(descriptor, "w");
    const bool written = file && PEM_write_X509(file, m_caCertificate.get()) == 1;
    const bool closed = file ? std::fclose(file) == 0 : close(descriptor) == 0;
    if (!written || !closed) {
        unlink(pattern.c_str());
        Check(false, "PEM_write_X509");
    }
    m_caFile = pattern;
}

TestCertificateAuthority::~TestCertificateAuthority()
{
    if (!m_caFile.empty()) {
        unlink(m_caFile.c_str());
    }
}

} // namespace Zentak::Test

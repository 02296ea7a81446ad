#pragma once

#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace Zentak::Test {

// A certificate authority made for one test: its own key and self-signed
// certificate, and a server certificate it signed for 127.0.0.1 and localhost.
// Nothing is read from or kept in the source tree. The authority's
// certificate is written as PEM to a temporary file (for CURL_CA_BUNDLE),
// which the destructor removes.
class TestCertificateAuthority {
public:
    TestCertificateAuthority();
    ~TestCertificateAuthority();

    TestCertificateAuthority(const TestCertificateAuthority&) = delete;
    TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

    // The PEM file with the authority's certificate.
    const std::string& CaFile() const { return m_caFile; }

    // Owned by this object; valid while it lives.
    X509* ServerCertificate() const { return m_serverCertificate.get(); }
    EVP_PKEY* ServerKey() const { return m_serverKey.get(); }

private:
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> m_caKey;
    std::unique_ptr<X509, decltype(&X509_free)> m_caCertificate;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> m_serverKey;
    std::unique_ptr<X509, decltype(&X509_free)> m_serverCertificate;
    std::string m_caFile;
};

} // namespace Zentak::Test

#pragma once

#include <string>

namespace Zentak {

// The Ed25519 public key (PEM) that this build requires configurations to be
// signed with; empty when the build was configured without one, and then
// configurations are taken unsigned. Fixed at build time
// (ZENTAK_CONFIG_PUBLIC_KEY).
const std::string& BuildConfigPublicKey();

// Checks a detached signature of a configuration: `signature` is the text of
// the signature file, the base64 form of the 64-byte Ed25519 signature of the
// configuration's exact bytes (surrounding white space allowed). Returns the
// empty text when the signature is good for `data` under `publicKeyPem`, and
// otherwise why not: the key cannot be read or is no Ed25519 key, the
// signature is not one, or it does not match. Safe from any thread.
std::string CheckConfigSignature(const std::string& publicKeyPem, const std::string& data,
                                 const std::string& signature);

// Where the signature of the configuration at `url` lives: ".sig" appended to
// the URL's path (before a query or fragment).
std::string ConfigSignatureUrl(const std::string& url);

} // namespace Zentak

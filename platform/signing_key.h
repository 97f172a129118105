// SigningKey: a private RSA key that signs with RS256 (RSASSA-PKCS1-v1_5 over
// SHA-256), for the assertions a client presents to an OAuth 2.0 token
// endpoint. The key comes from one of two places:
//
//  - a certificate with its private key (OpenCertificateKey): on Windows a
//    certificate in the local computer's personal store ("My") named by its
//    SHA-1 thumbprint, its key in whichever provider holds it (a CNG key
//    storage provider or a legacy CryptoAPI container); on POSIX a PEM file
//    holding the certificate and its unencrypted private key;
//  - a PEM private key given as text (LoadPemPrivateKey), for example the
//    "private_key" of a service account's JSON key: PKCS#8
//    ("BEGIN PRIVATE KEY") or PKCS#1 ("BEGIN RSA PRIVATE KEY").
//
// RS256 is deterministic: the same key and data give the same signature on
// both hosts. A failure names the certificate or key and says why (not in
// the store, no private key, not an RSA key, unreadable or encrypted PEM,
// the system's own words) in the Status text.
#pragma once

#include <memory>
#include <string>

#include "platform/status.h"

namespace qw {

class SigningKey {
 public:
  virtual ~SigningKey() = default;

  // The signature of `data`: RSASSA-PKCS1-v1_5 with SHA-256, as many
  // big-endian bytes as the modulus. One Sign at a time per key.
  virtual Result<std::string> SignSha256(const std::string& data) = 0;

  // The DER of the key's certificate; empty for a key given without one.
  virtual const std::string& CertificateDer() const = 0;

  // How errors and logs name the key: the thumbprint, the file, or the
  // name given to LoadPemPrivateKey.
  virtual const std::string& Name() const = 0;
};

// Windows: `certificate` is the SHA-1 thumbprint (40 hexadecimal digits;
// spaces and colons between them are ignored, as copied from the
// certificate's details) of a certificate in LocalMachine\My.
// POSIX: `certificate` is the path of a PEM file holding the certificate and
// its private key (in either order), which must belong together.
Result<std::unique_ptr<SigningKey>> OpenCertificateKey(const std::string& certificate);

// A private RSA key in PEM text. `name` says where it came from (a file, a
// settings key) for the errors and for Name().
Result<std::unique_ptr<SigningKey>> LoadPemPrivateKey(const std::string& pem, const std::string& name);

// Digests for the certificate thumbprints (raw bytes).
std::string Sha1Digest(const std::string& data);
std::string Sha256Digest(const std::string& data);

}  // namespace qw

// The compact JSON Web Signature a client assertion travels as:
//   base64url(header) "." base64url(payload) "." base64url(signature)
// with base64url without padding, and the small pieces of PEM and DER that
// the signing keys are read from. Everything here is portable; the signing
// itself is the SigningKey's (platform/signing_key.h).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/signing_key.h"
#include "platform/status.h"

namespace qw {

// base64url (RFC 4648 section 5) without padding.
std::string Base64UrlEncode(const std::string& bytes);
// Strict: the URL alphabet only, no padding, no white space, and no length
// that no encoding has (a remainder of one character); false otherwise.
bool Base64UrlDecode(const std::string& text, std::string* bytes);

// `text` as a JSON string, quotes included: '"' and '\' escaped, control
// characters as \n, \r, \t or \u00XX; other bytes (UTF-8) as they are.
std::string JsonQuote(const std::string& text);

// One "-----BEGIN <label>-----" ... "-----END <label>-----" block.
struct PemBlock {
  std::string label;  // "CERTIFICATE", "PRIVATE KEY", ...
  std::string der;    // the decoded contents
};
// Every block of `text`, in order (text outside the blocks is ignored, as
// OpenSSL ignores it). Lines may end in CR LF. A block whose end line is
// missing or whose base64 is damaged fails, naming its label; no block at
// all is an empty list.
Result<std::vector<PemBlock>> ParsePem(const std::string& text);

// The RSAPrivateKey (PKCS#1 DER) inside a PKCS#8 PrivateKeyInfo. Fails when
// the DER is not a PrivateKeyInfo, or names the algorithm when it is not RSA
// ("EC", "Ed25519", or the dotted object identifier).
Result<std::string> RsaKeyFromPkcs8(const std::string& der);

// A key algorithm's short name for messages ("EC", "Ed25519", "RSA", ...),
// or the dotted object identifier itself when it is none of the known ones.
std::string KeyAlgorithmName(const std::string& dottedOid);

// The header fields a certificate's key adds: "x5t" (base64url of the SHA-1
// of its DER) and "x5t#S256" (of the SHA-256). Empty for a key without a
// certificate.
std::vector<std::pair<std::string, std::string>> CertificateHeaderFields(const SigningKey& key);

// Signs `claimsJson` with RS256 and returns the compact JWS. The header is
// {"alg":"RS256","typ":"JWT"}, the key's certificate fields, then `fields`
// in order; a field of `fields` whose name is already there replaces its
// value in place.
Result<std::string> SignCompactJws(SigningKey& key, const std::string& claimsJson,
                                   const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace qw

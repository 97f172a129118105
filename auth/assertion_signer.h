// AssertionSigner: makes the signed JWT that a client presents to an OAuth 2.0
// token endpoint instead of a secret: the client assertion of the client
// credentials grant (RFC 7523 section 2.2, as Microsoft's identity platform
// takes it for certificate credentials) and the assertion of the JWT bearer
// grant (RFC 7523 section 2.1, a Google service account).
//
// The token client builds the claims (iss, sub, aud, iat, exp, jti, scope)
// and names the header fields it needs; the signer holds the private key
// (a certificate in the machine's store on Windows, a PEM file on POSIX, the
// key of a service account's JSON file) and signs. Implementations live
// beside the key stores; tests may sign with a key of their own.
#pragma once

#include <string>
#include <vector>

#include "platform/status.h"

namespace qw {

// One header field with a string value, e.g. {"kid", "<private_key_id>"}.
struct JwsHeaderField {
  std::string name;
  std::string value;
};

class AssertionSigner {
 public:
  virtual ~AssertionSigner() = default;

  // Signs `claimsJson` (one JSON object, UTF-8, exactly the bytes to be
  // encoded as the payload) and returns the compact JWS:
  //   base64url(header) "." base64url(claimsJson) "." base64url(signature)
  // without padding. The header is a JSON object the signer writes itself:
  // "alg" (its key's algorithm, RS256 for an RSA key), "typ":"JWT", the
  // fields the key itself calls for (for a certificate: "x5t" and "x5t#S256",
  // the base64url SHA-1 and SHA-256 of its DER), then `headerFields` in
  // order. A field of `headerFields` whose name the signer already wrote
  // replaces that value.
  //
  // A failure (the key cannot be opened, read, or used to sign) is a Status
  // whose What() names the settings key the signer came from (CLIENTCERT,
  // SERVICEACCOUNT) and whose text says what the system or the key file
  // said.
  virtual Result<std::string> Sign(const std::string& claimsJson,
                                   const std::vector<JwsHeaderField>& headerFields) = 0;
};

}  // namespace qw

// A Google service account's JSON key file: the fields the JWT bearer grant
// needs. The key file is a secret (it holds the private key); nothing of it
// is logged, and errors name the settings key and the file, never its
// content.
#pragma once

#include <string>

#include "auth/token_request.h"
#include "platform/status.h"

namespace qw {

inline constexpr size_t kMaxServiceAccountFile = 64 * 1024;

struct ServiceAccountKey {
  std::string clientEmail;   // the assertion's iss
  std::string privateKey;    // PEM (PKCS#8), for the signer
  std::string privateKeyId;  // the assertion header's kid
  std::string tokenUri;      // where to ask for the token
};

// Reads the key from the JSON text of the file. Fails as "SERVICEACCOUNT":
// not JSON, not a key of "type" "service_account" (when type is given), or
// a field missing, empty or not a string (the field is named). token_uri
// must be https (or http to a loopback host, for tests).
Result<ServiceAccountKey> ParseServiceAccountKey(const std::string& json);

// Reads and parses the file at `path` (at most kMaxServiceAccountFile
// bytes); failures name SERVICEACCOUNT and the path.
Result<ServiceAccountKey> LoadServiceAccountKey(const std::string& path);

// The token settings of the JWT bearer grant for `key`, sending as
// `mailbox`: the key's token_uri unless `tokenUrl` (TOKENURL) is given,
// Google's mail scope unless `scope` (SCOPE) is given, kid = private_key_id.
// Fails as "TOKENURL" for a TOKENURL that is not https.
Result<TokenSettings> ServiceAccountTokenSettings(const ServiceAccountKey& key, const std::string& mailbox,
                                                  const std::string& tokenUrl, const std::string& scope);

// True for an https:// URL, or http:// to localhost, 127.0.0.1 or [::1].
bool IsAcceptableTokenUrl(const std::string& url);

}  // namespace qw

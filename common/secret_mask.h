// SecretMask: the one masking function for every text that leaves the
// process (event entries, mail transcripts, the state file). It is given the
// secrets (the SMTP password, the login payloads derived from it, later the
// tokens of other logins) and replaces every occurrence of each, and of the
// encoded forms a server could echo back, with kSecretMarker:
//   - the secret as the settings hold it (Shift-JIS) and as UTF-8;
//   - the base64 of both forms, padded as it stands alone, and the part of
//     it that stays the same wherever the secret sits in a longer base64 run
//     (at each of the three byte alignments; only parts of at least
//     kMinBase64Fragment characters, shorter ones would hit at random);
//   - for a login: the AUTH PLAIN payload (base64 of NUL user NUL password)
//     and the AUTH LOGIN answer for the user (base64 of the user name).
// A hit that begins or ends inside a Shift-JIS double-byte character takes
// the whole character with it, so that the masked text stays whole text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qw {

inline constexpr const char* kSecretMarker = "****";

class SecretMask {
 public:
  static constexpr size_t kMinBase64Fragment = 6;

  // Adds a secret (Shift-JIS, as the settings hold it). Empty: nothing.
  void AddSecret(const std::string& secret);
  // Adds the SMTP login: the password as a secret, and the AUTH PLAIN and
  // AUTH LOGIN payloads in the forms the client sends (UTF-8) and in the
  // settings' own bytes. Nothing is added for an empty password except the
  // user name's AUTH LOGIN answer.
  void AddLogin(const std::string& user, const std::string& password);

  // `text` with every hit replaced by kSecretMarker (overlapping or touching
  // hits become one marker).
  std::string Apply(std::string_view text) const;
  bool Empty() const { return forms_.empty(); }

 private:
  void AddForm(std::string form);
  void AddBase64Forms(const std::string& bytes);

  std::vector<std::string> forms_;
};

// A mask that knows the login of `user` and `password`.
SecretMask LoginMask(const std::string& user, const std::string& password);

// LoginMask of the login last asked for, made again only when it changes.
class LoginMaskCache {
 public:
  const SecretMask& For(const std::string& user, const std::string& password);

 private:
  SecretMask mask_;
  std::string user_;  // the login mask_ was made of
  std::string password_;
  bool made_ = false;
};

// Base64 (RFC 4648) on one line, with padding.
std::string Base64OneLine(std::string_view bytes);

}  // namespace qw

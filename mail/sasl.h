// The client's side of the SASL mechanisms that SMTP AUTH carries (RFC 4954):
// each mechanism makes, from the login, the whole exchange it will have with
// the server: an optional initial response on the AUTH line, and the answers
// to the server's 334 challenges in turn. A mechanism is one row of
// SaslMechanisms(); the conversation itself knows none of them by name.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qw {

// The login as it goes to the server (UTF-8). With a bearer token (OAuth
// 2.0) the user is the mailbox that sends and the password is not used; the
// host and port are the server's as the client dialled it (OAUTHBEARER
// names them).
struct TSaslLogin {
  std::string user;
  std::string password;
  std::string bearerToken;
  std::string host;
  int port = 0;
};

// One AUTH exchange: "AUTH <mechanism>[ <initialResponse>]", then one line
// of `answers` for each 334 the server sends. All responses are base64 on
// one line, without CR LF.
struct TSaslExchange {
  std::string mechanism;
  std::optional<std::string> initialResponse;
  std::vector<std::string> answers;
};

struct TSaslMechanism {
  const char* name;  // as EHLO lists it: "PLAIN"
  TSaslExchange (*start)(const TSaslLogin& login);
  // Takes a bearer token rather than a password: used only for a login
  // that has one, and only such mechanisms are.
  // A bearer mechanism's 334 is a challenge (base64 JSON) saying why the
  // token was refused; its one answer asks for the final refusal.
  bool bearer = false;
};

// The mechanisms this client speaks, in order of preference: XOAUTH2 and
// OAUTHBEARER (RFC 7628) for a bearer token, PLAIN (RFC 4616) and LOGIN for
// a password.
const std::vector<TSaslMechanism>& SaslMechanisms();

// The text an AUTH refusal of a bearer token is told with: the decoded
// challenge of the server's 334 ("status=invalid_token schemes=bearer
// scope=..."), or why it could not be decoded. `challenge` is the text of
// the 334 line after the code.
std::string BearerChallengeText(const std::string& challenge);

// The AUTH command line of the exchange, CR LF at the end.
std::string AuthCommandLine(const TSaslExchange& exchange);

// The client's side of AUTH PLAIN (RFC 4616): "AUTH PLAIN " and base64 of
// NUL user NUL password (the bytes as given: the client gives UTF-8).
std::string AuthPlainCommand(const std::string& user, const std::string& password);

}  // namespace qw

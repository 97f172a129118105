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

// The login as it goes to the server (UTF-8).
struct TSaslLogin {
  std::string user;
  std::string password;
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
};

// The mechanisms this client speaks, in order of preference: PLAIN
// (RFC 4616), then LOGIN.
const std::vector<TSaslMechanism>& SaslMechanisms();

// The AUTH command line of the exchange, CR LF at the end.
std::string AuthCommandLine(const TSaslExchange& exchange);

// The client's side of AUTH PLAIN (RFC 4616): "AUTH PLAIN " and base64 of
// NUL user NUL password (the bytes as given: the client gives UTF-8).
std::string AuthPlainCommand(const std::string& user, const std::string& password);

}  // namespace qw

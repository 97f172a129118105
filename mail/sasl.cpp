#include "mail/sasl.h"

#include "common/secret_mask.h"

namespace qw {

namespace {

// RFC 4616: authorization identity (empty), NUL, user, NUL, password.
TSaslExchange StartPlain(const TSaslLogin& login) {
  std::string message;
  message += '\0';
  message += login.user;
  message += '\0';
  message += login.password;
  return TSaslExchange{"PLAIN", Base64OneLine(message), {}};
}

// The user name and the password, each asked for by a 334.
TSaslExchange StartLogin(const TSaslLogin& login) {
  return TSaslExchange{"LOGIN", std::nullopt, {Base64OneLine(login.user), Base64OneLine(login.password)}};
}

}  // namespace

const std::vector<TSaslMechanism>& SaslMechanisms() {
  static const std::vector<TSaslMechanism> mechanisms = {
      {"PLAIN", StartPlain},
      {"LOGIN", StartLogin},
  };
  return mechanisms;
}

std::string AuthCommandLine(const TSaslExchange& exchange) {
  std::string line = "AUTH " + exchange.mechanism;
  if (exchange.initialResponse) line += " " + *exchange.initialResponse;
  return line + "\r\n";
}

std::string AuthPlainCommand(const std::string& user, const std::string& password) {
  return AuthCommandLine(StartPlain(TSaslLogin{user, password}));
}

}  // namespace qw

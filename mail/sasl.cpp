#include "mail/sasl.h"

#include "auth/sasl_oauth.h"
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

// The token on the AUTH line; a challenge (the token refused) is answered
// with an empty line, after which the server sends its final refusal.
TSaslExchange StartXOAuth2(const TSaslLogin& login) {
  return TSaslExchange{"XOAUTH2", XOAuth2InitialResponse(login.user, login.bearerToken),
                       {SaslChallengeReply(OAuthMechanism::kXOAuth2)}};
}

// RFC 7628: the same, with the server named; a challenge is answered with
// %x01.
TSaslExchange StartOAuthBearer(const TSaslLogin& login) {
  return TSaslExchange{"OAUTHBEARER",
                       OAuthBearerInitialResponse(login.user, login.bearerToken, login.host, login.port),
                       {SaslChallengeReply(OAuthMechanism::kOAuthBearer)}};
}

}  // namespace

const std::vector<TSaslMechanism>& SaslMechanisms() {
  static const std::vector<TSaslMechanism> mechanisms = {
      {"XOAUTH2", StartXOAuth2, true},
      {"OAUTHBEARER", StartOAuthBearer, true},
      {"PLAIN", StartPlain, false},
      {"LOGIN", StartLogin, false},
  };
  return mechanisms;
}

std::string BearerChallengeText(const std::string& challenge) {
  const Result<SaslChallenge> decoded = DecodeSaslChallenge(challenge);
  if (!decoded) return "challenge not decoded: " + decoded.status().Text();
  const std::string text = decoded->Describe();
  return text.empty() ? "challenge without a status" : text;
}

std::string AuthCommandLine(const TSaslExchange& exchange) {
  std::string line = "AUTH " + exchange.mechanism;
  if (exchange.initialResponse) line += " " + *exchange.initialResponse;
  return line + "\r\n";
}

std::string AuthPlainCommand(const std::string& user, const std::string& password) {
  TSaslLogin login;
  login.user = user;
  login.password = password;
  return AuthCommandLine(StartPlain(login));
}

}  // namespace qw

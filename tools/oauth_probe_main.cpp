// oauth_probe: the token client's pieces one at a time, so that a script can
// put each before a real peer (the HTTP is the script's own, curl).
//
//   oauth_probe request secret URL CLIENT_ID SECRET SCOPE
//   oauth_probe request assertion URL CLIENT_ID SCOPE SIGN_COMMAND
//   oauth_probe request bearer URL ISSUER SUBJECT SCOPE KID SIGN_COMMAND
//       prints the form body of the token request. SIGN_COMMAND (run by the
//       shell) gets "HEADER_FIELDS_JSON\n" then the claims JSON on its
//       standard input and prints the compact JWS.
//   oauth_probe answer STATUS < BODY
//       reads the token endpoint's answer: "token EXPIRES_IN VALUE", or
//       "failure KIND DESCRIPTION" (KIND: rejected, other).
//   oauth_probe xoauth2 USER TOKEN
//   oauth_probe oauthbearer USER TOKEN HOST PORT
//       prints the initial response.
//   oauth_probe challenge BASE64
//       prints the decoded challenge, or "failure DESCRIPTION".
//   oauth_probe reply xoauth2|oauthbearer
//       prints the line that answers a challenge.
// Exit codes: 0 done (a failure read from an answer included), 1 the piece
// itself failed (printed on stderr), 64 a wrong command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "auth/sasl_oauth.h"
#include "auth/token_request.h"
#include "auth/token_response.h"
#include "common/json.h"

namespace {

int Usage() {
  std::cerr << "usage: see the head of tools/oauth_probe_main.cpp\n";
  return 64;
}

// Signs by handing the claims to a command of the script's.
class CommandSigner : public qw::AssertionSigner {
 public:
  explicit CommandSigner(std::string command) : command_(std::move(command)) {}

  qw::Result<std::string> Sign(const std::string& claimsJson,
                               const std::vector<qw::JwsHeaderField>& headerFields) override {
    qw::JsonWriter header;
    header.BeginObject();
    for (const qw::JwsHeaderField& field : headerFields) header.Key(field.name).String(field.value);
    header.EndObject();
    qw::Result<std::string> headerJson = header.Take();
    if (!headerJson) return headerJson.status();
    char path[] = "/tmp/oauth_probe.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return qw::Status::Failure("SIGN", errno, "mkstemp failed");
    FILE* input = fdopen(fd, "w");
    std::fputs((*headerJson + "\n" + claimsJson).c_str(), input);
    std::fclose(input);
    FILE* pipe = popen((command_ + " < " + path).c_str(), "r");
    if (pipe == nullptr) return qw::Status::Failure("SIGN", errno, "popen failed");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int rc = pclose(pipe);
    std::remove(path);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    if (rc != 0 || out.empty()) return qw::Status::Failure("SIGN", rc, "the signing command failed");
    return out;
  }

 private:
  std::string command_;
};

int PrintBody(const qw::TokenSettings& settings, qw::AssertionSigner* signer) {
  qw::AssertionContext context{static_cast<int64_t>(std::time(nullptr)), qw::NewJti()};
  qw::Result<qw::HttpRequest> request = qw::BuildTokenRequest(settings, signer, context);
  if (!request) {
    std::cerr << request.status().Describe() << "\n";
    return 1;
  }
  std::cout << request->body << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  const std::string& what = args[0];
  if (what == "request" && args.size() >= 2) {
    qw::TokenSettings settings;
    const std::string& grant = args[1];
    if (grant == "secret" && args.size() == 6) {
      settings.grant = qw::TokenGrant::kClientSecret;
      settings.tokenUrl = args[2];
      settings.clientId = args[3];
      settings.clientSecret = args[4];
      settings.scope = args[5];
      return PrintBody(settings, nullptr);
    }
    if (grant == "assertion" && args.size() == 6) {
      settings.grant = qw::TokenGrant::kClientAssertion;
      settings.tokenUrl = args[2];
      settings.clientId = args[3];
      settings.scope = args[4];
      CommandSigner signer(args[5]);
      return PrintBody(settings, &signer);
    }
    if (grant == "bearer" && args.size() == 8) {
      settings.grant = qw::TokenGrant::kJwtBearer;
      settings.tokenUrl = args[2];
      settings.issuer = args[3];
      settings.subject = args[4];
      settings.scope = args[5];
      settings.headerFields = {{"kid", args[6]}};
      CommandSigner signer(args[7]);
      return PrintBody(settings, &signer);
    }
    return Usage();
  }
  if (what == "answer" && args.size() == 2) {
    qw::HttpResponse response;
    response.status = std::atoi(args[1].c_str());
    response.body.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    qw::Result<qw::AccessToken> token = qw::ParseTokenResponse(response);
    if (token) {
      std::cout << "token " << token->expiresInSeconds << " " << token->value << "\n";
    } else {
      std::cout << "failure " << (token.status().Kind() == qw::StatusKind::kRejected ? "rejected" : "other") << " "
                << token.status().Describe() << "\n";
    }
    return 0;
  }
  if (what == "xoauth2" && args.size() == 3) {
    std::cout << qw::XOAuth2InitialResponse(args[1], args[2]) << "\n";
    return 0;
  }
  if (what == "oauthbearer" && args.size() == 5) {
    std::cout << qw::OAuthBearerInitialResponse(args[1], args[2], args[3], std::atoi(args[4].c_str())) << "\n";
    return 0;
  }
  if (what == "challenge" && args.size() == 2) {
    qw::Result<qw::SaslChallenge> challenge = qw::DecodeSaslChallenge(args[1]);
    if (challenge) {
      std::cout << challenge->Describe() << "\n";
    } else {
      std::cout << "failure " << challenge.status().Describe() << "\n";
    }
    return 0;
  }
  if (what == "reply" && args.size() == 2 && (args[1] == "xoauth2" || args[1] == "oauthbearer")) {
    std::cout << qw::SaslChallengeReply(args[1] == "xoauth2" ? qw::OAuthMechanism::kXOAuth2
                                                             : qw::OAuthMechanism::kOAuthBearer)
              << "\n";
    return 0;
  }
  return Usage();
}

// Test doubles for the token client: an HttpClient that answers from a
// script and records the requests, a signer that records what it was asked
// to sign, and a clock that moves only when told.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "auth/assertion_signer.h"
#include "auth/token_cache.h"
#include "common/json.h"
#include "platform/http_client.h"
#include "sasl_test_util.h"

namespace qw::authtest {

class ScriptedHttp : public HttpClient {
 public:
  std::deque<Result<HttpResponse>> answers;
  std::vector<HttpRequest> requests;
  bool cancelled = false;

  void Answer(int status, const std::string& body) {
    HttpResponse response;
    response.status = status;
    response.contentType = "application/json";
    response.body = body;
    answers.push_back(response);
  }
  void Fail(Status status) { answers.push_back(std::move(status)); }

  Result<HttpResponse> Send(const HttpRequest& request) override {
    requests.push_back(request);
    if (answers.empty()) return Status::Failure("HTTP", 0, "no answer scripted");
    Result<HttpResponse> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void Cancel() override { cancelled = true; }
};

// Signs nothing: returns "header.payload.sig" with the claims and header
// fields visible to the test, and keeps them.
class RecordingSigner : public AssertionSigner {
 public:
  std::vector<std::string> claims;
  std::vector<std::vector<JwsHeaderField>> headers;
  Status failure;

  Result<std::string> Sign(const std::string& claimsJson, const std::vector<JwsHeaderField>& fields) override {
    if (!failure) return failure;
    claims.push_back(claimsJson);
    headers.push_back(fields);
    return "eyJhbGciOiJSUzI1NiJ9." + Base64Url(claimsJson) + ".c2ln";
  }
};

class ManualClock : public TokenClock {
 public:
  int64_t unixSeconds = 1'800'000'000;
  int64_t steadyMs = 5'000'000;
  int64_t UnixSeconds() override { return unixSeconds; }
  int64_t SteadyMilliseconds() override { return steadyMs; }
  void Advance(int64_t seconds) {
    unixSeconds += seconds;
    steadyMs += seconds * 1000;
  }
};

// The fields of an application/x-www-form-urlencoded body, decoded by a
// reader of its own.
inline std::map<std::string, std::string> FormFields(const std::string& body) {
  auto decode = [](const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '+') {
        out += ' ';
      } else if (text[i] == '%' && i + 2 < text.size()) {
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += text[i];
      }
    }
    return out;
  };
  std::map<std::string, std::string> fields;
  size_t at = 0;
  while (at <= body.size()) {
    size_t end = body.find('&', at);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(at, end - at);
    const size_t eq = pair.find('=');
    if (eq != std::string::npos) fields[decode(pair.substr(0, eq))] = decode(pair.substr(eq + 1));
    at = end + 1;
  }
  return fields;
}

}  // namespace qw::authtest

// An HttpClient without a network: each Send takes the next scripted outcome
// (an answer, a failure, or a server that never answers) and records the
// request. The request is checked first as the real clients check it (URL,
// method, headers, proxy), so a caller's test meets the same refusals.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http_client.h"

namespace qw {

class FakeHttpClient : public HttpClient {
 public:
  // Scripts the next outcome, in order of the Sends to come.
  void Answer(int status, std::string body, std::string contentType = "application/json");
  // An answer with a Retry-After header.
  void AnswerRetryAfter(int status, std::string retryAfter, std::string body);
  void Fail(Status failure);
  // A server that accepts and never answers: that Send blocks until Cancel
  // (kCancelled) or the request's timeoutMs (kTimedOut), in real time.
  void Hang();

  Result<HttpResponse> Send(const HttpRequest& request) override;
  void Cancel() override;

  // Every request that passed the checks, in order (hung ones included).
  std::vector<HttpRequest> Requests() const;
  size_t SendCount() const;
  // Scripted outcomes not yet taken.
  size_t Pending() const;

  // Called with each request after it is recorded, before its outcome (on
  // the thread of Send).
  std::function<void(const HttpRequest&)> onSend;

 private:
  struct Outcome {
    bool hang = false;
    Status failure;
    HttpResponse response;
  };
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Outcome> script_;
  std::vector<HttpRequest> requests_;
  bool cancelled_ = false;
};

}  // namespace qw

#include "tests/fakes/fake_http_client.h"

#include <chrono>

#include "platform/http_url.h"

namespace qw {

void FakeHttpClient::Answer(int status, std::string body, std::string contentType) {
  Outcome outcome;
  outcome.response.status = status;
  outcome.response.body = std::move(body);
  outcome.response.contentType = std::move(contentType);
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(outcome));
}

void FakeHttpClient::AnswerRetryAfter(int status, std::string retryAfter, std::string body) {
  Outcome outcome;
  outcome.response.status = status;
  outcome.response.body = std::move(body);
  outcome.response.retryAfter = std::move(retryAfter);
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(outcome));
}

void FakeHttpClient::Fail(Status failure) {
  Outcome outcome;
  outcome.failure = std::move(failure);
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(outcome));
}

void FakeHttpClient::Hang() {
  Outcome outcome;
  outcome.hang = true;
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(std::move(outcome));
}

Result<HttpResponse> FakeHttpClient::Send(const HttpRequest& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) return Status::Failure("HTTP", 0, "cancelled", StatusKind::kCancelled);
  }
  Result<HttpUrl> url = ParseHttpUrl(request.url);
  if (!url) return url.status();
  Status fields = CheckHttpRequestFields(request);
  if (!fields) return fields;
  if (!request.proxy.empty()) {
    Result<std::string> proxy = ParseHttpProxy(request.proxy);
    if (!proxy) return proxy.status();
  }
  Outcome outcome;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    if (script_.empty()) {
      outcome.failure = Status::Failure("HTTP", 0, "fake: no outcome scripted for " + request.url);
    } else {
      outcome = std::move(script_.front());
      script_.pop_front();
    }
  }
  if (onSend) onSend(request);
  if (outcome.hang) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool cancelled = wake_.wait_for(lock, std::chrono::milliseconds(request.timeoutMs),
                                          [this] { return cancelled_; });
    if (cancelled) return Status::Failure("HTTP", 0, "cancelled", StatusKind::kCancelled);
    return Status::Failure("HTTP", 0, "fake: no answer within " + std::to_string(request.timeoutMs) + " ms",
                           StatusKind::kTimedOut);
  }
  if (!outcome.failure.Ok()) return outcome.failure;
  if (outcome.response.body.size() > kMaxHttpBody) {
    return Status::Failure("HTTP", 0, "fake: body over kMaxHttpBody");
  }
  return outcome.response;
}

void FakeHttpClient::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  wake_.notify_all();
}

std::vector<HttpRequest> FakeHttpClient::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t FakeHttpClient::SendCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

size_t FakeHttpClient::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return script_.size();
}

}  // namespace qw

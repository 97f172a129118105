#include "service/heartbeat.h"

#include "common/json.h"
#include "platform/http_url.h"
#include "platform/text_codec.h"

namespace qw {

Heartbeat::Heartbeat(EntryWriter& entries, ClientFactory newClient)
    : entries_(entries), newClient_(newClient ? std::move(newClient) : ClientFactory([] { return NewHttpClient(); })) {}

void Heartbeat::Configure(const HeartbeatSettings& settings) {
  SecretMask mask;
  for (const std::string& url : {settings.url, settings.failUrl}) {
    if (url.empty()) continue;
    mask.AddSecret(url);
    // A client may quote the path alone ("GET /ping/<uuid>"); a bare "/"
    // is no secret and would mask every slash.
    if (const Result<HttpUrl> parsed = ParseHttpUrl(url); parsed && parsed->target.size() > 1)
      mask.AddSecret(parsed->target);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
  mask_ = std::move(mask);
}

bool Heartbeat::On() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_.On();
}

std::string Heartbeat::Mask(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mask_.Apply(text);
}

std::string Heartbeat::Body(const HeartbeatFacts& facts) {
  JsonWriter json;
  json.BeginObject()
      .Key("computer")
      .String(SjisToUtf8(facts.computer))
      .Key("outcome")
      .String(facts.checkFailed ? "failure" : "success")
      .Key("time")
      .String(facts.utc)
      .EndObject();
  // Every string above is UTF-8 by construction; a failure would be a misuse.
  return json.Take().value_or("{}");
}

HeartbeatResult Heartbeat::Ping(const HeartbeatFacts& facts, int timeoutMs) {
  HeartbeatResult result;
  HttpRequest request;
  std::unique_ptr<HttpClient> client;
  std::string shown;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || !settings_.On()) return result;
    request.url = facts.checkFailed ? settings_.failUrl : settings_.url;
    request.method = settings_.post ? "POST" : "GET";
    shown = ShownUrl(request.url);
  }
  if (request.method == "POST") {
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = Body(facts);
  }
  request.timeoutMs = timeoutMs > 0 ? timeoutMs : 1;
  result.sent = true;
  result.failUrl = facts.checkFailed;

  Result<HttpResponse> answer = Status::Failure("HTTP", 0, "HTTP クライアントを作れません");
  try {
    client = newClient_();
  } catch (const std::exception& e) {
    answer = Status::Failure("HTTP", 0, std::string("HTTP クライアントを作れません: ") + e.what());
  }
  if (client) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopped_) {
        result.sent = false;
        return result;
      }
      current_ = client.get();
    }
    answer = client->Send(request);
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = nullptr;
  }

  std::string step;
  if (answer.Ok()) {
    result.ok = answer->status >= 200 && answer->status <= 299;
    result.detail = "HTTP " + std::to_string(answer->status);
    step = "応答";
  } else {
    result.detail = answer.status().Describe();
    step = "送信";
    if (answer.status().Kind() == StatusKind::kCancelled) {
      // A stop: the stop's own entries tell of it, and no check was missed.
      result.sent = false;
      return result;
    }
  }
  result.detail = Mask(result.detail);
  bool entryFailed = false;
  bool entryRestored = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!result.ok && !failing_) entryFailed = true;
    if (result.ok && failing_) entryRestored = true;
    failing_ = !result.ok;
  }
  const std::string which = result.failUrl ? " (失敗の URL)" : "";
  if (entryFailed)
    entries_.Warning(std::string(kHeartbeatFailed) + ": " + shown + which + ": " + step + ": " + result.detail +
                     "\r\n次のチェックのあとにまた送ります。失敗が続いてもこのお知らせは 1 回だけです。");
  if (entryRestored) entries_.Information(std::string(kHeartbeatRestored) + ": " + shown + which);
  return result;
}

void Heartbeat::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  if (current_) current_->Cancel();
}

void Heartbeat::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = false;
}

}  // namespace qw

#include "service/webhook_sender.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "common/check_state.h"
#include "common/errors.h"
#include "platform/ascii_text.h"
#include "platform/http_url.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

constexpr int64_t kDayMs = 24 * 3600 * 1000;
// Secret pieces shorter than this would mask ordinary words at random.
constexpr size_t kMinSecretPiece = 6;

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970; false otherwise.
bool ImfFixdateSeconds(const std::string& text, int64_t* seconds) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (text.size() != 29 || text[3] != ',' || text.compare(25, 4, " GMT") != 0) return false;
  int month = 0;
  for (int m = 0; m < 12; ++m)
    if (text.compare(8, 3, kMonths[m]) == 0) month = m + 1;
  if (month == 0) return false;
  const std::string stamp = text.substr(12, 4) + "-" + (month < 10 ? "0" : "") + std::to_string(month) + "-" +
                            text.substr(5, 2) + "T" + text.substr(17, 8) + "Z";
  return UtcStampSeconds(stamp, seconds);
}

// The first line of an answer's body as an entry may quote it: UTF-8 made
// Shift-JIS, control characters dropped, at most 200 bytes.
std::string FirstLine(const std::string& body) {
  std::string line = body.substr(0, body.find_first_of("\r\n"));
  if (line.size() > 600) line.resize(600);
  std::string text = Utf8ToSjis(line);
  std::string out;
  for (size_t i = 0; i < text.size() && out.size() < 200; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (IsShiftJisLeadByte(c) && i + 1 < text.size()) {
      out += text.substr(i, 2);
      ++i;
    } else if (c >= 0x20 && c != 0x7F) {
      out += text[i];
    }
  }
  return out;
}

void AddPieces(SecretMask& mask, const std::string& text, const char* separators) {
  size_t at = 0;
  while (at <= text.size()) {
    const size_t end = std::min(text.find_first_of(separators, at), text.size());
    const std::string piece = text.substr(at, end - at);
    // Tokens, ids and signatures; not the plain words of a path
    // ("services", "triggers"), which would mask ordinary text.
    const bool digit = piece.find_first_of("0123456789") != std::string::npos;
    if ((piece.size() >= kMinSecretPiece && digit) || piece.size() >= 16) mask.AddSecret(piece);
    at = end + 1;
  }
}

}  // namespace

int64_t RetryAfterMs(const std::string& value, int64_t nowUtcSeconds) {
  const std::string text(TrimControls(value));
  if (AllDigits(text)) {
    if (text.size() > 9) return kDayMs;
    return std::min<int64_t>(std::stoll(text) * 1000, kDayMs);
  }
  int64_t at = 0;
  if (!ImfFixdateSeconds(text, &at)) return -1;
  return std::clamp<int64_t>((at - nowUtcSeconds) * 1000, 0, kDayMs);
}

WebhookResult JudgeWebhookAnswer(const Result<HttpResponse>& answer, int64_t nowUtcSeconds) {
  WebhookResult result;
  if (!answer) {
    result.step = HttpFailureStep(answer.status());
    result.reason = answer.status().Text();
    result.cancelled = answer.status().Kind() == StatusKind::kCancelled;
    return result;
  }
  const int status = answer->status;
  result.status = status;
  result.reason = FirstLine(answer->body);
  if (status >= 200 && status <= 299) {
    result.outcome = WebhookResult::Outcome::kDelivered;
  } else if (status == 408 || status == 429 || (status >= 500 && status <= 599)) {
    result.outcome = WebhookResult::Outcome::kRetry;
    if (!answer->retryAfter.empty()) result.retryAfterMs = RetryAfterMs(answer->retryAfter, nowUtcSeconds);
  } else if ((status >= 300 && status <= 399) || (status >= 400 && status <= 499)) {
    // The same request meets the same answer until the settings change.
    result.outcome = WebhookResult::Outcome::kFinal;
    if (status < 400) result.reason = "リダイレクトには従いません" + (result.reason.empty() ? "" : ": " + result.reason);
  } else {
    result.outcome = WebhookResult::Outcome::kRetry;  // no status the protocol gives a meaning
  }
  return result;
}

SecretMask WebhookMask(const WebhookTarget& target) {
  SecretMask mask;
  mask.AddSecret(target.url);
  if (const Result<HttpUrl> url = ParseHttpUrl(target.url); url && url->target.size() > 1) {
    mask.AddSecret(url->target);
    AddPieces(mask, url->target, "/?&=;");
  }
  for (const auto& header : target.headers) {
    mask.AddSecret(header.second);
    AddPieces(mask, header.second, " \t,");
  }
  return mask;
}

std::string WebhookFailureEntry(const WebhookTarget& target, const WebhookResult& result, bool recovery,
                                const std::string& note) {
  if (result.Delivered()) return "";
  std::string text = std::string("通知先 ") + target.section + " (" + WebhookKindName(target.kind) + ") に" +
                     (recovery ? "回復のお知らせ" : "警告") + "を送信できませんでした: " + result.step;
  if (result.status != 0) text += " " + std::to_string(result.status);
  if (!result.reason.empty()) text += ": " + result.reason;
  if (!note.empty()) text += "\r\n" + note;
  return text;
}

WebhookSender::WebhookSender(ClientFactory factory) : factory_(std::move(factory)) {
  if (!factory_) factory_ = [] { return NewHttpClient(); };
}

WebhookResult WebhookSender::Send(const WebhookTarget& target, const std::string& body, int64_t timeoutMs) {
  HttpRequest request;
  request.method = "POST";
  request.url = target.url;
  request.headers.emplace_back("Content-Type", "application/json; charset=utf-8");
  for (const auto& header : target.headers) request.headers.push_back(header);
  request.body = body;
  request.proxy = target.proxy;
  request.timeoutMs = static_cast<int>(std::clamp<int64_t>(timeoutMs, 1, 24 * 3600 * 1000));

  std::unique_ptr<HttpClient> client = factory_();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelled_) client->Cancel();
    current_.push_back(client.get());
  }
  const Result<HttpResponse> answer = client->Send(request);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_.erase(std::find(current_.begin(), current_.end(), client.get()));
  }
  return JudgeWebhookAnswer(answer, static_cast<int64_t>(std::time(nullptr)));
}

void WebhookSender::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = true;
  for (HttpClient* client : current_) client->Cancel();
}

void WebhookSender::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = false;
}

}  // namespace qw

#include "auth/token_response.h"

#include "common/json.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

constexpr size_t kMaxServerWords = 300;

// The first line of `utf8`, without control characters, at most
// kMaxServerWords bytes (not cutting a UTF-8 sequence), as Shift-JIS.
std::string FirstLine(const std::string& utf8) {
  std::string line;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '\r' || c == '\n') {
      if (!line.empty()) break;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      line += ' ';
      continue;
    }
    if (line.size() >= kMaxServerWords && (c & 0xC0) != 0x80) {
      line += "...";
      break;
    }
    line += static_cast<char>(c);
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return Utf8ToSjis(line);
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

Status Failure(const HttpResponse& response, const std::string& text, StatusKind kind = StatusKind::kOther) {
  return Status::Failure("TOKEN", response.status, text + " (HTTP " + std::to_string(response.status) + ")", kind);
}

// The error answer of RFC 6749 section 5.2, when the body is one.
bool DescribeError(const HttpResponse& response, const JsonValue& json, Status* out) {
  std::optional<std::string> error = json.FindString("error");
  if (!error) return false;
  std::string text = FirstLine(*error);
  if (text.empty()) text = "(empty error)";
  std::string description;
  if (std::optional<std::string> d = json.FindString("error_description")) description = FirstLine(*d);
  if (description.rfind("AADSTS", 0) != 0) {
    const JsonValue* codes = json.Find("error_codes");
    if (codes != nullptr && codes->IsArray() && !codes->Items().empty()) {
      if (std::optional<int64_t> code = codes->Items()[0].AsInt64()) {
        description = "AADSTS" + std::to_string(*code) + (description.empty() ? "" : ": " + description);
      }
    }
  }
  if (!description.empty()) text += ": " + description;
  const std::string code = Lower(*error);
  const bool final = code == "invalid_client" || code == "unauthorized_client";
  *out = Failure(response, text, final ? StatusKind::kRejected : StatusKind::kOther);
  return true;
}

}  // namespace

Result<AccessToken> ParseTokenResponse(const HttpResponse& response) {
  Result<JsonValue> parsed = ParseJson(response.body);
  if (parsed && parsed->IsObject()) {
    Status error;
    if (DescribeError(response, *parsed, &error)) return error;
  }
  if (response.status != 200) {
    const std::string line = FirstLine(response.body);
    return Failure(response, line.empty() ? "the server answered without a reason" : line);
  }
  if (!parsed) return Failure(response, "the answer is not JSON: " + parsed.status().Text());
  if (!parsed->IsObject()) return Failure(response, "the answer is not a JSON object");

  const JsonValue& json = *parsed;
  AccessToken token;
  std::optional<std::string> value = json.FindString("access_token");
  if (!value || value->empty()) return Failure(response, "the answer holds no access_token");
  if (value->size() > kMaxAccessToken) return Failure(response, "the access_token is longer than it may be");
  for (const char c : *value) {
    if (c < 0x20 || c > 0x7E) return Failure(response, "the access_token holds characters a token cannot hold");
  }
  std::optional<std::string> type = json.FindString("token_type");
  if (!type) return Failure(response, "the answer holds no token_type");
  if (Lower(*type) != "bearer") return Failure(response, "the token_type \"" + FirstLine(*type) + "\" is not Bearer");

  token.expiresInSeconds = kDefaultTokenLifetime;
  if (const JsonValue* expires = json.Find("expires_in")) {
    std::optional<int64_t> seconds;
    if (expires->IsNumber()) {
      seconds = expires->AsInt64();
    } else if (expires->IsString() && !expires->Text().empty() && expires->Text().size() <= 18 &&
               expires->Text().find_first_not_of("0123456789") == std::string::npos) {
      seconds = std::stoll(expires->Text());
    }
    if (!seconds || *seconds <= 0) return Failure(response, "the expires_in is not a positive number of seconds");
    token.expiresInSeconds = std::min(*seconds, kMaxTokenLifetime);
  }
  token.value = std::move(*value);
  return token;
}

}  // namespace qw

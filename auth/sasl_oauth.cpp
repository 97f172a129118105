#include "auth/sasl_oauth.h"

#include "common/json.h"
#include "common/secret_mask.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A challenge field for an entry: printable ASCII kept, anything else '?',
// at most 200 bytes.
std::string EntryField(const std::string& utf8) {
  std::string out;
  for (const char ch : utf8) {
    if (out.size() >= 200) {
      out += "...";
      break;
    }
    const unsigned char c = static_cast<unsigned char>(ch);
    out += (c >= 0x20 && c < 0x7F) ? ch : '?';
  }
  return out;
}

}  // namespace

std::string XOAuth2InitialResponse(const std::string& user, const std::string& token) {
  return Base64OneLine("user=" + user + "\x01" + "auth=Bearer " + token + "\x01\x01");
}

std::string OAuthBearerInitialResponse(const std::string& user, const std::string& token, const std::string& host,
                                       int port) {
  std::string saslName;
  for (const char c : user) {
    if (c == ',') saslName += "=2C";
    else if (c == '=') saslName += "=3D";
    else saslName += c;
  }
  std::string message = "n,a=" + saslName + ",\x01";
  if (!host.empty()) {
    message += "host=" + host + "\x01";
    message += "port=" + std::to_string(port) + "\x01";
  }
  message += "auth=Bearer " + token + "\x01\x01";
  return Base64OneLine(message);
}

std::string SaslChallengeReply(OAuthMechanism mechanism) {
  return mechanism == OAuthMechanism::kXOAuth2 ? "" : Base64OneLine("\x01");
}

std::string SaslChallenge::Describe() const {
  std::string text;
  auto add = [&](const char* name, const std::string& value) {
    if (value.empty()) return;
    if (!text.empty()) text += ' ';
    text += name;
    text += '=';
    text += EntryField(value);
  };
  add("status", status);
  add("schemes", schemes);
  add("scope", scope);
  add("openid-configuration", openidConfiguration);
  return text;
}

Result<std::string> DecodeBase64Strict(std::string_view text) {
  if (text.size() % 4 == 1) return Status::Failure("base64", 0, "the length is no base64 length");
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  size_t end = text.size();
  size_t padding = 0;
  while (end > 0 && text[end - 1] == '=') {
    --end;
    ++padding;
  }
  if (padding > 2 || (padding > 0 && text.size() % 4 != 0)) {
    return Status::Failure("base64", 0, "misplaced padding");
  }
  for (size_t i = 0; i < end; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return Status::Failure("base64", 0, "a character that is no base64 digit");
    bits = (bits << 6) | static_cast<uint32_t>(value);
    if (++count == 4) {
      out += static_cast<char>((bits >> 16) & 0xFF);
      out += static_cast<char>((bits >> 8) & 0xFF);
      out += static_cast<char>(bits & 0xFF);
      bits = 0;
      count = 0;
    }
  }
  if (count == 1) return Status::Failure("base64", 0, "the length is no base64 length");
  if (count == 2) {
    if (bits & 0xF) return Status::Failure("base64", 0, "stray bits at the end");
    out += static_cast<char>((bits >> 4) & 0xFF);
  } else if (count == 3) {
    if (bits & 0x3) return Status::Failure("base64", 0, "stray bits at the end");
    out += static_cast<char>((bits >> 10) & 0xFF);
    out += static_cast<char>((bits >> 2) & 0xFF);
  }
  if (padding > 0 && static_cast<size_t>(4 - count) != padding) {
    return Status::Failure("base64", 0, "misplaced padding");
  }
  return out;
}

Result<SaslChallenge> DecodeSaslChallenge(std::string_view base64) {
  // The reply text may end with spaces; nothing else around it.
  while (!base64.empty() && (base64.back() == ' ' || base64.back() == '\t')) base64.remove_suffix(1);
  if (base64.size() > kMaxSaslChallenge) {
    return Status::Failure("AUTH", 0, "the server's challenge is longer than " + std::to_string(kMaxSaslChallenge));
  }
  Result<std::string> bytes = DecodeBase64Strict(base64);
  if (!bytes) return Status::Failure("AUTH", 0, "the server's challenge is not base64: " + bytes.status().Text());
  Result<JsonValue> json = ParseJson(*bytes, JsonLimits{kMaxSaslChallenge, 8});
  if (!json) return Status::Failure("AUTH", 0, "the server's challenge is not JSON: " + json.status().Text());
  if (!json->IsObject()) return Status::Failure("AUTH", 0, "the server's challenge is not a JSON object");
  SaslChallenge challenge;
  challenge.status = json->FindString("status").value_or("");
  challenge.schemes = json->FindString("schemes").value_or("");
  challenge.scope = json->FindString("scope").value_or("");
  challenge.openidConfiguration = json->FindString("openid-configuration").value_or("");
  return challenge;
}

}  // namespace qw

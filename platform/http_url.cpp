#include "platform/http_url.h"

#include <array>
#include <cstdint>

namespace qw {
namespace {

Status UrlFailure(const std::string& text) { return Status::Failure("HTTP", 0, text); }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (Lower(c) >= 'a' && Lower(c) <= 'f'); }
bool IsAlpha(char c) { return Lower(c) >= 'a' && Lower(c) <= 'z'; }

// RFC 9110's tchar.
bool IsTokenChar(char c) {
  if (IsAlpha(c) || IsDigit(c)) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

bool IsToken(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

// The eight groups of an IPv6 address, or false. No zone, no embedded IPv4.
bool ParseIpv6(const std::string& text, std::array<uint16_t, 8>* groups) {
  if (text.empty() || text.size() > 39) return false;
  std::array<uint16_t, 8> head{}, tail{};
  int headCount = 0, tailCount = 0;
  bool elided = false;
  size_t i = 0;
  if (text.compare(0, 2, "::") == 0) {
    elided = true;
    i = 2;
    if (i == text.size()) {
      *groups = {};
      return true;
    }
  } else if (text[0] == ':') {
    return false;
  }
  while (i < text.size()) {
    size_t digits = 0;
    uint32_t value = 0;
    while (i < text.size() && IsHex(text[i])) {
      if (++digits > 4) return false;
      const char c = Lower(text[i]);
      value = value * 16 + static_cast<uint32_t>(IsDigit(c) ? c - '0' : c - 'a' + 10);
      ++i;
    }
    if (digits == 0) return false;
    if (elided) {
      if (tailCount == 8) return false;
      tail[tailCount++] = static_cast<uint16_t>(value);
    } else {
      if (headCount == 8) return false;
      head[headCount++] = static_cast<uint16_t>(value);
    }
    if (i == text.size()) break;
    if (text[i] != ':') return false;
    ++i;
    if (i < text.size() && text[i] == ':') {
      if (elided) return false;
      elided = true;
      ++i;
      if (i == text.size()) break;
    } else if (i == text.size()) {
      return false;  // a trailing single ':'
    }
  }
  if (elided ? headCount + tailCount > 7 : headCount != 8) return false;
  *groups = {};
  for (int g = 0; g < headCount; ++g) (*groups)[g] = head[g];
  for (int g = 0; g < tailCount; ++g) (*groups)[8 - tailCount + g] = tail[g];
  return true;
}

// Four decimal parts of 0..255 without leading zeros (no octal or short
// forms, which resolvers read differently).
bool ParseIpv4(const std::string& text, std::array<int, 4>* parts) {
  size_t i = 0;
  for (int p = 0; p < 4; ++p) {
    if (p > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const size_t start = i;
    int value = 0;
    while (i < text.size() && IsDigit(text[i]) && i - start < 3) value = value * 10 + (text[i++] - '0');
    if (i == start || value > 255 || (text[start] == '0' && i - start > 1)) return false;
    (*parts)[p] = value;
  }
  return i == text.size();
}

bool IsHostName(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  for (char c : host) {
    if (!IsAlpha(c) && !IsDigit(c) && c != '-' && c != '.' && c != '_') return false;
  }
  return host.front() != '.' && host.find("..") == std::string::npos;
}

// host[:port] of an authority (no user information) into its parts.
Status ParseAuthority(const std::string& authority, std::string* host, bool* ipv6, int* port,
                      const std::string& subject) {
  std::string portText;
  bool hasPort = false;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) return UrlFailure(subject + " の IPv6 アドレスが ] で閉じていません");
    *host = authority.substr(1, close - 1);
    std::array<uint16_t, 8> groups{};
    if (!ParseIpv6(*host, &groups)) return UrlFailure(subject + " の IPv6 アドレスが正しくありません: " + *host);
    *ipv6 = true;
    const std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return UrlFailure(subject + " のホストの後に余計な文字があります");
      hasPort = true;
      portText = rest.substr(1);
    }
  } else {
    const size_t colon = authority.find(':');
    *host = authority.substr(0, colon);
    *ipv6 = false;
    if (colon != std::string::npos) {
      hasPort = true;
      portText = authority.substr(colon + 1);
    }
    if (!IsHostName(*host)) return UrlFailure(subject + " のホスト名が正しくありません: " + *host);
  }
  if (hasPort) {
    int value = 0;
    bool ok = !portText.empty() && portText.size() <= 5;
    for (char c : portText) {
      if (!IsDigit(c)) ok = false;
      if (ok) value = value * 10 + (c - '0');
    }
    if (!ok || value < 1 || value > 65535) return UrlFailure(subject + " のポート番号が正しくありません: " + portText);
    *port = value;
  }
  return Status();
}

}  // namespace

bool IsLoopbackHost(const std::string& host) {
  std::string lower;
  for (char c : host) lower += Lower(c);
  if (lower == "localhost" || lower == "localhost.") return true;
  std::array<int, 4> parts{};
  if (ParseIpv4(host, &parts)) return parts[0] == 127;
  std::array<uint16_t, 8> groups{};
  if (ParseIpv6(host, &groups)) return groups == std::array<uint16_t, 8>{0, 0, 0, 0, 0, 0, 0, 1};
  return false;
}

Result<HttpUrl> ParseHttpUrl(const std::string& url) {
  if (url.empty()) return UrlFailure("URL がありません");
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F || c == '\\') {
      return UrlFailure("URL に使えない文字 (空白、制御文字、\\ または ASCII 以外) があります");
    }
  }
  HttpUrl parsed;
  size_t rest = 0;
  if (StartsWithNoCase(url, "https://")) {
    rest = 8;
  } else if (StartsWithNoCase(url, "http://")) {
    parsed.secure = false;
    parsed.port = 80;
    rest = 7;
  } else {
    return UrlFailure("URL は https:// で始まる必要があります: " + url.substr(0, url.find(':')));
  }
  const size_t end = url.find_first_of("/?#", rest);
  const std::string authority = url.substr(rest, end == std::string::npos ? std::string::npos : end - rest);
  if (authority.find('@') != std::string::npos) {
    return UrlFailure("URL にユーザー名やパスワードを含めることはできません");
  }
  if (authority.empty()) return UrlFailure("URL にホスト名がありません");
  Status read = ParseAuthority(authority, &parsed.host, &parsed.ipv6, &parsed.port, "URL");
  if (!read) return read;
  if (end != std::string::npos) {
    parsed.target = url.substr(end);
    if (parsed.target.find('#') != std::string::npos) return UrlFailure("URL にフラグメント (#) を含めることはできません");
    if (parsed.target[0] == '?') parsed.target.insert(0, "/");
  } else {
    parsed.target = "/";
  }
  if (!parsed.secure && !IsLoopbackHost(parsed.host)) {
    return UrlFailure("http:// はループバック (localhost, 127.0.0.0/8, ::1) にだけ使えます。https:// を使ってください: " +
                      parsed.host);
  }
  return parsed;
}

Result<std::string> ParseHttpProxy(const std::string& proxy) {
  for (unsigned char c : proxy) {
    if (c <= 0x20 || c >= 0x7F || c == '\\') return UrlFailure("プロキシに使えない文字があります");
  }
  std::string authority = proxy;
  if (StartsWithNoCase(authority, "http://")) {
    authority.erase(0, 7);
  } else if (authority.find("://") != std::string::npos) {
    return UrlFailure("プロキシは host:port か http://host:port で指定してください: " + proxy);
  }
  if (!authority.empty() && authority.back() == '/') authority.pop_back();
  if (authority.empty()) return UrlFailure("プロキシのホスト名がありません");
  if (authority.find_first_of("@/?#") != std::string::npos) {
    return UrlFailure("プロキシは host:port か http://host:port で指定してください: " + proxy);
  }
  std::string host;
  bool ipv6 = false;
  int port = 0;
  Status read = ParseAuthority(authority, &host, &ipv6, &port, "プロキシ");
  if (!read) return read;
  if (port == 0) return UrlFailure("プロキシのポート番号がありません: " + proxy);
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Status CheckHttpRequestFields(const HttpRequest& request) {
  bool methodOk = !request.method.empty() && request.method.size() <= 16;
  for (char c : request.method) {
    if (c < 'A' || c > 'Z') methodOk = false;
  }
  if (!methodOk) return UrlFailure("HTTP のメソッドが正しくありません: " + request.method);
  for (const auto& [name, value] : request.headers) {
    if (!IsToken(name)) return UrlFailure("HTTP ヘッダーの名前が正しくありません: " + name);
    for (char c : value) {
      if (c == '\r' || c == '\n' || c == '\0') {
        return UrlFailure("HTTP ヘッダーの値に改行や NUL があります: " + name);
      }
    }
    std::string lower;
    for (char c : name) lower += Lower(c);
    if (lower == "host" || lower == "content-length" || lower == "transfer-encoding") {
      return UrlFailure("HTTP ヘッダー " + name + " はクライアントが書きます");
    }
  }
  if (request.timeoutMs <= 0) return UrlFailure("HTTP の時間制限が正しくありません");
  return Status();
}

}  // namespace qw

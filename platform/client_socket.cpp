#include "platform/client_socket.h"

#include <cstring>
#include <cstdio>

namespace qw {

bool ParseDottedQuad(const std::string& text, uint32_t* address) {
  uint32_t value = 0;
  size_t at = 0;
  for (int piece = 0; piece < 4; ++piece) {
    if (piece > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    size_t start = at;
    unsigned number = 0;
    while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9') {
      number = number * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
    }
    if (at == start || number > 255) return false;
    if (at < text.size() && text[at] >= '0' && text[at] <= '9') return false;  // a fourth digit
    value = (value << 8) | number;
  }
  if (at != text.size()) return false;
  if (address) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                                    static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    std::memcpy(address, bytes, 4);  // network byte order whatever the host's
  }
  return true;
}

bool LooksNumeric(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();
  size_t lastDot = name.rfind('.');
  std::string last = lastDot == std::string::npos ? name : name.substr(lastDot + 1);
  bool hex = last.size() > 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X');
  if (hex) last.erase(0, 2);
  if (last.empty()) return false;
  for (char c : last) {
    bool digit = c >= '0' && c <= '9';
    bool hexDigit = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit && !(hex && hexDigit)) return false;
  }
  return true;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseIpv6(const std::string& text, IpAddress* address) {
  // Groups before and after the "::" (when there is one), each a 16-bit
  // value; an IPv4 tail counts as two groups.
  uint16_t head[8] = {}, tail[8] = {};
  int heads = 0, tails = 0;
  bool gap = false;
  size_t at = 0;
  if (text.empty() || text.size() > 45) return false;
  if (text.compare(0, 2, "::") == 0) {
    gap = true;
    at = 2;
  } else if (text[0] == ':') {
    return false;
  }
  auto push = [&](uint16_t value) {
    if (heads + tails >= 8) return false;
    if (gap) {
      tail[tails++] = value;
    } else {
      head[heads++] = value;
    }
    return true;
  };
  while (at < text.size()) {
    const size_t colon = text.find(':', at);
    const std::string piece = text.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
    if (colon == std::string::npos && piece.find('.') != std::string::npos) {
      uint32_t v4 = 0;
      if (!ParseDottedQuad(piece, &v4)) return false;
      unsigned char b[4];
      std::memcpy(b, &v4, 4);
      if (!push(static_cast<uint16_t>(b[0] << 8 | b[1])) || !push(static_cast<uint16_t>(b[2] << 8 | b[3]))) {
        return false;
      }
      at = text.size();
      break;
    }
    if (piece.empty() || piece.size() > 4) return false;
    unsigned value = 0;
    for (char c : piece) {
      const int digit = HexValue(c);
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    if (!push(static_cast<uint16_t>(value))) return false;
    if (colon == std::string::npos) break;
    at = colon + 1;
    if (at == text.size()) return false;  // a lone colon at the end
    if (text[at] == ':') {
      if (gap) return false;  // a second "::"
      gap = true;
      ++at;
    }
  }
  const int groups = heads + tails;
  if (gap ? groups > 7 : groups != 8) return false;
  if (address) {
    IpAddress result;
    result.v6 = true;
    for (int i = 0; i < heads; ++i) {
      result.bytes[2 * i] = static_cast<unsigned char>(head[i] >> 8);
      result.bytes[2 * i + 1] = static_cast<unsigned char>(head[i]);
    }
    for (int i = 0; i < tails; ++i) {
      const int slot = 8 - tails + i;
      result.bytes[2 * slot] = static_cast<unsigned char>(tail[i] >> 8);
      result.bytes[2 * slot + 1] = static_cast<unsigned char>(tail[i]);
    }
    *address = result;
  }
  return true;
}

bool ParseHostLiteral(const std::string& host, IpAddress* address) {
  std::string text = host;
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  IpAddress result;
  uint32_t v4 = 0;
  if (ParseDottedQuad(text, &v4)) {
    std::memcpy(result.bytes, &v4, 4);
  } else if (!ParseIpv6(text, &result)) {
    return false;
  }
  if (address) *address = result;
  return true;
}

std::string HostWithoutBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']' && ParseHostLiteral(host)) {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

std::string HostPortText(const std::string& host, int port) {
  const std::string bare = HostWithoutBrackets(host);
  const bool v6 = ParseIpv6(bare);
  return (v6 ? "[" + bare + "]" : host) + ":" + std::to_string(port);
}

std::string IpAddress::Text() const {
  char text[64];
  if (!v6) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
  }
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  const bool mapped = groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 &&
                      groups[5] == 0xffff;
  if (mapped) {
    std::snprintf(text, sizeof text, "::ffff:%u.%u.%u.%u", bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
  }
  // The longest run of two or more zero groups, the first of equal ones.
  int bestStart = -1, bestLength = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLength && j - i >= 2) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      out += "::";
      i += bestLength - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::snprintf(text, sizeof text, "%x", groups[i]);
    out += text;
  }
  return out;
}

std::string IpAddress::BracketedText() const { return v6 ? "[" + Text() + "]" : Text(); }

bool IpAddress::operator==(const IpAddress& other) const {
  return v6 == other.v6 && std::memcmp(bytes, other.bytes, v6 ? 16 : 4) == 0;
}

std::vector<IpAddress> InterleaveFamilies(const std::vector<IpAddress>& resolved) {
  std::vector<IpAddress> first, second;
  for (const IpAddress& address : resolved) {
    bool seen = false;
    for (const IpAddress& kept : first) seen = seen || kept == address;
    for (const IpAddress& kept : second) seen = seen || kept == address;
    if (seen) continue;
    (address.v6 == resolved.front().v6 ? first : second).push_back(address);
  }
  std::vector<IpAddress> ordered;
  for (size_t i = 0; i < first.size() || i < second.size(); ++i) {
    if (i < first.size()) ordered.push_back(first[i]);
    if (i < second.size()) ordered.push_back(second[i]);
  }
  return ordered;
}

void ClientSocket::CheckInactive() const {
  if (Active()) throw ESocketError("ソケットを使用中は値を変更できません");
}

void ClientSocket::SetHost(const std::string& host) {
  if (host == FHost) return;
  CheckInactive();
  FHost = host;
}

void ClientSocket::SetAddress(const std::string& address) {
  if (address == FAddress) return;
  CheckInactive();
  FAddress = address;
}

void ClientSocket::SetPort(int port) {
  if (port == FPort) return;
  CheckInactive();
  FPort = port;
}

void ClientSocket::ReportAsyncError(TErrorEvent event, int code) {
  if (OnError) {
    std::function<void(TErrorEvent, int&)> handler = OnError;
    handler(event, code);
  }
  if (code != 0) ThrowAsyncError(code);
}

void ClientSocket::ThrowAsyncError(int code) {
  throw ESocketError("非同期ソケットエラー " + std::to_string(code));
}

std::string ClientSocket::ErrorDescription(int code) {
  return ErrorText(code) + " (" + std::to_string(code) + ")";
}

int ClientSocket::ReportCallError(TErrorEvent event, int code) {
  if (OnError) {
    std::function<void(TErrorEvent, int&)> handler = OnError;
    handler(event, code);
  }
  return code;
}

void ClientSocket::ThrowApiError(int code, const char* api) { throw ESocketError(ApiFailure(code, api).Text()); }

Status ClientSocket::ApiFailure(int code, const char* api) {
  return Status::Failure(api, code, "Windows ソケットエラー： " + ErrorDescription(code) + " [API '" + api + "']");
}

}  // namespace qw

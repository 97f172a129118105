// Independent base64 helpers for the auth tests.
#pragma once

#include <string>

namespace qw::authtest {

inline std::string Base64Url(const std::string& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : bytes) {
    bits = (bits << 8) | static_cast<unsigned char>(c);
    count += 8;
    while (count >= 6) {
      out += kDigits[(bits >> (count - 6)) & 63];
      count -= 6;
    }
  }
  if (count > 0) out += kDigits[(bits << (6 - count)) & 63];
  return out;
}

inline std::string FromBase64(const std::string& text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+' || c == '-') v = 62;
    else if (c == '/' || c == '_') v = 63;
    else continue;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      out += static_cast<char>((bits >> (count - 8)) & 0xFF);
      count -= 8;
    }
  }
  return out;
}

}  // namespace qw::authtest

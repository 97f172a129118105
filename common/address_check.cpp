#include "common/address_check.h"

#include <cstring>

#include "platform/client_socket.h"

namespace qw {

namespace {

bool IsAsciiAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

bool IsAddressChar(char c) {
  if (IsAsciiAlnum(c)) return true;
  return c != '\0' && std::strchr("!#$%&'*+-./=?@^_`{|}~", c) != nullptr;
}

bool IsHostNameChar(char c) { return IsAsciiAlnum(c) || c == '-' || c == '.'; }

bool IsMailAddress(const std::string& text) {
  if (text.size() < 3) return false;
  const size_t at = text.find('@');
  if (at == std::string::npos || at + 1 == text.size()) return false;
  for (size_t i = 0; i < at; ++i) {
    if (!IsAddressChar(text[i])) return false;
  }
  return IsDomainName(text.substr(at + 1));
}

bool IsDomainName(const std::string& text) {
  for (char c : text) {
    if (!IsHostNameChar(c)) return false;
  }
  if (text.find("..") != std::string::npos) return false;
  const size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0) return false;
  return text.back() != '.';
}

}  // namespace qw

namespace qw {

bool IsServerName(const std::string& text) { return IsDomainName(text) || ParseHostLiteral(text); }

bool IsServerNameChar(char c) { return IsHostNameChar(c) || c == ':' || c == '[' || c == ']'; }

}  // namespace qw

#include "common/domain_name.h"

#include "platform/client_socket.h"

namespace qw {

bool IsLdhDomain(const std::string& text, size_t minLabels) {
  std::string name = text;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > 253) return false;
  size_t labels = 0;
  size_t start = 0;
  bool lastNumeric = true;
  for (;;) {
    size_t dot = name.find('.', start);
    size_t end = dot == std::string::npos ? name.size() : dot;
    size_t length = end - start;
    if (length == 0 || length > 63 || name[start] == '-' || name[end - 1] == '-') return false;
    lastNumeric = true;
    for (size_t i = start; i < end; ++i) {
      char c = name[i];
      bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      bool digit = c >= '0' && c <= '9';
      if (!letter && !digit && c != '-') return false;
      if (!digit) lastNumeric = false;
    }
    ++labels;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return labels >= minLabels && !lastNumeric;
}

bool IsFullDomain(const std::string& text) { return IsLdhDomain(text, 2); }

std::string GreetingNameFor(std::string localName, const std::string& localAddress) {
  if (!localName.empty() && localName.back() == '.') localName.pop_back();
  if (IsFullDomain(localName)) return localName;
  if (ParseDottedQuad(localAddress)) return "[" + localAddress + "]";
  if (ParseIpv6(localAddress)) return "[IPv6:" + localAddress + "]";
  if (IsLdhDomain(localName)) return localName;
  return "localhost";
}

}  // namespace qw

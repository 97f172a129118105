#include "mail/smtp_text.h"

#include <algorithm>

#include "common/comma_list.h"
#include "platform/ascii_text.h"

namespace qw {

std::string MakeTransparent(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 64 + 8);
  size_t lineStart = 0;
  while (lineStart <= text.size()) {
    size_t end = text.find("\r\n", lineStart);
    if (lineStart < text.size() && text[lineStart] == '.') out += '.';
    if (end == std::string::npos) {
      out.append(text, lineStart, std::string::npos);
      break;
    }
    out.append(text, lineStart, end + 2 - lineStart);
    lineStart = end + 2;
  }
  return out;
}

std::vector<std::string> EnvelopeAddresses(const std::string& recipients) {
  std::vector<std::string> envelope;
  for (std::string& item : ReadCommaList(recipients)) {
    if (item.empty()) continue;  // "a,,b" or a trailing comma names no one
    auto at = std::lower_bound(envelope.begin(), envelope.end(), item,
                               [](const std::string& a, const std::string& b) { return CompareCaseless(a, b) < 0; });
    if (at != envelope.end() && CompareCaseless(*at, item) == 0) continue;
    envelope.insert(at, std::move(item));
  }
  return envelope;
}

}  // namespace qw

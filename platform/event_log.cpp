#include "platform/event_log.h"

#include <cstdio>

#include "platform/text_codec.h"

namespace qw {

const char* EventTypeName(EventType type) {
  switch (type) {
    case EventType::Error: return "error";
    case EventType::Warning: return "warning";
    case EventType::Information: return "information";
  }
  return "information";
}

namespace {

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

std::string EventJsonLine(const std::string& source, EventType type, uint16_t category,
                          uint32_t eventId, const std::string& sjisText) {
  return "{\"source\":" + JsonString(SjisToUtf8(source)) + ",\"type\":\"" + EventTypeName(type) +
         "\",\"category\":" + std::to_string(category) + ",\"id\":" + std::to_string(eventId) +
         ",\"text\":" + JsonString(SjisToUtf8(sjisText)) + "}\n";
}

}  // namespace qw

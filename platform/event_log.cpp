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

std::u16string CutEventText(std::u16string text, size_t limit) {
  if (text.size() <= limit) return text;
  const std::u16string marker = kEventTextCutMarkerWide;
  size_t keep = limit > marker.size() ? limit - marker.size() : 0;
  // A high surrogate whose low half would be cut off goes too.
  if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;
  text.resize(keep);
  return text + (limit - keep >= marker.size() ? marker : std::u16string());
}

std::string CutEventTextSjis(std::string text, size_t limit) {
  if (text.size() <= limit) return text;  // no character is less than one byte
  // The byte where each character begins, as far as the limit reaches.
  auto widthAt = [&text](size_t at) -> size_t {
    const auto c = static_cast<unsigned char>(text[at]);
    if (((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) && at + 1 < text.size()) {
      const auto t = static_cast<unsigned char>(text[at + 1]);
      if ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC)) return 2;
    }
    return 1;
  };
  const size_t markerUnits = std::u16string(kEventTextCutMarkerWide).size();
  const size_t keepUnits = limit > markerUnits ? limit - markerUnits : 0;
  size_t units = 0;
  size_t at = 0;
  size_t keepBytes = 0;
  while (at < text.size() && units <= limit) {
    if (units == keepUnits) keepBytes = at;
    at += widthAt(at);
    ++units;
  }
  if (units <= limit && at >= text.size()) return text;  // double-byte characters: it fits
  text.resize(keepBytes);
  return text + (limit >= markerUnits ? kEventTextCutMarker : "");
}

std::string EventJsonLine(const std::string& source, EventType type, uint16_t category,
                          uint32_t eventId, const std::string& sjisText) {
  return "{\"source\":" + JsonString(SjisToUtf8(source)) + ",\"type\":\"" + EventTypeName(type) +
         "\",\"category\":" + std::to_string(category) + ",\"id\":" + std::to_string(eventId) +
         ",\"text\":" + JsonString(SjisToUtf8(sjisText)) + "}\n";
}

}  // namespace qw

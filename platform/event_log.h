// The Windows event log, as the service writes it: one entry is one event of
// a source with a type, a category, an event ID and one insertion string.
//
// Besides the system's log, every entry is appended as one JSON object on one
// line to the file named by the environment variable QUOTAWARDEN_EVENTLOG (or
// the file given to SetEventLogFile), text in UTF-8:
//   {"source":"Drivewarden","type":"warning","category":0,"id":5610,"text":"..."}
// Each line is appended with one write, so that processes never interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/status.h"

namespace qw {

enum class EventType : uint16_t {
  Error = 1,        // EVENTLOG_ERROR_TYPE
  Warning = 2,      // EVENTLOG_WARNING_TYPE
  Information = 4,  // EVENTLOG_INFORMATION_TYPE
};

const char* EventTypeName(EventType type);  // "error", "warning", "information"

// The ID an entry carries to ReportEventW, as the service program's message
// table (service/app/win32/messages.mc) defines it: the severity of `type` in
// the top two bits (1 information, 2 warning, 3 error), customer bit and
// facility clear, and `eventId` in the low sixteen bits, which is the event
// ID Event Viewer shows. Callers pass the plain ID (5610); only the Windows
// writer widens it, here.
constexpr uint32_t EventMessageId(EventType type, uint32_t eventId) {
  const uint32_t severity = type == EventType::Error ? 3u : type == EventType::Warning ? 2u : 1u;
  return (severity << 30) | (eventId & 0xFFFFu);
}

class EventLog {
 public:
  virtual ~EventLog() = default;
  // Reports one entry. `source` and `text` are Shift-JIS. A source is
  // registered at its first use and deregistered when the log is destroyed.
  virtual void Report(const std::string& source, EventType type, uint16_t category,
                      uint32_t eventId, const std::string& text) = 0;
};

// The event log takes at most kEventTextLimit UTF-16 code units in one
// insertion string (ReportEventW refuses a longer one, and the entry would be
// lost). A longer text is cut before it and ends with kEventTextCutMarker;
// both hosts cut alike, so that an entry reads the same on each.
inline constexpr size_t kEventTextLimit = 31839;
inline constexpr const char* kEventTextCutMarker = "...(以下省略)";
inline constexpr const char16_t* kEventTextCutMarkerWide = u"...(以下省略)";

// `text` as it fits in `limit` code units: unchanged when it does, else its
// beginning and the marker, never ending in half a surrogate pair.
std::u16string CutEventText(std::u16string text, size_t limit = kEventTextLimit);
// The same for Shift-JIS text, counting one code unit per character (every
// character of code page 932 is one UTF-16 code unit; so is a byte that is
// no character): never ends in half a double-byte character.
std::string CutEventTextSjis(std::string text, size_t limit = kEventTextLimit);

// The system's event log (POSIX: syslog). `jsonFile` overrides
// QUOTAWARDEN_EVENTLOG when not empty.
std::unique_ptr<EventLog> NewSystemEventLog(const std::string& jsonFile = "");

// The JSON line for one entry, newline included.
std::string EventJsonLine(const std::string& source, EventType type, uint16_t category,
                          uint32_t eventId, const std::string& sjisText);

// Appends `line` to `path` with a single write; a failure says which step
// failed and why (a short write is one).
Status AppendLineToFile(const std::string& path, const std::string& line);

}  // namespace qw

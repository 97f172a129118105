// The check's event log entries: every entry of the watch (event ID 5610,
// source Drivewarden) goes through one writer, which collapses blank lines
// and masks the SMTP login in the text.
#pragma once

#include <mutex>
#include <string>

#include "common/secret_mask.h"
#include "platform/event_log.h"

namespace qw {

// The source name of the service's event log entries.
inline constexpr const char* kEventSource = "Drivewarden";

class EntryWriter {
 public:
  explicit EntryWriter(EventLog& log) : log_(log) {}

  void Information(const std::string& text) { Write(EventType::Information, text); }
  void Warning(const std::string& text) { Write(EventType::Warning, text); }
  void Error(const std::string& text) { Write(EventType::Error, text); }
  void Write(EventType type, const std::string& text);

  // The login whose password (and its encoded forms) entries never show.
  void SetLogin(const std::string& user, const std::string& password);
  // One more secret entries never show, until the next SetLogin (the OAuth
  // 2.0 client secret). Empty: nothing.
  void AddSecret(const std::string& secret);
  // `text` with the login masked.
  std::string Mask(const std::string& text) const;

 private:
  EventLog& log_;
  mutable std::mutex mutex_;  // the mask: set by a load, read by any entry
  SecretMask mask_;
  std::mutex writeMutex_;  // one entry at a time, whichever thread writes
};

}  // namespace qw

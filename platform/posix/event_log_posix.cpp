#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/event_log.h"
#include "platform/system_error.h"
#include "platform/text_codec.h"

namespace qw {

Status AppendLineToFile(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return ErrnoFailure("open", errno);
  const ssize_t written = write(fd, line.data(), line.size());
  const int error = errno;
  close(fd);
  if (written < 0) return ErrnoFailure("write", error);
  if (written != static_cast<ssize_t>(line.size()))
    return Status::Failure("write", 0,
                           std::to_string(written) + " of " + std::to_string(line.size()) + " bytes written");
  return Status();
}

namespace {

class PosixEventLog : public EventLog {
 public:
  explicit PosixEventLog(std::string jsonFile) : jsonFile_(std::move(jsonFile)) {
    if (jsonFile_.empty()) {
      if (const char* env = std::getenv("QUOTAWARDEN_EVENTLOG")) jsonFile_ = env;
    }
  }

  void Report(const std::string& source, EventType type, uint16_t category, uint32_t eventId,
              const std::string& fullText) override {
    // Cut as the Windows event log needs it, so that both hosts write the
    // same entry (and no datagram to syslog grows without bound).
    const std::string text = CutEventTextSjis(fullText);
    int priority = type == EventType::Error     ? LOG_ERR
                   : type == EventType::Warning ? LOG_WARNING
                                                : LOG_INFO;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::string ident = SjisToUtf8(source);
      openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
      syslog(priority, "[%u] %s", static_cast<unsigned>(eventId), SjisToUtf8(text).c_str());
      closelog();
    }
    if (!jsonFile_.empty()) {
      // The entry is in syslog already; what the file missed is said on
      // stderr, the host's console or journal.
      const Status appended = AppendLineToFile(jsonFile_, EventJsonLine(source, type, category, eventId, text));
      if (!appended)
        std::fprintf(stderr, "Quotawarden: the events file %s: %s; the entry: %s\n", jsonFile_.c_str(),
                     appended.Describe().c_str(), SjisToUtf8(text).c_str());
    }
  }

 private:
  std::string jsonFile_;
  std::mutex mutex_;
};

}  // namespace

std::unique_ptr<EventLog> NewSystemEventLog(const std::string& jsonFile) {
  return std::make_unique<PosixEventLog>(jsonFile);
}

}  // namespace qw

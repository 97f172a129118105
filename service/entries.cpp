#include "service/entries.h"

#include "common/drivewarden_common.h"
#include "service/report.h"

namespace qw {

void EntryWriter::Write(EventType type, const std::string& text) {
  const std::string masked = Mask(CollapseBlankLines(text));
  // The mail and the webhooks of a check write from threads of their own.
  std::lock_guard<std::mutex> lock(writeMutex_);
  log_.Report(kEventSource, type, 0, kCheckEventId, masked);
}

void EntryWriter::SetLogin(const std::string& user, const std::string& password) {
  SecretMask mask = LoginMask(user, password);
  std::lock_guard<std::mutex> lock(mutex_);
  mask_ = std::move(mask);
}

void EntryWriter::AddSecret(const std::string& secret) {
  std::lock_guard<std::mutex> lock(mutex_);
  mask_.AddSecret(secret);
}

std::string EntryWriter::Mask(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return mask_.Apply(text);
}

}  // namespace qw

#include "service/history_store.h"

#include <algorithm>

#include "platform/files.h"
#include "service/check_record.h"

namespace qw {

void HistoryStore::SetFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (folder == folder_) return;
  folder_ = folder;
  loaded_ = false;
}

void HistoryStore::NewRun() {
  std::lock_guard<std::mutex> lock(mutex_);
  writeFailureReported_ = false;
}

void HistoryStore::LoadOnce() {
  if (loaded_) return;
  loaded_ = true;
  history_ = VolumeHistory();
  if (folder_.empty()) return;
  const std::string path = JoinPath(folder_, kHistoryFileName);
  std::string reason;
  try {
    const Result<std::string> text = ReadWholeFile(path, kHistoryFileLimit);
    if (text.status().IsNotFound()) return;
    if (!text.Ok()) {
      reason = text.status().Describe();
    } else {
      Result<VolumeHistory> parsed = VolumeHistory::Parse(*text);
      if (parsed.Ok())
        history_ = std::move(*parsed);
      else
        reason = parsed.status().Describe();
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  // The next write replaces the damaged file with the fresh history.
  if (!reason.empty()) entries_.Error(std::string(kHistoryNotRead) + path + ": " + reason);
}

void HistoryStore::Record(const std::map<std::string, VolumeMeasure>& measures, int64_t nowUtc) {
  std::string text;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LoadOnce();
    for (const auto& [volume, measure] : measures)
      if (measure.freeBytes >= 0)
        history_.Add(volume, nowUtc, measure.freeBytes, std::max<int64_t>(measure.capacity, 0));
    history_.Thin(nowUtc);
    if (folder_.empty()) return;
    path = JoinPath(folder_, kHistoryFileName);
    text = history_.Format();
  }
  std::string reason;
  try {
    const Status written =
        BoundedWrite(calls_, "history", [path, text] { return ReplaceFileAtomically(path, text); }, boundMs_);
    if (written.Ok()) return;
    reason = written.Describe();
  } catch (const std::exception& e) {
    reason = e.what();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (writeFailureReported_) return;
  writeFailureReported_ = true;
  entries_.Error(std::string(kHistoryNotWritten) + path + ": " + reason);
}

VolumeHistory HistoryStore::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  LoadOnce();
  return history_;
}

}  // namespace qw

// The free-space history as the service keeps it: read once per process
// from the state folder, a sample added per volume at each check and each
// hourly sampling, the file replaced atomically after each (bounded as the
// state file's write is). A damaged file is one error entry and a fresh
// history; a file that cannot be written is one error entry per start. A
// failure never stops the watch.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "common/volume_history.h"
#include "service/bounded_calls.h"
#include "service/entries.h"

namespace qw {

inline constexpr const char* kHistoryNotRead = "履歴ファイルを読めません。新しい履歴を始めます: ";
inline constexpr const char* kHistoryNotWritten = "履歴ファイルを書き込めません: ";

// One measurement of a volume.
struct VolumeMeasure {
  int64_t freeBytes = -1;  // -1: not measured (no sample)
  int64_t capacity = -1;
};

class HistoryStore {
 public:
  HistoryStore(EntryWriter& entries, BoundedCalls& calls, int64_t boundMs)
      : entries_(entries), calls_(calls), boundMs_(boundMs) {}

  // The folder of history.txt (the state folder); empty keeps the history
  // in memory only. Another folder is read anew at the next use.
  void SetFolder(const std::string& folder);
  // A start: a write failure is told once again.
  void NewRun();
  // Adds the measured volumes of `measures` at `nowUtc` and writes the file.
  void Record(const std::map<std::string, VolumeMeasure>& measures, int64_t nowUtc);
  // A copy of the history (read from the folder first if not yet).
  VolumeHistory Snapshot();

 private:
  void LoadOnce();

  EntryWriter& entries_;
  BoundedCalls& calls_;
  const int64_t boundMs_;
  std::mutex mutex_;
  std::string folder_;
  bool loaded_ = false;
  bool writeFailureReported_ = false;
  VolumeHistory history_;
};

}  // namespace qw

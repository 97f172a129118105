// The free-space history: per volume, samples of its free bytes and size in
// time, kept beside the last-check state (history.txt) so that the trend of
// the last days can be told. The history thins itself as it ages: one sample
// per hour for the last 7 days, one per day before that, nothing older than
// 90 days, so a volume costs at most about 10 KB of file (253 samples of at
// most 40 bytes). A volume that is no longer measured keeps its samples until
// they are 90 days old.
//
// Volumes are named by a string ("C:" today; a mount path is as good), any
// text without control characters.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qw {

inline constexpr const char* kHistoryFileName = "history.txt";
// The most a history file may hold; a larger one is not read (it is no
// file this program wrote: 1,000 volumes fit in 10 MB).
inline constexpr size_t kHistoryFileLimit = 16u << 20;

inline constexpr int64_t kHistoryHourlySeconds = 7 * 86400;
inline constexpr int64_t kHistoryKeepSeconds = 90 * 86400;

struct VolumeSample {
  int64_t utcSeconds = 0;  // seconds since 1970-01-01 UTC
  int64_t freeBytes = 0;
  int64_t capacity = 0;
};

class VolumeHistory {
 public:
  // Adds one measurement of `volume` at `utcSeconds`, then thins that
  // volume's samples as of that moment (as Thin does; other volumes wait
  // for the next Thin). A sample in the same hour (or, in the
  // daily range, day) as another replaces it: the later one stays. A name
  // with control characters, or negative bytes, is not taken (false).
  bool Add(const std::string& volume, int64_t utcSeconds, int64_t freeBytes, int64_t capacity);
  // Thins as of `nowUtc`: drops samples older than 90 days, keeps the last
  // sample of each UTC hour for the last 7 days and of each UTC day before,
  // and drops volumes left without samples. Samples after `nowUtc` are
  // dropped too: the clock was set back, and a series must run forward in
  // time for its trend to mean anything.
  void Thin(int64_t nowUtc);

  // The samples of `volume` in time order (empty when it has none).
  const std::vector<VolumeSample>& Samples(const std::string& volume) const;
  std::vector<std::string> Volumes() const;
  bool Empty() const { return volumes_.empty(); }

  // The file text: "quotawarden-history 1", then per volume a line
  // "volume <name>" and one line "<utc seconds> <free bytes> <size bytes>"
  // per sample; LF line ends.
  std::string Format() const;
  // Reads Format's text (CR LF line ends too). A text that is not one
  // (another first line, a sample before any volume, a field that is not a
  // decimal number, samples out of order) fails with the line it stopped at.
  static Result<VolumeHistory> Parse(const std::string& text);

 private:
  std::map<std::string, std::vector<VolumeSample>> volumes_;
};

}  // namespace qw

// The free-space history at its largest and the forecast over it: 64
// volumes with 90 days of hourly samples, thinned as the service keeps
// them. Times the file's text both ways (Format, Parse), its write and read
// through the platform (atomic replacement, whole-file read), and the
// forecast of every volume; beside the forecast, its peer in the same run:
// an ordinary least-squares slope over the same samples, which shows what
// the robust fit costs.
//
// Prints microseconds per volume for each; exits 1 when one of them takes a
// millisecond or more per volume, or when the text read back differs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "common/fill_forecast.h"
#include "common/volume_history.h"
#include "platform/files.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kVolumes = 64;
constexpr int kRounds = 50;
constexpr int64_t kStart = 1760000000;
constexpr int64_t kGiB = int64_t{1} << 30;

// Median microseconds per volume of `kRounds` runs of `work`.
double PerVolume(const std::function<void()>& work) {
  std::vector<double> times;
  for (int round = 0; round < kRounds; ++round) {
    const auto begin = Clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count() / kVolumes);
  }
  std::nth_element(times.begin(), times.begin() + kRounds / 2, times.end());
  return times[kRounds / 2];
}

double LeastSquaresPerDay(const std::vector<qw::VolumeSample>& samples, int64_t now) {
  double n = 0, st = 0, sy = 0, stt = 0, sty = 0;
  for (const qw::VolumeSample& s : samples) {
    if (now - s.utcSeconds > qw::kForecastWindowSeconds) continue;
    const double t = static_cast<double>(s.utcSeconds - now), y = static_cast<double>(s.freeBytes);
    n += 1, st += t, sy += y, stt += t * t, sty += t * y;
  }
  return (n * sty - st * sy) / (n * stt - st * st) * 86400.0;
}

}  // namespace

int main() {
  qw::VolumeHistory history;
  int64_t now = kStart;
  for (int hour = 0; hour < 90 * 24; ++hour) {
    now = kStart + int64_t{hour} * 3600;
    for (int v = 0; v < kVolumes; ++v)
      history.Add("V" + std::to_string(v) + ":", now, 900 * kGiB - int64_t{hour} * (v + 1) * 1000000 + (hour % 7) * 4096,
                  1000 * kGiB);
    history.Thin(now);
  }
  const std::string text = history.Format();
  const auto parsed = qw::VolumeHistory::Parse(text);
  if (!parsed.Ok() || parsed->Format() != text) {
    std::fprintf(stderr, "bench_history: the text does not read back\n");
    return 1;
  }
  const std::string folder = (std::filesystem::temp_directory_path() / "qw_bench_history").string();
  std::filesystem::create_directories(folder);
  const std::string path = qw::JoinPath(folder, qw::kHistoryFileName);

  size_t sink = 0;
  double sinkRate = 0;
  struct Row {
    const char* what;
    double us;
  };
  const Row rows[] = {
      {"format", PerVolume([&] { sink += history.Format().size(); })},
      {"parse", PerVolume([&] { sink += qw::VolumeHistory::Parse(text)->Volumes().size(); })},
      {"write (atomic replace)", PerVolume([&] { sink += qw::ReplaceFileAtomically(path, text).Ok(); })},
      {"read", PerVolume([&] { sink += qw::ReadWholeFile(path, qw::kHistoryFileLimit)->size(); })},
      {"forecast (Theil-Sen)", PerVolume([&] {
         for (const std::string& volume : history.Volumes())
           if (const auto f = qw::ForecastFill(history.Samples(volume), 10 * kGiB, now)) sinkRate += f->bytesPerDay;
       })},
      {"peer: least squares", PerVolume([&] {
         for (const std::string& volume : history.Volumes())
           sinkRate += LeastSquaresPerDay(history.Samples(volume), now);
       })},
  };
  std::filesystem::remove_all(folder);
  std::printf("history of %d volumes, %zu samples each, %zu bytes (%zu per volume)\n", kVolumes,
              history.Samples("V0:").size(), text.size(), text.size() / kVolumes);
  int slow = 0;
  for (const Row& row : rows) {
    std::printf("  %-24s %8.2f us per volume\n", row.what, row.us);
    if (row.us >= 1000) ++slow;
  }
  if (sink == 0 || sinkRate == 0) std::printf("(nothing measured)\n");
  if (slow) std::fprintf(stderr, "bench_history: %d step(s) take a millisecond or more per volume\n", slow);
  return slow ? 1 : 0;
}

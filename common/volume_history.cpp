#include "common/volume_history.h"

#include <algorithm>
#include <charconv>

namespace qw {
namespace {

const char kMagic[] = "quotawarden-history 1";
const char kVolumeWord[] = "volume ";

bool GoodName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

// Floor division, also for times before 1970.
int64_t Bucket(int64_t seconds, int64_t size) {
  return seconds >= 0 ? seconds / size : -((-seconds + size - 1) / size);
}

// Decimal digits only, at most 18 of them (no sign, no overflow).
bool ReadNumber(const std::string& field, int64_t* value) {
  if (field.empty() || field.size() > 18) return false;
  int64_t n = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *value = n;
  return true;
}

Status Damaged(size_t lineNumber, const std::string& why) {
  return Status::Failure("", 0, std::to_string(lineNumber) + " 行目: " + why);
}

// Keeps what Thin keeps of one volume's samples (in time order).
void ThinSamples(std::vector<VolumeSample>& samples, int64_t nowUtc) {
  std::vector<VolumeSample> kept;
  kept.reserve(samples.size());
  const auto bucketOf = [nowUtc](int64_t t) {
    // Hour buckets and day buckets never share a number: days are negative.
    return nowUtc - t <= kHistoryHourlySeconds ? Bucket(t, 3600) : -1 - Bucket(t, 86400);
  };
  for (const VolumeSample& sample : samples) {
    if (sample.utcSeconds > nowUtc || nowUtc - sample.utcSeconds > kHistoryKeepSeconds) continue;
    // The later sample of a bucket replaces the earlier one.
    if (!kept.empty() && bucketOf(kept.back().utcSeconds) == bucketOf(sample.utcSeconds))
      kept.back() = sample;
    else
      kept.push_back(sample);
  }
  samples = std::move(kept);
}

}  // namespace

bool VolumeHistory::Add(const std::string& volume, int64_t utcSeconds, int64_t freeBytes, int64_t capacity) {
  if (!GoodName(volume) || freeBytes < 0 || capacity < 0 || utcSeconds < 0) return false;
  std::vector<VolumeSample>& samples = volumes_[volume];
  const auto at = std::upper_bound(samples.begin(), samples.end(), utcSeconds,
                                   [](int64_t t, const VolumeSample& s) { return t < s.utcSeconds; });
  samples.insert(at, VolumeSample{utcSeconds, freeBytes, capacity});
  ThinSamples(samples, utcSeconds);
  return true;
}

void VolumeHistory::Thin(int64_t nowUtc) {
  for (auto it = volumes_.begin(); it != volumes_.end();) {
    ThinSamples(it->second, nowUtc);
    if (it->second.empty())
      it = volumes_.erase(it);
    else
      ++it;
  }
}

const std::vector<VolumeSample>& VolumeHistory::Samples(const std::string& volume) const {
  static const std::vector<VolumeSample> kNone;
  const auto it = volumes_.find(volume);
  return it == volumes_.end() ? kNone : it->second;
}

std::vector<std::string> VolumeHistory::Volumes() const {
  std::vector<std::string> names;
  for (const auto& entry : volumes_) names.push_back(entry.first);
  return names;
}

std::string VolumeHistory::Format() const {
  size_t size = sizeof kMagic;
  for (const auto& [name, samples] : volumes_) size += sizeof kVolumeWord + name.size() + samples.size() * 60;
  std::string text;
  text.reserve(size);
  text += kMagic;
  text += '\n';
  char line[64];
  for (const auto& [name, samples] : volumes_) {
    text += kVolumeWord;
    text += name;
    text += '\n';
    for (const VolumeSample& s : samples) {
      char* at = std::to_chars(line, line + 20, s.utcSeconds).ptr;
      *at++ = ' ';
      at = std::to_chars(at, at + 20, s.freeBytes).ptr;
      *at++ = ' ';
      at = std::to_chars(at, at + 20, s.capacity).ptr;
      *at++ = '\n';
      text.append(line, at);
    }
  }
  return text;
}

Result<VolumeHistory> VolumeHistory::Parse(const std::string& text) {
  VolumeHistory history;
  std::vector<VolumeSample>* current = nullptr;
  size_t lineNumber = 0;
  size_t p = 0;
  bool sawMagic = false;
  while (p < text.size()) {
    size_t end = text.find('\n', p);
    // A last line without its LF is a file cut short: its number may be cut.
    if (end == std::string::npos) return Damaged(lineNumber + 1, "行が途中で終わっています");
    std::string line = text.substr(p, end - p);
    p = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!sawMagic) {
      if (line != kMagic) return Damaged(lineNumber, "履歴ファイルの形式ではありません");
      sawMagic = true;
      continue;
    }
    if (line.compare(0, sizeof kVolumeWord - 1, kVolumeWord) == 0) {
      const std::string name = line.substr(sizeof kVolumeWord - 1);
      if (!GoodName(name)) return Damaged(lineNumber, "ボリューム名がありません");
      if (history.volumes_.count(name)) return Damaged(lineNumber, "ボリューム " + name + " が二度あります");
      current = &history.volumes_[name];
      continue;
    }
    if (!current) return Damaged(lineNumber, "ボリュームの前に記録があります");
    VolumeSample sample;
    const size_t a = line.find(' ');
    const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (b == std::string::npos || !ReadNumber(line.substr(0, a), &sample.utcSeconds) ||
        !ReadNumber(line.substr(a + 1, b - a - 1), &sample.freeBytes) ||
        !ReadNumber(line.substr(b + 1), &sample.capacity))
      return Damaged(lineNumber, "記録が「時刻 空き容量 全容量」の形ではありません");
    if (!current->empty() && current->back().utcSeconds >= sample.utcSeconds)
      return Damaged(lineNumber, "記録の時刻が順に並んでいません");
    current->push_back(sample);
  }
  if (!sawMagic) return Damaged(1, "履歴ファイルの形式ではありません");
  for (const auto& entry : history.volumes_)
    if (entry.second.empty()) return Damaged(lineNumber, "ボリューム " + entry.first + " に記録がありません");
  return history;
}

}  // namespace qw

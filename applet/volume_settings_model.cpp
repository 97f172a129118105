#include "applet/volume_settings_model.h"

#include <cctype>
#include <cstdio>
#include <chrono>
#include <map>
#include <memory>
#include <set>

#include "common/comma_list.h"
#include "common/drivewarden_common.h"
#include "common/errors.h"
#include "common/watch_settings.h"
#include "platform/ascii_text.h"
#include "service/bounded_calls.h"
#include "service/report.h"

namespace qw {
namespace {

constexpr const char* kMsgNoKey =
    "このボリュームにはマウント パスがないため、しきい値を個別に設定できません。既定のしきい値で監視されます。";
constexpr const char* kMsgNoRow = "ボリュームを選んでください。";
constexpr const char* kMsgBadLimit = "しきい値を読み取れません。\r\r";

bool IsLetterRoot(const std::string& key) {
  return key.size() == 3 && std::isalpha(static_cast<unsigned char>(key[0])) && key[1] == ':' && key[2] == '\\';
}

// The fixed letter among a volume's paths, or 0.
char LetterOf(const VolumeInfo& volume, const std::string& fixedLetters) {
  for (const std::string& path : volume.paths) {
    const std::string key = MountPathKey(path);
    if (IsLetterRoot(key) && fixedLetters.find(key[0]) != std::string::npos) return key[0];
  }
  return 0;
}

// Whether `path` (as written) names one of the volume's paths.
bool Names(const VolumeInfo& volume, const std::string& path) {
  const std::string key = MountPathKey(path);
  for (const std::string& p : volume.paths)
    if (MountPathKey(p) == key) return true;
  return false;
}

// IGNORE as a list of path keys, for comparing two lists.
std::set<std::string> PathKeys(const std::vector<std::string>& paths) {
  std::set<std::string> keys;
  for (const std::string& path : paths) keys.insert(MountPathKey(path));
  return keys;
}

std::vector<std::string> IgnoreOfFile(const ProfileSnapshot& ini) {
  std::vector<std::string> paths;
  for (const std::string& item : ReadCommaList(ini.ReadString(kSectionVolume, kKeyIgnore, "")))
    if (!TrimControls(item).empty()) paths.emplace_back(TrimControls(item));
  return paths;
}

// The keys of [VOLUME] other than IGNORE, as (key as written, value).
std::vector<std::pair<std::string, std::string>> PathKeysOfFile(const ProfileSnapshot& ini) {
  std::vector<std::pair<std::string, std::string>> keys;
  for (const std::string& key : ini.ReadKeys(kSectionVolume)) {
    if (EqualsCaseless(key, kKeyIgnore)) continue;
    keys.emplace_back(key, std::string(TrimControls(ini.ReadString(kSectionVolume, key, ""))));
  }
  return keys;
}

}  // namespace

std::string VolumeSizeText(int64_t bytes) {
  if (bytes < 0) return "-";
  constexpr double kMiB = 1024.0 * 1024.0;
  const double mib = static_cast<double>(bytes) / kMiB;
  char text[32];
  if (mib >= 1024.0 * 1024.0) {
    std::snprintf(text, sizeof text, "%.1f TB", mib / (1024.0 * 1024.0));
  } else if (mib >= 1024.0) {
    std::snprintf(text, sizeof text, "%.1f GB", mib / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.0f MB", mib);
  }
  return text;
}

void VolumeSettingsModel::Load(const ProfileSnapshot& ini, const std::string& fixedLetters,
                               const std::string& decimalSeparator) {
  rows_.clear();
  volumes_.clear();
  otherIgnored_.clear();
  listingError_.clear();
  fixedLetters_ = fixedLetters;
  decimalSeparator_ = decimalSeparator;
  defaultText_ = std::string(TrimControls(ini.ReadString(kSectionDrive, kKeyDefault, "")));

  // The listing and the measurements are bounded: a volume that does not
  // answer must not hold the dialog.
  BoundedCalls calls;
  struct Listing {
    Result<std::vector<VolumeInfo>> volumes = Status::Failure("ListVolumes", 0, "no answer");
  };
  auto listing = std::make_shared<Listing>();
  Drives* drives = &drives_;
  const BoundedCalls::Start started = calls.Begin("list", [listing, drives] {
    try {
      listing->volumes = drives->ListVolumes();
    } catch (const std::exception& e) {
      listing->volumes = Status::Failure("ListVolumes", 0, e.what());
    }
  });
  if (started == BoundedCalls::Start::Started)
    calls.Wait({"list"}, std::chrono::milliseconds(boundMs_), false).Ignore();
  if (started != BoundedCalls::Start::Started || !calls.Returned("list")) {
    listing_ = Status::Failure("ListVolumes", 0, "ボリュームの一覧が時間内に得られません", StatusKind::kTimedOut);
  } else if (!listing->volumes.Ok()) {
    listing_ = listing->volumes.status();
  } else {
    listing_ = Status();
    volumes_ = *listing->volumes;
  }
  if (!listing_.Ok()) listingError_ = listing_.Text();

  const auto fileKeys = PathKeysOfFile(ini);
  const std::vector<std::string> ignored = IgnoreOfFile(ini);
  std::vector<bool> keyUsed(fileKeys.size(), false), ignoreUsed(ignored.size(), false);
  std::vector<std::string> measured;
  for (const VolumeInfo& volume : volumes_) {
    size_t key = fileKeys.size();
    for (size_t k = 0; k < fileKeys.size() && key == fileKeys.size(); ++k)
      if (Names(volume, fileKeys[k].first)) key = k;
    if (volume.kind == VolumeKind::kOther) continue;
    // Pseudo file systems are rows only when a key names them.
    if (volume.kind == VolumeKind::kMemory && key == fileKeys.size()) continue;
    VolumeRow row;
    row.label = volume.label;
    row.fileSystem = volume.fileSystem;
    row.kind = volume.kind;
    row.letter = LetterOf(volume, fixedLetters);
    row.keyable = !volume.paths.empty();
    row.path = ShownMountPath(MeasuredPath(volume));
    for (size_t i = 0; i < ignored.size(); ++i) {
      if (!Names(volume, ignored[i])) continue;
      ignoreUsed[i] = true;
      row.choice = VolumeChoice::Ignored;
    }
    // A letter's [VOLUME] key is left as the file has it: the letter's
    // threshold is its [DRIVE] key.
    if (key != fileKeys.size() && row.letter == 0) {
      keyUsed[key] = true;
      row.path = fileKeys[key].first;
      if (row.choice != VolumeChoice::Ignored) {
        row.choice = VolumeChoice::Own;
        row.limitText = fileKeys[key].second;
      }
    } else if (key != fileKeys.size()) {
      keyUsed[key] = true;
    }
    measured.push_back(MeasuredPath(volume));
    rows_.push_back(std::move(row));
  }
  // Keys that name no volume here: shown, so that they can be taken out.
  for (size_t k = 0; k < fileKeys.size(); ++k) {
    if (keyUsed[k]) continue;
    VolumeRow row;
    row.path = fileKeys[k].first;
    row.listed = false;
    row.choice = VolumeChoice::Own;
    row.limitText = fileKeys[k].second;
    rows_.push_back(std::move(row));
  }
  for (size_t i = 0; i < ignored.size(); ++i)
    if (!ignoreUsed[i]) otherIgnored_.push_back(ignored[i]);

  const std::map<std::string, DriveAnswer> answers =
      MeasurePaths(calls, drives_, measured, boundMs_);
  size_t m = 0;
  for (VolumeRow& row : rows_) {
    if (!row.listed) continue;
    const auto answer = answers.find(measured[m++]);
    if (answer == answers.end() || !answer->second.measured) continue;
    row.measured = true;
    row.freeBytes = answer->second.freeBytes;
    row.totalBytes = answer->second.totalBytes;
  }
}

void VolumeSettingsModel::SetLetterLimits(const std::vector<std::pair<char, std::string>>& limits) {
  letterLimits_ = limits;
  for (VolumeRow& row : rows_) {
    if (row.letter == 0) continue;
    const std::string limit = LetterLimit(row.letter);
    if (!TrimControls(limit).empty()) {
      row.choice = VolumeChoice::Own;
      row.limitText = limit;
    } else if (row.choice == VolumeChoice::Own) {
      row.choice = VolumeChoice::Default;
      row.limitText.clear();
    }
  }
}

std::string VolumeSettingsModel::LetterLimit(char letter) const {
  for (const auto& [l, text] : letterLimits_)
    if (l == letter) return text;
  return "";
}

Status VolumeSettingsModel::SetChoice(int index, VolumeChoice choice, const std::string& limitText) {
  if (index < 0 || index >= static_cast<int>(rows_.size()))
    return Status::Failure("SetChoice", 0, kMsgNoRow, StatusKind::kRejected);
  VolumeRow& row = rows_[static_cast<size_t>(index)];
  if (!row.keyable && choice != VolumeChoice::Default)
    return Status::Failure("SetChoice", 0, kMsgNoKey, StatusKind::kRejected);
  if (choice == VolumeChoice::Own) {
    // The size of the volume does not decide whether the text holds.
    const Result<int64_t> bytes = ParseThreshold(limitText, -1, decimalSeparator_);
    if (!bytes) return Status::Failure("SetChoice", 0, kMsgBadLimit + bytes.status().Text(),
                                       StatusKind::kRejected);
  }
  row.choice = choice;
  row.limitText = choice == VolumeChoice::Own ? limitText : "";
  return Status();
}

std::string VolumeSettingsModel::ChoiceText(const VolumeRow& row) const {
  switch (row.choice) {
    case VolumeChoice::Own:
      return row.limitText;
    case VolumeChoice::Ignored:
      return "監視しない";
    case VolumeChoice::Default:
      break;
  }
  // DEFAULT reaches the fixed volumes that are mounted.
  if (defaultText_.empty() || !row.listed || row.kind != VolumeKind::kFixed) return "なし";
  return "既定 (" + defaultText_ + ")";
}

std::string VolumeSettingsModel::StateText() const {
  std::string text = "DEFAULT=" + defaultText_ + "\r\n";
  for (const VolumeRow& row : rows_) {
    text += row.path + "=" + std::to_string(static_cast<int>(row.choice)) + ":" + row.limitText + "\r\n";
  }
  return text;
}

void VolumeSettingsModel::Apply(ProfileSnapshot& ini) const {
  const std::string fileDefault(TrimControls(ini.ReadString(kSectionDrive, kKeyDefault, "")));
  if (defaultText_ != fileDefault) {
    if (defaultText_.empty())
      ini.DeleteKey(kSectionDrive, kKeyDefault);
    else
      ini.WriteString(kSectionDrive, kKeyDefault, defaultText_);
  }
  // Each row's own key (letters keep theirs in [DRIVE]); a row without a
  // threshold of its own has no key.
  for (const VolumeRow& row : rows_) {
    if (row.letter != 0 || !row.keyable) continue;
    if (row.choice == VolumeChoice::Own) {
      if (ini.ReadString(kSectionVolume, row.path, "\x01") != row.limitText)
        ini.WriteString(kSectionVolume, row.path, row.limitText);
    } else {
      ini.DeleteKey(kSectionVolume, row.path);  // nothing when there is none
    }
  }
  std::vector<std::string> ignore;
  for (const VolumeRow& row : rows_)
    if (row.choice == VolumeChoice::Ignored) ignore.push_back(row.path);
  ignore.insert(ignore.end(), otherIgnored_.begin(), otherIgnored_.end());
  if (PathKeys(ignore) != PathKeys(IgnoreOfFile(ini))) {
    if (ignore.empty())
      ini.DeleteKey(kSectionVolume, kKeyIgnore);
    else
      ini.WriteString(kSectionVolume, kKeyIgnore, WriteCommaList(ignore));
  }
}

Status VolumeSettingsModel::Check(const ProfileSnapshot& file) const {
  ProfileSnapshot composed = file;
  Apply(composed);
  try {
    const VolumeSettings settings = ReadVolumeSettings(composed, decimalSeparator_);
    // Without a listing here (it failed or did not answer in time) the keys
    // are held to their form only: the service lists the volumes itself.
    if (listing_.Ok()) WatchedVolumes(settings, volumes_, listing_, fixedLetters_);
  } catch (const EConvertError& e) {
    return Status::Failure("VolumeSettings", 0, e.what(), StatusKind::kRejected);
  }
  return Status();
}

}  // namespace qw

#include "common/volume_settings.h"

#include <cctype>
#include <map>

#include "common/comma_list.h"
#include "common/drivewarden_common.h"
#include "common/errors.h"
#include "common/watch_settings.h"
#include "platform/ascii_text.h"

namespace qw {
namespace {

std::string RootOf(char letter) { return std::string{letter, ':', '\\'}; }

bool IsLetterRoot(const std::string& key) {
  return key.size() == 3 && std::isalpha(static_cast<unsigned char>(key[0])) && key[1] == ':' && key[2] == '\\';
}

EConvertError VolumeKeyError(const std::string& key, const std::string& value, const std::string& reason) {
  return SettingsValueError(kIniFileName, kSectionVolume, key, value, reason);
}

bool Watches(const std::string& text) {
  const Result<int64_t> bytes = ParseThreshold(text, -1, ".");
  // A share of a volume of unknown size gives no bytes yet but watches.
  return IsWatchingThreshold(text, bytes.value_or(0));
}

// A path that starts at a root, in the form of either host: "/x", "C:",
// "C:\x", "\\?\Volume{...}\". On the other host's form the listing
// decides (no volume is mounted there).
bool IsMountPathForm(const std::string& path) {
  if (!path.empty() && path[0] == '/') return true;
  if (path.rfind("\\\\", 0) == 0) return true;
  return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
         (path.size() == 2 || path[2] == '\\' || path[2] == '/');
}

bool Ignored(const VolumeSettings& settings, const std::string& pathKey) {
  for (const std::string& path : settings.ignore)
    if (MountPathKey(path) == pathKey) return true;
  return false;
}

}  // namespace

VolumeSettings ReadVolumeSettings(const ProfileSnapshot& ini, const std::string& decimalSeparator) {
  VolumeSettings settings;
  settings.defaultText = std::string(TrimControls(ini.ReadString(kSectionDrive, kKeyDefault, "")));
  if (!settings.defaultText.empty()) {
    const Result<int64_t> bytes = ParseThreshold(settings.defaultText, -1, decimalSeparator);
    if (!bytes)
      throw SettingsValueError(kIniFileName, kSectionDrive, kKeyDefault, settings.defaultText, bytes.status().Text());
  }
  std::map<std::string, std::string> seen;  // path key -> the key as written
  for (const std::string& key : ini.ReadKeys(kSectionVolume)) {
    const std::string value = ini.ReadString(kSectionVolume, key, "");
    if (EqualsCaseless(key, kKeyIgnore)) {
      for (const std::string& item : ReadCommaList(value)) {
        const std::string path(TrimControls(item));
        if (path.empty()) continue;
        if (!IsMountPathForm(path))
          throw VolumeKeyError(kKeyIgnore, value, "'" + path + "' は絶対パスではありません");
        settings.ignore.push_back(path);
      }
      continue;
    }
    // "C:" names the root of C as "C:\" does.
    if (!IsMountPathForm(key)) throw VolumeKeyError(key, value, "キーが絶対パスではありません");
    const std::string text(TrimControls(value));
    const Result<int64_t> bytes = ParseThreshold(text, -1, decimalSeparator);
    if (!bytes) throw VolumeKeyError(key, value, bytes.status().Text());
    const auto [previous, added] = seen.emplace(MountPathKey(key), key);
    if (!added) throw VolumeKeyError(key, value, "同じパスのキー " + previous->second + " がすでにあります");
    settings.keys.push_back({key, text});
  }
  return settings;
}

std::vector<WatchedVolume> WatchedVolumes(const VolumeSettings& settings, const std::vector<VolumeInfo>& volumes,
                                          const Status& listing, const std::string& letters) {
  std::vector<WatchedVolume> watched;
  if (settings.defaultText.empty() && settings.keys.empty()) return watched;
  if (!listing.Ok()) {
    const std::string reason = "ボリュームの一覧を得られません: " + listing.Text();
    if (!settings.keys.empty()) throw VolumeKeyError(settings.keys.front().path, settings.keys.front().text, reason);
    throw SettingsValueError(kIniFileName, kSectionDrive, kKeyDefault, settings.defaultText, reason);
  }
  // Which volume each key names: a key names one of the volume's paths.
  std::map<size_t, const VolumeThresholdKey*> keyOf;
  for (const VolumeThresholdKey& key : settings.keys) {
    const std::string pathKey = MountPathKey(key.path);
    size_t found = volumes.size();
    for (size_t i = 0; i < volumes.size() && found == volumes.size(); ++i)
      for (const std::string& path : volumes[i].paths)
        if (MountPathKey(path) == pathKey) found = i;
    // A letter's root with no volume listed (Wine lists none) is the letter's.
    if (found == volumes.size() && IsLetterRoot(pathKey) && letters.find(pathKey[0]) != std::string::npos) continue;
    if (found == volumes.size() || volumes[found].kind == VolumeKind::kOther)
      throw VolumeKeyError(key.path, key.text, "固定ボリュームのマウントポイントではありません");
    const auto [previous, added] = keyOf.emplace(found, &key);
    if (!added)
      throw VolumeKeyError(key.path, key.text, "キー " + previous->second->path + " と同じボリュームです");
  }
  for (size_t i = 0; i < volumes.size(); ++i) {
    const VolumeInfo& volume = volumes[i];
    bool hasLetter = false, ignored = false;
    for (const std::string& path : volume.paths) {
      const std::string pathKey = MountPathKey(path);
      hasLetter = hasLetter || (IsLetterRoot(pathKey) && letters.find(pathKey[0]) != std::string::npos);
      ignored = ignored || Ignored(settings, pathKey);
    }
    if (ignored || hasLetter) continue;
    const auto key = keyOf.find(i);
    WatchedVolume entry;
    entry.volume = volume;
    if (key != keyOf.end()) {
      entry.limitText = key->second->text;
      entry.keyPath = key->second->path;
    } else if (volume.kind == VolumeKind::kFixed && !settings.defaultText.empty()) {
      entry.limitText = settings.defaultText;
    } else {
      continue;
    }
    if (Watches(entry.limitText)) watched.push_back(std::move(entry));
  }
  return watched;
}

std::string LetterThresholdDefault(const VolumeSettings& settings, const std::vector<VolumeInfo>& volumes,
                                   char letter) {
  const std::string root = RootOf(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
  // The paths of the volume mounted on the letter (the root alone where no
  // listing has it).
  std::vector<std::string> paths{root};
  for (const VolumeInfo& volume : volumes) {
    bool holds = false;
    for (const std::string& path : volume.paths) holds = holds || MountPathKey(path) == root;
    if (!holds) continue;
    for (const std::string& path : volume.paths) paths.push_back(MountPathKey(path));
    break;
  }
  for (const std::string& path : paths)
    if (Ignored(settings, path)) return "0";
  for (const VolumeThresholdKey& key : settings.keys)
    for (const std::string& path : paths)
      if (MountPathKey(key.path) == path) return key.text;
  return settings.defaultText.empty() ? "0" : settings.defaultText;
}

}  // namespace qw

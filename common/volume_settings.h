// The volume keys of Drivewarden.ini: [DRIVE] DEFAULT, the threshold of
// every fixed volume that has none of its own, and [VOLUME], one key per
// mount path ("C:\SQLData\Log=10%", "/var/lib/postgresql=5000MB") beside
// IGNORE, a comma list of mount paths never watched. A file without these
// keys watches the listed letters only, as before.
#pragma once

#include <string>
#include <vector>

#include "platform/profile.h"
#include "platform/status.h"
#include "platform/volumes.h"

namespace qw {

inline constexpr const char* kSectionVolume = "VOLUME";
inline constexpr const char* kKeyDefault = "DEFAULT";  // in [DRIVE]
inline constexpr const char* kKeyIgnore = "IGNORE";    // in [VOLUME]

struct VolumeThresholdKey {
  std::string path;  // the key as written
  std::string text;  // its threshold
};

struct VolumeSettings {
  std::string defaultText;                // [DRIVE] DEFAULT; empty: none
  std::vector<VolumeThresholdKey> keys;   // [VOLUME] path=threshold, in file order
  std::vector<std::string> ignore;        // IGNORE's paths as written
  bool Empty() const { return defaultText.empty() && keys.empty() && ignore.empty(); }
};

// Reads [DRIVE] DEFAULT and [VOLUME]. Throws EConvertError naming the key of
// the first value that does not hold: a threshold that is no threshold, a
// path that does not start at a root, a path named twice.
VolumeSettings ReadVolumeSettings(const ProfileSnapshot& ini, const std::string& decimalSeparator);

// A volume the check measures besides the letters, and its threshold.
struct WatchedVolume {
  VolumeInfo volume;
  std::string limitText;
  std::string keyPath;  // the [VOLUME] key that set the threshold; empty: DEFAULT
};

// The volumes to watch: every fixed volume under DEFAULT and every volume a
// [VOLUME] key names (a tmpfs too), less the ignored ones and those that
// have a letter of `letters` among their paths (the letter's line measures
// them), each once. A volume whose threshold watches nothing ("0") is left
// out. `listing`: the failure of the volume listing, if any. Throws
// EConvertError naming the key whose path is not a mount point of a fixed
// volume here, two keys that name one volume, or, with keys or DEFAULT
// given, a listing that failed.
std::vector<WatchedVolume> WatchedVolumes(const VolumeSettings& settings, const std::vector<VolumeInfo>& volumes,
                                          const Status& listing, const std::string& letters);

// The threshold of a fixed letter that has no [DRIVE] key: the [VOLUME] key
// of its root or of another path of the volume mounted there, else DEFAULT,
// else "0"; "0" as well for an ignored letter.
std::string LetterThresholdDefault(const VolumeSettings& settings, const std::vector<VolumeInfo>& volumes,
                                   char letter);

}  // namespace qw

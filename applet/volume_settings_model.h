// The volumes page of the settings dialog: [DRIVE] DEFAULT, the threshold of
// every fixed volume that has none of its own, and one row per volume of
// this computer (and per [VOLUME] key or IGNORE path that names none), each
// under DEFAULT, with a threshold of its own, or not watched.
//
// The rules of the keys are those of common/volume_settings: a save is held
// to ReadVolumeSettings and WatchedVolumes over the file as it would be
// written, against the volumes listed at load, so that the dialog never
// writes what the service then refuses. Only keys whose value changed are
// written: a file without DEFAULT and [VOLUME] keeps none when nothing was
// set on the page.
//
// A volume that has a fixed drive letter keeps its threshold in [DRIVE]
// (the warning page's list): its row shows and sets that one threshold, and
// the caller (SettingsModel) applies it to the letter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/volume_settings.h"
#include "platform/drives.h"
#include "platform/profile.h"
#include "platform/status.h"

namespace qw {

// What a row's volume is watched with.
enum class VolumeChoice {
  Default,  // DEFAULT (none when DEFAULT is off); a letter: no threshold
  Own,      // a threshold of its own
  Ignored,  // listed in IGNORE: never watched
};

struct VolumeRow {
  // The path shown and written as the [VOLUME] key: the key as the file
  // wrote it, else the first mount path (ShownMountPath); the volume name
  // for a volume with no path.
  std::string path;
  std::string label;
  std::string fileSystem;
  char letter = 0;      // the fixed drive letter the volume is mounted on, if any
  bool keyable = true;  // false: no mount path, so no key can name it (DEFAULT only)
  bool listed = true;   // false: named by the file only, no volume is mounted there now
  // kMemory: a tmpfs or the like, a row only because a key names it; DEFAULT
  // does not reach it.
  VolumeKind kind = VolumeKind::kFixed;
  bool measured = false;  // free and total bytes are known
  int64_t freeBytes = -1;
  int64_t totalBytes = -1;
  VolumeChoice choice = VolumeChoice::Default;
  std::string limitText;  // VolumeChoice::Own
};

class VolumeSettingsModel {
 public:
  explicit VolumeSettingsModel(Drives& drives) : drives_(drives) {}

  // How long Load waits for the listing, and then for the free space of the
  // volumes (all at once), each at most: a volume that does not answer is
  // shown unmeasured.
  void SetBoundMs(int64_t ms) { boundMs_ = ms; }

  // Lists and measures the volumes and reads DEFAULT and [VOLUME] from
  // `ini`. `fixedLetters`: the letters of the warning page; `letterLimit`
  // gives a letter's threshold text there. A file whose volume keys do not
  // read is shown as far as it reads (the save then says what is wrong).
  void Load(const ProfileSnapshot& ini, const std::string& fixedLetters, const std::string& decimalSeparator);
  void SetLetterLimits(const std::vector<std::pair<char, std::string>>& limits);

  const std::vector<VolumeRow>& Rows() const { return rows_; }
  // Why the volumes could not be listed (empty when they were).
  const std::string& ListingError() const { return listingError_; }

  // DEFAULT: empty is off.
  const std::string& DefaultText() const { return defaultText_; }
  void SetDefaultText(const std::string& text) { defaultText_ = text; }

  // Sets row `index`'s choice; `limitText` with VolumeChoice::Own. A failure
  // (its Text the message to show) for an index out of range, a threshold
  // the service would not read, or a row that no key can name.
  Status SetChoice(int index, VolumeChoice choice, const std::string& limitText);

  // The page's state, one line per row and DEFAULT (for the dialog's change
  // snapshot).
  std::string StateText() const;

  // The save's check: the keys as they would be written, read by the
  // service's readers against the volumes listed at load. A failure names
  // the key at fault in the service's words.
  Status Check(const ProfileSnapshot& file) const;
  // Writes DEFAULT and [VOLUME] into `ini` where they differ from it;
  // keys of [VOLUME] no row has any more are removed.
  void Apply(ProfileSnapshot& ini) const;

  // The threshold column of a row as the page shows it (letter rows: the
  // letter's threshold given by SetLetterLimits).
  std::string ChoiceText(const VolumeRow& row) const;

 private:
  VolumeSettings Settings() const;
  std::string LetterLimit(char letter) const;

  Drives& drives_;
  int64_t boundMs_ = 2000;
  std::vector<VolumeRow> rows_;
  std::vector<VolumeInfo> volumes_;  // as listed at load
  Status listing_;
  std::string listingError_;
  std::string fixedLetters_;
  std::string decimalSeparator_ = ".";
  std::string defaultText_;
  std::vector<std::pair<char, std::string>> letterLimits_;
  // IGNORE paths of the file that name no row (kept as written).
  std::vector<std::string> otherIgnored_;
};

// A byte count as the page shows it: "12.3 GB", "512 MB".
std::string VolumeSizeText(int64_t bytes);

}  // namespace qw

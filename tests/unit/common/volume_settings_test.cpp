// The volume keys as people write them, against volume listings of the
// shapes Windows and Linux give: what is watched, with which threshold, and
// which files do not load (and the key the error names).
#include "common/volume_settings.h"

#include <gtest/gtest.h>

#include "common/errors.h"
#include "common/watch_settings.h"
#include "platform/profile.h"

namespace qw {
namespace {

VolumeInfo Volume(const std::string& name, std::vector<std::string> paths, VolumeKind kind = VolumeKind::kFixed,
                  const std::string& label = "") {
  VolumeInfo v;
  v.name = name;
  v.paths = std::move(paths);
  v.kind = kind;
  v.label = label;
  return v;
}

// A Windows server: C: with a log volume in a folder, a volume with a letter
// and a folder, a cluster volume with no path, a USB stick, a RAM disk.
std::vector<VolumeInfo> WindowsServer() {
  return {Volume("\\\\?\\Volume{1}\\", {"C:\\"}),
          Volume("\\\\?\\Volume{2}\\", {"C:\\SQLData\\Log\\"}, VolumeKind::kFixed, "SQLLog"),
          Volume("\\\\?\\Volume{3}\\", {"E:\\", "C:\\Mounts\\E\\"}),
          Volume("\\\\?\\Volume{4}\\", {}, VolumeKind::kFixed, "Cluster"),
          Volume("\\\\?\\Volume{5}\\", {"F:\\"}, VolumeKind::kOther),
          Volume("\\\\?\\Volume{6}\\", {"R:\\"}, VolumeKind::kMemory)};
}

// A Linux host: the root, a database volume with a bind mount, a tmpfs, an
// NFS share.
std::vector<VolumeInfo> LinuxHost() {
  return {Volume("/dev/sda1", {"/"}),
          Volume("/dev/sdb1", {"/var/lib/postgresql", "/srv/pg"}),
          Volume("tmpfs:0:52", {"/scratch"}, VolumeKind::kMemory),
          Volume("nas:/export", {"/mnt/nas"}, VolumeKind::kOther)};
}

struct Case {
  const char* what;
  std::string ini;
  bool windows;
  std::string watched;  // "path=threshold" of each watched volume's first path (or name), ';' after each
  std::string letters;  // "C=..;E=..;" thresholds of the fixed letters (Windows: C and E)
  std::string error;    // a part of the load error; empty: loads
};

std::vector<Case> Cases() {
  return {
      {"no volume keys: letters as before, nothing else", "[DRIVE]\r\nC=500MB\r\n", true, "", "C=500MB;E=0;", ""},
      {"DEFAULT covers every fixed volume and every letter without a key",
       "[DRIVE]\r\nC=500MB\r\nDEFAULT=10%\r\n", true,
       "C:\\SQLData\\Log\\=10%;\\\\?\\Volume{4}\\=10%;", "C=500MB;E=10%;", ""},
      {"a volume's own key wins over DEFAULT; a path without its backslash, in other case",
       "[DRIVE]\r\nDEFAULT=10%\r\n[VOLUME]\r\nc:\\sqldata\\log=2000MB\r\n", true,
       "C:\\SQLData\\Log\\=2000MB;\\\\?\\Volume{4}\\=10%;", "C=10%;E=10%;", ""},
      {"keys alone, no DEFAULT: only the named volumes",
       "[VOLUME]\r\nC:\\SQLData\\Log=5%\r\n", true, "C:\\SQLData\\Log\\=5%;", "C=0;E=0;", ""},
      {"a key on another path of a lettered volume sets the letter's threshold",
       "[VOLUME]\r\nC:\\Mounts\\E=7%\r\n", true, "", "C=0;E=7%;", ""},
      {"a letter's [DRIVE] key keeps its meaning over a [VOLUME] key of its root",
       "[DRIVE]\r\nE=1MB\r\n[VOLUME]\r\nE:\\=7%\r\n", true, "", "C=0;E=1MB;", ""},
      {"IGNORE leaves out a volume and a letter under DEFAULT",
       "[DRIVE]\r\nDEFAULT=10%\r\n[VOLUME]\r\nIGNORE=C:\\SQLData\\Log\\, E:\r\n", true,
       "\\\\?\\Volume{4}\\=10%;", "C=10%;E=0;", ""},
      {"a RAM disk is watched when named", "[VOLUME]\r\nR:\\=1MB\r\n", true, "R:\\=1MB;", "C=0;E=0;", ""},
      {"a key of 0 watches nothing", "[DRIVE]\r\nDEFAULT=1MB\r\n[VOLUME]\r\nC:\\SQLData\\Log=0\r\n", true,
       "\\\\?\\Volume{4}\\=1MB;", "C=1MB;E=1MB;", ""},
      {"a folder that is no mount point", "[VOLUME]\r\nC:\\SQLData=5%\r\n", true, "", "",
       "C:\\SQLData=5%: 固定ボリュームのマウントポイントではありません"},
      {"a removable volume is no fixed volume", "[VOLUME]\r\nF:\\=5%\r\n", true, "", "",
       "F:\\=5%: 固定ボリュームのマウントポイントではありません"},
      {"two keys on one volume", "[VOLUME]\r\nE:\\=5%\r\nC:\\Mounts\\E=6%\r\n", true, "", "",
       "C:\\Mounts\\E=6%"},
      {"one path twice", "[VOLUME]\r\nC:\\SQLData\\Log=5%\r\nc:/sqldata/log/=6%\r\n", true, "", "",
       "c:/sqldata/log/=6%"},
      {"a threshold that is none", "[VOLUME]\r\nC:\\SQLData\\Log=lots\r\n", true, "", "", "C:\\SQLData\\Log=lots"},
      {"a DEFAULT that is none", "[DRIVE]\r\nDEFAULT=10 GB\r\n", true, "", "", "[DRIVE] DEFAULT=10 GB"},
      {"a relative path", "[VOLUME]\r\nSQLData=5%\r\n", true, "", "", "絶対パスではありません"},
      {"POSIX: a mount path, its bind mount's path, a tmpfs by key, DEFAULT on the rest",
       "[DRIVE]\r\nDEFAULT=1MB\r\n[VOLUME]\r\n/srv/pg/=5000MB\r\n/scratch=10%\r\n", false,
       "/=1MB;/var/lib/postgresql=5000MB;/scratch=10%;", "", ""},
      {"POSIX: IGNORE by any path of the volume", "[DRIVE]\r\nDEFAULT=1MB\r\n[VOLUME]\r\nIGNORE=/srv/pg\r\n", false,
       "/=1MB;", "", ""},
      {"POSIX: a remote share is refused", "[VOLUME]\r\n/mnt/nas=5%\r\n", false, "", "",
       "/mnt/nas=5%: 固定ボリュームのマウントポイントではありません"},
      {"POSIX: a folder inside a volume is refused", "[VOLUME]\r\n/var/lib=5%\r\n", false, "", "",
       "/var/lib=5%"},
  };
}

TEST(VolumeSettingsTest, WatchedSetAndLoadErrors) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    const ProfileSnapshot ini = ProfileSnapshot::OfBytes(c.ini);
    const std::vector<VolumeInfo> volumes = c.windows ? WindowsServer() : LinuxHost();
    const std::string letters = c.windows ? "CE" : "";
    try {
      const VolumeSettings settings = ReadVolumeSettings(ini, ".");
      const std::vector<WatchedVolume> watched = WatchedVolumes(settings, volumes, Status(), letters);
      ASSERT_TRUE(c.error.empty()) << "loaded, expected: " << c.error;
      std::string shown;
      for (const WatchedVolume& w : watched) shown += MeasuredPath(w.volume) + "=" + w.limitText + ";";
      EXPECT_EQ(shown, c.watched);
      std::string letterTexts;
      for (char letter : letters)
        letterTexts += std::string(1, letter) + "=" +
                       ini.ReadString("DRIVE", std::string(1, letter), LetterThresholdDefault(settings, volumes, letter)) +
                       ";";
      EXPECT_EQ(letterTexts, c.letters);
    } catch (const EConvertError& e) {
      ASSERT_FALSE(c.error.empty()) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

TEST(VolumeSettingsTest, VolumesComeAndGoBetweenLoads) {
  const ProfileSnapshot ini = ProfileSnapshot::OfBytes("[DRIVE]\r\nDEFAULT=1MB\r\n[VOLUME]\r\nIGNORE=/tmpdata\r\n");
  const VolumeSettings settings = ReadVolumeSettings(ini, ".");
  std::vector<VolumeInfo> volumes = {Volume("/dev/sda1", {"/"})};
  EXPECT_EQ(WatchedVolumes(settings, volumes, Status(), "").size(), 1u);
  // Added after the settings were written: watched under DEFAULT.
  volumes.push_back(Volume("/dev/loop4", {"/data/new"}));
  // An ignored path that is mounted only now stays out.
  volumes.push_back(Volume("/dev/loop5", {"/tmpdata"}));
  std::vector<WatchedVolume> watched = WatchedVolumes(settings, volumes, Status(), "");
  ASSERT_EQ(watched.size(), 2u);
  EXPECT_EQ(watched[1].volume.name, "/dev/loop4");
  // Removed again: simply no longer there.
  volumes.erase(volumes.begin() + 1);
  EXPECT_EQ(WatchedVolumes(settings, volumes, Status(), "").size(), 1u);
}

TEST(VolumeSettingsTest, AFailedListingIsALoadErrorOnlyWhenVolumesAreAskedFor) {
  const Status failed = Status::Failure("FindFirstVolumeW", 5, "access denied");
  const ProfileSnapshot none = ProfileSnapshot::OfBytes("[DRIVE]\r\nC=1MB\r\n");
  EXPECT_TRUE(WatchedVolumes(ReadVolumeSettings(none, "."), {}, failed, "C").empty());
  const ProfileSnapshot withDefault = ProfileSnapshot::OfBytes("[DRIVE]\r\nDEFAULT=1MB\r\n");
  try {
    WatchedVolumes(ReadVolumeSettings(withDefault, "."), {}, failed, "C");
    FAIL() << "loaded";
  } catch (const EConvertError& e) {
    EXPECT_NE(std::string(e.what()).find("DEFAULT"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("access denied"), std::string::npos) << e.what();
  }
}

TEST(VolumeSettingsTest, ReadWatchSettingsCarriesTheVolumes) {
  WatchSettingsInputs inputs;
  inputs.fixedLetters = "C";
  inputs.volumes = {Volume("/dev/sda1", {"/"}), Volume("/dev/sdb1", {"/data"})};
  const WatchSettings plain = ReadWatchSettings(ProfileSnapshot::OfBytes("[DRIVE]\r\nC=1MB\r\n"), inputs);
  EXPECT_TRUE(plain.volumes.empty());
  EXPECT_EQ(plain.drives.at(0).LimitText, "1MB");
  const WatchSettings withDefault = ReadWatchSettings(ProfileSnapshot::OfBytes("[DRIVE]\r\nDEFAULT=3%\r\n"), inputs);
  EXPECT_EQ(withDefault.drives.at(0).LimitText, "3%");
  EXPECT_EQ(withDefault.volumes.size(), 2u);
  // The settings dialog saves "C=" for a letter without a threshold.
  const WatchSettings saved =
      ReadWatchSettings(ProfileSnapshot::OfBytes("[DRIVE]\r\nC=\r\nDEFAULT=3%\r\n"), inputs);
  EXPECT_EQ(saved.drives.at(0).LimitText, "3%");
  const WatchSettings savedPlain = ReadWatchSettings(ProfileSnapshot::OfBytes("[DRIVE]\r\nC=\r\n"), inputs);
  EXPECT_EQ(savedPlain.drives.at(0).LimitText, "") << "as before";
}

}  // namespace
}  // namespace qw

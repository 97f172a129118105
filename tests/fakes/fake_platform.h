// In-memory platform for unit tests: every branch of the code that uses the
// platform can be reached (a drive that cannot be measured, a settings file
// that vanishes or cannot be written, a clock at a chosen instant).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "platform/event_log.h"
#include "platform/profile.h"
#include "platform/system_info.h"

namespace qw::test {

// Profile files held as texts, with the rules of the Windows profile
// functions; a snapshot is the file's text at the moment it is taken, and a
// write replaces the whole text at once.
class FakeProfiles : public Profiles {
 public:
  // The shared byte checks of the system implementations (size, NUL); a
  // folder put in place fails as a folder does there.
  Result<ProfileSnapshot> ReadSnapshot(const std::string& file) override;
  Status WriteSnapshot(const std::string& file, const ProfileSnapshot& snapshot) override;

  // Puts a whole file (its text) in place.
  void SetFile(const std::string& file, const std::string& text);
  // Tests written for the time-stamped load pass a stamp; nothing reads it.
  void SetFile(const std::string& file, const std::string& text, int32_t) { SetFile(file, text); }
  // Puts a folder in the file's place: snapshots and writes fail.
  void SetFolder(const std::string& file);
  void SetFolder(const std::string& file, int32_t) { SetFolder(file); }
  void RemoveFile(const std::string& file);
  bool HasFile(const std::string& file) const;
  std::string FileText(const std::string& file) const;
  // The value of [section] key in the file as it is now, or `def`.
  std::string ReadString(const std::string& file, const std::string& section, const std::string& key,
                         const std::string& def) const;

  // Writes fail once this many more writes have succeeded (-1: never).
  int writesBeforeFailure = -1;
  // The whole text of every successful write, in order.
  std::vector<std::string> writeLog;
  // The number of snapshots taken.
  int snapshotCount = 0;
  // Called at each snapshot, before it is taken (a test may change the file).
  std::function<void()> onSnapshot;

 private:
  struct File {
    std::string text;
    bool folder = false;
  };
  std::map<std::string, File> files_;  // by upper-case name
};

struct FakeDrive {
  unsigned type = kDriveFixed;
  int64_t freeBytes = 0;
  int64_t totalBytes = 0;
  bool measurable = true;
  // Runs inside DiskFreeSpace before the answer (a test can block here).
  std::function<void()> onMeasure;
};

class FakeDrives : public Drives {
 public:
  unsigned DriveType(const std::string& root) override;
  Result<DiskSpace> DiskFreeSpace(const std::string& root) override;
  Result<std::vector<VolumeInfo>> ListVolumes() override;
  Result<DiskSpace> PathFreeSpace(const std::string& path) override;

  std::map<char, FakeDrive> drives;  // by upper-case letter
  // The volume listing (a failure when listFailure is one) and the space of
  // each volume by the path it is measured through.
  std::vector<VolumeInfo> volumes;
  Status listFailure;
  std::function<void()> onList;  // runs inside ListVolumes first (a test can block here)
  std::map<std::string, FakeDrive> volumeSpaces;
  std::atomic<int> measureCount{0};  // drives are measured on threads of their own
};

class FakeSystemInfo : public SystemInfo {
 public:
  std::string ComputerName() override { return computerName; }
  std::string HostName() override { return hostName; }
  LocalDateTime Now() override { return now; }
  int UtcOffsetMinutes() override { return utcOffsetMinutes; }
  std::string ShortDateFormat() override { return shortDateFormat; }
  std::string LongTimeFormat() override { return longTimeFormat; }
  std::string ThousandSeparator() override { return thousandSeparator; }
  std::string DecimalSeparator() override { return decimalSeparator; }

  std::string computerName = "WATCHED-PC";
  std::string hostName = "watched-pc.example.jp";
  LocalDateTime now{2024, 5, 6, 1, 7, 8, 9, 0};
  int utcOffsetMinutes = 540;
  std::string shortDateFormat = "yyyy/MM/dd";
  std::string longTimeFormat = "H:mm:ss";
  std::string thousandSeparator = ",";
  std::string decimalSeparator = ".";
};

struct EventEntry {
  std::string source;
  EventType type;
  uint16_t category;
  uint32_t eventId;
  std::string text;
};

class FakeEventLog : public EventLog {
 public:
  void Report(const std::string& source, EventType type, uint16_t category, uint32_t eventId,
              const std::string& text) override;
  std::vector<EventEntry> entries;
};

}  // namespace qw::test

#include "tests/fakes/fake_platform.h"

#include <cctype>

#include "platform/ini_text.h"

namespace qw::test {
namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

Result<ProfileSnapshot> FakeProfiles::ReadSnapshot(const std::string& file) {
  ++snapshotCount;
  if (onSnapshot) onSnapshot();
  auto it = files_.find(Upper(file));
  if (it == files_.end()) return ProfileSnapshot();
  if (it->second.folder) return NotARegularProfileFile(true);
  Status checked = CheckProfileBytes(it->second.text);
  if (!checked.Ok()) return checked;
  return ProfileSnapshot::OfBytes(it->second.text);
}

Status FakeProfiles::WriteSnapshot(const std::string& file, const ProfileSnapshot& snapshot) {
  if (writesBeforeFailure == 0) return Status::Failure("WriteFile", 5, "access denied");
  auto it = files_.find(Upper(file));
  if (it != files_.end() && it->second.folder) return NotARegularProfileFile(true);
  if (writesBeforeFailure > 0) --writesBeforeFailure;
  files_[Upper(file)] = File{snapshot.Bytes(), false};
  writeLog.push_back(snapshot.Bytes());
  return Status();
}

std::string FakeProfiles::ReadString(const std::string& file, const std::string& section,
                                     const std::string& key, const std::string& def) const {
  auto it = files_.find(Upper(file));
  if (it == files_.end() || it->second.folder) return def;
  return ProfileSnapshot::OfBytes(it->second.text).ReadString(section, key, def);
}

void FakeProfiles::SetFile(const std::string& file, const std::string& text) {
  files_[Upper(file)] = File{text, false};
}

void FakeProfiles::SetFolder(const std::string& file) { files_[Upper(file)] = File{std::string(), true}; }

void FakeProfiles::RemoveFile(const std::string& file) { files_.erase(Upper(file)); }

bool FakeProfiles::HasFile(const std::string& file) const { return files_.count(Upper(file)) != 0; }

std::string FakeProfiles::FileText(const std::string& file) const {
  auto it = files_.find(Upper(file));
  return it == files_.end() ? std::string() : it->second.text;
}

unsigned FakeDrives::DriveType(const std::string& root) {
  if (root.size() < 3 || root[1] != ':' || root[2] != '\\') return kDriveNoRootDir;
  auto it = drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(root[0]))));
  return it == drives.end() ? kDriveNoRootDir : it->second.type;
}

Result<DiskSpace> FakeDrives::DiskFreeSpace(const std::string& root) {
  ++measureCount;
  auto it = root.empty() ? drives.end()
                         : drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(root[0]))));
  if (it == drives.end()) return Status::Failure("GetDiskFreeSpaceEx", 3, "no such drive", StatusKind::kNotFound);
  if (it->second.onMeasure) it->second.onMeasure();
  if (!it->second.measurable) return Status::Failure("GetDiskFreeSpaceEx", 21, "the device is not ready");
  DiskSpace space;
  space.freeToCaller = it->second.freeBytes;
  space.totalBytes = it->second.totalBytes;
  return space;
}

Result<std::vector<VolumeInfo>> FakeDrives::ListVolumes() {
  if (onList) onList();
  if (!listFailure.Ok()) return listFailure;
  return volumes;
}

Result<DiskSpace> FakeDrives::PathFreeSpace(const std::string& path) {
  ++measureCount;
  auto it = volumeSpaces.find(path);
  if (it == volumeSpaces.end()) return Status::Failure("statvfs", 2, "no such volume", StatusKind::kNotFound);
  if (it->second.onMeasure) it->second.onMeasure();
  if (!it->second.measurable) return Status::Failure("statvfs", 5, "input/output error");
  DiskSpace space;
  space.freeToCaller = it->second.freeBytes;
  space.totalBytes = it->second.totalBytes;
  return space;
}

void FakeEventLog::Report(const std::string& source, EventType type, uint16_t category,
                          uint32_t eventId, const std::string& text) {
  entries.push_back({source, type, category, eventId, text});
}

}  // namespace qw::test

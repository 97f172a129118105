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

std::string FakeProfiles::ReadString(const std::string& file, const std::string& section,
                                     const std::string& key, const std::string& def) {
  if (onRead) onRead(section, key);
  auto it = files_.find(Upper(file));
  if (it == files_.end() || it->second.folder) return def;
  auto value = IniLookup(it->second.text, section, key);
  return value ? *value : def;
}

bool FakeProfiles::WriteString(const std::string& file, const std::string& section,
                               const std::string& key, const std::string& value) {
  if (writesBeforeFailure == 0) return false;
  if (writesBeforeFailure > 0) --writesBeforeFailure;
  File& f = files_[Upper(file)];
  if (f.folder) return false;
  f.text = IniAssign(f.text, section, key, value);
  f.stamp = ++nextStamp_;
  writeLog.push_back(section + "/" + key + "=" + value);
  return true;
}

int32_t FakeProfiles::LastWriteDosStamp(const std::string& file) {
  auto it = files_.find(Upper(file));
  return it == files_.end() ? -1 : it->second.stamp;
}

Status FakeProfiles::CheckFile(const std::string& file) {
  auto it = files_.find(Upper(file));
  if (it == files_.end()) return Status();
  if (it->second.folder) return NotARegularProfileFile(true);
  return CheckProfileBytes(it->second.text);
}

void FakeProfiles::SetFile(const std::string& file, const std::string& text, int32_t stamp) {
  files_[Upper(file)] = File{text, stamp, false};
}

void FakeProfiles::SetFolder(const std::string& file, int32_t stamp) {
  files_[Upper(file)] = File{std::string(), stamp, true};
}

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

bool FakeDrives::DiskFreeSpace(const std::string& root, int64_t* freeToCaller, int64_t* totalBytes) {
  ++measureCount;
  if (root.empty()) return false;
  auto it = drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(root[0]))));
  if (it == drives.end()) return false;
  if (it->second.onMeasure) it->second.onMeasure();
  if (!it->second.measurable) return false;
  *freeToCaller = it->second.freeBytes;
  *totalBytes = it->second.totalBytes;
  return true;
}

void FakeEventLog::Report(const std::string& source, EventType type, uint16_t category,
                          uint32_t eventId, const std::string& text) {
  entries.push_back({source, type, category, eventId, text});
}

}  // namespace qw::test

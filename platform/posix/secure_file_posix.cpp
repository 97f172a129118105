// POSIX has no security descriptors: a secret file is judged by its mode
// bits, and the descriptor calls fail.
#include <sys/stat.h>

#include <cerrno>

#include "platform/secure_file.h"
#include "platform/system_error.h"

namespace qw {
namespace {

Status NoDescriptors(const char* what) {
  return Status::Failure(what, ENOTSUP, "このホストにはセキュリティ記述子がありません");
}

}  // namespace

Result<SecurityDescription> ReadSecurity(const std::string&) { return NoDescriptors("ReadSecurity"); }
Status ApplySecurity(const std::string&, const SecurityDescription&) { return NoDescriptors("ApplySecurity"); }
Result<SecurityDescription> ParseSddl(const std::string&) { return NoDescriptors("ParseSddl"); }
std::string ProcessUserSid() { return ""; }

Status ProtectSettingsFile(const std::string&) { return Status(); }

Result<std::vector<std::string>> SecretFileReaders(const std::string& path) {
  std::vector<std::string> readers;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return readers;
    return ErrnoFailure("stat", errno);
  }
  if (st.st_mode & S_IRGRP) readers.push_back("group");
  if (st.st_mode & S_IROTH) readers.push_back("others");
  return readers;
}

std::string SettingsFilePath(const std::string& windowsDir, const std::string& file) {
  if (windowsDir.empty()) return file;
  return windowsDir.back() == '/' ? windowsDir + file : windowsDir + "/" + file;
}

Status PrepareStateFolder(const std::string&, const std::string&, std::vector<std::string>* repaired) {
  repaired->clear();
  return Status();
}

}  // namespace qw

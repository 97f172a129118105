// Drives on POSIX: letters map to folders through <windowsDir>/dosdevices/<x>:
// symlinks (Wine's layout); without that folder C: is the root folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ascii_text.h"
#include "platform/drives.h"
#include "platform/system_error.h"

namespace qw {
namespace {

class PosixDrives : public Drives {
 public:
  explicit PosixDrives(std::string windowsDir) : dir_(std::move(windowsDir)) {}

  unsigned DriveType(const std::string& root) override {
    std::string path;
    if (!FolderOf(root, &path)) return kDriveNoRootDir;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kDriveNoRootDir;
    return kDriveFixed;
  }

  Result<DiskSpace> DiskFreeSpace(const std::string& root) override {
    std::string path;
    if (!FolderOf(root, &path))
      return Status::Failure("DiskFreeSpace", ENOENT, "no folder stands for the drive " + root, StatusKind::kNotFound);
    struct statvfs vfs {};
    if (statvfs(path.c_str(), &vfs) != 0) return ErrnoFailure("statvfs", errno);
    DiskSpace space;
    space.freeToCaller = static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
    space.totalBytes = static_cast<int64_t>(vfs.f_blocks) * static_cast<int64_t>(vfs.f_frsize);
    return space;
  }

  Result<std::vector<VolumeInfo>> ListVolumes() override {
    std::ifstream in("/proc/self/mountinfo", std::ios::binary);
    if (!in) return ErrnoFailure("open /proc/self/mountinfo", errno);
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad()) return ErrnoFailure("read /proc/self/mountinfo", errno);
    std::vector<VolumeInfo> volumes = VolumesOfMountInfo(text.str());
    for (VolumeInfo& volume : volumes) {
      if (volume.kind == VolumeKind::kFixed && volume.name.rfind("/dev/", 0) == 0)
        volume.label = ReadFileSystemLabel(volume.name, volume.fileSystem);
    }
    // A letter whose folder is a mount point names that volume too, so
    // that the volume is measured once, as the letter.
    for (char letter = 'a'; letter <= 'z'; ++letter) {
      const std::string folder = LetterFolderText(letter);
      if (folder.empty()) continue;
      for (VolumeInfo& volume : volumes) {
        bool mounted = false;
        for (const std::string& path : volume.paths) mounted = mounted || path == folder;
        if (mounted) volume.paths.push_back(std::string{AsciiUpper(letter), ':', '\\'});
      }
    }
    return volumes;
  }

  Result<DiskSpace> PathFreeSpace(const std::string& path) override {
    struct statvfs vfs {};
    if (statvfs(path.c_str(), &vfs) != 0) return ErrnoFailure("statvfs", errno);
    DiskSpace space;
    space.freeToCaller = static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
    space.totalBytes = static_cast<int64_t>(vfs.f_blocks) * static_cast<int64_t>(vfs.f_frsize);
    return space;
  }

 private:
  bool FolderOf(const std::string& root, std::string* path) const {
    if (root.size() < 2 || root[1] != ':' || !std::isalpha(static_cast<unsigned char>(root[0])))
      return false;
    const char letter = AsciiLower(root[0]);
    std::string devices = dir_ + "/dosdevices";
    struct stat st {};
    if (stat(devices.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      if (letter != 'c') return false;
      *path = "/";
      return true;
    }
    *path = devices + "/" + letter + ":/";
    return true;
  }

  // The folder of a letter, worked out from the link's text alone (no call
  // reaches into the mounted file systems, which may not answer): empty
  // when the letter has none.
  std::string LetterFolderText(char letter) const {
    const std::string devices = dir_ + "/dosdevices";
    struct stat st {};
    if (stat(devices.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return letter == 'c' ? "/" : "";
    const std::string link = devices + "/" + letter + ":";
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return "";
    std::filesystem::path folder(std::string(target, static_cast<size_t>(n)));
    if (folder.is_relative()) folder = std::filesystem::path(devices) / folder;
    std::string text = folder.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
  }

  std::string dir_;
};

}  // namespace

std::string ReadFileSystemLabel(const std::string& device, const std::string& fileSystem) {
  SuperblockSpot spot;
  if (!SuperblockSpotOf(fileSystem, &spot)) return "";
  const int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return "";
  std::string block(spot.size, '\0');
  ssize_t got;
  do {
    got = pread(fd, block.data(), block.size(), static_cast<off_t>(spot.offset));
  } while (got < 0 && errno == EINTR);
  close(fd);
  if (got <= 0) return "";
  block.resize(static_cast<size_t>(got));
  return LabelOfSuperblock(fileSystem, block);
}

std::unique_ptr<Drives> NewSystemDrives(const std::string& windowsDir) {
  return std::make_unique<PosixDrives>(windowsDir);
}

}  // namespace qw

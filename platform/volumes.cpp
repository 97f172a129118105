#include "platform/volumes.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "platform/text_codec.h"

namespace qw {
namespace {

// File systems with no device of their own, or that hold no one's data:
// watched only when a setting names their path.
const std::set<std::string>& PseudoFileSystems() {
  static const std::set<std::string> kNames = {
      "proc",     "sysfs",    "tmpfs",       "devtmpfs", "devpts",    "cgroup",     "cgroup2", "securityfs",
      "pstore",   "bpf",      "debugfs",     "tracefs",  "configfs",  "fusectl",    "mqueue",  "hugetlbfs",
      "autofs",   "binfmt_misc", "overlay",  "aufs",     "ramfs",     "rpc_pipefs", "nsfs",    "efivarfs",
      "selinuxfs", "devfs",       "shm",      "none",      "fuse",       "ecryptfs"};
  return kNames;
}

// Remote file systems and read-only images (a squashfs of a snap is full by
// design): never watched.
const std::set<std::string>& OtherFileSystems() {
  static const std::set<std::string> kNames = {
      "nfs",  "nfs4",     "cifs",     "smb3",   "smbfs",   "ceph",  "glusterfs", "9p",     "afs",
      "lustre", "gfs2",   "ocfs2",    "davfs",  "squashfs", "iso9660", "udf",    "erofs",  "cramfs",
      "fuse.sshfs", "fuse.rclone", "fuse.s3fs", "fuse.gvfsd-fuse", "fuse.portal"};
  return kNames;
}

// File systems whose source is no /dev node but whose data is on disks.
const std::set<std::string>& PooledFileSystems() {
  static const std::set<std::string> kNames = {"zfs", "bcachefs"};
  return kNames;
}

VolumeKind KindOfMount(const MountInfoLine& line) {
  if (OtherFileSystems().count(line.fileSystem)) return VolumeKind::kOther;
  if (PooledFileSystems().count(line.fileSystem)) return VolumeKind::kFixed;
  if (PseudoFileSystems().count(line.fileSystem)) return VolumeKind::kMemory;
  // A FUSE file system of a block device (ntfs-3g) is a disk; any other
  // FUSE file system is no disk of this machine.
  if (line.fileSystem.rfind("fuse.", 0) == 0) return VolumeKind::kMemory;
  if (line.source.rfind("/dev/", 0) == 0) return VolumeKind::kFixed;
  return VolumeKind::kMemory;
}

bool IsSjisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

bool IsWindowsPath(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) return true;
  return path.rfind("\\\\", 0) == 0;
}

// Whether a Windows path (Shift-JIS) ends with a separator: a last byte
// 0x5C or '/' that is not the second byte of a double-byte character.
bool EndsWithSeparator(const std::string& path) {
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) return false;
  size_t i = 0;
  while (i + 1 < path.size()) i += IsSjisLead(static_cast<unsigned char>(path[i])) ? 2 : 1;
  return i == path.size() - 1;
}

}  // namespace

std::string DecodeMountPath(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>(((a - '0') << 6) | ((b - '0') << 3) | (c - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<MountInfoLine> ParseMountInfo(const std::string& text) {
  std::vector<MountInfoLine> lines;
  std::istringstream in(text);
  std::string row;
  while (std::getline(in, row)) {
    std::istringstream words(row);
    std::vector<std::string> fields;
    std::string word;
    while (words >> word) fields.push_back(word);
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (dash == fields.end() || dash - fields.begin() < 6 || fields.end() - dash < 3) continue;
    if (fields[2].find(':') == std::string::npos) continue;
    MountInfoLine line;
    line.device = fields[2];
    line.root = DecodeMountPath(fields[3]);
    line.mountPoint = DecodeMountPath(fields[4]);
    line.fileSystem = DecodeMountPath(*(dash + 1));
    line.source = DecodeMountPath(*(dash + 2));
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<VolumeInfo> VolumesOfMountInfo(const std::string& text) {
  std::vector<MountInfoLine> lines = ParseMountInfo(text);
  // A later mount on the same path hides the earlier one: only the last
  // mount of each path can be reached (and measured) through it.
  std::vector<MountInfoLine> visible;
  for (size_t i = 0; i < lines.size(); ++i) {
    bool hidden = false;
    for (size_t j = i + 1; j < lines.size() && !hidden; ++j) hidden = lines[j].mountPoint == lines[i].mountPoint;
    if (!hidden) visible.push_back(lines[i]);
  }
  std::vector<VolumeInfo> volumes;
  std::map<std::string, size_t> byDevice;  // "major:minor" -> index in volumes
  std::map<std::string, bool> wholeFirst;  // the first path is a whole mount
  for (const MountInfoLine& line : visible) {
    const auto seen = byDevice.find(line.device);
    if (seen != byDevice.end()) {
      VolumeInfo& volume = volumes[seen->second];
      if (line.root == "/" && !wholeFirst[line.device]) {
        volume.paths.insert(volume.paths.begin(), line.mountPoint);
        wholeFirst[line.device] = true;
      } else {
        volume.paths.push_back(line.mountPoint);
      }
      continue;
    }
    VolumeInfo volume;
    volume.kind = KindOfMount(line);
    volume.fileSystem = line.fileSystem;
    volume.name = line.source.rfind("/dev/", 0) == 0 ? line.source : line.fileSystem + ":" + line.device;
    volume.paths.push_back(line.mountPoint);
    byDevice[line.device] = volumes.size();
    wholeFirst[line.device] = line.root == "/";
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

namespace {

bool IsExtFamily(const std::string& fileSystem) {
  return fileSystem == "ext2" || fileSystem == "ext3" || fileSystem == "ext4";
}

}  // namespace

bool SuperblockSpotOf(const std::string& fileSystem, SuperblockSpot* spot) {
  if (IsExtFamily(fileSystem)) {
    *spot = {1024, 1024};  // the superblock starts 1 KiB into the device
  } else if (fileSystem == "xfs") {
    *spot = {0, 512};
  } else if (fileSystem == "btrfs") {
    *spot = {65536, 4096};  // the primary superblock, at 64 KiB
  } else {
    return false;
  }
  return true;
}

std::string LabelOfSuperblock(const std::string& fileSystem, const std::string& block) {
  size_t at = 0, length = 0;
  if (IsExtFamily(fileSystem)) {
    // s_magic 0xEF53 (little-endian) at 0x38; s_volume_name[16] at 0x78.
    if (block.size() < 0x78 + 16 || block[0x38] != '\x53' || block[0x39] != '\xEF') return "";
    at = 0x78;
    length = 16;
  } else if (fileSystem == "xfs") {
    // sb_magicnum "XFSB" at 0; sb_fname[12] at 108.
    if (block.size() < 108 + 12 || block.compare(0, 4, "XFSB") != 0) return "";
    at = 108;
    length = 12;
  } else if (fileSystem == "btrfs") {
    // magic "_BHRfS_M" at 0x40; label[256] at 0x12B.
    if (block.size() < 0x12B + 256 || block.compare(0x40, 8, "_BHRfS_M") != 0) return "";
    at = 0x12B;
    length = 256;
  } else {
    return "";
  }
  std::string label = block.substr(at, length);
  const size_t end = label.find('\0');
  if (end != std::string::npos) label.resize(end);
  // The label goes into reports and entries line by line: no control
  // character may break them.
  for (char& c : label)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return Utf8ToSjis(label);
}

namespace {

constexpr uint32_t kErrorNoMoreFiles = 18;
constexpr uint32_t kErrorMoreData = 234;
// A search that never ends (a broken driver) is cut here.
constexpr size_t kMaxVolumes = 4096;

std::vector<std::string> SplitMultiString(const std::u16string& multi) {
  std::vector<std::string> items;
  size_t p = 0;
  while (p < multi.size()) {
    const size_t end = multi.find(u'\0', p);
    const std::u16string item = multi.substr(p, end == std::u16string::npos ? std::u16string::npos : end - p);
    if (item.empty()) break;
    items.push_back(Utf16ToSjis(item));
    if (end == std::u16string::npos) break;
    p = end + 1;
  }
  return items;
}

std::vector<std::string> PathsOf(VolumeApi& api, const std::u16string& name) {
  uint32_t chars = 261;
  // The paths can grow between the two calls; a few rounds settle it.
  for (int round = 0; round < 4; ++round) {
    std::u16string multi;
    uint32_t needed = 0, error = 0;
    if (api.PathNames(name, chars, &multi, &needed, &error)) return SplitMultiString(multi);
    if (error != kErrorMoreData) return {};
    chars = needed > chars ? needed : chars * 2;
  }
  return {};
}

VolumeKind KindOfDriveType(unsigned type) {
  switch (type) {
    case 3:  // DRIVE_FIXED
      return VolumeKind::kFixed;
    case 6:  // DRIVE_RAMDISK
      return VolumeKind::kMemory;
    default:
      return VolumeKind::kOther;
  }
}

}  // namespace

Result<std::vector<VolumeInfo>> ListVolumesThrough(VolumeApi& api) {
  std::vector<VolumeInfo> volumes;
  std::u16string name;
  uint32_t error = 0;
  if (!api.FirstVolume(&name, &error)) {
    if (error == kErrorNoMoreFiles) return volumes;
    return Status::Failure("FindFirstVolumeW", error, "the volumes cannot be listed (error " + std::to_string(error) + ")");
  }
  while (true) {
    VolumeInfo volume;
    volume.name = Utf16ToSjis(name);
    volume.paths = PathsOf(api, name);
    const std::u16string root = volume.paths.empty() ? name : SjisToUtf16(volume.paths.front());
    volume.kind = KindOfDriveType(api.DriveType(root));
    std::u16string label, fileSystem;
    uint32_t infoError = 0;
    if (api.Information(root, &label, &fileSystem, &infoError)) {
      volume.label = Utf16ToSjis(label);
      volume.fileSystem = Utf16ToSjis(fileSystem);
    }
    volumes.push_back(std::move(volume));
    if (volumes.size() >= kMaxVolumes) break;
    name.clear();
    if (!api.NextVolume(&name, &error)) {
      if (error == kErrorNoMoreFiles) break;
      api.EndVolumes();
      return Status::Failure("FindNextVolumeW", error,
                             "the volumes cannot be listed (error " + std::to_string(error) + ")");
    }
  }
  api.EndVolumes();
  return volumes;
}

std::string MountPathKey(const std::string& path) {
  if (!IsWindowsPath(path)) {
    std::string key = path;
    while (key.size() > 1 && key.back() == '/') key.pop_back();
    return key;
  }
  std::string key;
  key.reserve(path.size() + 1);
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (IsSjisLead(c) && i + 1 < path.size()) {
      key += path[i];
      key += path[++i];
      continue;
    }
    key += c == '/' ? '\\' : static_cast<char>(c < 0x80 ? std::toupper(c) : c);
  }
  if (!EndsWithSeparator(key)) key += '\\';
  return key;
}

std::string ShownMountPath(const std::string& path) {
  if (path.rfind("\\\\?\\", 0) == 0) return path;  // a volume name keeps its form
  std::string shown = path;
  if (IsWindowsPath(shown)) {
    while (shown.size() > 3 && EndsWithSeparator(shown)) shown.pop_back();
  } else {
    while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  }
  return shown;
}

}  // namespace qw

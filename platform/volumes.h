// Volumes of the machine: every mounted file system with the paths it is
// mounted on, whatever letter it has or has not. The listing itself is an
// operation of Drives (platform/drives.h); this header holds what it returns
// and the parts of the listing that are plain functions of their input, so
// that tests can hold them to real shapes of the system's answers.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qw {

// What kind of volume it is, as far as the watch is concerned.
enum class VolumeKind {
  kFixed,   // a fixed disk (Windows: DRIVE_FIXED; POSIX: a block-device file system)
  kMemory,  // a RAM disk, tmpfs and other file systems with no device of their own
  kOther,   // removable, optical, remote: never watched
};

struct VolumeInfo {
  // Windows: the volume GUID path "\\?\Volume{...}\". POSIX: the mount
  // source ("/dev/loop3"), or "<fstype>:<major>:<minor>" where it has none.
  std::string name;
  // Mount paths, the one to measure first. Windows paths end with a
  // backslash ("C:\", "C:\SQLData\Log\"); POSIX paths have no trailing slash
  // (but "/"). Empty: a volume with no path (measured through `name`).
  std::vector<std::string> paths;
  std::string label;       // empty where it has none
  std::string fileSystem;  // "NTFS", "ext4", ... (empty when unknown)
  VolumeKind kind = VolumeKind::kOther;
};

// The path a volume is measured through: its first mount path, or its name.
inline const std::string& MeasuredPath(const VolumeInfo& volume) {
  return volume.paths.empty() ? volume.name : volume.paths.front();
}

// --- POSIX: /proc/self/mountinfo -------------------------------------------

// One line of mountinfo, its fields decoded (octal escapes such as "\040").
struct MountInfoLine {
  std::string device;  // "major:minor"
  std::string root;    // the folder of the file system mounted here ("/" whole)
  std::string mountPoint;
  std::string fileSystem;
  std::string source;
};

// The lines of a mountinfo text; lines that do not have its shape are left
// out (a failure is only the text's absence, which the caller tells).
std::vector<MountInfoLine> ParseMountInfo(const std::string& text);
// A path field of mountinfo with its octal escapes decoded.
std::string DecodeMountPath(const std::string& field);
// The volumes of a mountinfo text, in mount order: block-device file systems
// as kFixed, pseudo file systems (proc, tmpfs, overlay, fuse, ...) as kMemory,
// network and optical ones as kOther. A device mounted more than once (bind
// mounts, a second mount) is one volume with every path; its whole mount
// (root "/") comes first. Mounts hidden under a later mount on the same path
// are left out.
std::vector<VolumeInfo> VolumesOfMountInfo(const std::string& text);

// --- POSIX: file system labels ----------------------------------------------

// Where a file system keeps its label: the bytes of its device to read
// (offset and length) for ext2/3/4, XFS and btrfs. False for a file system
// whose label is not read here.
struct SuperblockSpot {
  int64_t offset = 0;
  size_t size = 0;
};
bool SuperblockSpotOf(const std::string& fileSystem, SuperblockSpot* spot);
// The label held in `block` (the bytes read at the spot), in the product's
// text (Shift-JIS; control characters as '?'): empty when the block does not
// carry the file system's magic number or the label is empty.
std::string LabelOfSuperblock(const std::string& fileSystem, const std::string& block);

// POSIX only: the label of the `fileSystem` on `device` (a block device or
// an image file), read from its superblock with one pread. Empty when the
// file system keeps no label this reads, has none, or the device cannot be
// read (a label is an addition to the path, never needed to measure).
std::string ReadFileSystemLabel(const std::string& device, const std::string& fileSystem);

// --- Windows: the volume API -------------------------------------------------

// The Win32 calls the listing makes, one method each, in UTF-16. The real one
// calls Windows; tests give a fake.
class VolumeApi {
 public:
  virtual ~VolumeApi() = default;
  // FindFirstVolumeW / FindNextVolumeW of one search: true with the next
  // volume name, or false with the error code (18, ERROR_NO_MORE_FILES, at
  // the end). FindVolumeClose is EndVolumes.
  virtual bool FirstVolume(std::u16string* name, uint32_t* error) = 0;
  virtual bool NextVolume(std::u16string* name, uint32_t* error) = 0;
  virtual void EndVolumes() = 0;
  // GetVolumePathNamesForVolumeNameW with a buffer of `chars` characters:
  // true with the multi-string (each path ends with a NUL, an empty string
  // at the end); false with the error code, and for 234 (ERROR_MORE_DATA)
  // the characters needed in `needed`.
  virtual bool PathNames(const std::u16string& volume, uint32_t chars, std::u16string* multi,
                         uint32_t* needed, uint32_t* error) = 0;
  // GetDriveTypeW of a root (a mount path or a volume name).
  virtual unsigned DriveType(const std::u16string& root) = 0;
  // GetVolumeInformationW: the label and the file system's name; false with
  // the error code (a volume that is not ready).
  virtual bool Information(const std::u16string& root, std::u16string* label, std::u16string* fileSystem,
                           uint32_t* error) = 0;
};

// Every volume of `api` once, with all its paths (in the order Windows gives
// them), its kind from its drive type, its label and file system where
// GetVolumeInformationW answers. A failure of the search itself (not its end)
// is a failure naming the call; a volume whose paths cannot be read is
// listed without paths.
Result<std::vector<VolumeInfo>> ListVolumesThrough(VolumeApi& api);

// --- Paths -------------------------------------------------------------------

// A mount path as the settings and the listing compare it: Windows paths
// (a letter and a colon, or "\\") with one trailing backslash and upper-case
// ASCII; POSIX paths without a trailing slash (but "/").
std::string MountPathKey(const std::string& path);
// A mount path as the report shows it: as given, less a trailing separator
// (but of a root: "C:\", "/").
std::string ShownMountPath(const std::string& path);

}  // namespace qw

// The volume listing: mountinfo texts of the shapes Linux hosts give, and the
// Windows volume search through a fake of the volume API.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/text_codec.h"
#include "platform/volumes.h"

namespace qw {
namespace {

struct Expected {
  std::string name;
  std::vector<std::string> paths;
  VolumeKind kind;
};

struct MountInfoCase {
  const char* what;
  std::string text;
  std::vector<Expected> volumes;  // only those of kind kFixed or named below
  std::vector<std::string> alsoPaths;  // first paths of non-fixed volumes to check too
};

const char kDebianServer[] =
    "21 26 0:20 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
    "22 26 0:21 / /sys rw,nosuid,nodev,noexec,relatime shared:7 - sysfs sysfs rw\n"
    "23 26 0:5 / /dev rw,nosuid,relatime shared:2 - devtmpfs udev rw,size=4011540k,nr_inodes=1002885,mode=755\n"
    "25 26 0:24 / /run rw,nosuid,nodev,noexec,relatime shared:5 - tmpfs tmpfs rw,size=806440k,mode=755\n"
    "26 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
    "30 22 0:27 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 rw\n"
    "41 26 8:15 / /boot/efi rw,relatime shared:30 - vfat /dev/sda15 rw,fmask=0022,dmask=0022\n"
    "42 26 8:17 / /var/lib/postgresql rw,noatime shared:31 - xfs /dev/sdb1 rw,attr2,inode64,noquota\n"
    "43 26 7:0 / /snap/core20/2015 ro,nodev,relatime shared:32 - squashfs /dev/loop0 ro\n"
    "44 26 0:45 / /mnt/backup rw,relatime shared:33 - nfs4 nas:/export/backup rw,vers=4.2\n"
    "45 26 0:46 / /var/lib/docker/overlay2/abc/merged rw,relatime - overlay overlay rw,lowerdir=/x\n"
    "46 26 7:3 / /srv/images rw,relatime shared:34 - ext4 /dev/loop3 rw\n";

std::vector<MountInfoCase> MountInfoCases() {
  return {
      {"a Debian server: disks, a loop ext4, pseudo, remote and image mounts",
       kDebianServer,
       {{"/dev/sda1", {"/"}, VolumeKind::kFixed},
        {"/dev/sda15", {"/boot/efi"}, VolumeKind::kFixed},
        {"/dev/sdb1", {"/var/lib/postgresql"}, VolumeKind::kFixed},
        {"/dev/loop3", {"/srv/images"}, VolumeKind::kFixed}},
       {}},
      {"bind mounts of a volume: one volume, its whole mount first",
       "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
       "50 26 8:17 /data/a /srv/a rw - ext4 /dev/sdb1 rw\n"
       "51 26 8:17 / /data rw - ext4 /dev/sdb1 rw\n"
       "52 26 8:17 /data/b /srv/b rw - ext4 /dev/sdb1 rw\n",
       {{"/dev/sda1", {"/"}, VolumeKind::kFixed}, {"/dev/sdb1", {"/data", "/srv/a", "/srv/b"}, VolumeKind::kFixed}},
       {}},
      {"octal escapes in mount points and sources",
       "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
       "60 26 8:33 / /mnt/my\\040disk rw - ext4 /dev/sdc1 rw\n"
       "61 26 8:34 / /mnt/tab\\011and\\134back rw - ext4 /dev/sdc2 rw\n"
       "62 26 8:35 / /mnt/new\\012line rw - ext4 /dev/disk\\040x rw\n",
       {{"/dev/sda1", {"/"}, VolumeKind::kFixed},
        {"/dev/sdc1", {"/mnt/my disk"}, VolumeKind::kFixed},
        {"/dev/sdc2", {"/mnt/tab\tand\\back"}, VolumeKind::kFixed},
        {"/dev/disk x", {"/mnt/new\nline"}, VolumeKind::kFixed}},
       {}},
      {"several optional fields, and lines of no known shape",
       "26 1 8:1 / / rw,relatime shared:1 master:2 propagate_from:3 - ext4 /dev/sda1 rw\n"
       "garbage line\n"
       "27 26 8:2 / /x rw no-dash-here ext4 /dev/sda2 rw\n"
       "\n"
       "28 26 8:3 / /home rw unbindable - ext4 /dev/sda3 rw\n",
       {{"/dev/sda1", {"/"}, VolumeKind::kFixed}, {"/dev/sda3", {"/home"}, VolumeKind::kFixed}},
       {}},
      {"a later mount on the same path hides the earlier one",
       "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
       "70 26 8:17 / /data rw - ext4 /dev/sdb1 rw\n"
       "71 26 8:33 / /data rw - xfs /dev/sdc1 rw\n",
       {{"/dev/sda1", {"/"}, VolumeKind::kFixed}, {"/dev/sdc1", {"/data"}, VolumeKind::kFixed}},
       {}},
      {"btrfs subvolumes share one device; zfs datasets have no /dev source",
       "26 1 0:30 /@ / rw - btrfs /dev/nvme0n1p2 rw,subvol=/@\n"
       "27 26 0:30 /@home /home rw - btrfs /dev/nvme0n1p2 rw,subvol=/@home\n"
       "28 26 0:40 / /tank/db rw - zfs tank/db rw,xattr\n",
       {{"/dev/nvme0n1p2", {"/", "/home"}, VolumeKind::kFixed}, {"zfs:0:40", {"/tank/db"}, VolumeKind::kFixed}},
       {}},
      {"FUSE: a block device is a disk, others are not",
       "26 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
       "80 26 8:49 / /media/win rw - fuseblk /dev/sdd1 rw\n"
       "81 26 0:50 / /mnt/remote rw - fuse.sshfs user@host:/ rw\n"
       "82 26 0:51 / /mnt/hung rw - fuse.hung_statfs_fs hung rw\n"
       "83 26 0:52 / /scratch rw - tmpfs tmpfs rw\n",
       {{"/dev/sda1", {"/"}, VolumeKind::kFixed},
        {"/dev/sdd1", {"/media/win"}, VolumeKind::kFixed},
        {"fuse.sshfs:0:50", {"/mnt/remote"}, VolumeKind::kOther},
        {"fuse.hung_statfs_fs:0:51", {"/mnt/hung"}, VolumeKind::kMemory},
        {"tmpfs:0:52", {"/scratch"}, VolumeKind::kMemory}},
       {"/mnt/remote", "/mnt/hung", "/scratch"}},
  };
}

TEST(MountInfoTest, VolumesOfRealShapes) {
  for (const MountInfoCase& c : MountInfoCases()) {
    SCOPED_TRACE(c.what);
    const std::vector<VolumeInfo> volumes = VolumesOfMountInfo(c.text);
    std::vector<const VolumeInfo*> picked;
    for (const VolumeInfo& v : volumes) {
      bool also = false;
      for (const std::string& p : c.alsoPaths) also = also || (!v.paths.empty() && v.paths[0] == p);
      if (v.kind == VolumeKind::kFixed || also) picked.push_back(&v);
    }
    ASSERT_EQ(picked.size(), c.volumes.size());
    for (size_t i = 0; i < picked.size(); ++i) {
      EXPECT_EQ(picked[i]->name, c.volumes[i].name) << i;
      EXPECT_EQ(picked[i]->paths, c.volumes[i].paths) << i;
      EXPECT_EQ(picked[i]->kind, c.volumes[i].kind) << i;
    }
  }
}

TEST(MountInfoTest, PseudoRemoteAndImagesAreNotFixed) {
  std::map<std::string, VolumeKind> kinds;
  for (const VolumeInfo& v : VolumesOfMountInfo(kDebianServer)) kinds[v.paths.at(0)] = v.kind;
  EXPECT_EQ(kinds.at("/proc"), VolumeKind::kMemory);
  EXPECT_EQ(kinds.at("/dev"), VolumeKind::kMemory);
  EXPECT_EQ(kinds.at("/run"), VolumeKind::kMemory);
  EXPECT_EQ(kinds.at("/sys/fs/cgroup"), VolumeKind::kMemory);
  EXPECT_EQ(kinds.at("/var/lib/docker/overlay2/abc/merged"), VolumeKind::kMemory);
  EXPECT_EQ(kinds.at("/mnt/backup"), VolumeKind::kOther);
  // A snap's image is full by design.
  EXPECT_EQ(kinds.at("/snap/core20/2015"), VolumeKind::kOther);
}

TEST(MountInfoTest, DecodeMountPathLeavesOtherBackslashesAlone) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/a\\040b", "/a b"}, {"/a\\0", "/a\\0"}, {"/a\\999", "/a\\999"}, {"/a\\", "/a\\"}, {"\\134\\134", "\\\\"},
      {"/end\\040", "/end "}};
  for (const auto& [field, decoded] : cases) EXPECT_EQ(DecodeMountPath(field), decoded) << field;
}

// The volume API of a Windows machine, as data.
struct FakeVolume {
  std::u16string name;
  std::vector<std::u16string> paths;
  unsigned type = 3;
  std::u16string label;
  std::u16string fileSystem = u"NTFS";
  bool informationFails = false;
  uint32_t pathError = 0;   // GetVolumePathNamesForVolumeNameW fails with this
  int growBy = 0;           // paths added after the first size query (the answer grows)
};

class FakeVolumeApi : public VolumeApi {
 public:
  std::vector<FakeVolume> volumes;
  uint32_t firstError = 0;       // FindFirstVolumeW fails with this
  size_t nextFailsAt = SIZE_MAX;  // FindNextVolumeW fails when asked for this index
  uint32_t nextError = 21;
  int ends = 0;
  std::vector<std::u16string> typeRoots;

  bool FirstVolume(std::u16string* name, uint32_t* error) override {
    next_ = 0;
    if (firstError != 0) {
      *error = firstError;
      return false;
    }
    return Next(name, error);
  }
  bool NextVolume(std::u16string* name, uint32_t* error) override {
    if (next_ == nextFailsAt) {
      *error = nextError;
      return false;
    }
    return Next(name, error);
  }
  void EndVolumes() override { ++ends; }
  bool PathNames(const std::u16string& volume, uint32_t chars, std::u16string* multi, uint32_t* needed,
                 uint32_t* error) override {
    for (FakeVolume& v : volumes) {
      if (v.name != volume) continue;
      if (v.pathError != 0) {
        *error = v.pathError;
        return false;
      }
      std::u16string all;
      for (const auto& p : v.paths) all += p + u'\0';
      all += u'\0';
      if (all.size() > chars) {
        *needed = static_cast<uint32_t>(all.size());
        *error = 234;
        // The next call finds more paths than this one counted.
        for (int i = 0; i < v.growBy; ++i) v.paths.push_back(u"C:\\grown\\" + std::u16string(1, u'a' + i) + u"\\");
        v.growBy = 0;
        return false;
      }
      *multi = all;
      return true;
    }
    *error = 2;
    return false;
  }
  unsigned DriveType(const std::u16string& root) override {
    typeRoots.push_back(root);
    for (const FakeVolume& v : volumes)
      if (v.name == root || (!v.paths.empty() && v.paths[0] == root)) return v.type;
    return 1;
  }
  bool Information(const std::u16string& root, std::u16string* label, std::u16string* fileSystem,
                   uint32_t* error) override {
    for (const FakeVolume& v : volumes) {
      if (v.name != root && (v.paths.empty() || v.paths[0] != root)) continue;
      if (v.informationFails) {
        *error = 21;
        return false;
      }
      *label = v.label;
      *fileSystem = v.fileSystem;
      return true;
    }
    *error = 2;
    return false;
  }

 private:
  bool Next(std::u16string* name, uint32_t* error) {
    if (next_ >= volumes.size()) {
      *error = 18;
      return false;
    }
    *name = volumes[next_++].name;
    return true;
  }
  size_t next_ = 0;
};

const char16_t kSystemGuid[] = u"\\\\?\\Volume{11111111-0000-0000-0000-000000000001}\\";
const char16_t kLogGuid[] = u"\\\\?\\Volume{11111111-0000-0000-0000-000000000002}\\";
const char16_t kClusterGuid[] = u"\\\\?\\Volume{11111111-0000-0000-0000-000000000003}\\";
const char16_t kUsbGuid[] = u"\\\\?\\Volume{11111111-0000-0000-0000-000000000004}\\";

TEST(VolumeApiListingTest, EachVolumeOnceWithEveryPath) {
  FakeVolumeApi api;
  api.volumes = {
      {kSystemGuid, {u"C:\\"}, 3, u"System"},
      {kLogGuid, {u"C:\\SQLData\\Log\\", u"E:\\", u"D:\\Mounts\\Log\\"}, 3, u"SQLLog"},
      {kClusterGuid, {}, 3, u"データ"},  // no path: known by its name
      {kUsbGuid, {u"F:\\"}, 2, u"USB"},
      {u"\\\\?\\Volume{11111111-0000-0000-0000-000000000005}\\", {u"R:\\"}, 6, u"RAM"},
  };
  const Result<std::vector<VolumeInfo>> listed = ListVolumesThrough(api);
  ASSERT_TRUE(listed.Ok()) << listed.status().Describe();
  ASSERT_EQ(listed->size(), 5u);
  const std::vector<VolumeInfo>& v = *listed;
  EXPECT_EQ(v[0].paths, std::vector<std::string>{"C:\\"});
  EXPECT_EQ(v[0].kind, VolumeKind::kFixed);
  EXPECT_EQ(v[0].fileSystem, "NTFS");
  EXPECT_EQ(v[1].paths, (std::vector<std::string>{"C:\\SQLData\\Log\\", "E:\\", "D:\\Mounts\\Log\\"}));
  EXPECT_EQ(v[1].label, "SQLLog");
  EXPECT_EQ(v[2].paths, std::vector<std::string>{});
  EXPECT_EQ(v[2].name, Utf16ToSjis(kClusterGuid));
  EXPECT_EQ(MeasuredPath(v[2]), v[2].name);
  EXPECT_EQ(v[2].label, "データ");  // Shift-JIS in the product, from UTF-16
  EXPECT_EQ(v[2].kind, VolumeKind::kFixed);
  EXPECT_EQ(v[3].kind, VolumeKind::kOther);
  EXPECT_EQ(v[4].kind, VolumeKind::kMemory);
  // The type of a volume without a path is asked of its name.
  EXPECT_EQ(api.typeRoots.at(2), kClusterGuid);
  EXPECT_EQ(api.ends, 1);
}

TEST(VolumeApiListingTest, LongAndGrowingPathListsAreReadWhole) {
  FakeVolumeApi api;
  FakeVolume many{kLogGuid, {}, 3, u"Many"};
  for (int i = 0; i < 40; ++i) many.paths.push_back(u"C:\\Mounts\\Log" + std::u16string(1, u'A' + (i % 26)) + u"\\");
  many.growBy = 3;
  api.volumes = {many};
  const Result<std::vector<VolumeInfo>> listed = ListVolumesThrough(api);
  ASSERT_TRUE(listed.Ok());
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ(listed->at(0).paths.size(), 43u);
  EXPECT_EQ(listed->at(0).paths.back(), "C:\\grown\\c\\");
}

TEST(VolumeApiListingTest, FailuresOfTheSearchAndOfOneVolume) {
  struct Case {
    const char* what;
    uint32_t firstError;
    size_t nextFailsAt;
    bool ok;
    size_t count;
    const char* failedCall;
  };
  const Case cases[] = {
      {"no volume at all", 18, SIZE_MAX, true, 0, ""},
      {"the search is refused", 5, SIZE_MAX, false, 0, "FindFirstVolumeW"},
      {"the search breaks half-way", 0, 2, false, 0, "FindNextVolumeW"},
      {"the search ends normally", 0, SIZE_MAX, true, 3, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeVolumeApi api;
    api.volumes = {{kSystemGuid, {u"C:\\"}, 3, u"System"},
                   {kLogGuid, {u"C:\\Log\\"}, 3, u"", u"NTFS", true},  // not ready: no label
                   {kClusterGuid, {u"D:\\"}, 3, u"", u"", false, 5}};  // paths refused
    api.firstError = c.firstError;
    api.nextFailsAt = c.nextFailsAt;
    const Result<std::vector<VolumeInfo>> listed = ListVolumesThrough(api);
    ASSERT_EQ(listed.Ok(), c.ok) << (listed.Ok() ? "" : listed.status().Describe());
    if (!c.ok) {
      EXPECT_NE(listed.status().Describe().find(c.failedCall), std::string::npos) << listed.status().Describe();
      EXPECT_EQ(api.ends, c.firstError == 0 ? 1 : 0);
      continue;
    }
    ASSERT_EQ(listed->size(), c.count);
    if (c.count == 3) {
      EXPECT_EQ(listed->at(1).label, "");
      EXPECT_EQ(listed->at(1).paths, std::vector<std::string>{"C:\\Log\\"});
      EXPECT_TRUE(listed->at(2).paths.empty());  // listed, by its name
    }
  }
}

TEST(MountPathTest, KeysAndShownForms) {
  struct Case {
    std::string path, key, shown;
  };
  const Case cases[] = {
      {"C:\\", "C:\\", "C:\\"},
      {"c:", "C:\\", "c:"},
      {"c:\\sqldata\\log", "C:\\SQLDATA\\LOG\\", "c:\\sqldata\\log"},
      {"C:\\SQLData\\Log\\", "C:\\SQLDATA\\LOG\\", "C:\\SQLData\\Log"},
      {"C:/SQLData/Log/", "C:\\SQLDATA\\LOG\\", "C:/SQLData/Log"},
      {"\\\\?\\Volume{ab}\\", "\\\\?\\VOLUME{AB}\\", "\\\\?\\Volume{ab}\\"},
      {"/", "/", "/"},
      {"/var/lib/postgresql/", "/var/lib/postgresql", "/var/lib/postgresql"},
      {"/Data//", "/Data", "/Data"},
      // A Shift-JIS second byte that is a backslash or a letter stays as is.
      {"D:\\表\\", "D:\\表\\", "D:\\表"},
      {"D:\\ソa", "D:\\ソA\\", "D:\\ソa"},
      {"D:\\表", "D:\\表\\", "D:\\表"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MountPathKey(c.path), c.key) << c.path;
    EXPECT_EQ(ShownMountPath(c.path), c.shown) << c.path;
  }
}

// --- file system labels --------------------------------------------------------

// A superblock block of `fileSystem` as its device holds it, with `label`
// written into the label field (no NUL added when it fills the field).
std::string Superblock(const std::string& fileSystem, const std::string& label) {
  SuperblockSpot spot;
  if (!SuperblockSpotOf(fileSystem, &spot)) return "";
  std::string block(spot.size, '\0');
  size_t at = 0;
  if (fileSystem == "xfs") {
    block.replace(0, 4, "XFSB");
    at = 108;
  } else if (fileSystem == "btrfs") {
    block.replace(0x40, 8, "_BHRfS_M");
    at = 0x12B;
  } else {
    block[0x38] = '\x53';
    block[0x39] = '\xEF';
    at = 0x78;
  }
  block.replace(at, label.size(), label);
  return block;
}

TEST(FileSystemLabelTest, SuperblocksOfEachKind) {
  struct Case {
    const char* what;
    std::string fileSystem;
    std::string block;
    std::string label;  // Shift-JIS
  };
  std::string wrongMagic = Superblock("ext4", "DATA");
  wrongMagic[0x39] = '\x00';
  std::string xfsCut = Superblock("xfs", "LOGS");
  xfsCut.resize(100);  // a short read: the label field is not there
  const std::vector<Case> cases = {
      {"ext4", "ext4", Superblock("ext4", "QWDATA"), "QWDATA"},
      {"ext2 and ext3 share the layout", "ext3", Superblock("ext3", "old"), "old"},
      // A label of 16 bytes fills the field with no NUL after it.
      {"ext4 label filling its field", "ext4", Superblock("ext4", "ABCDEFGHIJKLMNOP"), "ABCDEFGHIJKLMNOP"},
      {"ext4 without label", "ext4", Superblock("ext4", ""), ""},
      {"ext4 magic missing", "ext4", wrongMagic, ""},
      {"xfs", "xfs", Superblock("xfs", "pgdata"), "pgdata"},
      {"xfs label filling its 12 bytes", "xfs", Superblock("xfs", "ABCDEFGHIJKL"), "ABCDEFGHIJKL"},
      {"xfs short read", "xfs", xfsCut, ""},
      {"btrfs", "btrfs", Superblock("btrfs", "pool-1"), "pool-1"},
      // Labels are UTF-8 on Linux; the product's text is Shift-JIS.
      {"UTF-8 label", "ext4", Superblock("ext4", "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF"), "データ"},
      // A label must not break a report's lines.
      {"control characters", "ext4", Superblock("ext4", "a\r\nb\tc"), "a??b?c"},
      {"an ext4 block read as xfs", "xfs", Superblock("ext4", "QWDATA"), ""},
      {"a file system not read", "vfat", Superblock("ext4", "QWDATA"), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(LabelOfSuperblock(c.fileSystem, c.block), c.label) << c.what;
}

#ifndef _WIN32
// An image made by mkfs.ext4 itself, read as the listing reads a device.
TEST(FileSystemLabelTest, ImageMadeByMkfsExt4) {
  if (std::system("command -v mkfs.ext4 >/dev/null 2>&1") != 0) GTEST_SKIP() << "mkfs.ext4 is missing";
  const std::string image = ::testing::TempDir() + "qw_label_test.img";
  struct Case {
    std::string label;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{{"QWDATA", "QWDATA"}, {"", ""}}) {
    std::remove(image.c_str());
    const std::string make = "truncate -s 4M '" + image + "' && mkfs.ext4 -q -F " +
                             (c.label.empty() ? std::string() : "-L '" + c.label + "' ") + "'" + image +
                             "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    EXPECT_EQ(ReadFileSystemLabel(image, "ext4"), c.expected) << c.label;
    // The same bytes are no XFS, and a missing device reads as no label.
    EXPECT_EQ(ReadFileSystemLabel(image, "xfs"), "");
  }
  EXPECT_EQ(ReadFileSystemLabel(image + ".missing", "ext4"), "");
  std::remove(image.c_str());
}
#endif

}  // namespace
}  // namespace qw

// The system implementations of profile files and drives, held to the rules
// of the Windows profile functions. The same cases run natively (POSIX
// implementation) and under Wine (the real Windows functions).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/drives.h"
#include "platform/event_log.h"
#include "platform/ini_text.h"
#include "platform/profile.h"
#include "platform/text_codec.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qw {
namespace {

namespace fs = std::filesystem;

class SystemProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name = "qw_profile_test_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
#ifdef _WIN32
    const char* windir = std::getenv("WINDIR");
    dir = windir ? windir : "C:\\windows";
#else
    dir = (fs::temp_directory_path() / ("qw_windir_" + std::to_string(getpid()))).string();
    fs::create_directories(dir);
#endif
    path = (fs::path(dir) / name).string();
    profiles = NewSystemProfiles(dir);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove(path, ec);
#ifndef _WIN32
    fs::remove_all(dir, ec);
#endif
  }
  void Put(const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::string Text() {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // One key through a snapshot of the file, as a reader takes it.
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) {
    const Result<ProfileSnapshot> ini = profiles->ReadSnapshot(name);
    return ini.Ok() ? ini->ReadString(section, key, def) : def;
  }
  int ReadInt(const std::string& section, const std::string& key, int def) {
    const Result<ProfileSnapshot> ini = profiles->ReadSnapshot(name);
    return ini.Ok() ? ini->ReadInt(section, key, def) : def;
  }
  // One key set over the file as it is, and the whole file replaced.
  bool WriteString(const std::string& section, const std::string& key, const std::string& value) {
    Result<ProfileSnapshot> ini = profiles->ReadSnapshot(name);
    if (!ini.Ok()) return false;
    ini->WriteString(section, key, value);
    return profiles->WriteSnapshot(name, *ini).Ok();
  }
  Status CheckFile() {
    return profiles->ReadSnapshot(name).status();
  }

  std::string name, dir, path;
  std::unique_ptr<Profiles> profiles;
};

TEST_F(SystemProfileTest, MissingFileReadsDefaults) {
  EXPECT_EQ(ReadString("WARNING", "INTERVAL", "24"), "24");
  EXPECT_EQ(ReadInt("MAIL", "PORT", 25), 25);
}

TEST_F(SystemProfileTest, ReadingRules) {
  Put("[warning]\r\ninterval = 12 \r\nQ1=\"quoted value\"\r\nQ2='single'\r\nE=\r\n"
      "[MAIL]\r\nPORT=0x19\r\nBAD=abc\r\nDEC=2525\r\nLONG=" + std::string(3000, 'x') + "\r\n");
  EXPECT_EQ(ReadString("WARNING", "INTERVAL", "24"), "12");
  EXPECT_EQ(ReadString("Warning", "Interval", "24"), "12");
  EXPECT_EQ(ReadString("WARNING", "Q1", ""), "quoted value");
  EXPECT_EQ(ReadString("WARNING", "Q2", ""), "single");
  EXPECT_EQ(ReadString("WARNING", "E", "dflt"), "") << "an empty value is not missing";
  EXPECT_EQ(ReadString("MAIL", "LONG", ""), std::string(3000, 'x')) << "read whole";
  EXPECT_EQ(ReadInt("MAIL", "PORT", 25), 25);
  EXPECT_EQ(ReadInt("MAIL", "BAD", 25), 25);
  EXPECT_EQ(ReadInt("MAIL", "DEC", 25), 2525);
  EXPECT_EQ(ReadString("MAIL", "INTERVAL", "none"), "none") << "keys belong to their section";
}

TEST_F(SystemProfileTest, WritesCreateTheFileAndKeepOtherKeys) {
  ASSERT_TRUE(WriteString("WARNING", "INTERVAL", "24"));
  ASSERT_TRUE(WriteString("DRIVE", "C", "10MB"));
  ASSERT_TRUE(WriteString("MAIL", "SMTP", "mx"));
  ASSERT_TRUE(WriteString("WARNING", "ISMAILSEND", "1"));
  const std::string text = Text();
  const auto w = text.find("[WARNING]"), d = text.find("[DRIVE]"), m = text.find("[MAIL]");
  ASSERT_NE(w, std::string::npos);
  ASSERT_NE(d, std::string::npos);
  ASSERT_NE(m, std::string::npos);
  EXPECT_LT(w, d);
  EXPECT_LT(d, m);
  EXPECT_LT(text.find("ISMAILSEND=1"), d) << "a new key goes into its own section";

  Put("[DRIVE]\r\nC=1MB\r\nD=2MB\r\nZ=3%\r\n");
  ASSERT_TRUE(WriteString("drive", "c", "5MB"));
  EXPECT_EQ(ReadString("DRIVE", "C", ""), "5MB");
  EXPECT_EQ(ReadString("DRIVE", "D", ""), "2MB");
  EXPECT_EQ(ReadString("DRIVE", "Z", ""), "3%");
  const std::string after = Text();
  EXPECT_EQ(after.find("C=1MB"), std::string::npos);
  EXPECT_LT(after.find("D=2MB"), after.find("Z=3%"));
}

// UTF-16LE text of an ASCII `text`, with its byte-order mark.
std::string Utf16Le(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char c : text) bytes += std::string{c, '\0'};
  return bytes;
}

TEST_F(SystemProfileTest, LongValuesAreReadWhole) {
  std::string addresses;
  for (int i = 0; i < 1000; ++i) addresses += (i ? "," : "") + ("user" + std::to_string(i) + "@example.jp");
  ASSERT_GT(addresses.size(), 16000u);
  Put("[MAIL]\r\nMAILTO=" + addresses + "\r\nNEXT=1\r\n");
  EXPECT_EQ(ReadString("MAIL", "MAILTO", ""), addresses);
  EXPECT_EQ(ReadString("MAIL", "NEXT", ""), "1");
  // The buffer is grown exactly across its first size.
  for (size_t n : {2046u, 2047u, 2048u, 8191u, 8192u}) {
    Put("[A]\r\nK=" + std::string(n, 'v') + "\r\n");
    EXPECT_EQ(ReadString("A", "K", "").size(), n);
  }
}

// Both byte-order marks are read as the Windows profile functions read them:
// the first section is not hidden behind a UTF-8 mark, and a UTF-16LE file
// reads as its text. A write keeps the file's form.
TEST_F(SystemProfileTest, ByteOrderMarks) {
  Put("\xEF\xBB\xBF[WARNING]\r\nINTERVAL=7\r\n[DRIVE]\r\nC=3MB\r\n");
  EXPECT_EQ(ReadString("WARNING", "INTERVAL", "24"), "7");
  EXPECT_TRUE(CheckFile().Ok());
  ASSERT_TRUE(WriteString("DRIVE", "D", "5%"));
  EXPECT_EQ(ReadString("DRIVE", "D", ""), "5%");
  EXPECT_EQ(ReadString("WARNING", "INTERVAL", "24"), "7");

  Put(Utf16Le("[WARNING]\r\nINTERVAL=7\r\n[DRIVE]\r\nC=3MB\r\n"));
  EXPECT_TRUE(CheckFile().Ok()) << CheckFile().Describe();
  EXPECT_EQ(ReadString("WARNING", "INTERVAL", "24"), "7");
  EXPECT_EQ(ReadString("DRIVE", "C", ""), "3MB");
  ASSERT_TRUE(WriteString("DRIVE", "C", "9MB"));
  EXPECT_EQ(ReadString("DRIVE", "C", ""), "9MB");
  EXPECT_EQ(ReadString("WARNING", "INTERVAL", "24"), "7");
  const std::string after = Text();
  EXPECT_EQ(after.substr(0, 2), "\xFF\xFE") << "still UTF-16LE";
  EXPECT_NE(after.find(Utf16Le("C=9MB").substr(2)), std::string::npos);
}

// Files that are no profile file fail CheckFile with a reason and read as
// no keys; a missing file passes.
TEST_F(SystemProfileTest, CheckFileRefusesWhatIsNoProfileFile) {
  EXPECT_TRUE(CheckFile().Ok()) << "missing";
  Put("");
  EXPECT_TRUE(CheckFile().Ok()) << "empty";
  Put(std::string("[A]\r\nB=C\r\n\0\x01\x02", 13));
  EXPECT_EQ(CheckFile().Text(), "テキストファイルではありません (NUL 文字を含みます)");
  Put("[A]\r\nB=C\r\n" + std::string(2 << 20, ';'));
  EXPECT_EQ(CheckFile().Text(), "大きすぎます (2,097,162 バイト、上限は 1,048,576 バイト)");
  Put("[A]\r\nB=C\r\n" + std::string(kMaxProfileBytes - 10, ';'));
  EXPECT_TRUE(CheckFile().Ok()) << "exactly at the limit";
  std::error_code ec;
  fs::remove(path, ec);
  fs::create_directory(path);
  EXPECT_EQ(CheckFile().Text(), "ファイルではなくフォルダーです");
  EXPECT_EQ(ReadString("A", "B", "dflt"), "dflt");
  fs::remove(path, ec);
}

// The settings file's one writer: the whole text in place and no temporary
// file left beside it; in create-only mode an existing file is never
// replaced; a folder in the file's place is never replaced.
TEST_F(SystemProfileTest, WholeFileWrites) {
  auto leftovers = [&] {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
      const std::string file = e.path().filename().string();
      n += file != name && file.rfind(name, 0) == 0;
    }
    return n;
  };
  ASSERT_TRUE(WriteProfileFile(path, "[A]\r\nB=1\r\n", true).Ok());
  EXPECT_EQ(Text(), "[A]\r\nB=1\r\n");
  const Status again = WriteProfileFile(path, "[A]\r\nB=2\r\n", true);
  EXPECT_FALSE(again.Ok());
  EXPECT_EQ(again.Kind(), StatusKind::kAlreadyExists) << again.Describe();
  EXPECT_EQ(Text(), "[A]\r\nB=1\r\n");
  const Status replaced = WriteProfileFile(path, "[A]\r\nB=3\r\n");
  ASSERT_TRUE(replaced.Ok()) << replaced.Describe();
  EXPECT_EQ(Text(), "[A]\r\nB=3\r\n");
  EXPECT_EQ(leftovers(), 0u);

  std::error_code ec;
  fs::remove(path, ec);
  fs::create_directory(path);
  EXPECT_EQ(WriteProfileFile(path, "[A]\r\n").Text(), "ファイルではなくフォルダーです");
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_EQ(leftovers(), 0u);
  fs::remove(path, ec);
}

#ifndef _WIN32
// A write goes through a symbolic link to its target and keeps the target's
// mode and owner; a file that cannot be read is not replaced; a FIFO in the
// file's place never blocks.
TEST_F(SystemProfileTest, PosixWritesKeepLinkModeAndOwner) {
  const fs::path real = fs::path(dir) / "real" / "Drivewarden.ini";
  fs::create_directories(real.parent_path());
  std::ofstream(real, std::ios::binary) << "[DRIVE]\r\nC=1MB\r\n";
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(chown(real.c_str(), 4321, 4322), 0) << "the test runs as root";
  fs::create_symlink(real, path);

  ASSERT_TRUE(WriteString("DRIVE", "C", "2MB"));
  EXPECT_TRUE(fs::is_symlink(path)) << "the link stays";
  std::ifstream in(real, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "[DRIVE]\r\nC=2MB\r\n");
  struct stat st {};
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(real.parent_path())) entries += e.exists();
  EXPECT_EQ(entries, 1u) << "no temporary file is left";

  fs::remove(path);
  Put("[A]\r\nB=C\r\n" + std::string(kMaxProfileBytes, ';'));
  EXPECT_FALSE(WriteString("A", "B", "D")) << "an unreadable file is not replaced";
  EXPECT_EQ(fs::file_size(path), static_cast<uintmax_t>(kMaxProfileBytes + 10));

  fs::remove(path);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(CheckFile().Text(), "通常のファイルではありません");
  EXPECT_EQ(ReadString("A", "B", "dflt"), "dflt");
  EXPECT_FALSE(WriteString("A", "B", "D"));
  EXPECT_TRUE(fs::is_fifo(path));
  fs::remove(path);
}
#endif

TEST(ProfileText, Utf16LeRoundTripsByteForByte) {
  // An astral character, a lone high and a lone low surrogate, and an odd
  // last byte (dropped).
  const std::string bytes = std::string("\xFF\xFE[\0A\0]\0\x3D\xD8\x00\xDE\x00\xD8x\0\x00\xDCy\0", 20);
  ProfileEncoding encoding;
  const std::string text = DecodeProfileBytes(bytes + "z", &encoding);
  EXPECT_EQ(encoding, ProfileEncoding::Utf16LeBom);
  EXPECT_EQ(text, "[A]\xF0\x9F\x98\x80\xED\xA0\x80x\xED\xB0\x80y");
  EXPECT_EQ(EncodeProfileText(text, encoding), bytes);
  EXPECT_EQ(DecodeProfileBytes("\xEF\xBB\xBF[A]", &encoding), "[A]");
  EXPECT_EQ(encoding, ProfileEncoding::Utf8Bom);
  EXPECT_EQ(EncodeProfileText("[A]", encoding), "\xEF\xBB\xBF[A]");
  EXPECT_EQ(DecodeProfileBytes("\xEF\xBB[A]", &encoding), "\xEF\xBB[A]");
  EXPECT_EQ(encoding, ProfileEncoding::Ansi);
}

TEST(SystemDrives, CIsAFixedMeasurableDrive) {
#ifdef _WIN32
  auto drives = NewSystemDrives("");
#else
  const std::string dir = (fs::temp_directory_path() / ("qw_nodos_" + std::to_string(getpid()))).string();
  fs::create_directories(dir);
  auto drives = NewSystemDrives(dir);
#endif
  EXPECT_EQ(drives->DriveType("C:\\"), kDriveFixed);
  const Result<DiskSpace> c = drives->DiskFreeSpace("C:\\");
  ASSERT_TRUE(c.Ok()) << c.status().Describe();
  EXPECT_GT(c->totalBytes, 0);
  EXPECT_GE(c->freeToCaller, 0);
  EXPECT_LE(c->freeToCaller, c->totalBytes);
  EXPECT_NE(drives->DriveType("Q:\\"), kDriveFixed);
  // A letter with no drive behind it fails and says why, on either system.
  const Result<DiskSpace> q = drives->DiskFreeSpace("Q:\\");
  EXPECT_FALSE(q.Ok());
  EXPECT_FALSE(q.status().Describe().empty());
}

#ifndef _WIN32
TEST(SystemDrives, DosDevicesMapLettersToFolders) {
  const fs::path dir = fs::temp_directory_path() / ("qw_dos_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "dosdevices");
  fs::create_directories(dir / "target");
  fs::create_directory_symlink(dir / "target", dir / "dosdevices" / "d:");
  fs::create_directory_symlink(dir / "missing", dir / "dosdevices" / "e:");
  auto drives = NewSystemDrives(dir.string());
  EXPECT_EQ(drives->DriveType("D:\\"), kDriveFixed);
  EXPECT_EQ(drives->DriveType("d:\\"), kDriveFixed);
  EXPECT_EQ(drives->DriveType("E:\\"), kDriveNoRootDir) << "a dangling link";
  EXPECT_EQ(drives->DriveType("C:\\"), kDriveNoRootDir) << "with dosdevices, C: must be mapped too";
  fs::remove_all(dir);
}
#endif

TEST(EventLogFile, EntriesAreAppendedAsJsonLines) {
  const fs::path file = fs::temp_directory_path() / ("qw_events_" + std::to_string(getpid()) + ".json");
  fs::remove(file);
  {
    auto log = NewSystemEventLog(file.string());
    log->Report("Drivewarden", EventType::Warning, 0, 5610, "空き\r\n\"q\"\\");
    log->Report("Drivewarden", EventType::Information, 0, 5610, "");
  }
  std::ifstream in(file, std::ios::binary);
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, std::string("{\"source\":\"Drivewarden\",\"type\":\"warning\",\"category\":0,\"id\":5610,"
                               "\"text\":\"") + SjisToUtf8("空き") + "\\r\\n\\\"q\\\"\\\\\"}");
  EXPECT_EQ(second, "{\"source\":\"Drivewarden\",\"type\":\"information\",\"category\":0,\"id\":5610,\"text\":\"\"}");
  in.close();
  fs::remove(file);
}

TEST(TextCodec, ShiftJisRoundTrips) {
  const std::string sjis = "ドライブ番人 ABC ｶﾀｶﾅ";
  EXPECT_EQ(Utf8ToSjis(SjisToUtf8(sjis)), sjis);
  EXPECT_EQ(Utf16ToSjis(SjisToUtf16(sjis)), sjis);
  EXPECT_EQ(SjisToUtf16("番").size(), 1u);
  EXPECT_EQ(SjisToUtf8("\x94\xD4"), "\xE7\x95\xAA");  // 番
}

}  // namespace
}  // namespace qw

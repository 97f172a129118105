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
#include "platform/profile.h"
#include "platform/text_codec.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
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

  std::string name, dir, path;
  std::unique_ptr<Profiles> profiles;
};

TEST_F(SystemProfileTest, MissingFileReadsDefaultsAndHasNoStamp) {
  EXPECT_EQ(profiles->ReadString(name, "WARNING", "INTERVAL", "24"), "24");
  EXPECT_EQ(profiles->ReadInt(name, "MAIL", "PORT", 25), 25);
  EXPECT_EQ(profiles->LastWriteDosStamp(name), -1);
}

TEST_F(SystemProfileTest, ReadingRules) {
  Put("[warning]\r\ninterval = 12 \r\nQ1=\"quoted value\"\r\nQ2='single'\r\nE=\r\n"
      "[MAIL]\r\nPORT=0x19\r\nBAD=abc\r\nDEC=2525\r\nLONG=" + std::string(3000, 'x') + "\r\n");
  EXPECT_EQ(profiles->ReadString(name, "WARNING", "INTERVAL", "24"), "12");
  EXPECT_EQ(profiles->ReadString(name, "Warning", "Interval", "24"), "12");
  EXPECT_EQ(profiles->ReadString(name, "WARNING", "Q1", ""), "quoted value");
  EXPECT_EQ(profiles->ReadString(name, "WARNING", "Q2", ""), "single");
  EXPECT_EQ(profiles->ReadString(name, "WARNING", "E", "dflt"), "") << "an empty value is not missing";
  EXPECT_EQ(profiles->ReadString(name, "MAIL", "LONG", "").size(), 2047u);
  EXPECT_EQ(profiles->ReadInt(name, "MAIL", "PORT", 25), 25);
  EXPECT_EQ(profiles->ReadInt(name, "MAIL", "BAD", 25), 25);
  EXPECT_EQ(profiles->ReadInt(name, "MAIL", "DEC", 25), 2525);
  EXPECT_EQ(profiles->ReadString(name, "MAIL", "INTERVAL", "none"), "none") << "keys belong to their section";
}

TEST_F(SystemProfileTest, WritesCreateTheFileAndKeepOtherKeys) {
  ASSERT_TRUE(profiles->WriteString(name, "WARNING", "INTERVAL", "24"));
  ASSERT_TRUE(profiles->WriteString(name, "DRIVE", "C", "10MB"));
  ASSERT_TRUE(profiles->WriteString(name, "MAIL", "SMTP", "mx"));
  ASSERT_TRUE(profiles->WriteString(name, "WARNING", "ISMAILSEND", "1"));
  const std::string text = Text();
  const auto w = text.find("[WARNING]"), d = text.find("[DRIVE]"), m = text.find("[MAIL]");
  ASSERT_NE(w, std::string::npos);
  ASSERT_NE(d, std::string::npos);
  ASSERT_NE(m, std::string::npos);
  EXPECT_LT(w, d);
  EXPECT_LT(d, m);
  EXPECT_LT(text.find("ISMAILSEND=1"), d) << "a new key goes into its own section";
  EXPECT_NE(profiles->LastWriteDosStamp(name), -1);

  Put("[DRIVE]\r\nC=1MB\r\nD=2MB\r\nZ=3%\r\n");
  ASSERT_TRUE(profiles->WriteString(name, "drive", "c", "5MB"));
  EXPECT_EQ(profiles->ReadString(name, "DRIVE", "C", ""), "5MB");
  EXPECT_EQ(profiles->ReadString(name, "DRIVE", "D", ""), "2MB");
  EXPECT_EQ(profiles->ReadString(name, "DRIVE", "Z", ""), "3%");
  const std::string after = Text();
  EXPECT_EQ(after.find("C=1MB"), std::string::npos);
  EXPECT_LT(after.find("D=2MB"), after.find("Z=3%"));
}

TEST_F(SystemProfileTest, StampIsTheLocalWriteTimeInDosForm) {
  Put("[A]\r\nB=C\r\n");
  const int32_t stamp = profiles->LastWriteDosStamp(name);
  ASSERT_NE(stamp, -1);
  const int year = 1980 + ((static_cast<uint32_t>(stamp) >> 25) & 0x7F);
  const int month = (static_cast<uint32_t>(stamp) >> 21) & 0x0F;
  const int day = (static_cast<uint32_t>(stamp) >> 16) & 0x1F;
  const int second = (stamp & 0x1F) * 2;
  const std::time_t now = std::time(nullptr);
  std::tm local = *std::localtime(&now);
  EXPECT_EQ(year, local.tm_year + 1900);
  EXPECT_EQ(month, local.tm_mon + 1);
  EXPECT_GE(day, 1);
  EXPECT_LT(second, 60);
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
  int64_t freeBytes = -1, total = -1;
  ASSERT_TRUE(drives->DiskFreeSpace("C:\\", &freeBytes, &total));
  EXPECT_GT(total, 0);
  EXPECT_GE(freeBytes, 0);
  EXPECT_LE(freeBytes, total);
  EXPECT_NE(drives->DriveType("Q:\\"), kDriveFixed);
  int64_t unchanged = 7;
  EXPECT_FALSE(drives->DiskFreeSpace("Q:\\", &unchanged, &unchanged));
  EXPECT_EQ(unchanged, 7);
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

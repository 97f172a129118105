// The platform's part in the encodings: file types and the local UTC offset.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "mail/encodings.h"
#include "platform/content_type.h"
#include "platform/system_info.h"

namespace qw {
namespace {

#if defined(_WIN32)
// Windows: the registry's file types. A type is registered for the current
// user (HKEY_CLASSES_ROOT shows it) with reg.exe and removed afterwards.
class RegistryContentTypeTest : public ::testing::Test {
 protected:
  static int Reg(const std::string& args) { return std::system(("reg " + args + " >NUL 2>&1").c_str()); }
  void TearDown() override {
    Reg("delete HKCU\\Software\\Classes\\.qwmailtext /f");
    Reg("delete HKCU\\Software\\Classes\\.qwmailempty /f");
  }
};

TEST_F(RegistryContentTypeTest, ReadsTheRegisteredContentType) {
  ASSERT_EQ(Reg("add HKCU\\Software\\Classes\\.qwmailtext /v \"Content Type\" /d text/x-qw-mail /f"), 0);
  EXPECT_EQ(ContentTypeOfFile("report.qwmailtext"), "text/x-qw-mail");
  EXPECT_EQ(ContentTypeOfFile("C:\\logs\\REPORT.QWMAILTEXT"), "text/x-qw-mail");
  // A key without the value, or with an empty one, gives the fallback.
  ASSERT_EQ(Reg("add HKCU\\Software\\Classes\\.qwmailempty /f"), 0);
  EXPECT_EQ(ContentTypeOfFile("a.qwmailempty"), "application/octet-stream");
  ASSERT_EQ(Reg("add HKCU\\Software\\Classes\\.qwmailempty /v \"Content Type\" /d \"\" /f"), 0);
  EXPECT_EQ(ContentTypeOfFile("a.qwmailempty"), "application/octet-stream");
}
#else
TEST(ContentTypeOfFile, KnowsCommonExtensions) {
  EXPECT_EQ(ContentTypeOfFile("report.txt"), "text/plain");
  EXPECT_EQ(ContentTypeOfFile("C:\\logs\\REPORT.TXT"), "text/plain");
  EXPECT_EQ(ContentTypeOfFile("page.htm"), "text/html");
  EXPECT_EQ(ContentTypeOfFile("photo.JPG"), "image/jpeg");
  EXPECT_EQ(ContentTypeOfFile("archive.zip"), "application/x-zip-compressed");
}
#endif

TEST(ContentTypeOfFile, FallsBackToOctetStream) {
  EXPECT_EQ(ContentTypeOfFile("data.qwunknownext"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOfFile("noextension"), "application/octet-stream");
  EXPECT_EQ(ContentTypeOfFile(""), "application/octet-stream");
  EXPECT_EQ(ContentTypeOfFile("file."), "application/octet-stream");
  // A dot in a folder name is no extension of the file.
  EXPECT_EQ(ContentTypeOfFile("dir.txt\\readme"), "application/octet-stream");
  EXPECT_EQ(RegisteredContentType(".qwunknownext"), "");
}

// Offset of local time from UTC now, in minutes, by the C library.
int CLibraryOffsetMinutes() {
  std::time_t now = std::time(nullptr);
  std::tm local = *std::localtime(&now);
  std::tm utc = *std::gmtime(&now);
  int days = local.tm_yday - utc.tm_yday;
  if (local.tm_year != utc.tm_year) days = local.tm_year > utc.tm_year ? 1 : -1;
  return days * 1440 + (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
}

TEST(LocalUtcOffset, AgreesWithTheCLibrary) {
  std::unique_ptr<SystemInfo> system = NewSystemInfo();
  int minutes = system->UtcOffsetMinutes();
  EXPECT_EQ(minutes, CLibraryOffsetMinutes());
  EXPECT_DOUBLE_EQ(LocalUtcOffset(*system), minutes / 1440.0);
}

#if !defined(_WIN32)
// POSIX takes the zone from TZ; Windows from its own time-zone settings.
class TimeZoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TZ");
    hadTz_ = old != nullptr;
    if (hadTz_) oldTz_ = old;
  }
  void TearDown() override {
    if (hadTz_) setenv("TZ", oldTz_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  static void Use(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  bool hadTz_ = false;
  std::string oldTz_;
};

TEST_F(TimeZoneTest, OffsetFollowsTheLocalZone) {
  std::unique_ptr<SystemInfo> system = NewSystemInfo();
  LocalDateTime when{2009, 6, 23, 2, 10, 33, 15, 0};
  Use("JST-9");
  EXPECT_EQ(system->UtcOffsetMinutes(), 540);
  EXPECT_EQ(DateHeaderText(when, *system), "Tue, 23 Jun 2009 10:33:15 +0900");
  Use("UTC0");
  EXPECT_EQ(DateHeaderText(when, *system), "Tue, 23 Jun 2009 10:33:15 GMT");
  Use("<-04>4");
  EXPECT_EQ(DateHeaderText(when, *system), "Tue, 23 Jun 2009 10:33:15 -0400");
  Use("<+0545>-5:45");
  EXPECT_DOUBLE_EQ(LocalUtcOffset(*system), 345 / 1440.0);
  EXPECT_EQ(DateHeaderText(when, *system), "Tue, 23 Jun 2009 10:33:15 +0545");
}
#endif

}  // namespace
}  // namespace qw

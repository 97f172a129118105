// The settings file an installation writes from its command-line properties.
#include <gtest/gtest.h>

#include "applet/install_settings.h"
#include "platform/ini_text.h"
#include "tests/fakes/fake_platform.h"

namespace qw::test {
namespace {

class InstallSettingsTest : public ::testing::Test {
 protected:
  InstallSettingsTest() {
    drives.drives['C'] = {kDriveFixed, 1 << 30, 4LL << 30, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 1 << 30, 4LL << 30, true, nullptr};
    drives.drives['E'] = {kDriveCdrom, 0, 0, true, nullptr};
  }
  std::string Value(const std::string& section, const std::string& key) {
    return IniLookup(text, section, key).value_or("<missing>");
  }
  Status Make(const InstallProperties& properties) {
    text.clear();
    return MakeInstallSettings(properties, drives, &text);
  }

  FakeDrives drives;
  std::string text;
};

TEST_F(InstallSettingsTest, AFleetCommandLineBecomesTheDialogsFile) {
  ASSERT_TRUE(Make({{"SMTP", "mail.example.jp"},
                    {"PORT", "587"},
                    {"MAILTO", "ops@example.jp,admin@example.jp"},
                    {"MAILFROM", "dw@example.jp"},
                    {"INTERVAL", "12"},
                    {"THRESHOLD", "10%"},
                    {"TEXTFILEDIR", "C:\\ProgramData\\metrics"}})
                  .Ok());
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "12");
  EXPECT_EQ(Value("WARNING", "ISMAILSEND"), "1");
  EXPECT_EQ(Value("DRIVE", "C"), "10%");
  EXPECT_EQ(Value("DRIVE", "D"), "10%");
  EXPECT_EQ(Value("DRIVE", "E"), "<missing>") << "only fixed drives";
  EXPECT_EQ(Value("MAIL", "SMTP"), "mail.example.jp");
  EXPECT_EQ(Value("MAIL", "PORT"), "587");
  EXPECT_EQ(Value("MAIL", "MAILFROM"), "dw@example.jp");
  EXPECT_EQ(Value("MAIL", "MAILTO"), "ops@example.jp,admin@example.jp");
  EXPECT_EQ(Value("MAIL", "SECURITY"), "NONE");
  EXPECT_EQ(Value("MAIL", "TLSVERIFY"), "1");
  EXPECT_EQ(Value("METRICS", "TEXTFILEDIR"), "C:\\ProgramData\\metrics");
  EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1) << "CR LF lines";
}

TEST_F(InstallSettingsTest, WithoutPropertiesTheDefaultsAndMailOnlyWithServerAndRecipients) {
  ASSERT_TRUE(Make({}).Ok());
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "24");
  EXPECT_EQ(Value("WARNING", "ISMAILSEND"), "0");
  EXPECT_EQ(Value("MAIL", "PORT"), "25");
  EXPECT_EQ(Value("MAIL", "MAILFROM"), "drivewarden@localhost.localdomain");
  EXPECT_EQ(Value("METRICS", "TEXTFILEDIR"), "<missing>");
  EXPECT_FALSE(AnyInstallProperty({{"SMTP", ""}}));
  EXPECT_TRUE(AnyInstallProperty({{"SMTP", ""}, {"PORT", "25"}}));

  ASSERT_TRUE(Make({{"SMTP", "mail.example.jp"}}).Ok());
  EXPECT_EQ(Value("WARNING", "ISMAILSEND"), "0") << "no recipients";
  ASSERT_TRUE(Make({{"MAILTO", "ops@example.jp"}}).Ok());
  EXPECT_EQ(Value("WARNING", "ISMAILSEND"), "0") << "no server";
  EXPECT_EQ(Value("MAIL", "MAILTO"), "ops@example.jp");
}

TEST_F(InstallSettingsTest, ARefusedValueNamesItselfAndWritesNothing) {
  const struct {
    const char* name;
    const char* value;
    const char* words;  // part of the message
  } cases[] = {
      {"INTERVAL", "0", "インターバル"},
      {"INTERVAL", "x", "インターバル"},
      {"PORT", "0", "ポート番号"},
      {"PORT", "70000", "ポート番号"},
      {"MAILTO", "not an address", "メールアドレスが不正"},
      {"MAILTO", "ops@example.jp,ops@example.jp", "すでに登録"},
      {"MAILCC", "a@", "メールアドレスが不正"},
      {"SMTP", "mail server", "SMTP サーバ名が不正"},
      {"MAILFROM", "nobody", "メールアドレスが不正"},
      {"THRESHOLD", "10", "単位"},
      {"THRESHOLD", "100%", "99 %"},
      {"THRESHOLD", "MB", "単位"},
      {"THRESHOLD", "1.5MB", "整数"},
      {"THRESHOLD", "99999999999999MB", "整数"},  // beyond the service's byte count
      {"TEXTFILEDIR", "metrics", "絶対パス"},
      {"TEXTFILEDIR", "C:\\a\tb", "絶対パス"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    text = "untouched";
    const Status made = MakeInstallSettings({{c.name, c.value}, {"SMTP", c.name == std::string("SMTP") ? c.value : ""}},
                                            drives, &text);
    ASSERT_FALSE(made.Ok());
    EXPECT_EQ(made.Text().rfind(std::string(c.name) + "=" + c.value + ": ", 0), 0u) << made.Text();
    EXPECT_NE(made.Text().find(c.words), std::string::npos) << made.Text();
    EXPECT_EQ(text, "untouched");
  }
}

TEST_F(InstallSettingsTest, MailOnNeedsASenderLeftByDefaultButRefusesAnEmptiedOne) {
  // MAILFROM given as blanks is a sender that the mail check refuses.
  const Status made =
      Make({{"SMTP", "mail.example.jp"}, {"MAILTO", "ops@example.jp"}, {"MAILFROM", " "}});
  ASSERT_FALSE(made.Ok());
  EXPECT_EQ(made.Text().rfind("MAILFROM= : ", 0), 0u) << made.Text();
}

TEST(InstallSettingsPath, AbsoluteWindowsPathsOnly) {
  EXPECT_TRUE(IsAbsoluteWindowsPath("C:\\metrics"));
  EXPECT_TRUE(IsAbsoluteWindowsPath("d:\\"));
  EXPECT_TRUE(IsAbsoluteWindowsPath("\\\\server\\share"));
  EXPECT_TRUE(IsAbsoluteWindowsPath("C:\\監視\\メトリクス"));
  EXPECT_FALSE(IsAbsoluteWindowsPath(""));
  EXPECT_FALSE(IsAbsoluteWindowsPath("C:metrics"));
  EXPECT_FALSE(IsAbsoluteWindowsPath("\\metrics"));
  EXPECT_FALSE(IsAbsoluteWindowsPath("metrics\\x"));
  EXPECT_FALSE(IsAbsoluteWindowsPath("\\\\server"));
  EXPECT_FALSE(IsAbsoluteWindowsPath("\\\\\\x\\y"));
  EXPECT_FALSE(IsAbsoluteWindowsPath("C:\\a\nb"));
  EXPECT_FALSE(IsAbsoluteWindowsPath("C:\\a\x7f"));
  EXPECT_FALSE(IsAbsoluteWindowsPath("C:\\a?b")) << "what a character outside code page 932 becomes";
  EXPECT_FALSE(IsAbsoluteWindowsPath("C:\\a\"b"));
  EXPECT_FALSE(IsAbsoluteWindowsPath("C:\\a:b"));
  EXPECT_FALSE(IsAbsoluteWindowsPath("C:\\a|b"));
  EXPECT_TRUE(IsAbsoluteWindowsPath("C:\\レポート")) << "the second byte of ポ is the byte of |";
  EXPECT_FALSE(IsAbsoluteWindowsPath("C:\\" + std::string(300, 'a')));
}

}  // namespace
}  // namespace qw::test

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

TEST_F(InstallSettingsTest, AnOAuthLoginIsWrittenWithoutASecret) {
  ASSERT_TRUE(Make({{"SMTP", "smtp.office365.com"},
                    {"MAILTO", "ops@example.jp"},
                    {"SECURITY", "starttls"},
                    {"AUTH", "OAUTH2"},
                    {"USER", "alerts@contoso.com"},
                    {"TENANT", "contoso.onmicrosoft.com"},
                    {"CLIENTID", "6731de76-14a6-49ae-97bc-6eba6914391e"}})
                  .Ok());
  EXPECT_EQ(Value("MAIL", "SECURITY"), "STARTTLS");
  EXPECT_EQ(Value("MAIL", "PORT"), "587") << "the port follows STARTTLS as in the dialog";
  EXPECT_EQ(Value("MAIL", "AUTH"), "OAUTH2");
  EXPECT_EQ(Value("MAIL", "USER"), "alerts@contoso.com");
  EXPECT_EQ(Value("MAIL", "TENANT"), "contoso.onmicrosoft.com");
  EXPECT_EQ(Value("MAIL", "CLIENTID"), "6731de76-14a6-49ae-97bc-6eba6914391e");
  EXPECT_EQ(Value("MAIL", "CLIENTSECRET"), "") << "set later with /SETSECRET CLIENTSECRET";
  EXPECT_EQ(Value("MAIL", "PASSWORD"), "");
  // Mail on without a credential would not load (and the service would not
  // start): off until the secret is stored, and the log says so.
  EXPECT_EQ(Value("WARNING", "ISMAILSEND"), "0");
  std::string note;
  ASSERT_TRUE(MakeInstallSettings({{"SMTP", "smtp.office365.com"},
                                   {"MAILTO", "ops@example.jp"},
                                   {"SECURITY", "STARTTLS"},
                                   {"AUTH", "OAUTH2"},
                                   {"USER", "alerts@contoso.com"},
                                   {"TENANT", "contoso.onmicrosoft.com"},
                                   {"CLIENTID", "app"}},
                                  drives, &text, &note)
                  .Ok());
  EXPECT_NE(note.find("/SETSECRET CLIENTSECRET"), std::string::npos) << note;

  // A port given wins over the one the encryption suggests.
  ASSERT_TRUE(Make({{"SECURITY", "TLS"}, {"PORT", "2465"}}).Ok());
  EXPECT_EQ(Value("MAIL", "PORT"), "2465");
  ASSERT_TRUE(Make({{"SECURITY", "TLS"}}).Ok());
  EXPECT_EQ(Value("MAIL", "PORT"), "465");
  // Without AUTH nothing of the OAuth 2.0 login is written.
  EXPECT_EQ(Value("MAIL", "AUTH"), "<missing>");
}

TEST_F(InstallSettingsTest, ARefusedLoginPropertyIsNamed) {
  const InstallProperties oauth = {{"SMTP", "smtp.office365.com"}, {"MAILTO", "ops@example.jp"},
                                   {"SECURITY", "STARTTLS"},        {"AUTH", "OAUTH2"},
                                   {"USER", "alerts@contoso.com"},  {"TENANT", "contoso.onmicrosoft.com"},
                                   {"CLIENTID", "app"}};
  struct Case {
    const char* property;
    const char* value;  // replaces or adds the property
    const char* named;  // the start of the refusal
  };
  const Case cases[] = {
      {"SECURITY", "SSL", "SECURITY=SSL: "},
      {"SECURITY", "NONE", "SECURITY=NONE: "},
      {"AUTH", "BASIC", "AUTH=BASIC: "},
      {"USER", "", "USER="},
      {"TENANT", "contoso..com", "TENANT=contoso..com: "},
      {"CLIENTID", "my app", "CLIENTID=my app: "},
      {"TOKENURL", "http://login.example.com/t", "TOKENURL=http://login.example.com/t: "},
      {"SCOPE", "a  b", "SCOPE=a  b: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.property) + "=" + c.value);
    InstallProperties properties = oauth;
    bool replaced = false;
    for (auto& [name, value] : properties) {
      if (name == c.property) {
        value = c.value;
        replaced = true;
      }
    }
    if (!replaced) properties.emplace_back(c.property, c.value);
    const Status made = Make(properties);
    ASSERT_FALSE(made.Ok());
    EXPECT_EQ(made.Text().rfind(c.named, 0), 0u) << made.Text();
    EXPECT_TRUE(text.empty()) << "nothing to write";
  }
  // The OAuth 2.0 properties and USER belong to AUTH=OAUTH2 (a password
  // login would need a password, which no property carries).
  for (const char* property : {"USER", "TENANT", "CLIENTID", "CLIENTCERT", "TOKENURL", "SCOPE"}) {
    SCOPED_TRACE(property);
    const Status made = Make({{"SMTP", "mail.example.jp"}, {property, "x"}});
    ASSERT_FALSE(made.Ok());
    EXPECT_EQ(made.Text().rfind(std::string(property) + "=x: ", 0), 0u) << made.Text();
  }
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

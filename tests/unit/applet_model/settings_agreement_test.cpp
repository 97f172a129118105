// One value, three readers: the service's load, the settings dialog and the
// installer's properties must take and refuse the same values of a key, or
// one of them writes a file another cannot read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "applet/install_settings.h"
#include "applet/settings_model.h"
#include "common/drivewarden_common.h"
#include "common/errors.h"
#include "common/oauth_settings.h"
#include "common/watch_settings.h"
#include "common/webhook_settings.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_service_manager.h"
#include "tests/unit/applet_model/fake_settings_view.h"
#include "tests/unit/common/test_rsa_key.h"

namespace qw {
namespace {

constexpr int64_t kCapacity = 4LL << 30;

struct Line {
  const char* section;
  const char* key;
  const char* value;
};

template <size_t N>
std::string FileOf(const Line (&lines)[N], const std::string& section, const std::string& key,
                   const std::optional<std::string>& value);

// A file with mail on and every mail key sound, `key` of [section] set to
// `value` (or left out when `value` is absent).
std::string FileWith(const std::string& section, const std::string& key, const std::optional<std::string>& value) {
  const Line lines[] = {{"WARNING", "INTERVAL", "24"},   {"WARNING", "ISMAILSEND", "1"},
                        {"DRIVE", "C", "10%"},           {"MAIL", "SMTP", "mail.example.jp"},
                        {"MAIL", "PORT", "25"},          {"MAIL", "MAILFROM", "dw@example.jp"},
                        {"MAIL", "MAILTO", "ops@example.jp"}, {"MAIL", "SECURITY", "NONE"}};
  return FileOf(lines, section, key, value);
}

// The same with the OAuth 2.0 login sound: a tenant, a client ID and a
// client secret over STARTTLS.
std::string OAuthFileWith(const std::string& section, const std::string& key,
                          const std::optional<std::string>& value) {
  const Line lines[] = {{"WARNING", "INTERVAL", "24"},
                        {"WARNING", "ISMAILSEND", "1"},
                        {"DRIVE", "C", "10%"},
                        {"MAIL", "SMTP", "smtp.office365.com"},
                        {"MAIL", "PORT", "587"},
                        {"MAIL", "MAILFROM", "dw@example.jp"},
                        {"MAIL", "MAILTO", "ops@example.jp"},
                        {"MAIL", "SECURITY", "STARTTLS"},
                        {"MAIL", "USER", "dw@example.jp"},
                        {"MAIL", "AUTH", "OAUTH2"},
                        {"MAIL", "TENANT", "contoso.onmicrosoft.com"},
                        {"MAIL", "CLIENTID", "6731de76-14a6-49ae-97bc-6eba6914391e"},
                        {"MAIL", "CLIENTSECRET", "s3cret~value"}};
  return FileOf(lines, section, key, value);
}

template <size_t N>
std::string FileOf(const Line (&lines)[N], const std::string& section, const std::string& key,
                   const std::optional<std::string>& value) {
  std::string text;
  std::string current;
  bool written = false;
  auto put = [&](const std::string& s, const std::string& k, const std::string& v) {
    if (s != current) {
      text += "[" + s + "]\r\n";
      current = s;
    }
    text += k + "=" + v + "\r\n";
  };
  for (const Line& line : lines) {
    if (line.section == section && line.key == key) {
      written = true;
      if (value) put(line.section, line.key, *value);
      continue;
    }
    put(line.section, line.key, line.value);
  }
  if (!written && value) put(section, key, *value);
  return text;
}

class SettingsAgreementTest : public ::testing::Test {
 protected:
  SettingsAgreementTest() { drives.drives['C'] = {kDriveFixed, 1 << 30, kCapacity, true, nullptr}; }

  // The service's load of the file.
  bool ServiceTakes(const std::string& section, const std::string& key, const std::string& value) {
    return ServiceTakesFile(FileWith(section, key, value));
  }
  bool ServiceTakesFile(const std::string& file) {
    WatchSettingsInputs inputs;
    inputs.fixedLetters = "C";
    inputs.capacities['C'] = kCapacity;
    inputs.volumes = drives.volumes;
    try {
      const WatchSettings settings = ReadWatchSettings(ProfileSnapshot::OfBytes(file), inputs);
      EXPECT_TRUE(settings.isMailSend) << "the mail keys are held to their rules only with mail on";
      return true;
    } catch (const EConvertError&) {
      return false;
    }
  }

  // The dialog opened on the file and saved as it stands.
  bool DialogSaves(const std::string& section, const std::string& key, const std::string& value) {
    return DialogSavesFile(FileWith(section, key, value));
  }
  bool DialogSavesFile(const std::string& file) {
    test::FakeProfiles profiles;
    test::FakeSettingsView view;
    test::FakeMessageBoxes boxes;
    test::FakeServiceManager services;
    SettingsModel model(view, profiles, drives, boxes, services);
    view.model = &model;
    profiles.SetFile(kIniFileName, file);
    model.FormCreate();
    boxes.answers = {MessageBoxResult::No};
    const bool saved = model.SaveSettingsEx(true) == SaveOutcome::Saved;
    // What the dialog wrote, the service reads.
    if (saved) {
      EXPECT_TRUE(ServiceTakesFile(profiles.FileText(kIniFileName))) << profiles.FileText(kIniFileName);
    }
    return saved;
  }

  // The dialog's sender box, typed and left.
  bool DialogSenderTakes(const std::string& value) {
    test::FakeProfiles profiles;
    test::FakeSettingsView view;
    test::FakeMessageBoxes boxes;
    test::FakeServiceManager services;
    SettingsModel model(view, profiles, drives, boxes, services);
    view.model = &model;
    model.FormCreate();
    view.Type(SettingsField::From, value);
    return model.edtFromExit().Ok();
  }

  // The installer given the property with mail on (SMTP and MAILTO).
  bool InstallerTakes(const std::string& property, const std::string& value) {
    InstallProperties properties{{property, value}};
    for (const char* other : {"SMTP", "MAILTO"}) {
      if (property != other) properties.emplace_back(other, other == std::string("SMTP") ? "mail.example.jp"
                                                                                          : "ops@example.jp");
    }
    std::string text;
    return MakeInstallSettings(properties, drives, &text).Ok();
  }

  // The installer given the property beside the OAuth 2.0 login's own
  // properties (no secret: that is set after the installation).
  bool InstallerTakesOAuth(const std::string& property, const std::string& value, std::string* text = nullptr) {
    InstallProperties properties{{"SMTP", "smtp.office365.com"},
                                 {"MAILTO", "ops@example.jp"},
                                 {"SECURITY", "STARTTLS"},
                                 {"AUTH", "OAUTH2"},
                                 {"USER", "dw@example.jp"},
                                 {"TENANT", "contoso.onmicrosoft.com"},
                                 {"CLIENTID", "6731de76-14a6-49ae-97bc-6eba6914391e"}};
    bool replaced = false;
    for (auto& [name, given] : properties) {
      if (name == property) {
        given = value;
        replaced = true;
      }
    }
    if (!replaced) properties.emplace_back(property, value);
    std::string made;
    const bool ok = MakeInstallSettings(properties, drives, &made).Ok();
    if (text) *text = made;
    return ok;
  }

  test::FakeDrives drives;
};

struct Case {
  std::string value;
  bool taken;
};

TEST_F(SettingsAgreementTest, PortValuesAreTakenOrRefusedAlike) {
  const Case cases[] = {
      {"25", true},    {"587", true},   {"65535", true},         {"1", true},
      {"0", false},    {"65536", false}, {"x", false},           {"-25", false},
      {"99999999999999999999", false},   {"4294967321", false},  {"25x", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("PORT=" + c.value);
    EXPECT_EQ(ServiceTakes("MAIL", "PORT", c.value), c.taken);
    EXPECT_EQ(DialogSaves("MAIL", "PORT", c.value), c.taken);
    EXPECT_EQ(InstallerTakes("PORT", c.value), c.taken);
  }
}

TEST_F(SettingsAgreementTest, AddressValuesAreTakenOrRefusedAlike) {
  const std::string local(64, 'a');
  const std::string label(60, 'b');
  // 64 + 1 + 4 * 61 - 1 = 308 bytes: each part within its own limit.
  const std::string long_address = local + "@" + label + "." + label + "." + label + "." + label;
  const std::string at254 = std::string(64, 'c') + "@" + std::string(60, 'd') + "." + std::string(60, 'e') + "." +
                            std::string(60, 'f') + "." + std::string(6, 'g');
  ASSERT_EQ(at254.size(), 254u);
  const Case cases[] = {
      {"dw@example.jp", true},
      {at254, true},
      {long_address, false},
      {"Drive Warden <dw@example.jp>", false},
      {"\"Drive Warden\" dw@example.jp", false},
      {"dw example.jp", false},
      {"dw@", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("address " + c.value);
    EXPECT_EQ(ServiceTakes("MAIL", "MAILFROM", c.value), c.taken);
    EXPECT_EQ(DialogSenderTakes(c.value), c.taken);
    EXPECT_EQ(InstallerTakes("MAILFROM", c.value), c.taken);
    EXPECT_EQ(ServiceTakes("MAIL", "MAILTO", c.value), c.taken);
    EXPECT_EQ(InstallerTakes("MAILTO", c.value), c.taken);
  }
}

TEST_F(SettingsAgreementTest, SecurityValuesAreTakenOrRefusedAlike) {
  // The installer has no SECURITY property: the service and the dialog.
  const Case cases[] = {
      {"NONE", true}, {"STARTTLS", true}, {"TLS", true}, {"starttls", true}, {"", true},
      {"SSL", false}, {"1", false},       {"TLS1.2", false}, {"START TLS", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("SECURITY=" + c.value);
    EXPECT_EQ(ServiceTakes("MAIL", "SECURITY", c.value), c.taken);
    EXPECT_EQ(DialogSaves("MAIL", "SECURITY", c.value), c.taken);
  }
}

TEST_F(SettingsAgreementTest, ThresholdValuesAreTakenOrRefusedAlike) {
  const Case cases[] = {
      {"10%", true},   {"0MB", true},   {"500MB", true},  {"99%", true},  {"", true},
      {"-5", false},   {"abc", false},  {"-5MB", false},
      {"10", false},   {"x%", false},   {"99999999999999999999MB", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("threshold " + c.value);
    EXPECT_EQ(ServiceTakes("DRIVE", "C", c.value), c.taken);
    EXPECT_EQ(DialogSaves("DRIVE", "C", c.value), c.taken);
    EXPECT_EQ(InstallerTakes("THRESHOLD", c.value), c.taken);
  }
  // A share above the whole drive alerts at every check. A file written by
  // hand with one keeps loading (the service has always taken it); what a
  // person types into the installer is held to the dialog's range.
  EXPECT_TRUE(ServiceTakes("DRIVE", "C", "101%"));
  EXPECT_FALSE(InstallerTakes("THRESHOLD", "101%"));
}

TEST_F(SettingsAgreementTest, AThresholdTheServiceCannotReadIsNotSavedBack) {
  drives.drives['D'] = {kDriveFixed, 1 << 30, kCapacity, true, nullptr};
  test::FakeProfiles profiles;
  test::FakeSettingsView view;
  test::FakeMessageBoxes boxes;
  test::FakeServiceManager services;
  SettingsModel model(view, profiles, drives, boxes, services);
  view.model = &model;
  const std::string file = "[WARNING]\r\nINTERVAL=24\r\n[DRIVE]\r\nC=10%\r\nD=abc%\r\n";
  profiles.SetFile(kIniFileName, file);
  model.FormCreate();
  view.Type(SettingsField::Interval, "12");
  view.page = SettingsPage::Mail;
  view.focus = SettingsControl::Interval;
  EXPECT_EQ(model.SaveSettingsEx(true), SaveOutcome::Refused);
  EXPECT_EQ(profiles.FileText(kIniFileName), file) << "the file is left as it was";
  ASSERT_FALSE(boxes.shown.empty());
  EXPECT_NE(boxes.shown.back().text.find("D ドライブ"), std::string::npos) << boxes.shown.back().text;
  EXPECT_NE(boxes.shown.back().text.find("'abc'"), std::string::npos) << boxes.shown.back().text;
  EXPECT_EQ(view.page, SettingsPage::Warning);
  EXPECT_EQ(view.focus, SettingsControl::LimitList);
  EXPECT_EQ(view.selected[SettingsList::Limit], 1) << "the drive at fault is selected";

  // Set again through the threshold dialog, the file is saved.
  model.SetLimit("D", "15%");
  boxes.answers = {MessageBoxResult::No};
  EXPECT_EQ(model.SaveSettingsEx(true), SaveOutcome::Saved);
  EXPECT_NE(profiles.FileText(kIniFileName).find("D=15%"), std::string::npos);
}

TEST_F(SettingsAgreementTest, OAuthValuesAreTakenOrRefusedAlike) {
  struct KeyCase {
    const char* key;
    std::string value;
    bool taken;
  };
  const std::string longId(kMaxOAuthValue + 1, 'a');
  const KeyCase cases[] = {
      {"AUTH", "OAUTH2", true},
      {"AUTH", "oauth2", true},
      {"AUTH", " OAuth2 ", true},
      {"AUTH", "XOAUTH2", false},
      {"AUTH", "OAUTH", false},
      {"AUTH", "BEARER", false},
      {"TENANT", "contoso.onmicrosoft.com", true},
      {"TENANT", "6731de76-14a6-49ae-97bc-6eba6914391e", true},
      {"TENANT", "organizations", true},
      {"TENANT", "contoso..com", false},
      {"TENANT", "-contoso.com", false},
      {"TENANT", "contoso.com/../x", false},
      {"TENANT", "con toso", false},
      {"TENANT", "\x83\x65\x83\x69\x83\x93\x83\x67", false},  // テナント in Shift-JIS
      {"CLIENTID", "6731de76-14a6-49ae-97bc-6eba6914391e", true},
      {"CLIENTID", "my-app", true},
      {"CLIENTID", "my app", false},
      {"CLIENTID", longId, false},
      {"TOKENURL", "https://login.example.com/tenant/token", true},
      {"TOKENURL", "http://127.0.0.1:8443/token", true},
      {"TOKENURL", "http://login.example.com/token", false},
      {"TOKENURL", "ftp://login.example.com/token", false},
      {"TOKENURL", "https://user@login.example.com/token", false},
      {"TOKENURL", "https://login.example.com/token#x", false},
      {"TOKENURL", "https://login.example.com:0/token", false},
      {"SCOPE", "https://outlook.office365.com/.default", true},
      {"SCOPE", "openid email", true},
      {"SCOPE", "openid  email", false},
      {"SCOPE", "a\"b", false},
      {"PROXY", "proxy.example.jp:8080", true},
      {"PROXY", "http://proxy.example.jp:3128", true},
      {"PROXY", "[::1]:3128", true},
      {"PROXY", "proxy.example.jp", false},
      {"PROXY", "proxy.example.jp:0", false},
      {"PROXY", "proxy.example.jp:99999", false},
      {"PROXY", "user:pw@proxy.example.jp:8080", false},
  };
  // Only some keys are installer properties.
  const std::vector<std::string> properties = {"AUTH", "TENANT", "CLIENTID", "TOKENURL", "SCOPE"};
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    const std::string file = OAuthFileWith("MAIL", c.key, c.value);
    EXPECT_EQ(ServiceTakesFile(file), c.taken);
    EXPECT_EQ(DialogSavesFile(file), c.taken);
    if (std::find(properties.begin(), properties.end(), c.key) != properties.end()) {
      std::string text;
      EXPECT_EQ(InstallerTakesOAuth(c.key, c.value, &text), c.taken);
      if (c.taken) {
        // Loadable once the secret is set.
        ProfileSnapshot ini = ProfileSnapshot::OfBytes(text);
        EXPECT_EQ(ini.ReadString("MAIL", "CLIENTSECRET", ""), "") << "no secret comes from a property";
        EXPECT_EQ(ini.ReadString("WARNING", "ISMAILSEND", ""), "0") << "mail off until the secret is there";
        ini.WriteString("MAIL", "CLIENTSECRET", "set-later");
        ini.WriteString("WARNING", "ISMAILSEND", "1");
        EXPECT_TRUE(ServiceTakesFile(ini.Bytes())) << text;
      }
    }
  }
}

TEST_F(SettingsAgreementTest, OAuthLoginsAreTakenOrRefusedAlike) {
  // Whole logins rather than single values: what must come together.
  struct LoginCase {
    const char* name;
    std::vector<std::pair<const char*, std::optional<std::string>>> changes;
    bool taken;
  };
  const LoginCase cases[] = {
      {"sound", {}, true},
      {"no TLS", {{"SECURITY", "NONE"}}, false},
      {"implicit TLS", {{"SECURITY", "TLS"}}, true},
      {"no mailbox", {{"USER", std::nullopt}}, false},
      {"no client ID", {{"CLIENTID", std::nullopt}}, false},
      {"no tenant nor token URL", {{"TENANT", std::nullopt}}, false},
      {"a token URL without a tenant needs a scope",
       {{"TENANT", std::nullopt}, {"TOKENURL", "https://login.example.com/token"}},
       false},
      {"a token URL and a scope",
       {{"TENANT", std::nullopt}, {"TOKENURL", "https://login.example.com/token"}, {"SCOPE", "smtp"}},
       true},
      {"no credential", {{"CLIENTSECRET", std::nullopt}}, false},
      {"the password login ignores the OAuth keys", {{"AUTH", "PASSWORD"}, {"PASSWORD", "pw"}}, true},
  };
  for (const LoginCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = OAuthFileWith("MAIL", "AUTH", "OAUTH2");
    for (const auto& [key, value] : c.changes) {
      ProfileSnapshot ini = ProfileSnapshot::OfBytes(file);
      if (value) ini.WriteString("MAIL", key, *value);
      else ini.WriteString("MAIL", key, "");
      file = ini.Bytes();
    }
    EXPECT_EQ(ServiceTakesFile(file), c.taken);
    EXPECT_EQ(DialogSavesFile(file), c.taken);
  }
}

TEST_F(SettingsAgreementTest, ClientCertValuesAreTakenOrRefusedAlike) {
#ifdef _WIN32
  // A thumbprint, opened in LocalMachine\My at the load: one in its form but
  // not in the store is refused by all three alike. (A certificate that is
  // there is delivered with by the installed service's end-to-end test.)
  const Case cases[] = {
      {"0123456789ABCDEF0123456789ABCDEF01234567", false},
      {"01 23 45 67 89 ab cd ef 01 23 45 67 89 ab cd ef 01 23 45 67", false},
      {"01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67", false},
      {"0123456789ABCDEF0123456789ABCDEF0123456", false},
      {"0123456789ABCDEF0123456789ABCDEF012345678", false},
      {"Z123456789ABCDEF0123456789ABCDEF01234567", false},
      {"C:\\certs\\client.pem", false},
  };
#else
  // A PEM file with the certificate and its key, read at the load.
  const std::string folder = ::testing::TempDir();
  const std::string pem = folder + "/agreement-client.pem";
  const std::string keyOnly = folder + "/agreement-key.pem";
  for (const auto& [path, text] : {std::pair<std::string, std::string>{pem, std::string(test::kTestCertificatePem) +
                                                                                test::kTestRsaKeyPem},
                                   std::pair<std::string, std::string>{keyOnly, test::kTestRsaKeyPem}}) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
  const Case cases[] = {
      {pem, true},
      {keyOnly, false},
      {folder + "/absent.pem", false},
      {"client.pem", false},
  };
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE("CLIENTCERT=" + c.value);
    ProfileSnapshot ini = ProfileSnapshot::OfBytes(OAuthFileWith("MAIL", "CLIENTCERT", c.value));
    ini.WriteString("MAIL", "CLIENTSECRET", "");
    EXPECT_EQ(ServiceTakesFile(ini.Bytes()), c.taken);
    EXPECT_EQ(DialogSavesFile(ini.Bytes()), c.taken);
#ifdef _WIN32
    std::string text;
    EXPECT_EQ(InstallerTakesOAuth("CLIENTCERT", c.value, &text), c.taken);
    if (c.taken) {
      EXPECT_TRUE(ServiceTakesFile(text)) << "a certificate needs no secret later: " << text;
    }
#endif
  }
}

TEST_F(SettingsAgreementTest, VolumeKeysAreTakenOrRefusedAlike) {
  VolumeInfo data;
  data.name = "/dev/sdb1";
  data.paths = {"/srv/data", "/srv/bind"};
  data.fileSystem = "ext4";
  data.kind = VolumeKind::kFixed;
  VolumeInfo scratch = data;
  scratch.name = "tmpfs:0:42";
  scratch.paths = {"/srv/scratch"};
  scratch.kind = VolumeKind::kMemory;
  VolumeInfo remote = data;
  remote.name = "nfs:0:43";
  remote.paths = {"/srv/nfs"};
  remote.kind = VolumeKind::kOther;
  drives.volumes = {data, scratch, remote};
  drives.volumeSpaces["/srv/data"] = {kDriveFixed, 1 << 30, kCapacity, true, nullptr};
  struct VolumeCase {
    std::string section, key, value;
    bool taken;
  };
  const VolumeCase cases[] = {
      {"DRIVE", "DEFAULT", "5%", true},        {"DRIVE", "DEFAULT", "500MB", true},
      {"DRIVE", "DEFAULT", "", true},          {"DRIVE", "DEFAULT", "0", true},
      {"DRIVE", "DEFAULT", "12.5%", true},     {"DRIVE", "DEFAULT", "ten", false},
      {"DRIVE", "DEFAULT", "5", false},        {"DRIVE", "DEFAULT", "-1%", false},
      {"VOLUME", "/srv/data", "1000MB", true}, {"VOLUME", "/srv/data/", "3%", true},
      {"VOLUME", "/srv/bind", "3%", true},     {"VOLUME", "/srv/data", "3", false},
      // A tmpfs is watched when named; a remote volume and a folder that is
      // no mount point are refused.
      {"VOLUME", "/srv/scratch", "1MB", true}, {"VOLUME", "/srv/nfs", "1MB", false},
      {"VOLUME", "/srv/none", "1MB", false},   {"VOLUME", "srv/data", "1MB", false},
      {"VOLUME", "IGNORE", "/srv/data,/srv/none", true}, {"VOLUME", "IGNORE", "relative", false},
  };
  for (const VolumeCase& c : cases) {
    SCOPED_TRACE(c.section + " " + c.key + "=" + c.value);
    std::string file = FileWith(c.section, c.key, c.value);
    if (c.section == "DRIVE") {
      // DEFAULT beside C in the one [DRIVE] section.
      file = FileWith("WARNING", "-", std::nullopt);
      file.replace(file.find("C=10%\r\n"), 7, "C=10%\r\nDEFAULT=" + c.value + "\r\n");
    }
    EXPECT_EQ(ServiceTakesFile(file), c.taken);
    EXPECT_EQ(DialogSavesFile(file), c.taken);
  }
}

TEST_F(SettingsAgreementTest, WebhookTargetsAreTakenOrRefusedAlike) {
  // The installer has no webhook property: the service and the dialog, which
  // also writes back what the service then reads the same.
  const Case cases[] = {
      {"KIND=TEAMS\r\nURL=https://contoso.webhook.office.com/workflows/a?sig=b\r\n", true},
      {"KIND=slack\r\nURL=https://hooks.slack.com/services/T/B/X\r\n", true},
      {"KIND=JSON\r\nURL=https://hooks.example.jp:8443/x\r\nHEADER1=Authorization: Bearer t\r\nHEADER3=X-A: b\r\n", true},
      {"KIND=JSON\r\nURL=http://127.0.0.1:9000/x\r\n", true},
      {"KIND=JSON\r\nURL=http://[::1]:9000/x\r\n", true},
      {"KIND=JSON\r\nURL=https://hooks.example.jp/x\r\nPROXY=proxy.example.jp:8080\r\n", true},
      {"KIND=\r\nURL=\r\nPROXY=\r\n", true},
      {"KIND=EMAIL\r\nURL=https://hooks.example.jp/x\r\n", false},
      {"KIND=TEAMS\r\n", false},
      {"PROXY=proxy.example.jp:8080\r\n", false},
      {"KIND=TEAMS\r\nURL=http://hooks.example.jp/x\r\n", false},
      {"KIND=TEAMS\r\nURL=ftp://hooks.example.jp/x\r\n", false},
      {"KIND=TEAMS\r\nURL=https://user:pw@hooks.example.jp/x\r\n", false},
      {"KIND=TEAMS\r\nURL=https://hooks.example.jp/x\r\nHEADER1=X-A: b\r\n", false},
      {"KIND=JSON\r\nURL=https://hooks.example.jp/x\r\nHEADER1=X-A b\r\n", false},
      {"KIND=JSON\r\nURL=https://hooks.example.jp/x\r\nHEADER1=Content-Type: text/plain\r\n", false},
      {"KIND=JSON\r\nURL=https://hooks.example.jp/x\r\nHEADER1=Host: other\r\n", false},
      {"KIND=JSON\r\nURL=https://hooks.example.jp/x\r\nPROXY=proxy.example.jp\r\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const std::string file = FileWith("WARNING", "INTERVAL", "24") + "[WEBHOOK2]\r\n" + c.value;
    EXPECT_EQ(ServiceTakesFile(file), c.taken);
    test::FakeProfiles profiles;
    test::FakeSettingsView view;
    test::FakeMessageBoxes boxes;
    test::FakeServiceManager services;
    SettingsModel model(view, profiles, drives, boxes, services);
    view.model = &model;
    profiles.SetFile(kIniFileName, file);
    model.FormCreate();
    boxes.answers = {MessageBoxResult::No};
    EXPECT_EQ(model.SaveSettingsEx(true) == SaveOutcome::Saved, c.taken);
    if (!c.taken) continue;
    // The targets the service reads from the file the dialog wrote are those
    // of the file it opened.
    const std::vector<WebhookTarget> before = ReadWebhookSettings(ProfileSnapshot::OfBytes(file)).targets;
    const std::vector<WebhookTarget> after =
        ReadWebhookSettings(ProfileSnapshot::OfBytes(profiles.FileText(kIniFileName))).targets;
    ASSERT_EQ(after.size(), before.size()) << profiles.FileText(kIniFileName);
    for (size_t i = 0; i < before.size(); ++i) {
      EXPECT_EQ(after[i].section, before[i].section);
      EXPECT_EQ(after[i].kind, before[i].kind);
      EXPECT_EQ(after[i].url, before[i].url);
      EXPECT_EQ(after[i].headers, before[i].headers);
      EXPECT_EQ(after[i].proxy, before[i].proxy);
    }
  }
}

}  // namespace
}  // namespace qw

// One value, three readers: the service's load, the settings dialog and the
// installer's properties must take and refuse the same values of a key, or
// one of them writes a file another cannot read.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "applet/install_settings.h"
#include "applet/settings_model.h"
#include "common/drivewarden_common.h"
#include "common/errors.h"
#include "common/watch_settings.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_service_manager.h"
#include "tests/unit/applet_model/fake_settings_view.h"

namespace qw {
namespace {

constexpr int64_t kCapacity = 4LL << 30;

// A file with mail on and every mail key sound, `key` of [section] set to
// `value` (or left out when `value` is absent).
std::string FileWith(const std::string& section, const std::string& key, const std::optional<std::string>& value) {
  struct Line {
    const char* section;
    const char* key;
    const char* value;
  };
  const Line lines[] = {{"WARNING", "INTERVAL", "24"},   {"WARNING", "ISMAILSEND", "1"},
                        {"DRIVE", "C", "10%"},           {"MAIL", "SMTP", "mail.example.jp"},
                        {"MAIL", "PORT", "25"},          {"MAIL", "MAILFROM", "dw@example.jp"},
                        {"MAIL", "MAILTO", "ops@example.jp"}, {"MAIL", "SECURITY", "NONE"}};
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
    WatchSettingsInputs inputs;
    inputs.fixedLetters = "C";
    inputs.capacities['C'] = kCapacity;
    try {
      const WatchSettings settings =
          ReadWatchSettings(ProfileSnapshot::OfBytes(FileWith(section, key, value)), inputs);
      EXPECT_TRUE(settings.isMailSend) << "the mail keys are held to their rules only with mail on";
      return true;
    } catch (const EConvertError&) {
      return false;
    }
  }

  // The dialog opened on the file and saved as it stands.
  bool DialogSaves(const std::string& section, const std::string& key, const std::string& value) {
    test::FakeProfiles profiles;
    test::FakeSettingsView view;
    test::FakeMessageBoxes boxes;
    test::FakeServiceManager services;
    SettingsModel model(view, profiles, drives, boxes, services);
    view.model = &model;
    profiles.SetFile(kIniFileName, FileWith(section, key, value));
    model.FormCreate();
    boxes.answers = {MessageBoxResult::No};
    return model.SaveSettingsEx(true) == SaveOutcome::Saved;
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

}  // namespace
}  // namespace qw

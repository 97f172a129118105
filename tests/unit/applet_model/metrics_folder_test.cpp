// The metrics folder box of the settings dialog: loaded from [METRICS]
// TEXTFILEDIR, compared for Apply, checked and written on a save; and the
// values the dialog accepts are exactly those the service's load accepts.
#include <gtest/gtest.h>

#include <memory>

#include "applet/settings_model.h"
#include "common/errors.h"
#include "service/drivewarden.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_service_manager.h"
#include "tests/unit/applet_model/fake_settings_view.h"

namespace qw {
namespace {

constexpr const char* kIni = "Drivewarden.ini";

#ifdef _WIN32
constexpr const char* kGoodFolder = "C:\\Program Files\\windows_exporter\\textfile_inputs";
constexpr const char* kOtherFolder = "\\\\collector\\textfile";
#else
constexpr const char* kGoodFolder = "/var/lib/prometheus/node-exporter";
constexpr const char* kOtherFolder = "/srv/textfile";
#endif

class MetricsFolderTest : public ::testing::Test {
 protected:
  MetricsFolderTest() {
    drives.drives['C'];
    view.model = &model;
    RestartTiming timing;
    timing.sleep = [](int64_t) {};
    model.SetRestartTiming(timing);
    boxes.answers = {MessageBoxResult::No, MessageBoxResult::No, MessageBoxResult::No};
  }
  void Load(const std::string& ini) {
    profiles.SetFile(kIni, ini, ++stamp);
    model.FormCreate();
  }
  bool MetricsWritten() const {
    for (const auto& w : profiles.writeLog)
      if (w.find("[METRICS]") != std::string::npos) return true;
    return false;
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeMessageBoxes boxes;
  test::FakeServiceManager services;
  test::FakeSettingsView view;
  SettingsModel model{view, profiles, drives, boxes, services};
  int32_t stamp = 1;
};

TEST_F(MetricsFolderTest, LoadedComparedAndWrittenOnlyWhenThereIsOne) {
  // A file without the key and an empty box: no [METRICS] section appears.
  Load("[DRIVE]\r\nC=10%\r\n");
  EXPECT_EQ(view.fields[SettingsField::TextFileDir], "");
  model.SetLimit("C", "20%");
  model.acnApplyExecute();
  EXPECT_FALSE(profiles.writeLog.empty());
  EXPECT_FALSE(MetricsWritten()) << profiles.FileText(kIni);

  // Typing a folder enables Apply, blanks around it are dropped on the write.
  EXPECT_FALSE(view.applyEnabled);
  view.Type(SettingsField::TextFileDir, std::string("  ") + kGoodFolder + " ");
  EXPECT_TRUE(view.applyEnabled);
  model.acnApplyExecute();
  EXPECT_EQ(profiles.ReadString(kIni, "METRICS", "TEXTFILEDIR", "<none>"), kGoodFolder);
  EXPECT_FALSE(view.applyEnabled);

  // Loaded again, then cleared: the empty value is written (metrics off).
  Load(profiles.FileText(kIni));
  EXPECT_EQ(view.fields[SettingsField::TextFileDir], kGoodFolder);
  EXPECT_FALSE(view.applyEnabled);
  view.Type(SettingsField::TextFileDir, "");
  EXPECT_TRUE(view.applyEnabled);
  profiles.writeLog.clear();
  model.acnApplyExecute();
  ASSERT_EQ(profiles.writeLog.size(), 1u);
  EXPECT_EQ(profiles.ReadString(kIni, "METRICS", "TEXTFILEDIR", "<none>"), "");
}

TEST_F(MetricsFolderTest, ARelativeFolderOrAControlCharacterIsRefusedOnItsPageAndNothingIsWritten) {
  Load("[DRIVE]\r\nC=10%\r\n");
  for (const std::string& bad : {std::string("textfile_inputs"), std::string(".\\prom"),
                                 std::string(kGoodFolder) + "\x01x", std::string(kGoodFolder) + "\x7F"}) {
    profiles.writeLog.clear();
    boxes.shown.clear();
    view.page = SettingsPage::Warning;
    view.focus = SettingsControl::Interval;
    view.Type(SettingsField::TextFileDir, bad);
    model.acnApplyExecute();
    EXPECT_TRUE(profiles.writeLog.empty()) << bad;
    ASSERT_EQ(boxes.shown.size(), 1u) << bad;
    EXPECT_NE(boxes.shown[0].text.find("フォルダー"), std::string::npos) << boxes.shown[0].text;
    EXPECT_EQ(view.page, SettingsPage::Metrics) << bad;
    EXPECT_EQ(view.focus, SettingsControl::TextFileDir) << bad;
  }
}

TEST_F(MetricsFolderTest, TheDialogAndTheServiceAcceptTheSameFolders) {
  const std::string good = kGoodFolder;
  for (const std::string& value : {good, std::string(kOtherFolder), std::string(""), std::string("prom"),
                                   std::string("prom/"), good + "\t" + "x", "\x1B" + good, good + "\x7F"}) {
    Load("[DRIVE]\r\nC=10%\r\n");
    boxes.shown.clear();
    view.Type(SettingsField::TextFileDir, value);
    const bool saved = model.SaveSettings(true).Ok();
    // The service reads what the dialog wrote, or the same value written by
    // hand when the dialog refused it.
    if (!saved) profiles.SetFile(kIni, "[DRIVE]\r\nC=10%\r\n[METRICS]\r\nTEXTFILEDIR=" + value + "\r\n", ++stamp);
    test::FakeSystemInfo system;
    test::FakeEventLog log;
    FakeMessageLoop loop;
    TDrivewarden service(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer());
    bool loaded = true;
    try {
      service.LoadSettings();
    } catch (const ESettingsError& e) {
      loaded = false;
      if (saved) ADD_FAILURE() << e.what();
    }
    EXPECT_EQ(saved, loaded) << "'" << value << "': dialog " << saved << ", service " << loaded;
  }
}

}  // namespace
}  // namespace qw

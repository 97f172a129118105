// The dialog's saves against the real settings file and a service that
// loads it: two saves within one second are both taken, each save is one
// whole file, and a save keeps the file's byte-order mark.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "applet/settings_model.h"
#include "common/drivewarden_common.h"
#include "platform/files.h"
#include "service/drivewarden.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_service_manager.h"
#include "tests/fakes/real_settings_file.h"
#include "tests/unit/applet_model/fake_settings_view.h"

namespace qw {
namespace {

namespace fs = std::filesystem;

class SettingsSaveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drives.drives['C'] = {kDriveFixed, 900 * 1024 * 1024, 1000 * 1024 * 1024, true, nullptr};
    view.model = &model;
    RestartTiming timing;
    timing.sleep = [](int64_t) {};
    model.SetRestartTiming(timing);
  }

  void Save(const std::string& interval) {
    view.Type(SettingsField::Interval, interval);
    boxes.answers = {MessageBoxResult::No};
    ASSERT_EQ(model.SaveSettingsEx(true), SaveOutcome::Saved) << interval;
  }

  test::RealSettingsFile file{"save"};
  const std::string& dir = file.dir;
  const std::string& path = file.path;
  std::unique_ptr<Profiles> profiles = NewSystemProfiles(dir);
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  test::FakeMessageBoxes boxes;
  test::FakeServiceManager services;
  test::FakeSettingsView view;
  SettingsModel model{view, *profiles, drives, boxes, services};
};

TEST_F(SettingsSaveFileTest, TwoSavesWithinOneSecondAreBothTaken) {
  std::error_code ec;
  fs::remove(path, ec);
  model.FormCreate();
  TDrivewarden service(ServicePlatform{*profiles, drives, system, log}, loop.CreateTimer());
  service.LoadSettings();
  ASSERT_EQ(service.Interval(), 24);
  for (const char* interval : {"7", "8", "9"}) {
    Save(interval);
    service.LoadSettings();
    EXPECT_EQ(service.Interval(), std::stoi(interval));
  }
  // No temporary file is left beside the settings file.
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string file = e.path().filename().string();
    EXPECT_FALSE(file != kIniFileName && file.rfind(kIniFileName, 0) == 0) << file;
  }
}

TEST_F(SettingsSaveFileTest, ASaveKeepsTheByteOrderMark) {
  const std::string utf8Mark = "\xEF\xBB\xBF";
  ASSERT_TRUE(WriteProfileFile(path, utf8Mark + "; note\r\n[WARNING]\r\nINTERVAL=5\r\n").Ok());
  model.FormCreate();
  EXPECT_EQ(view.fields[SettingsField::Interval], "5");
  Save("6");
  const Result<std::string> read = ReadWholeFile(path);
  ASSERT_TRUE(read.Ok());
  const std::string& bytes = *read;
  EXPECT_EQ(bytes.rfind(utf8Mark + "; note\r\n[WARNING]\r\nINTERVAL=6\r\n", 0), 0u) << bytes;
}

}  // namespace
}  // namespace qw

// Drives the settings model against the real system: the settings file in
// the Windows directory, the fixed drives and the Service Control Manager.
// Runs only when QW_RESTART_E2E is set (tests/e2e/restart_wine.sh sets it
// inside a Wine prefix where the service is installed); message boxes are
// answered by the test: Yes to the restart question.
#include <gtest/gtest.h>

#include <cstdlib>

#include "applet/settings_model.h"
#include "platform/drives.h"
#include "platform/profile.h"
#include "platform/text_codec.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/unit/applet_model/fake_settings_view.h"

namespace qw {
namespace {

TEST(RestartE2E, ApplyAnsweredYesRestartsTheInstalledService) {
  const char* interval = std::getenv("QW_RESTART_E2E");
  if (!interval || !*interval) GTEST_SKIP() << "QW_RESTART_E2E is not set";
#ifndef _WIN32
  GTEST_SKIP() << "needs the Windows Service Control Manager";
#endif
  auto profiles = NewSystemProfiles("");
  auto drives = NewSystemDrives("");
  auto services = NewSystemServiceManager();
  test::FakeMessageBoxes boxes;
  boxes.answers = {MessageBoxResult::Yes};
  test::FakeSettingsView view;
  SettingsModel model(view, *profiles, *drives, boxes, *services);
  view.model = &model;
  model.FormCreate();

  view.Type(SettingsField::Interval, interval);  // the value the script looks for
  ASSERT_TRUE(view.applyEnabled);
  model.acnApplyExecute();

  for (const auto& box : boxes.shown) {
    std::printf("message box: %s\n", SjisToUtf8(box.text).c_str());
  }
  ASSERT_EQ(boxes.shown.size(), 1u) << "only the restart question may be shown";
  EXPECT_EQ(model.RestartCount(), 1);
  EXPECT_TRUE(model.LastRestart().ok()) << RestartFailureText(model.LastRestart());
  EXPECT_FALSE(view.applyEnabled);
  const Result<ProfileSnapshot> ini = profiles->ReadSnapshot(kIniFileName);
  ASSERT_TRUE(ini.Ok());
  EXPECT_EQ(ini->ReadString(kSectionWarning, kKeyInterval, ""), interval);

  std::unique_ptr<ServiceManagerHandle> scm;
  Status status = services->Open(&scm);
  ASSERT_NE(scm, nullptr) << status.Describe();
  std::unique_ptr<ServiceHandle> service;
  status = scm->OpenNamedService(kServiceName, &service);
  ASSERT_NE(service, nullptr) << status.Describe();
  ServiceState state = ServiceState::Unknown;
  status = service->QueryState(&state);
  ASSERT_TRUE(status.Ok()) << status.Describe();
  EXPECT_TRUE(state == ServiceState::Running || state == ServiceState::StartPending)
      << ServiceStateName(state);
}

}  // namespace
}  // namespace qw

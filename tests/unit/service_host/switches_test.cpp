// The command-line switches and the install and uninstall boxes.
#include <gtest/gtest.h>

#include <map>

#include "service/service_install.h"
#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_service_manager.h"

namespace qw::test {
namespace {

TEST(Switches, SlashOrMinusAnyCaseInstallWins) {
  HostSwitches s = ParseSwitches({"/install", "/silent"});
  EXPECT_TRUE(s.install);
  EXPECT_FALSE(s.uninstall);
  EXPECT_TRUE(s.silent);

  s = ParseSwitches({"-UNINSTALL"});
  EXPECT_FALSE(s.install);
  EXPECT_TRUE(s.uninstall);
  EXPECT_FALSE(s.silent);

  s = ParseSwitches({"-Uninstall", "/INSTALL"});
  EXPECT_TRUE(s.install) << "INSTALL is tested first";
  EXPECT_FALSE(s.uninstall);

  s = ParseSwitches({"install", "--install", "/installx", "/", "-", ""});
  EXPECT_FALSE(s.install);
  EXPECT_FALSE(s.uninstall);

  s = ParseSwitches({"/TestMail"});
  EXPECT_TRUE(s.testMail);
  EXPECT_FALSE(s.install || s.uninstall);
  s = ParseSwitches({"-testmail", "/uninstall"});
  EXPECT_FALSE(s.testMail) << "the install switches come first";
  s = ParseSwitches({"testmail", "/testmails"});
  EXPECT_FALSE(s.testMail);

  s = ParseSwitches({});
  EXPECT_FALSE(s.install || s.uninstall || s.silent || s.testMail);
}

TEST(Switches, ImagePathIsQuotedWhenItHasABlank) {
  EXPECT_EQ(QuoteImagePath(u"C:\\qw\\QuotawardenService.exe"), u"C:\\qw\\QuotawardenService.exe");
  EXPECT_EQ(QuoteImagePath(u"C:\\Program Files\\qw\\QuotawardenService.exe"),
            u"\"C:\\Program Files\\qw\\QuotawardenService.exe\"");
  EXPECT_EQ(QuoteImagePath(u"\"C:\\Program Files\\a.exe\""), u"\"C:\\Program Files\\a.exe\"");
}

class FakeRegistry : public ServiceRegistry {
 public:
  Status Open() override {
    ++opens;
    return openError;
  }
  Status Create(const ServiceRegistration& registration) override {
    created.push_back(registration);
    return createError;
  }
  Status Delete(const std::string& name) override {
    deleted.push_back(name);
    return deleteError;
  }
  Status AddEventSource(const std::string& source, const std::u16string& messageFile) override {
    if (source == failingSource) return Status::Failure("RegCreateKeyEx", 5, "アクセスが拒否されました。");
    sources[source] = messageFile;
    return {};
  }
  Status RemoveEventSource(const std::string& source) override {
    removedSources.push_back(source);
    if (source == unremovableSource) return Status::Failure("RegDeleteKeyEx", 5, "アクセスが拒否されました。");
    sources.erase(source);
    return {};
  }

  Status openError, createError, deleteError;  // the answers; success unless set
  std::string failingSource, unremovableSource;
  int opens = 0;
  std::vector<ServiceRegistration> created;
  std::vector<std::string> deleted;
  std::map<std::string, std::u16string> sources;  // source -> message file
  std::vector<std::string> removedSources;
};

TEST(EventSources, TheServiceAndTheProgramNameAreTheSources) {
  EXPECT_EQ(EventSourceNames(u"C:\\Program Files\\Quotawarden\\QuotawardenService.exe"),
            (std::vector<std::string>{"Drivewarden", "QuotawardenService.exe"}));
  EXPECT_EQ(EventSourceNames(u"D:/qw/監視.exe"), (std::vector<std::string>{"Drivewarden", "監視.exe"}));
  EXPECT_EQ(EventSourceNames(u"C:\\drivewarden"), std::vector<std::string>{"Drivewarden"})
      << "a program named like the service source adds no second source";
  EXPECT_EQ(EventSourceKey("Drivewarden"),
            u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Drivewarden");
}

TEST(EventSources, InstallWritesBothUninstallRemovesBothEvenWithoutTheService) {
  const std::u16string exe = u"C:\\Program Files\\Quotawarden\\QuotawardenService.exe";
  FakeRegistry registry;
  FakeServiceManager scm;
  FakeMessageBoxes boxes;
  ASSERT_EQ(InstallService(registry, scm, boxes, exe, true), 0);
  ASSERT_EQ(registry.sources.size(), 2u);
  EXPECT_EQ(registry.sources["Drivewarden"], exe) << "the message file is the bare path, not the quoted image path";
  EXPECT_EQ(registry.sources["QuotawardenService.exe"], exe);

  registry.deleteError = Status::Failure("OpenService", 1060, "ありません。");
  FakeMessageBoxes failed;
  EXPECT_EQ(UninstallService(registry, failed, exe, true), 1) << "the missing service is still a failure";
  EXPECT_TRUE(registry.sources.empty()) << "the sources went all the same";
  ASSERT_EQ(failed.shown.size(), 1u);
  EXPECT_NE(failed.shown[0].text.find("サービス \"Drivesentry\" の登録解除に失敗しました。"), std::string::npos);
}

TEST(EventSources, ASourceThatCannotBeWrittenUndoesTheInstall) {
  FakeRegistry registry;
  FakeServiceManager scm;
  registry.failingSource = "QuotawardenService.exe";
  FakeMessageBoxes boxes;
  EXPECT_EQ(InstallService(registry, scm, boxes, u"C:\\qw\\QuotawardenService.exe", true), 1);
  EXPECT_TRUE(registry.sources.empty()) << "the first source was taken back";
  EXPECT_EQ(registry.deleted, std::vector<std::string>{"Drivewarden"}) << "and the service";
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text,
            "\"システムエラー。コード：5.\r\nアクセスが拒否されました。\" : "
            "イベント ソース \"QuotawardenService.exe\" の登録は失敗しました。");
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Error);

  FakeRegistry stuck;
  stuck.unremovableSource = "Drivewarden";
  FakeMessageBoxes stuckBoxes;
  EXPECT_EQ(UninstallService(stuck, stuckBoxes, u"C:\\qw\\QuotawardenService.exe", true), 1)
      << "a source left behind is a failed uninstall";
  EXPECT_EQ(stuck.removedSources, (std::vector<std::string>{"Drivewarden", "QuotawardenService.exe"}));
  ASSERT_EQ(stuckBoxes.shown.size(), 1u);
  EXPECT_NE(stuckBoxes.shown[0].text.find("イベント ソース \"Drivewarden\" の登録解除に失敗しました。"),
            std::string::npos);
}

TEST(Install, RegistersTheServiceWithItsValuesAndTellsSoUnlessSilent) {
  FakeRegistry registry;
  FakeServiceManager scm;
  FakeMessageBoxes boxes;
  EXPECT_EQ(InstallService(registry, scm, boxes, u"C:\\Program Files\\QuotawardenService.exe", false), 0);
  ASSERT_EQ(registry.created.size(), 1u);
  const ServiceRegistration& r = registry.created[0];
  EXPECT_EQ(r.name, "Drivewarden");
  EXPECT_EQ(r.displayName, "Drivesentry");
  EXPECT_EQ(r.imagePath, u"\"C:\\Program Files\\QuotawardenService.exe\"");
  EXPECT_EQ(r.serviceType, 0x10u);
  EXPECT_EQ(r.startType, 2u);
  EXPECT_EQ(r.errorControl, 1u);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "サービスを登録しました。");
  EXPECT_EQ(boxes.shown[0].caption, "情報");
  EXPECT_EQ(boxes.shown[0].buttons, MessageBoxButtons::Ok);
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Information);

  FakeMessageBoxes quiet;
  EXPECT_EQ(InstallService(registry, scm, quiet, u"C:\\a.exe", true), 0);
  EXPECT_TRUE(quiet.shown.empty());
}

TEST(Install, FailuresShowAnErrorBoxEvenWhenSilent) {
  FakeRegistry registry;
  FakeServiceManager scm;
  registry.createError = Status::Failure("CreateService", 1073, "指定されたサービスは既に存在します。");
  FakeMessageBoxes boxes;
  EXPECT_EQ(InstallService(registry, scm, boxes, u"C:\\a.exe", true), 1);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text,
            "\"システムエラー。コード：1073.\r\n指定されたサービスは既に存在します。\" : "
            "サービス \"Drivesentry\" の登録は失敗しました。");
  EXPECT_EQ(boxes.shown[0].caption, "エラー");
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Error);

  FakeRegistry closed;
  closed.openError = Status::Failure("OpenSCManager", 5, "アクセスが拒否されました。");
  FakeMessageBoxes boxes2;
  EXPECT_EQ(InstallService(closed, scm, boxes2, u"C:\\a.exe", false), 1);
  EXPECT_TRUE(closed.created.empty());
  ASSERT_EQ(boxes2.shown.size(), 1u);
  EXPECT_EQ(boxes2.shown[0].text, "システムエラー。コード：5.\r\nアクセスが拒否されました。");
  EXPECT_EQ(boxes2.shown[0].caption, "エラー");
}

TEST(Uninstall, DeletesByNameWithItsOwnTexts) {
  FakeRegistry registry;
  FakeServiceManager scm;
  FakeMessageBoxes boxes;
  EXPECT_EQ(UninstallService(registry, boxes, u"C:\\a.exe", false), 0);
  EXPECT_EQ(registry.deleted, std::vector<std::string>{"Drivewarden"});
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "サービスの登録を解除しました。");
  EXPECT_EQ(boxes.shown[0].caption, "情報");

  registry.deleteError =
      Status::Failure("OpenService", 1060, "指定されたサービスはインストールされたサービスとして存在しません。");
  FakeMessageBoxes failed;
  EXPECT_EQ(UninstallService(registry, failed, u"C:\\a.exe", true), 1);
  ASSERT_EQ(failed.shown.size(), 1u);
  EXPECT_EQ(failed.shown[0].text,
            "\"システムエラー。コード：1060.\r\n指定されたサービスはインストールされたサービスとして存在しません。\" : "
            "サービス \"Drivesentry\" の登録解除に失敗しました。");
}

TEST(Recovery, InstallRestartsAfterOneOneAndFiveMinutesResetAfterADayAndCountsErrorStops) {
  FakeRegistry registry;
  FakeServiceManager scm;
  scm.installed = true;
  FakeMessageBoxes boxes;
  std::string note = "stale";
  ASSERT_EQ(InstallService(registry, scm, boxes, u"C:\\a.exe", true, &note), 0);
  ASSERT_EQ(scm.failureActions.size(), 3u);
  const uint32_t delays[] = {60'000, 60'000, 300'000};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(scm.failureActions[i].type, 1u) << "SC_ACTION_RESTART, failure " << i + 1;
    EXPECT_EQ(scm.failureActions[i].delayMs, delays[i]) << "failure " << i + 1;
  }
  EXPECT_EQ(scm.resetPeriodSeconds, 86'400u);
  EXPECT_EQ(scm.failureActionsFlag, 1);
  EXPECT_EQ(scm.calls, (std::vector<std::string>{"open-manager", "open-service Drivewarden", "failure-actions",
                                                 "failure-actions-flag", "close-service", "close-manager"}))
      << "the service created by the install is the one configured, after its creation";
  EXPECT_EQ(scm.openHandles, 0);
  EXPECT_TRUE(note.empty());
  EXPECT_TRUE(boxes.shown.empty());
}

// Each way the recovery can fail: the install is taken back (service deleted,
// no source written) and the box names the call, or, for the flag a system
// does not know, the install stands with a note.
TEST(Recovery, AFailureUndoesTheInstallButAnUnknownFlagIsANote) {
  struct Case {
    const char* name;
    uint32_t openManager, openService, actions, flag;
    int exit;
    const char* boxHas;
  };
  const Case cases[] = {
      {"manager refused", 5, 0, 0, 0, 1, "コード：5."},
      {"service gone", 0, 1060, 0, 0, 1, "コード：1060."},
      {"actions refused", 0, 0, 5, 0, 1, "の回復の設定は失敗しました。"},
      {"flag refused", 0, 0, 0, 5, 1, "の回復の設定は失敗しました。"},
      {"flag unknown", 0, 0, 0, 124, 0, "サービスを登録しました。\r\nこのシステムは"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRegistry registry;
    FakeServiceManager scm;
    scm.openManagerError = c.openManager;
    scm.openServiceError = c.openService;
    scm.failureActionsError = c.actions;
    scm.failureActionsFlagError = c.flag;
    FakeMessageBoxes boxes;
    std::string note;
    EXPECT_EQ(InstallService(registry, scm, boxes, u"C:\\a.exe", false, &note), c.exit);
    EXPECT_EQ(scm.openHandles, 0);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_NE(boxes.shown[0].text.find(c.boxHas), std::string::npos) << boxes.shown[0].text;
    if (c.exit == 0) {
      EXPECT_EQ(registry.sources.size(), 2u) << "the install went on";
      EXPECT_TRUE(registry.deleted.empty());
      EXPECT_EQ(scm.failureActions.size(), 3u) << "the actions stay without the flag";
      EXPECT_NE(note.find("SERVICE_CONFIG_FAILURE_ACTIONS_FLAG"), std::string::npos) << note;
      EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Information);
    } else {
      EXPECT_EQ(registry.deleted, std::vector<std::string>{"Drivewarden"}) << "no service stays without recovery";
      EXPECT_TRUE(registry.sources.empty());
      EXPECT_TRUE(note.empty());
      EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Error);
    }
  }
}

}  // namespace
}  // namespace qw::test

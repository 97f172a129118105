#include "applet/settings_model.h"

#include <gtest/gtest.h>

#include "tests/fakes/fake_message_box.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/fake_service_manager.h"
#include "tests/unit/applet_model/fake_settings_view.h"

namespace qw {
namespace {

using test::FakeDrives;
using test::FakeMessageBoxes;
using test::FakeProfiles;
using test::FakeServiceManager;
using test::FakeSettingsView;
using Lines = std::vector<std::string>;

constexpr const char* kIni = "Drivewarden.ini";
constexpr const char* kMailMessage =
    "メールによる空き領域の警告通知をする場合は、\rメール設定を行ってください。";
constexpr const char* kQuestion = "設定内容を反映させ、ドライブ番人サービスを再起動しますか？";

class SettingsModelTest : public ::testing::Test {
 protected:
  SettingsModelTest() {
    drives.drives['C'];
    drives.drives['D'];
    drives.drives['E'].type = kDriveCdrom;
    view.model = &model;
    RestartTiming timing;
    timing.sleep = [](int64_t) {};
    model.SetRestartTiming(timing);
  }

  void Load(const std::string& ini = "") {
    if (!ini.empty()) profiles.SetFile(kIni, ini, 1);
    model.FormCreate();
  }

  // A complete, valid mail configuration with mail switched on.
  void FillMail() {
    view.Type(SettingsField::Smtp, "mail.example.jp");
    view.Type(SettingsField::From, "watch@example.jp");
    ASSERT_TRUE(model.AddMailAddress("admin@example.jp", MailTarget::To));
    view.ClickMailSend();
  }

  std::string Value(const std::string& section, const std::string& key) {
    return profiles.ReadString(kIni, section, key, "<missing>");
  }

  size_t QuestionsAsked() const {
    size_t n = 0;
    for (const auto& box : boxes.shown) n += box.text == kQuestion;
    return n;
  }

  FakeProfiles profiles;
  FakeDrives drives;
  FakeMessageBoxes boxes;
  FakeServiceManager services;
  FakeSettingsView view;
  SettingsModel model{view, profiles, drives, boxes, services};
};

// --- Loading ---------------------------------------------------------------

TEST_F(SettingsModelTest, WithoutSettingsFileEveryControlShowsItsDefault) {
  Load();
  EXPECT_EQ(view.fields[SettingsField::Interval], "24");
  EXPECT_EQ(view.fields[SettingsField::Port], "25");
  EXPECT_EQ(view.fields[SettingsField::Smtp], "");
  EXPECT_EQ(view.fields[SettingsField::From], kDefaultMailFrom);
  EXPECT_FALSE(view.mailSend);
  EXPECT_FALSE(model.MailSendAtLoad());
  EXPECT_EQ(view.lists[SettingsList::Limit], (Lines{"C:   ", "D:   "}));
  EXPECT_TRUE(view.lists[SettingsList::To].empty());
  EXPECT_TRUE(view.lists[SettingsList::Cc].empty());
  ASSERT_EQ(model.DriveList().size(), 2u);
  EXPECT_EQ(model.DriveList()[1].Letter, 'D');
  EXPECT_FALSE(view.applyEnabled) << "Apply must open disabled although the boxes fired changes";
  EXPECT_TRUE(model.FormCloseQuery());
  EXPECT_FALSE(model.IsModified());
}

TEST_F(SettingsModelTest, LoadsEveryKeyIntoItsControlAndTheSnapshot) {
  Load(
      "[WARNING]\r\nINTERVAL=12\r\nISMAILSEND= 1 \r\n"
      "[DRIVE]\r\nC=500MB\r\nD=10%\r\nF=3MB\r\n"
      "[MAIL]\r\nSMTP=mail.example.jp\r\nPORT=587\r\nMAILFROM=watch@example.jp\r\n"
      "MAILTO=a@x.jp, b@y.jp\r\nMAILCC=c@z.jp,\"\"\r\n");
  EXPECT_EQ(view.fields[SettingsField::Interval], "12");
  EXPECT_TRUE(view.mailSend);
  EXPECT_TRUE(model.MailSendAtLoad());
  EXPECT_EQ(view.lists[SettingsList::Limit], (Lines{"C:   500MB", "D:   10%"}));
  EXPECT_EQ(model.DriveList()[0].LimitText, "500MB");
  EXPECT_EQ(view.lists[SettingsList::To], (Lines{"a@x.jp", "b@y.jp"}));
  EXPECT_EQ(view.lists[SettingsList::Cc], (Lines{"c@z.jp", ""}));
  EXPECT_EQ(model.GetSettingsText(),
            "INTERVAL=12\r\n"
            "LIMIT=\"C:   500MB\",\"D:   10%\"\r\n"
            "ISMAILSEND=T\r\n"
            "SMTP=mail.example.jp\r\n"
            "PORT=587\r\n"
            "FROM=watch@example.jp\r\n"
            "TOLIST=a@x.jp,b@y.jp\r\n"
            "CCLIST=c@z.jp,\r\n");
  EXPECT_FALSE(view.applyEnabled);
}

TEST_F(SettingsModelTest, MailSwitchIsOnOnlyForExactlyOne) {
  for (const char* value : {"01", "true", "yes", "2", "1x", "", "0"}) {
    SCOPED_TRACE(value);
    FakeSettingsView fresh;
    SettingsModel other(fresh, profiles, drives, boxes, services);
    profiles.SetFile(kIni, std::string("[WARNING]\r\nISMAILSEND=") + value + "\r\n", 1);
    other.FormCreate();
    EXPECT_FALSE(fresh.mailSend);
  }
}

TEST_F(SettingsModelTest, DriveKeysFollowTheFixedDrivesOfTheMoment) {
  drives.drives['B'];
  drives.drives['D'].type = kDriveRemote;
  Load("[DRIVE]\r\nB=1MB\r\nD=2MB\r\nC=\r\n");
  EXPECT_EQ(view.lists[SettingsList::Limit], (Lines{"B:   1MB", "C:   "}));
}

// --- Change tracking -------------------------------------------------------

TEST_F(SettingsModelTest, ApplyFollowsTheSnapshotSoUndoingAChangeDisablesIt) {
  Load();
  view.Type(SettingsField::Smtp, "m");
  EXPECT_TRUE(view.applyEnabled);
  view.Type(SettingsField::Smtp, "");
  EXPECT_FALSE(view.applyEnabled);
  view.Type(SettingsField::Interval, "48");
  EXPECT_TRUE(view.applyEnabled);
  view.Type(SettingsField::Interval, "24");
  EXPECT_FALSE(view.applyEnabled);
  view.Type(SettingsField::From, "Drivewarden@localhost");  // case counts
  EXPECT_TRUE(view.applyEnabled);
}

TEST_F(SettingsModelTest, MailCheckBoxComparesWithItsStateAtLoadNotWithTheSnapshot) {
  Load();
  view.ClickMailSend();
  EXPECT_TRUE(view.applyEnabled);
  view.ClickMailSend();
  EXPECT_FALSE(view.applyEnabled);

  // Switch it on, fill the mail page, Apply: the file now says on.
  FillMail();
  model.acnApplyExecute();
  ASSERT_EQ(Value("WARNING", "ISMAILSEND"), "1");
  EXPECT_FALSE(view.applyEnabled);
  // Back to the state at load: Apply goes off although the box now differs
  // from the file; once more and it comes on.
  view.ClickMailSend();
  EXPECT_FALSE(view.applyEnabled);
  view.ClickMailSend();
  EXPECT_TRUE(view.applyEnabled);
}

TEST_F(SettingsModelTest, SetLimitReplacesTheDrivesLineAndReevaluatesApply) {
  Load("[DRIVE]\r\nD=10%\r\n");
  model.SetLimit("D", "500MB");
  EXPECT_EQ(view.lists[SettingsList::Limit], (Lines{"C:   ", "D:   500MB"}));
  EXPECT_EQ(model.DriveList()[1].LimitText, "500MB");
  EXPECT_TRUE(view.applyEnabled);
  model.SetLimit("D", "10%");
  EXPECT_FALSE(view.applyEnabled);

  view.applyEnabled = true;  // a letter that is no drive changes nothing but Apply is re-evaluated
  model.SetLimit("Q", "1MB");
  EXPECT_EQ(view.lists[SettingsList::Limit], (Lines{"C:   ", "D:   10%"}));
  EXPECT_FALSE(view.applyEnabled);
}

TEST_F(SettingsModelTest, AddressesAreUniquePerListRegardlessOfLetterCase) {
  Load();
  EXPECT_TRUE(model.AddMailAddress("Admin@Example.jp", MailTarget::To));
  EXPECT_TRUE(view.applyEnabled);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_FALSE(model.AddMailAddress("admin@example.JP", MailTarget::To));
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "すでに登録されています。");
  EXPECT_EQ(boxes.shown[0].caption, "ドライブ番人");
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Exclamation);
  EXPECT_EQ(boxes.shown[0].buttons, MessageBoxButtons::Ok);
  EXPECT_TRUE(model.AddMailAddress("admin@example.jp", MailTarget::Cc));
  EXPECT_EQ(view.lists[SettingsList::To], (Lines{"Admin@Example.jp"}));
  EXPECT_EQ(view.lists[SettingsList::Cc], (Lines{"admin@example.jp"}));
}

TEST_F(SettingsModelTest, DeletingTheSelectedAddressClearsTheSelectionAndReevaluatesApply) {
  Load("[MAIL]\r\nMAILTO=a@x.jp,b@x.jp\r\n");
  model.acnDeleteExecute(MailTarget::To);  // nothing selected
  EXPECT_EQ(view.lists[SettingsList::To].size(), 2u);
  EXPECT_FALSE(view.applyEnabled);

  view.selected[SettingsList::To] = 0;
  model.acnDeleteExecute(MailTarget::To);
  EXPECT_EQ(view.lists[SettingsList::To], (Lines{"b@x.jp"}));
  EXPECT_EQ(view.selected[SettingsList::To], -1);
  EXPECT_TRUE(view.applyEnabled);

  ASSERT_TRUE(model.AddMailAddress("c@x.jp", MailTarget::Cc));
  view.selected[SettingsList::Cc] = 0;
  model.acnDeleteExecute(MailTarget::Cc);
  EXPECT_TRUE(view.lists[SettingsList::Cc].empty());
  EXPECT_TRUE(view.applyEnabled);  // the To deletion still stands
}

TEST_F(SettingsModelTest, ThresholdDialogIsPreparedFromTheThresholdText) {
  Load("[DRIVE]\r\nC=500MB\r\nD=0\r\n");
  std::string letter, number;
  LimitUnit unit;
  ASSERT_TRUE(model.LimitForEdit(0, &letter, &number, &unit));
  EXPECT_EQ(letter, "C");
  EXPECT_EQ(number, "500");
  EXPECT_EQ(unit, LimitUnit::MB);
  ASSERT_TRUE(model.LimitForEdit(1, &letter, &number, &unit));
  EXPECT_EQ(number, "");  // a bare 0 has no unit: empty box with %
  EXPECT_EQ(unit, LimitUnit::Percent);
  EXPECT_FALSE(model.LimitForEdit(-1, &letter, &number, &unit));
  EXPECT_FALSE(model.LimitForEdit(2, &letter, &number, &unit));

  SplitLimitText("10%", &number, &unit);
  EXPECT_EQ(number, "10");
  EXPECT_EQ(unit, LimitUnit::Percent);
  SplitLimitText("", &number, &unit);
  EXPECT_EQ(number, "");
  EXPECT_EQ(unit, LimitUnit::Percent);
}

TEST_F(SettingsModelTest, LeaveChecksRefuseBadServerAndSenderAndKeepTheFocus) {
  Load();
  view.Type(SettingsField::Smtp, "");
  EXPECT_TRUE(model.edtSMTPExit());
  view.Type(SettingsField::Smtp, "192.168.1.10");
  EXPECT_TRUE(model.edtSMTPExit());
  view.Type(SettingsField::From, "");
  EXPECT_TRUE(model.edtFromExit());
  EXPECT_TRUE(boxes.shown.empty());

  view.Type(SettingsField::Smtp, "mailhost");
  EXPECT_FALSE(model.edtSMTPExit());
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "SMTP サーバ名が不正です。正しく入力してください。");
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Exclamation);
  EXPECT_EQ(view.focus, SettingsControl::Smtp);

  view.Type(SettingsField::From, "watch@localhost");
  EXPECT_FALSE(model.edtFromExit());
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].text, "入力されたメールアドレスが不正です。正しく入力してください。");
  EXPECT_EQ(view.focus, SettingsControl::From);
  EXPECT_EQ(view.fields[SettingsField::From], "watch@localhost");
}

// --- Saving ----------------------------------------------------------------

TEST_F(SettingsModelTest, ApplyWritesEveryKeyInOrderAndAsksTheRestartQuestion) {
  Load();
  model.SetLimit("C", "500MB");
  boxes.answers = {MessageBoxResult::No};
  model.acnApplyExecute();
  EXPECT_EQ(profiles.writeLog, (Lines{"WARNING/INTERVAL=24", "WARNING/ISMAILSEND=0", "DRIVE/C=500MB",
                                      "DRIVE/D=", "MAIL/SMTP=", "MAIL/PORT=25",
                                      std::string("MAIL/MAILFROM=") + kDefaultMailFrom,
                                      "MAIL/MAILTO=", "MAIL/MAILCC="}));
  EXPECT_EQ(profiles.FileText(kIni).find("[WARNING]"), 0u);
  EXPECT_LT(profiles.FileText(kIni).find("[DRIVE]"), profiles.FileText(kIni).find("[MAIL]"));
  EXPECT_EQ(Value("DRIVE", "D"), "");  // present with an empty value
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, kQuestion);
  EXPECT_EQ(boxes.shown[0].caption, "ドライブ番人");
  EXPECT_EQ(boxes.shown[0].buttons, MessageBoxButtons::YesNo);
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::None);
  EXPECT_EQ(boxes.shown[0].defaultButton, 1);
  EXPECT_TRUE(services.calls.empty()) << "No must not reach the Service Control Manager";
  EXPECT_FALSE(view.applyEnabled);
  EXPECT_FALSE(model.IsModified());
  EXPECT_FALSE(view.closed);
}

TEST_F(SettingsModelTest, SaveKeepsKeysOfOtherDrivesAndOtherContent) {
  Load("[OTHER]\r\nX=1\r\n[DRIVE]\r\nF=3MB\r\nC=1%\r\n[MAIL]\r\nMAILTO=a@x.jp, b@y.jp\r\n");
  view.Type(SettingsField::Interval, "6");
  boxes.answers = {MessageBoxResult::No};
  model.acnApplyExecute();
  EXPECT_EQ(Value("DRIVE", "F"), "3MB");
  EXPECT_EQ(Value("OTHER", "X"), "1");
  EXPECT_EQ(Value("DRIVE", "C"), "1%");
  EXPECT_EQ(Value("MAIL", "MAILTO"), "a@x.jp,b@y.jp");
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "6");
}

TEST_F(SettingsModelTest, MailCheckRefusesIncompleteSettingsAndPointsAtTheFirstGap) {
  struct Case {
    const char* smtp;
    const char* from;
    bool to;
    SettingsControl focus;
  };
  const Case cases[] = {{" \t", "w@x.jp", true, SettingsControl::Smtp},
                        {"", "", false, SettingsControl::Smtp},
                        {"mail.x.jp", "  ", false, SettingsControl::From},
                        {"mail.x.jp", "w@x.jp", false, SettingsControl::ToList}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.smtp + std::string("|") + c.from);
    profiles.RemoveFile(kIni);
    boxes.shown.clear();
    FakeSettingsView fresh;
    SettingsModel other(fresh, profiles, drives, boxes, services);
    fresh.model = &other;
    other.FormCreate();
    fresh.Type(SettingsField::Smtp, c.smtp);
    fresh.Type(SettingsField::From, c.from);
    if (c.to) fresh.lists[SettingsList::To] = {"a@x.jp"};
    fresh.ClickMailSend();

    EXPECT_FALSE(other.SaveSettings(true));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, kMailMessage);
    EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Information);
    EXPECT_EQ(boxes.shown[0].buttons, MessageBoxButtons::Ok);
    EXPECT_EQ(fresh.page, SettingsPage::Mail);
    EXPECT_EQ(fresh.focus, c.focus);
    EXPECT_FALSE(profiles.HasFile(kIni));
  }
}

TEST_F(SettingsModelTest, MailOffNeedsNoMailSettingsAndCcIsOptional) {
  Load();
  view.Type(SettingsField::From, "");
  boxes.answers = {MessageBoxResult::No};
  EXPECT_TRUE(model.SaveSettings(true));

  FillMail();  // To, server and sender, no Cc
  boxes.answers = {MessageBoxResult::No};
  EXPECT_TRUE(model.SaveSettings(true));
  EXPECT_EQ(Value("WARNING", "ISMAILSEND"), "1");
  EXPECT_EQ(Value("MAIL", "MAILCC"), "");
}

TEST_F(SettingsModelTest, IntervalMustBeAWholeNumberOfAtLeastOne) {
  Load();
  for (const char* bad : {"0", "", "abc", "-3", "1.5", "2147483648", "１２"}) {
    SCOPED_TRACE(bad);
    boxes.shown.clear();
    view.page = SettingsPage::Mail;
    view.Type(SettingsField::Interval, bad);
    EXPECT_EQ(model.SaveSettingsEx(true), SaveOutcome::Refused);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "インターバルには 1 以上の整数を入力してください。");
    EXPECT_EQ(view.page, SettingsPage::Warning);
    EXPECT_EQ(view.focus, SettingsControl::Interval);
    EXPECT_FALSE(profiles.HasFile(kIni));
  }
  boxes.answers = {MessageBoxResult::No};
  view.Type(SettingsField::Interval, "1,000");
  EXPECT_TRUE(model.SaveSettings(true));
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "1000");
  EXPECT_FALSE(model.IsModified());
}

TEST_F(SettingsModelTest, PortMustLieBetweenOneAnd65535) {
  Load();
  for (const char* bad : {"0", "65536", "-1", "", "25a", "99999999999"}) {
    SCOPED_TRACE(bad);
    boxes.shown.clear();
    view.Type(SettingsField::Port, bad);
    EXPECT_EQ(model.SaveSettingsEx(true), SaveOutcome::Refused);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "ポート番号には 1 ～ 65535 の整数を入力してください。");
    EXPECT_EQ(view.page, SettingsPage::Mail);
    EXPECT_EQ(view.focus, SettingsControl::Port);
    EXPECT_FALSE(profiles.HasFile(kIni));
  }
  for (const auto& [shown, written] :
       {std::pair{"1", "1"}, std::pair{"65,535", "65535"}, std::pair{"587", "587"}}) {
    boxes.answers = {MessageBoxResult::No};
    view.Type(SettingsField::Port, shown);
    EXPECT_TRUE(model.SaveSettings(true));
    EXPECT_EQ(Value("MAIL", "PORT"), written);
  }
}

TEST_F(SettingsModelTest, OtherThousandsSeparatorIsRemovedToo) {
  Load();
  model.SetThousandSeparator(".");
  view.Type(SettingsField::Interval, "1.000");
  boxes.answers = {MessageBoxResult::No};
  EXPECT_TRUE(model.SaveSettings(false));
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "1000");
}

TEST_F(SettingsModelTest, UnwritableFileKeepsEarlierKeysAsksNothingAndLeavesApplyOn) {
  Load("[WARNING]\r\nINTERVAL=24\r\n[DRIVE]\r\nC=1MB\r\nD=2MB\r\n[MAIL]\r\nSMTP=old.x.jp\r\n");
  view.Type(SettingsField::Interval, "8");
  model.SetLimit("C", "5MB");
  model.SetLimit("D", "6MB");
  view.Type(SettingsField::Smtp, "new.x.jp");
  profiles.writesBeforeFailure = 3;  // INTERVAL, ISMAILSEND, DRIVE/C
  model.acnApplyExecute();

  EXPECT_EQ(Value("WARNING", "INTERVAL"), "8");
  EXPECT_EQ(Value("DRIVE", "C"), "5MB");
  EXPECT_EQ(Value("DRIVE", "D"), "2MB");
  EXPECT_EQ(Value("MAIL", "SMTP"), "old.x.jp");
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "Drivewarden.ini に書き込めません");
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Error);
  EXPECT_EQ(QuestionsAsked(), 0u);
  EXPECT_TRUE(services.calls.empty());
  EXPECT_TRUE(view.applyEnabled);
  EXPECT_TRUE(model.IsModified());
  EXPECT_EQ(view.writeFailures, (Lines{"Drivewarden.ini に書き込めません"}));
}

TEST_F(SettingsModelTest, ViewMayTakeOverTheWriteFailure) {
  Load();
  view.Type(SettingsField::Interval, "8");
  view.handleWriteFailure = true;
  profiles.writesBeforeFailure = 0;
  EXPECT_EQ(model.SaveSettingsEx(true), SaveOutcome::WriteFailed);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(view.writeFailures.size(), 1u);
}

// --- OK, Apply, Cancel and closing -----------------------------------------

TEST_F(SettingsModelTest, OkWithoutChangesClosesWithoutWritingOrAsking) {
  Load();
  model.acnOKExecute();
  EXPECT_TRUE(view.closed);
  EXPECT_FALSE(profiles.HasFile(kIni));
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SettingsModelTest, OkWithChangesSavesRestartsOnYesAndCloses) {
  Load();
  view.Type(SettingsField::Interval, "3");
  boxes.answers = {MessageBoxResult::Yes};
  model.acnOKExecute();
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "3");
  EXPECT_EQ(model.RestartCount(), 1);
  EXPECT_TRUE(model.LastRestart().ok());
  EXPECT_EQ(services.starts, 1);
  EXPECT_EQ(services.state, ServiceState::Running);
  EXPECT_EQ(view.pendingPasses, 1);
  EXPECT_EQ(boxes.shown.size(), 1u);  // the question only
  EXPECT_TRUE(view.closed);
}

TEST_F(SettingsModelTest, RefusedOkKeepsTheDialogOpenUntilCancel) {
  Load();
  view.ClickMailSend();
  model.acnOKExecute();
  EXPECT_FALSE(view.closed);
  EXPECT_EQ(view.closeRequests, 1);
  EXPECT_FALSE(model.FormCloseQuery());
  EXPECT_EQ(view.page, SettingsPage::Mail);
  EXPECT_EQ(view.focus, SettingsControl::Smtp);

  model.acnCancelExecute();
  EXPECT_TRUE(view.closed);
  EXPECT_FALSE(profiles.HasFile(kIni));
  EXPECT_EQ(boxes.shown.size(), 1u);  // no question on Cancel
}

TEST_F(SettingsModelTest, OkAfterAWriteErrorClosesUnlessAnEarlierOkWasRefused) {
  Load();
  view.Type(SettingsField::Interval, "3");
  profiles.writesBeforeFailure = 0;
  model.acnOKExecute();
  EXPECT_TRUE(view.closed) << "the error was shown and the OK button's close request stands";

  FakeSettingsView second;
  SettingsModel other(second, profiles, drives, boxes, services);
  second.model = &other;
  other.FormCreate();
  second.ClickMailSend();
  other.acnOKExecute();  // refused: no mail settings
  EXPECT_FALSE(second.closed);
  second.ClickMailSend();
  second.Type(SettingsField::Interval, "3");
  other.acnOKExecute();  // write error: the earlier refusal's answer stays
  EXPECT_FALSE(second.closed);
  EXPECT_EQ(QuestionsAsked(), 0u);
}

TEST_F(SettingsModelTest, ApplyAnsweredYesRestartsAndStaysOpenWithApplyOff) {
  Load();
  view.Type(SettingsField::Smtp, "mail.x.jp");
  boxes.answers = {MessageBoxResult::Yes};
  model.acnApplyExecute();
  EXPECT_EQ(services.starts, 1);
  EXPECT_FALSE(view.applyEnabled);
  EXPECT_FALSE(view.closed);
}

TEST_F(SettingsModelTest, FailedRestartIsReportedAndTheSaveStands) {
  Load();
  services.installed = false;
  view.Type(SettingsField::Smtp, "mail.x.jp");
  boxes.answers = {MessageBoxResult::Yes};
  model.acnApplyExecute();
  EXPECT_EQ(model.LastRestart().outcome, RestartOutcome::OpenServiceFailed);
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].icon, MessageBoxIcon::Error);
  EXPECT_EQ(Value("MAIL", "SMTP"), "mail.x.jp");
  EXPECT_FALSE(view.applyEnabled);
}

TEST_F(SettingsModelTest, ListsRoundTripThroughTheCommaListRule) {
  // The profile read drops one pair of enclosing quotes: a list of one
  // empty entry is stored as "" and reaches the reader as the empty text.
  Load("[MAIL]\r\nMAILTO=a@x.jp b@y.jp,,\r\nMAILCC=\"\"\"\"\r\n");
  EXPECT_EQ(view.lists[SettingsList::Cc], (Lines{""}));
  EXPECT_EQ(view.lists[SettingsList::To], (Lines{"a@x.jp", "b@y.jp", "", ""}));
  view.Type(SettingsField::Interval, "2");
  boxes.answers = {MessageBoxResult::No};
  ASSERT_TRUE(model.SaveSettings(false));
  EXPECT_EQ(Value("MAIL", "MAILTO"), "a@x.jp,b@y.jp,,");
  EXPECT_EQ(profiles.writeLog.back(), "MAIL/MAILCC=\"\"");
}

}  // namespace
}  // namespace qw

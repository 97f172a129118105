#include "applet/settings_model.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/secret.h"
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

// Stands for DPAPI: the stored form is the prefix and the bytes in hex, so a
// test sees at once whether a value went through Protect; a stored value that
// is not hex fails as a damaged blob does.
class FakeSecrets : public SecretStore {
 public:
  Result<std::string> Protect(const std::string& clear) override {
    ++protects;
    if (failProtect) return Status::Failure("CryptProtectData", 5, "アクセスが拒否されました。");
    static const char* digits = "0123456789ABCDEF";
    std::string stored = kProtectedPrefix;
    for (unsigned char c : clear) {
      stored += digits[c >> 4];
      stored += digits[c & 15];
    }
    return stored;
  }
  Result<std::string> Unprotect(const std::string& stored) override {
    std::string clear;
    const std::string prefix = kProtectedPrefix;
    if (stored.compare(0, prefix.size(), prefix) != 0) return stored;
    const std::string hex = stored.substr(prefix.size());
    auto value = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
    for (size_t i = 0; i < hex.size(); i += 2) {
      if (i + 1 >= hex.size() || value(hex[i]) < 0 || value(hex[i + 1]) < 0) {
        return Status::Failure("CryptUnprotectData", 13, "データが無効です。");
      }
      clear += static_cast<char>(value(hex[i]) * 16 + value(hex[i + 1]));
    }
    return clear;
  }
  Status ProtectFile() override {
    ++fileProtects;
    if (failProtectFile) return Status::Failure("SetNamedSecurityInfo", 5, "アクセスが拒否されました。");
    return Status();
  }
  bool failProtect = false;
  int protects = 0;
  bool failProtectFile = false;
  int fileProtects = 0;
};

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
    ASSERT_TRUE(model.AddMailAddress("admin@example.jp", MailTarget::To).Ok());
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
  FakeSecrets secrets;
  SettingsModel model{view, profiles, drives, boxes, services, secrets};
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
  EXPECT_EQ(view.securityIndex, static_cast<int>(SecurityChoice::None));
  EXPECT_EQ(view.fields[SettingsField::User], "");
  EXPECT_EQ(view.fields[SettingsField::Password], "");
  EXPECT_TRUE(view.tlsVerify);
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
            "CCLIST=c@z.jp,\r\n"
            "SECURITY=NONE\r\n"
            "USER=\r\n"
            "TLSVERIFY=T\r\n"
            "REMIND=0\r\n"
            "RECOVERYMAIL=F\r\n"
            "AUTH=PASSWORD\r\n"
            "CREDENTIAL=0\r\n"
            "TENANT=\r\n"
            "CLIENTID=\r\n"
            "CLIENTCERT=\r\n"
            "SERVICEACCOUNT=\r\n"
            "TOKENURL=\r\n"
            "SCOPE=\r\n"
            "PROXY=\r\n");
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
  EXPECT_TRUE(model.AddMailAddress("Admin@Example.jp", MailTarget::To).Ok());
  EXPECT_TRUE(view.applyEnabled);
  EXPECT_TRUE(boxes.shown.empty());
  const Status duplicate = model.AddMailAddress("admin@example.JP", MailTarget::To);
  EXPECT_FALSE(duplicate.Ok());
  EXPECT_EQ(duplicate.Kind(), StatusKind::kAlreadyExists);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "すでに登録されています。");
  EXPECT_EQ(boxes.shown[0].caption, "ドライブ番人");
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Exclamation);
  EXPECT_EQ(boxes.shown[0].buttons, MessageBoxButtons::Ok);
  EXPECT_TRUE(model.AddMailAddress("admin@example.jp", MailTarget::Cc).Ok());
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

  ASSERT_TRUE(model.AddMailAddress("c@x.jp", MailTarget::Cc).Ok());
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
  EXPECT_TRUE(model.edtSMTPExit().Ok());
  view.Type(SettingsField::Smtp, "192.168.1.10");
  EXPECT_TRUE(model.edtSMTPExit().Ok());
  view.Type(SettingsField::From, "");
  EXPECT_TRUE(model.edtFromExit().Ok());
  EXPECT_TRUE(boxes.shown.empty());

  view.Type(SettingsField::Smtp, "mailhost");
  EXPECT_FALSE(model.edtSMTPExit().Ok());
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "SMTP サーバ名が不正です。正しく入力してください。");
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Exclamation);
  EXPECT_EQ(view.focus, SettingsControl::Smtp);

  view.Type(SettingsField::From, "watch@localhost");
  EXPECT_FALSE(model.edtFromExit().Ok());
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
  // The whole file in one write.
  EXPECT_EQ(profiles.writeLog,
            (Lines{std::string("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=0\r\nREMIND=0\r\nRECOVERYMAIL=0\r\n"
                               "[DRIVE]\r\nC=500MB\r\nD=\r\n"
                               "[MAIL]\r\nSMTP=\r\nPORT=25\r\nMAILFROM=") +
                   kDefaultMailFrom +
                   "\r\nMAILTO=\r\nMAILCC=\r\nSECURITY=NONE\r\nUSER=\r\nPASSWORD=\r\nTLSVERIFY=1\r\n"}));
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

    EXPECT_FALSE(other.SaveSettings(true).Ok());
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
  EXPECT_TRUE(model.SaveSettings(true).Ok());

  FillMail();  // To, server and sender, no Cc
  boxes.answers = {MessageBoxResult::No};
  EXPECT_TRUE(model.SaveSettings(true).Ok());
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
  EXPECT_TRUE(model.SaveSettings(true).Ok());
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "1000");
  EXPECT_FALSE(model.IsModified());
}

TEST_F(SettingsModelTest, ReminderAndRecoveryNoticeLoadCheckAndSave) {
  Load("[WARNING]\r\nINTERVAL=2\r\nREMIND=12\r\nRECOVERYMAIL=1\r\n");
  EXPECT_EQ(view.fields[SettingsField::Remind], "12");
  EXPECT_TRUE(view.recoveryMail);
  view.ClickRecoveryMail();
  EXPECT_TRUE(view.applyEnabled) << "the check box is part of the snapshot";
  view.ClickRecoveryMail();
  EXPECT_FALSE(view.applyEnabled);

  for (const char* bad : {"", "-1", "abc", "1.5", "2147483648"}) {
    SCOPED_TRACE(bad);
    boxes.shown.clear();
    view.page = SettingsPage::Mail;
    view.Type(SettingsField::Remind, bad);
    EXPECT_EQ(model.SaveSettingsEx(true), SaveOutcome::Refused);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, std::string("'") + bad + "' は 0 以上の整数ではありません");
    EXPECT_EQ(view.page, SettingsPage::Warning);
    EXPECT_EQ(view.focus, SettingsControl::Remind);
    EXPECT_EQ(Value("WARNING", "REMIND"), "12") << "nothing written";
  }
  boxes.answers = {MessageBoxResult::No};
  view.Type(SettingsField::Remind, "0");
  view.ClickRecoveryMail();
  EXPECT_TRUE(model.SaveSettings(true).Ok());
  EXPECT_EQ(Value("WARNING", "REMIND"), "0");
  EXPECT_EQ(Value("WARNING", "RECOVERYMAIL"), "0");

  // A file without the keys opens with today's behaviour.
  SettingsModelTest::Load("[WARNING]\r\nINTERVAL=2\r\n");
  EXPECT_EQ(view.fields[SettingsField::Remind], "0");
  EXPECT_FALSE(view.recoveryMail);
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
    EXPECT_TRUE(model.SaveSettings(true).Ok());
    EXPECT_EQ(Value("MAIL", "PORT"), written);
  }
}

TEST_F(SettingsModelTest, OtherThousandsSeparatorIsRemovedToo) {
  Load();
  model.SetThousandSeparator(".");
  view.Type(SettingsField::Interval, "1.000");
  boxes.answers = {MessageBoxResult::No};
  EXPECT_TRUE(model.SaveSettings(false).Ok());
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "1000");
}

// A save that cannot replace the file leaves every key as it was (never a
// part of the new values), asks nothing and leaves Apply on.
TEST_F(SettingsModelTest, UnwritableFileKeepsEveryKeyAsksNothingAndLeavesApplyOn) {
  const std::string before = "[WARNING]\r\nINTERVAL=24\r\n[DRIVE]\r\nC=1MB\r\nD=2MB\r\n[MAIL]\r\nSMTP=old.x.jp\r\n";
  Load(before);
  view.Type(SettingsField::Interval, "8");
  model.SetLimit("C", "5MB");
  model.SetLimit("D", "6MB");
  view.Type(SettingsField::Smtp, "new.x.jp");
  profiles.writesBeforeFailure = 0;
  model.acnApplyExecute();

  EXPECT_EQ(profiles.FileText(kIni), before);
  const std::string message = "Drivewarden.ini に書き込めません\r\rWriteFile: access denied";
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, message);
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Error);
  EXPECT_EQ(QuestionsAsked(), 0u);
  EXPECT_TRUE(services.calls.empty());
  EXPECT_TRUE(view.applyEnabled);
  EXPECT_TRUE(model.IsModified());
  EXPECT_EQ(view.writeFailures, (Lines{message}));

  // A file that cannot be read (a folder in its place) is not replaced.
  boxes.shown.clear();
  profiles.writesBeforeFailure = -1;
  profiles.SetFolder(kIni);
  model.acnApplyExecute();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "Drivewarden.ini に書き込めません\r\rprofile: ファイルではなくフォルダーです");
  EXPECT_TRUE(profiles.writeLog.empty());
}

// The save composes over the file as it is at the save: a key or comment
// the dialog does not know, added by hand after the dialog opened, stays.
TEST_F(SettingsModelTest, SaveKeepsWhatTheDialogDoesNotKnow) {
  Load("[WARNING]\r\nINTERVAL=24\r\n");
  profiles.SetFile(kIni, "; kept\r\n[WARNING]\r\nINTERVAL=24\r\nFUTURE=x\r\n[OTHER]\r\nA=1\r\n");
  view.Type(SettingsField::Interval, "8");
  boxes.answers = {MessageBoxResult::No};
  ASSERT_TRUE(model.SaveSettings(true).Ok());
  ASSERT_EQ(profiles.writeLog.size(), 1u);
  const std::string text = profiles.FileText(kIni);
  EXPECT_EQ(text.rfind("; kept\r\n[WARNING]\r\nINTERVAL=8\r\n", 0), 0u) << text;
  EXPECT_EQ(Value("WARNING", "FUTURE"), "x");
  EXPECT_EQ(Value("OTHER", "A"), "1");
}

// Every save that wrote the file limits its rights afterwards; a save that
// wrote nothing does not; a failure to limit them is said, and the save
// stands.
TEST_F(SettingsModelTest, ASaveLimitsTheFileRightsAfterWriting) {
  Load();
  view.Type(SettingsField::Interval, "5");
  boxes.answers = {MessageBoxResult::No};
  ASSERT_EQ(model.SaveSettingsEx(true), SaveOutcome::Saved);
  EXPECT_EQ(secrets.fileProtects, 1);
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "5");

  secrets.failProtectFile = true;
  view.Type(SettingsField::Interval, "6");
  boxes.shown.clear();
  boxes.answers = {MessageBoxResult::No};
  ASSERT_EQ(model.SaveSettingsEx(true), SaveOutcome::Saved);
  EXPECT_EQ(secrets.fileProtects, 2);
  EXPECT_EQ(Value("WARNING", "INTERVAL"), "6");
  ASSERT_FALSE(boxes.shown.empty());
  EXPECT_NE(boxes.shown[0].text.find("アクセスが拒否されました"), std::string::npos) << boxes.shown[0].text;
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Exclamation);

  profiles.writesBeforeFailure = 0;
  view.Type(SettingsField::Interval, "7");
  EXPECT_EQ(model.SaveSettingsEx(true), SaveOutcome::WriteFailed);
  EXPECT_EQ(secrets.fileProtects, 2) << "nothing written, nothing to protect";
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
  ASSERT_TRUE(model.SaveSettings(false).Ok());
  EXPECT_EQ(Value("MAIL", "MAILTO"), "a@x.jp,b@y.jp,,");
  ASSERT_EQ(profiles.writeLog.size(), 1u);
  EXPECT_NE(profiles.writeLog[0].find("\r\nMAILCC=\"\"\r\n"), std::string::npos) << profiles.writeLog[0];
}

// --- Secure submission: encryption, login, certificate check -----------------

TEST_F(SettingsModelTest, LoadsTheSecureSubmissionKeysAndShowsTheClearPassword) {
  Load("[MAIL]\r\nSECURITY= starttls \r\nUSER=alerts@example.jp\r\n"
       "PASSWORD=dpapi:70617373\r\nTLSVERIFY=0\r\n");
  EXPECT_EQ(view.securityIndex, static_cast<int>(SecurityChoice::StartTls));
  EXPECT_EQ(view.fields[SettingsField::User], "alerts@example.jp");
  EXPECT_EQ(view.fields[SettingsField::Password], "pass");
  EXPECT_FALSE(view.tlsVerify);
  EXPECT_TRUE(model.PasswordLoadError().empty());
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_FALSE(view.applyEnabled);
  EXPECT_EQ(model.GetSettingsText().find("pass\r\n"), std::string::npos)
      << "the password must stay out of the snapshot text";

  for (const char* verify : {"1", "", "yes", "2"}) {
    SCOPED_TRACE(verify);
    FakeSettingsView fresh;
    SettingsModel other(fresh, profiles, drives, boxes, services, secrets);
    profiles.SetFile(kIni, std::string("[MAIL]\r\nSECURITY=TLS\r\nTLSVERIFY=") + verify + "\r\n", 1);
    other.FormCreate();
    EXPECT_TRUE(fresh.tlsVerify) << "only 0 turns the check off";
    EXPECT_EQ(fresh.securityIndex, static_cast<int>(SecurityChoice::Tls));
  }
}

TEST_F(SettingsModelTest, UnknownSecurityShowsNoChoiceAndASaveAsksForOne) {
  Load("[MAIL]\r\nSECURITY=SSL\r\n");
  EXPECT_EQ(view.securityIndex, -1);
  view.Type(SettingsField::Interval, "12");
  model.acnApplyExecute();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "暗号化の方式を選んでください。");
  EXPECT_EQ(view.page, SettingsPage::Mail);
  EXPECT_EQ(view.focus, SettingsControl::Security);
  EXPECT_TRUE(profiles.writeLog.empty()) << "nothing may be written after a refused check";
  EXPECT_EQ(Value("MAIL", "SECURITY"), "SSL");

  view.ChooseSecurity(SecurityChoice::Tls);
  boxes.answers = {MessageBoxResult::No};
  model.acnApplyExecute();
  EXPECT_EQ(Value("MAIL", "SECURITY"), "TLS");
}

TEST_F(SettingsModelTest, ChoosingAnEncryptionSuggestsItsPortOnlyOverAUsualPort) {
  Load();
  ASSERT_EQ(view.fields[SettingsField::Port], "25");
  view.ChooseSecurity(SecurityChoice::StartTls);
  EXPECT_EQ(view.fields[SettingsField::Port], "587");
  EXPECT_TRUE(view.applyEnabled);
  view.ChooseSecurity(SecurityChoice::Tls);
  EXPECT_EQ(view.fields[SettingsField::Port], "465");
  view.ChooseSecurity(SecurityChoice::None);
  EXPECT_EQ(view.fields[SettingsField::Port], "25");
  EXPECT_FALSE(view.applyEnabled) << "back to the loaded choice and port";

  // A port the user typed stays, whatever is chosen after it.
  for (const char* typed : {"2525", "", "abc", "0"}) {
    SCOPED_TRACE(typed);
    view.Type(SettingsField::Port, typed);
    view.ChooseSecurity(SecurityChoice::StartTls);
    EXPECT_EQ(view.fields[SettingsField::Port], typed);
    view.ChooseSecurity(SecurityChoice::None);
    EXPECT_EQ(view.fields[SettingsField::Port], typed);
  }
  // A usual port shown with the thousands separator or blanks is still usual.
  view.Type(SettingsField::Port, " 587 ");
  view.ChooseSecurity(SecurityChoice::Tls);
  EXPECT_EQ(view.fields[SettingsField::Port], "465");
}

TEST_F(SettingsModelTest, SaveWritesTheNewKeysWithThePasswordProtected) {
  Load();
  FillMail();
  view.ChooseSecurity(SecurityChoice::StartTls);
  view.Type(SettingsField::User, "alerts@example.jp");
  view.Type(SettingsField::Password, "s3cret");
  view.ClickTlsVerify();
  boxes.answers = {MessageBoxResult::No};
  model.acnApplyExecute();
  EXPECT_EQ(Value("MAIL", "SECURITY"), "STARTTLS");
  EXPECT_EQ(Value("MAIL", "PORT"), "587");
  EXPECT_EQ(Value("MAIL", "USER"), "alerts@example.jp");
  EXPECT_EQ(Value("MAIL", "PASSWORD"), "dpapi:733363726574");
  EXPECT_EQ(Value("MAIL", "TLSVERIFY"), "0");
  EXPECT_EQ(profiles.FileText(kIni).find("s3cret"), std::string::npos);
  EXPECT_FALSE(view.applyEnabled);
  EXPECT_FALSE(model.IsModified());

  // The password alone is a change that Apply follows.
  view.Type(SettingsField::Password, "other");
  EXPECT_TRUE(view.applyEnabled);
  view.Type(SettingsField::Password, "s3cret");
  EXPECT_FALSE(view.applyEnabled);
}

TEST_F(SettingsModelTest, AHandTypedClearPasswordIsRewrittenProtectedOnTheNextSave) {
  Load("[MAIL]\r\nUSER=u\r\nPASSWORD=typed by hand\r\n");
  EXPECT_EQ(view.fields[SettingsField::Password], "typed by hand");
  view.Type(SettingsField::Interval, "12");  // an unrelated change
  boxes.answers = {MessageBoxResult::No};
  model.acnApplyExecute();
  EXPECT_EQ(Value("MAIL", "PASSWORD"), "dpapi:74797065642062792068616E64");
  const Result<std::string> clear = secrets.Unprotect(Value("MAIL", "PASSWORD"));
  ASSERT_TRUE(clear.Ok());
  EXPECT_EQ(*clear, "typed by hand");
}

TEST_F(SettingsModelTest, UnreadableStoredPasswordIsReportedAndMustBeTypedAgain) {
  Load("[WARNING]\r\nISMAILSEND=1\r\n[MAIL]\r\nSMTP=m.x.jp\r\nMAILTO=a@x.jp\r\n"
       "USER=u\r\nPASSWORD=dpapi:damaged!\r\n");
  EXPECT_EQ(view.fields[SettingsField::Password], "");
  EXPECT_NE(model.PasswordLoadError().find("データが無効です。"), std::string::npos);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text.find("保存されているパスワードを読み取れません。"), 0u);
  EXPECT_NE(boxes.shown[0].text.find("CryptUnprotectData: データが無効です。"), std::string::npos)
      << "the system's reason is shown";
  EXPECT_FALSE(view.applyEnabled);

  // A save with the user name and no password is refused: the damaged value stays.
  view.Type(SettingsField::Interval, "12");
  model.acnApplyExecute();
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].text, "ユーザー名を入力した場合は、パスワードも入力してください。");
  EXPECT_EQ(view.focus, SettingsControl::Password);
  EXPECT_EQ(Value("MAIL", "PASSWORD"), "dpapi:damaged!");

  view.Type(SettingsField::Password, "new");
  boxes.answers = {MessageBoxResult::No};
  model.acnApplyExecute();
  EXPECT_EQ(Value("MAIL", "PASSWORD"), "dpapi:6E6577");
  EXPECT_TRUE(model.PasswordLoadError().empty());
}

TEST_F(SettingsModelTest, LoginNeedsBothHalvesWhenMailIsOn) {
  Load();
  FillMail();
  view.Type(SettingsField::Password, "pw");
  model.acnApplyExecute();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, "パスワードを入力した場合は、ユーザー名も入力してください。");
  EXPECT_EQ(view.focus, SettingsControl::User);
  EXPECT_EQ(view.page, SettingsPage::Mail);
  EXPECT_TRUE(profiles.writeLog.empty());

  view.Type(SettingsField::User, "  ");
  model.acnApplyExecute();
  EXPECT_EQ(boxes.shown.back().text, "パスワードを入力した場合は、ユーザー名も入力してください。")
      << "a blank user name is no user name";

  // Mail off: the pair is not checked (as the other mail settings are not).
  view.Type(SettingsField::User, "");
  view.ClickMailSend();
  boxes.answers = {MessageBoxResult::No};
  model.acnApplyExecute();
  EXPECT_EQ(Value("MAIL", "PASSWORD"), "dpapi:7077");
  EXPECT_EQ(secrets.protects, 1) << "the refused saves protected nothing";
}

TEST_F(SettingsModelTest, APasswordThatCannotBeProtectedIsNeverWrittenInClear) {
  Load("[MAIL]\r\nPASSWORD=dpapi:6F6C64\r\n");
  view.Type(SettingsField::Password, "new one");
  secrets.failProtect = true;
  model.acnApplyExecute();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text,
            "パスワードを保護できません。\r\rCryptProtectData: アクセスが拒否されました。");
  EXPECT_EQ(boxes.shown[0].icon, MessageBoxIcon::Error);
  EXPECT_EQ(view.focus, SettingsControl::Password);
  EXPECT_TRUE(profiles.writeLog.empty()) << "a failed protection leaves the file as it was";
  EXPECT_EQ(Value("MAIL", "PASSWORD"), "dpapi:6F6C64");
  EXPECT_TRUE(view.applyEnabled);
}

TEST_F(SettingsModelTest, ALoginShiftJisCannotHoldIsRefusedWhenTypedAndNeverSavedAsQuestionMarks) {
  struct Case {
    SettingsField field;
    std::u16string typed;
    bool refused;
  };
  const std::string passwordMessage =
      "パスワードに、設定ファイルに保存できない文字が含まれています。\rシフト JIS で表せる文字だけを使ってください。";
  const std::string userMessage =
      "ユーザー名に、設定ファイルに保存できない文字が含まれています。\rシフト JIS で表せる文字だけを使ってください。";
  for (const Case& c : {
           Case{SettingsField::Password, u"caf\u00E9-pw", true},        // é: no Shift-JIS character
           Case{SettingsField::Password, u"key\U0001F511", true},        // a character beyond the BMP
           Case{SettingsField::Password, u"\u20AC100", true},            // €
           Case{SettingsField::User, u"jos\u00E9@example.jp", true},
           Case{SettingsField::Password, u"\u30D1\u30B9\uFF5E1", false},  // パス～1: all held
           Case{SettingsField::Password, u"what?", false},                // a "?" typed is no loss
       }) {
    SCOPED_TRACE(Utf16ToSjis(c.typed));
    boxes.shown.clear();
    FakeProfiles files;
    FakeSettingsView fresh;
    SettingsModel model2(fresh, files, drives, boxes, services, secrets);
    fresh.model = &model2;
    model2.FormCreate();
    fresh.Type(SettingsField::Smtp, "mail.example.jp");
    fresh.Type(SettingsField::From, "watch@example.jp");
    ASSERT_TRUE(model2.AddMailAddress("admin@example.jp", MailTarget::To).Ok());
    fresh.ClickMailSend();
    fresh.Type(SettingsField::User, "user");
    fresh.Type(SettingsField::Password, "pw");
    fresh.TypeWide(c.field, c.typed);
    boxes.answers = {MessageBoxResult::No};
    EXPECT_EQ(model2.TestMailSettings().Ok(), !c.refused) << "the test mail is refused alike";
    EXPECT_EQ(model2.SaveSettingsEx(true), c.refused ? SaveOutcome::Refused : SaveOutcome::Saved);
    if (c.refused) {
      ASSERT_FALSE(boxes.shown.empty());
      EXPECT_EQ(boxes.shown.back().text, c.field == SettingsField::User ? userMessage : passwordMessage);
      EXPECT_EQ(fresh.focus, c.field == SettingsField::User ? SettingsControl::User : SettingsControl::Password);
      EXPECT_TRUE(files.writeLog.empty());
    } else {
      const Result<std::string> stored = secrets.Unprotect(files.ReadString(kIni, "MAIL", "PASSWORD", ""));
      ASSERT_TRUE(stored.Ok());
      EXPECT_EQ(SjisToUtf16(*stored), c.typed);
    }
  }
}

// Through the platform's own protection: on Windows (the tests under Wine)
// the stored form is DPAPI behind the prefix and reads back; POSIX stores the
// value as it is.
TEST_F(SettingsModelTest, SystemSecretsRoundTripThroughTheSettingsFile) {
  FakeSettingsView first;
  SettingsModel writer(first, profiles, drives, boxes, services);
  first.model = &writer;
  writer.FormCreate();
  first.Type(SettingsField::User, "u");
  first.Type(SettingsField::Password, "パスワード");
  boxes.answers = {MessageBoxResult::No};
  writer.acnApplyExecute();
  const std::string stored = Value("MAIL", "PASSWORD");
#ifdef _WIN32
  EXPECT_EQ(stored.rfind(kProtectedPrefix, 0), 0u) << stored;
  EXPECT_EQ(stored.find("パスワード"), std::string::npos);
#else
  EXPECT_EQ(stored, "パスワード");
#endif
  FakeSettingsView second;
  SettingsModel reader(second, profiles, drives, boxes, services);
  reader.FormCreate();
  EXPECT_EQ(second.fields[SettingsField::Password], "パスワード");
  EXPECT_TRUE(reader.PasswordLoadError().empty()) << reader.PasswordLoadError();
}

}  // namespace
}  // namespace qw

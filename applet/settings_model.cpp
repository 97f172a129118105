#include "applet/settings_model.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "common/address_check.h"
#include "common/comma_list.h"
#include "common/errors.h"
#include "common/threshold.h"
#include "platform/ascii_text.h"

namespace qw {
namespace {

constexpr const char* kMsgMailSettings =
    "メールによる空き領域の警告通知をする場合は、\rメール設定を行ってください。";
constexpr const char* kMsgIntervalRange = "インターバルには 1 以上の整数を入力してください。";
constexpr const char* kMsgPortRange = "ポート番号には 1 ～ 65535 の整数を入力してください。";
constexpr const char* kMsgWriteFailed = "%s に書き込めません";
constexpr const char* kMsgRestartQuestion =
    "設定内容を反映させ、ドライブ番人サービスを再起動しますか？";
constexpr const char* kMsgDuplicate = "すでに登録されています。";
constexpr const char* kMsgBadServer = "SMTP サーバ名が不正です。正しく入力してください。";
constexpr const char* kMsgBadAddress = "入力されたメールアドレスが不正です。正しく入力してください。";

SettingsList ListOf(MailTarget target) {
  return target == MailTarget::To ? SettingsList::To : SettingsList::Cc;
}

bool IsBlank(const std::string& text) { return TrimControls(text).empty(); }

std::string Replace(std::string text, const std::string& placeholder, const std::string& value) {
  const size_t at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), value);
  return text;
}

}  // namespace

std::string LimitLine(char letter, const std::string& limitText) {
  return std::string(1, letter) + kLimitLineSeparator + limitText;
}

void SplitLimitText(const std::string& limitText, std::string* number, LimitUnit* unit) {
  ThresholdParts parts = SplitThreshold(limitText);
  *unit = parts.unit == ThresholdUnit::MB ? LimitUnit::MB : LimitUnit::Percent;
  // A text without a unit goes to the dialog as a share less its last byte
  // (a bare "0", no threshold, opens an empty box); the service reads it as
  // no threshold or refuses it.
  if (parts.unit == ThresholdUnit::None && !parts.number.empty()) parts.number.pop_back();
  *number = std::move(parts.number);
}

SettingsModel::SettingsModel(SettingsView& view, Profiles& profiles, Drives& drives,
                             MessageBoxes& boxes, ServiceManager& services)
    : view_(view), profiles_(profiles), drives_(drives), boxes_(boxes), services_(services) {}

void SettingsModel::FormCreate() {
  ListFixedDrives(drives_);
  FCanClose = true;
  FDriveList.clear();

  auto read = [this](const char* section, const std::string& key, const std::string& def) {
    return profiles_.ReadString(kIniFileName, section, key, def);
  };

  view_.SetFieldText(SettingsField::Interval, read(kSectionWarning, kKeyInterval, "24"));
  FMailSendAtLoad = TrimControls(read(kSectionWarning, kKeyIsMailSend, "")) == "1";
  view_.SetMailSendChecked(FMailSendAtLoad);
  for (char letter : FixedDrives) {
    A_Drive drive;
    drive.Letter = letter;
    drive.LimitText = read(kSectionDrive, std::string(1, letter), "");
    view_.AddListLine(SettingsList::Limit, LimitLine(letter, drive.LimitText));
    FDriveList.push_back(std::move(drive));
  }
  view_.SetFieldText(SettingsField::Smtp, read(kSectionMail, kKeySmtp, ""));
  view_.SetFieldText(SettingsField::Port, read(kSectionMail, kKeyPort, "25"));
  view_.SetFieldText(SettingsField::From, read(kSectionMail, kKeyMailFrom, kDefaultMailFrom));
  for (const std::string& address : ReadCommaList(read(kSectionMail, kKeyMailTo, ""))) {
    view_.AddListLine(SettingsList::To, address);
  }
  for (const std::string& address : ReadCommaList(read(kSectionMail, kKeyMailCc, ""))) {
    view_.AddListLine(SettingsList::Cc, address);
  }

  FSettingsText = GetSettingsText();
  view_.SetApplyEnabled(false);
}

void SettingsModel::FormDestroy() {
  while (!FDriveList.empty()) FDriveList.pop_back();
}

std::string SettingsModel::GetSettingsText() {
  std::string text;
  auto line = [&text](const char* name, const std::string& value) {
    text += name;
    text += '=';
    text += value;
    text += "\r\n";
  };
  line("INTERVAL", view_.FieldText(SettingsField::Interval));
  line("LIMIT", WriteCommaList(view_.ListLines(SettingsList::Limit)));
  line("ISMAILSEND", view_.MailSendChecked() ? "T" : "F");
  line("SMTP", view_.FieldText(SettingsField::Smtp));
  line("PORT", view_.FieldText(SettingsField::Port));
  line("FROM", view_.FieldText(SettingsField::From));
  line("TOLIST", WriteCommaList(view_.ListLines(SettingsList::To)));
  line("CCLIST", WriteCommaList(view_.ListLines(SettingsList::Cc)));
  return text;
}

bool SettingsModel::IsModified() { return GetSettingsText() != FSettingsText; }

void SettingsModel::Change() { view_.SetApplyEnabled(IsModified()); }

void SettingsModel::ckbIsMailSendClick() {
  view_.SetApplyEnabled(view_.MailSendChecked() != FMailSendAtLoad);
}

void SettingsModel::SetLimit(const std::string& letter, const std::string& limitText) {
  for (size_t i = 0; i < FDriveList.size(); ++i) {
    if (std::string(1, FDriveList[i].Letter) == letter) {
      FDriveList[i].LimitText = limitText;
      view_.SetListLine(SettingsList::Limit, static_cast<int>(i),
                        LimitLine(FDriveList[i].Letter, limitText));
      break;
    }
  }
  view_.SetApplyEnabled(IsModified());
}

bool SettingsModel::AddMailAddress(const std::string& address, MailTarget target) {
  const SettingsList list = ListOf(target);
  bool added = true;
  for (const std::string& line : view_.ListLines(list)) {
    if (EqualsCaseless(line, address)) {
      added = false;
      break;
    }
  }
  if (added) {
    view_.AddListLine(list, address);
  } else {
    ShowMessage(kMsgDuplicate, MessageBoxIcon::Exclamation);
  }
  view_.SetApplyEnabled(IsModified());
  return added;
}

void SettingsModel::acnDeleteExecute(MailTarget target) {
  const SettingsList list = ListOf(target);
  const int index = view_.SelectedIndex(list);
  if (index >= 0 && index < static_cast<int>(view_.ListLines(list).size())) {
    view_.DeleteListLine(list, index);
    view_.SetSelectedIndex(list, -1);
  }
  view_.SetApplyEnabled(IsModified());
}

bool SettingsModel::LimitForEdit(int index, std::string* letter, std::string* number,
                                 LimitUnit* unit) const {
  if (index < 0 || index >= static_cast<int>(FDriveList.size())) return false;
  const A_Drive& drive = FDriveList[static_cast<size_t>(index)];
  *letter = std::string(1, drive.Letter);
  SplitLimitText(drive.LimitText, number, unit);
  return true;
}

bool SettingsModel::LeaveCheck(SettingsField field, bool (*valid)(const std::string&), const char* message,
                               SettingsControl control) {
  const std::string text = view_.FieldText(field);
  if (text.empty() || valid(text)) return true;
  ShowMessage(message, MessageBoxIcon::Exclamation);
  view_.FocusControl(control);
  return false;
}

bool SettingsModel::edtSMTPExit() {
  return LeaveCheck(SettingsField::Smtp, IsDomainName, kMsgBadServer, SettingsControl::Smtp);
}

bool SettingsModel::edtFromExit() {
  return LeaveCheck(SettingsField::From, IsMailAddress, kMsgBadAddress, SettingsControl::From);
}

bool SettingsModel::NumericValue(SettingsField field, long long min, long long max,
                                 std::string* digits) {
  std::string text(TrimControls(view_.FieldText(field)));
  if (!thousandSeparator_.empty()) {
    for (size_t at = text.find(thousandSeparator_); at != std::string::npos;
         at = text.find(thousandSeparator_, at)) {
      text.erase(at, thousandSeparator_.size());
    }
  }
  int32_t value = 0;
  if (!TryStrToInt(text, &value)) return false;
  if (value < min || value > max) return false;
  *digits = std::to_string(value);
  return true;
}

void SettingsModel::ShowMessage(const std::string& text, MessageBoxIcon icon) {
  boxes_.Show(text, kAppletCaption, MessageBoxButtons::Ok, icon);
}

void SettingsModel::ShowCheckFailure(const std::string& text, MessageBoxIcon icon,
                                     SettingsPage page, SettingsControl focus) {
  ShowMessage(text, icon);
  view_.ShowPage(page);
  view_.FocusControl(focus);
}

bool SettingsModel::CheckMailSettings() {
  if (!view_.MailSendChecked()) return true;
  const bool smtpBlank = IsBlank(view_.FieldText(SettingsField::Smtp));
  const bool fromBlank = IsBlank(view_.FieldText(SettingsField::From));
  const bool toEmpty = view_.ListLines(SettingsList::To).empty();
  if (!smtpBlank && !fromBlank && !toEmpty) return true;
  ShowCheckFailure(kMsgMailSettings, MessageBoxIcon::Information, SettingsPage::Mail,
                   smtpBlank   ? SettingsControl::Smtp
                   : fromBlank ? SettingsControl::From
                               : SettingsControl::ToList);
  return false;
}

bool SettingsModel::WriteAll(const std::string& interval, const std::string& port) {
  auto write = [this](const char* section, const std::string& key, const std::string& value) {
    return profiles_.WriteString(kIniFileName, section, key, value);
  };
  if (!write(kSectionWarning, kKeyInterval, interval)) return false;
  if (!write(kSectionWarning, kKeyIsMailSend, view_.MailSendChecked() ? "1" : "0")) return false;
  for (const A_Drive& drive : FDriveList) {
    if (!write(kSectionDrive, std::string(1, drive.Letter), drive.LimitText)) return false;
  }
  return write(kSectionMail, kKeySmtp, view_.FieldText(SettingsField::Smtp)) &&
         write(kSectionMail, kKeyPort, port) &&
         write(kSectionMail, kKeyMailFrom, view_.FieldText(SettingsField::From)) &&
         write(kSectionMail, kKeyMailTo, WriteCommaList(view_.ListLines(SettingsList::To))) &&
         write(kSectionMail, kKeyMailCc, WriteCommaList(view_.ListLines(SettingsList::Cc)));
}

SaveOutcome SettingsModel::SaveSettingsEx(bool apply) {
  std::string interval, port;
  if (!NumericValue(SettingsField::Interval, 1, std::numeric_limits<int32_t>::max(), &interval)) {
    ShowCheckFailure(kMsgIntervalRange, MessageBoxIcon::Exclamation, SettingsPage::Warning, SettingsControl::Interval);
    return SaveOutcome::Refused;
  }
  if (!NumericValue(SettingsField::Port, 1, 65535, &port)) {
    ShowCheckFailure(kMsgPortRange, MessageBoxIcon::Exclamation, SettingsPage::Mail, SettingsControl::Port);
    return SaveOutcome::Refused;
  }
  if (!CheckMailSettings()) return SaveOutcome::Refused;

  if (!WriteAll(interval, port)) {
    const std::string message = Replace(kMsgWriteFailed, "%s", kIniFileName);
    if (!view_.HandleWriteFailure(message)) ShowMessage(message, MessageBoxIcon::Error);
    return SaveOutcome::WriteFailed;
  }
  if (apply) FSettingsText = GetSettingsText();

  const MessageBoxResult answer = boxes_.Show(kMsgRestartQuestion, kAppletCaption,
                                              MessageBoxButtons::YesNo, MessageBoxIcon::None, 1);
  if (answer == MessageBoxResult::Yes) {
    ++restartCount_;
    lastRestart_ = RestartService(services_, boxes_, [this] { view_.ProcessPendingMessages(); },
                                  restartTiming_);
  }
  return SaveOutcome::Saved;
}

bool SettingsModel::SaveSettings(bool apply) { return SaveSettingsEx(apply) == SaveOutcome::Saved; }

void SettingsModel::acnOKExecute() {
  if (view_.ApplyEnabled()) {
    const SaveOutcome outcome = SaveSettingsEx(false);
    // A write error leaves the close answer as it was: the error has been
    // shown and the OK button's close request stands.
    if (outcome != SaveOutcome::WriteFailed) FCanClose = outcome == SaveOutcome::Saved;
  } else {
    FCanClose = true;
  }
  view_.RequestClose();
}

void SettingsModel::acnApplyExecute() {
  if (SaveSettings(true)) view_.SetApplyEnabled(false);
}

void SettingsModel::acnCancelExecute() {
  FCanClose = true;
  view_.RequestClose();
}

}  // namespace qw

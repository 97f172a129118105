#include "applet/settings_model.h"

#include <cstdint>
#include <limits>
#include <utility>

#include "common/address_check.h"
#include "common/comma_list.h"
#include "common/errors.h"
#include "common/oauth_settings.h"
#include "common/threshold.h"
#include "common/watch_settings.h"
#include "platform/ascii_text.h"
#include "platform/files.h"
#include "platform/secret.h"
#include "platform/secure_file.h"
#include "platform/message_loop.h"

namespace qw {
namespace {

constexpr const char* kMsgMailSettings =
    "メールによる空き領域の警告通知をする場合は、\rメール設定を行ってください。";
constexpr const char* kMsgIntervalRange = "インターバルには 1 以上の整数を入力してください。";
// As the service's load words a bad REMIND.
constexpr const char* kMsgRemindRange = "'%s' は 0 以上の整数ではありません";
constexpr const char* kMsgPortRange = "ポート番号には 1 ～ 65535 の整数を入力してください。";
constexpr const char* kMsgWriteFailed = "%s に書き込めません";
constexpr const char* kMsgRestartQuestion =
    "設定内容を反映させ、ドライブ番人サービスを再起動しますか？";
constexpr const char* kMsgDuplicate = "すでに登録されています。";
constexpr const char* kMsgBadServer = "SMTP サーバ名が不正です。正しく入力してください。";
constexpr const char* kMsgBadAddress = "入力されたメールアドレスが不正です。正しく入力してください。";
constexpr const char* kMsgSecurityChoice = "暗号化の方式を選んでください。";
constexpr const char* kMsgPasswordMissing =
    "ユーザー名を入力した場合は、パスワードも入力してください。";
constexpr const char* kMsgUserMissing =
    "パスワードを入力した場合は、ユーザー名も入力してください。";
constexpr const char* kMsgPasswordChars =
    "パスワードに、設定ファイルに保存できない文字が含まれています。\r"
    "シフト JIS で表せる文字だけを使ってください。";
constexpr const char* kMsgUserChars =
    "ユーザー名に、設定ファイルに保存できない文字が含まれています。\r"
    "シフト JIS で表せる文字だけを使ってください。";
constexpr const char* kMsgPasswordUnreadable =
    "保存されているパスワードを読み取れません。\rメール設定でパスワードを入力し直してください。\r\r";
constexpr const char* kMsgMetricsFolder =
    "メトリクスファイルのフォルダーには C:\\Program Files\\windows_exporter\\textfile_inputs のような絶対パスを入力してください。";
constexpr const char* kMsgMetricsFolderControl = "メトリクスファイルのフォルダー名に制御文字は使えません。";
// The drive letter, then the value and why it does not hold.
constexpr const char* kMsgBadLimit =
    "%s ドライブの空き領域しきい値を読み取れません。\rしきい値を設定し直してください。\r\r";
// DEFAULT's value, then why it does not hold.
constexpr const char* kMsgBadDefault = "既定のしきい値 '%s' を読み取れません。\r\r";
constexpr const char* kMsgProtectFailed = "パスワードを保護できません。\r\r";
constexpr const char* kMsgSecretProtectFailed = "クライアント シークレットを保護できません。\r\r";
constexpr const char* kMsgAuthChoice = "認証方式を選んでください。";
constexpr const char* kMsgCredentialChoice = "OAuth 2.0 の資格情報 (シークレット、証明書、キー ファイル) を選んでください。";
constexpr const char* kMsgOAuthChars =
    "OAuth 2.0 の設定に、設定ファイルに保存できない文字が含まれています。\r"
    "シフト JIS で表せる文字だけを使ってください。";
constexpr const char* kMsgClientSecretUnreadable =
    "保存されているクライアント シークレットを読み取れません。\r"
    "OAuth 2.0 の設定でクライアント シークレットを入力し直してください。\r\r";
constexpr const char* kMsgWebhookUnreadable =
    "保存されている通知先の URL またはヘッダーを読み取れません。\r通知先のページで入力し直してください。\r\r";
constexpr const char* kMsgWebhookProtectFailed = "通知先の URL またはヘッダーを保護できません。\r\r";
constexpr const char* kMsgRightsFailed =
    "設定は保存しましたが、設定ファイルを SYSTEM と Administrators だけが読める権限にできません。\r\r";

class PlatformSecrets : public SecretStore {
 public:
  Result<std::string> Protect(const std::string& clear) override { return ProtectSecret(clear); }
  Result<std::string> Unprotect(const std::string& stored) override { return UnprotectSecret(stored); }
  Status ProtectFile() override { return ProtectSettingsFile(SettingsFilePath("", kIniFileName)); }
};

// The encryption box's index for a SECURITY value: the service's reading
// of the key (a missing key is NONE), anything it refuses is -1 (no
// selection, so that a save asks for a choice instead of guessing).
int SecurityIndexOf(const std::string& value) {
  const Result<MailSecurity> security = ParseSecurity(value);
  return security ? static_cast<int>(*security) : -1;
}

bool IsSecurityIndex(int index) { return index >= 0 && index < 3; }

// The login box's index for an AUTH value, by the service's reading of the
// key; a value it refuses is -1 (no selection).
int AuthIndexOf(const std::string& value) {
  const Result<MailAuth> auth = ParseMailAuth(value);
  if (!auth) return -1;
  return static_cast<int>(*auth == MailAuth::OAuth2 ? AuthChoice::OAuth2 : AuthChoice::Password);
}

bool IsAuthIndex(int index) { return index == 0 || index == 1; }
bool IsCredentialIndex(int index) { return index >= 0 && index < 3; }

// The OAuth 2.0 boxes with their keys, in the file's order.
struct OAuthBox {
  SettingsField field;
  const char* key;
};
const OAuthBox kOAuthBoxes[] = {
    {SettingsField::Tenant, kKeyTenant},         {SettingsField::ClientId, kKeyClientId},
    {SettingsField::ClientSecret, kKeyClientSecret}, {SettingsField::ClientCert, kKeyClientCert},
    {SettingsField::ServiceAccount, kKeyServiceAccount}, {SettingsField::TokenUrl, kKeyTokenUrl},
    {SettingsField::Scope, kKeyScope},           {SettingsField::Proxy, kKeyProxy},
};

SettingsList ListOf(MailTarget target) {
  return target == MailTarget::To ? SettingsList::To : SettingsList::Cc;
}

bool IsBlank(const std::string& text) { return TrimControls(text).empty(); }

// The sender box holds what the file's MAILFROM holds: one address, by the
// rule the service reads the key with.
bool IsSenderAddress(const std::string& text) { return ParseBareAddress(text).Ok(); }

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

SecretStore& SystemSecrets() {
  static PlatformSecrets secrets;
  return secrets;
}

SettingsModel::SettingsModel(SettingsView& view, Profiles& profiles, Drives& drives,
                             MessageBoxes& boxes, ServiceManager& services, SecretStore& secrets)
    : view_(view),
      profiles_(profiles),
      drives_(drives),
      boxes_(boxes),
      services_(services),
      secrets_(secrets) {}

void SettingsModel::FormCreate() {
  const std::string fixedLetters = FixedDriveLetters(drives_);
  FCanClose = true;
  FDriveList.clear();

  // Every value from one reading of the file. A file that cannot be read
  // shows the defaults; a save then refuses to replace it (WriteAll).
  const ProfileSnapshot ini = profiles_.ReadSnapshot(kIniFileName).value_or(ProfileSnapshot());
  auto read = [&ini](const char* section, const std::string& key, const std::string& def) {
    return ini.ReadString(section, key, def);
  };

  view_.SetFieldText(SettingsField::Interval, read(kSectionWarning, kKeyInterval, "24"));
  FMailSendAtLoad = TrimControls(read(kSectionWarning, kKeyIsMailSend, "")) == "1";
  view_.SetMailSendChecked(FMailSendAtLoad);
  view_.SetFieldText(SettingsField::Remind, read(kSectionWarning, kKeyRemind, "0"));
  view_.SetRecoveryMailChecked(TrimControls(read(kSectionWarning, kKeyRecoveryMail, "")) == "1");
  for (char letter : fixedLetters) {
    A_Drive drive;
    drive.Letter = letter;
    drive.LimitText = read(kSectionDrive, std::string(1, letter), "");
    view_.AddListLine(SettingsList::Limit, LimitLine(letter, drive.LimitText));
    FDriveList.push_back(std::move(drive));
  }
  volumes_.Load(ini, fixedLetters, decimalSeparator_);
  std::vector<std::pair<char, std::string>> letterLimits;
  for (const A_Drive& drive : FDriveList) letterLimits.emplace_back(drive.Letter, drive.LimitText);
  volumes_.SetLetterLimits(letterLimits);
  view_.ShowVolumes();
  view_.SetFieldText(SettingsField::Smtp, read(kSectionMail, kKeySmtp, ""));
  view_.SetFieldText(SettingsField::Port, read(kSectionMail, kKeyPort, "25"));
  view_.SetFieldText(SettingsField::From, read(kSectionMail, kKeyMailFrom, kDefaultMailFrom));
  for (const std::string& address : ReadCommaList(read(kSectionMail, kKeyMailTo, ""))) {
    view_.AddListLine(SettingsList::To, address);
  }
  for (const std::string& address : ReadCommaList(read(kSectionMail, kKeyMailCc, ""))) {
    view_.AddListLine(SettingsList::Cc, address);
  }
  view_.SetSecurityIndex(SecurityIndexOf(read(kSectionMail, kKeySecurity, "")));
  view_.SetFieldText(SettingsField::User, read(kSectionMail, kKeyUser, ""));
  // The box shows the clear password (masked). A stored value that cannot be
  // read (damaged, or protected on another computer) leaves the box empty
  // and is reported now: the service cannot read it either, and a save with
  // a user name and no password is refused until one is typed.
  passwordLoadError_.clear();
  const Result<std::string> password = secrets_.Unprotect(read(kSectionMail, kKeyPassword, ""));
  if (!password.Ok()) passwordLoadError_ = password.status().Describe();
  view_.SetFieldText(SettingsField::Password, password.value_or(""));
  view_.SetTlsVerifyChecked(TrimControls(read(kSectionMail, kKeyTlsVerify, "1")) != "0");
  // The OAuth 2.0 login. A file without AUTH shows the password login; the
  // credential box shows the one key that is set (the client secret when
  // none is).
  const std::string auth = read(kSectionMail, kKeyAuth, "");
  FOAuthInFile = !auth.empty();
  view_.SetAuthIndex(AuthIndexOf(auth));
  for (const OAuthBox& box : kOAuthBoxes) {
    if (box.field != SettingsField::ClientSecret) view_.SetFieldText(box.field, read(kSectionMail, box.key, ""));
  }
  clientSecretLoadError_.clear();
  const Result<std::string> clientSecret = secrets_.Unprotect(read(kSectionMail, kKeyClientSecret, ""));
  if (!clientSecret.Ok()) clientSecretLoadError_ = clientSecret.status().Describe();
  view_.SetFieldText(SettingsField::ClientSecret, clientSecret.value_or(""));
  const CredentialChoice credential =
      !IsBlank(read(kSectionMail, kKeyClientCert, ""))       ? CredentialChoice::ClientCert
      : !IsBlank(read(kSectionMail, kKeyServiceAccount, "")) ? CredentialChoice::ServiceAccount
                                                             : CredentialChoice::ClientSecret;
  view_.SetCredentialIndex(static_cast<int>(credential));
  const std::string metricsFolder = read(kSectionMetrics, kKeyTextFileDir, "");
  FMetricsFolderInFile = !metricsFolder.empty();
  view_.SetFieldText(SettingsField::TextFileDir, metricsFolder);
  webhooks_.Load(ini);

  FSettingsText = GetSettingsText();
  FPasswordText = view_.FieldText(SettingsField::Password);
  FClientSecretText = view_.FieldText(SettingsField::ClientSecret);
  FMetricsFolderText = view_.FieldText(SettingsField::TextFileDir);
  FVolumeStateText = volumes_.StateText();
  view_.SetApplyEnabled(false);
  if (!passwordLoadError_.empty()) {
    ShowMessage(kMsgPasswordUnreadable + passwordLoadError_, MessageBoxIcon::Exclamation);
  }
  if (!clientSecretLoadError_.empty()) {
    ShowMessage(kMsgClientSecretUnreadable + clientSecretLoadError_, MessageBoxIcon::Exclamation);
  }
  std::string webhookErrors;
  for (const std::string& error : webhooks_.LoadErrors()) webhookErrors += error + "\r";
  if (!webhookErrors.empty()) ShowMessage(kMsgWebhookUnreadable + webhookErrors, MessageBoxIcon::Exclamation);
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
  const int security = view_.SecurityIndex();
  line("SECURITY", IsSecurityIndex(security) ? kSecurityValues[security] : "");
  line("USER", view_.FieldText(SettingsField::User));
  line("TLSVERIFY", view_.TlsVerifyChecked() ? "T" : "F");
  line("REMIND", view_.FieldText(SettingsField::Remind));
  line("RECOVERYMAIL", view_.RecoveryMailChecked() ? "T" : "F");
  const int auth = view_.AuthIndex();
  line("AUTH", IsAuthIndex(auth) ? kAuthValues[auth] : "");
  line("CREDENTIAL", std::to_string(view_.CredentialIndex()));
  // The client secret, like the password, is kept beside the text.
  for (const OAuthBox& box : kOAuthBoxes) {
    if (box.field != SettingsField::ClientSecret) line(box.key, view_.FieldText(box.field));
  }
  return text;
}

bool SettingsModel::IsModified() {
  return GetSettingsText() != FSettingsText ||
         view_.FieldText(SettingsField::Password) != FPasswordText ||
         view_.FieldText(SettingsField::ClientSecret) != FClientSecretText ||
         view_.FieldText(SettingsField::TextFileDir) != FMetricsFolderText ||
         volumes_.StateText() != FVolumeStateText || webhooks_.IsModified();
}

void SettingsModel::Change() { view_.SetApplyEnabled(IsModified()); }

void SettingsModel::ckbIsMailSendClick() {
  view_.SetApplyEnabled(view_.MailSendChecked() != FMailSendAtLoad);
}

void SettingsModel::cbxSecurityChange() {
  const int security = view_.SecurityIndex();
  if (IsSecurityIndex(security)) {
    // A port box that holds no valid port is left for the save to refuse.
    const Result<std::string> port = PortValue();
    if (port.Ok()) {
      bool usual = false;
      for (int p : kSecurityPorts) usual = usual || *port == std::to_string(p);
      const std::string suggested = std::to_string(kSecurityPorts[security]);
      if (usual && *port != suggested) view_.SetFieldText(SettingsField::Port, suggested);
    }
  }
  Change();
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
  VolumesChanged();
}

void SettingsModel::VolumesChanged() {
  std::vector<std::pair<char, std::string>> letterLimits;
  for (const A_Drive& drive : FDriveList) letterLimits.emplace_back(drive.Letter, drive.LimitText);
  volumes_.SetLetterLimits(letterLimits);
  view_.ShowVolumes();
  view_.SetApplyEnabled(IsModified());
}

Status SettingsModel::SetDefaultLimit(const std::string& limitText) {
  const std::string text(TrimControls(limitText));
  if (!text.empty()) {
    const Result<int64_t> bytes = ParseThreshold(text, -1, decimalSeparator_);
    if (!bytes) {
      return ShowCheckFailure(Replace(kMsgBadDefault, "%s", text) + bytes.status().Text(),
                              MessageBoxIcon::Exclamation, SettingsPage::Volumes, SettingsControl::VolumeList);
    }
  }
  volumes_.SetDefaultText(text);
  VolumesChanged();
  return Status();
}

Status SettingsModel::SetVolumeChoice(int index, VolumeChoice choice, const std::string& limitText) {
  const std::string text(TrimControls(limitText));
  if (Status set = volumes_.SetChoice(index, choice, text); !set) {
    ShowMessage(set.Text(), MessageBoxIcon::Exclamation);
    return set;
  }
  const char letter = volumes_.Rows()[static_cast<size_t>(index)].letter;
  if (letter != 0) {
    // The letter's one threshold is the warning page's.
    for (size_t i = 0; i < FDriveList.size(); ++i) {
      if (FDriveList[i].Letter != letter) continue;
      FDriveList[i].LimitText = choice == VolumeChoice::Own ? text : "";
      view_.SetListLine(SettingsList::Limit, static_cast<int>(i), LimitLine(letter, FDriveList[i].LimitText));
    }
  }
  VolumesChanged();
  return Status();
}

bool SettingsModel::VolumeLimitForEdit(int index, std::string* path, std::string* number, LimitUnit* unit) const {
  std::string text;
  if (index == -1) {
    path->clear();
    text = volumes_.DefaultText();
  } else {
    if (index < 0 || index >= static_cast<int>(volumes_.Rows().size())) return false;
    const VolumeRow& row = volumes_.Rows()[static_cast<size_t>(index)];
    *path = row.path;
    if (row.choice == VolumeChoice::Own) text = row.limitText;
  }
  if (text.empty()) {
    number->clear();
    *unit = LimitUnit::Percent;
    return true;
  }
  SplitLimitText(text, number, unit);
  return true;
}

Status SettingsModel::AddMailAddress(const std::string& address, MailTarget target) {
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
  if (!added) return Status::Failure("AddMailAddress", 0, kMsgDuplicate, StatusKind::kAlreadyExists);
  return Status();
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

Status SettingsModel::LeaveCheck(SettingsField field, bool (*valid)(const std::string&), const char* message,
                                 SettingsControl control) {
  const std::string text = view_.FieldText(field);
  if (text.empty() || valid(text)) return Status();
  ShowMessage(message, MessageBoxIcon::Exclamation);
  view_.FocusControl(control);
  return Status::Failure("check", 0, message);
}

Status SettingsModel::edtSMTPExit() {
  return LeaveCheck(SettingsField::Smtp, IsServerName, kMsgBadServer, SettingsControl::Smtp);
}

Status SettingsModel::edtFromExit() {
  return LeaveCheck(SettingsField::From, IsSenderAddress, kMsgBadAddress, SettingsControl::From);
}

Result<std::string> SettingsModel::PortValue() {
  // The box may show the port with a thousands separator; the key's own
  // rule decides the rest. An empty box is no port (the file's default of
  // 25 is what the box shows at load).
  std::string text(TrimControls(view_.FieldText(SettingsField::Port)));
  if (!thousandSeparator_.empty()) {
    for (size_t at = text.find(thousandSeparator_); at != std::string::npos;
         at = text.find(thousandSeparator_, at)) {
      text.erase(at, thousandSeparator_.size());
    }
  }
  if (text.empty()) return Status::Failure("PortValue", 0, "no port number");
  const Result<int> port = ParsePort(text);
  if (!port) return port.status();
  return std::to_string(*port);
}

Result<std::string> SettingsModel::NumericValue(SettingsField field, long long min, long long max) {
  std::string text(TrimControls(view_.FieldText(field)));
  if (!thousandSeparator_.empty()) {
    for (size_t at = text.find(thousandSeparator_); at != std::string::npos;
         at = text.find(thousandSeparator_, at)) {
      text.erase(at, thousandSeparator_.size());
    }
  }
  int32_t value = 0;
  if (!TryStrToInt(text, &value)) return Status::Failure("NumericValue", 0, "not a whole number: " + text);
  if (value < min || value > max)
    return Status::Failure("NumericValue", 0,
                           text + " is not within " + std::to_string(min) + " to " + std::to_string(max));
  return std::to_string(value);
}

void SettingsModel::ShowMessage(const std::string& text, MessageBoxIcon icon) {
  boxes_.Show(text, kAppletCaption, MessageBoxButtons::Ok, icon);
}

Status SettingsModel::ShowCheckFailure(const std::string& text, MessageBoxIcon icon,
                                       SettingsPage page, SettingsControl focus) {
  ShowMessage(text, icon);
  view_.ShowPage(page);
  view_.FocusControl(focus);
  return Status::Failure("check", 0, text);
}

Status SettingsModel::CheckMailSettings(bool mailOn) {
  if (!mailOn) return Status();
  const bool smtpBlank = IsBlank(view_.FieldText(SettingsField::Smtp));
  const bool fromBlank = IsBlank(view_.FieldText(SettingsField::From));
  const bool toEmpty = view_.ListLines(SettingsList::To).empty();
  if (!smtpBlank && !fromBlank && !toEmpty) return Status();
  return ShowCheckFailure(kMsgMailSettings, MessageBoxIcon::Information, SettingsPage::Mail,
                          smtpBlank   ? SettingsControl::Smtp
                          : fromBlank ? SettingsControl::From
                                      : SettingsControl::ToList);
}

// A login needs both halves: a user name without a password would be refused
// by every server, and a password without a user name is never sent (the
// service logs in only when USER is set), which is a forgotten name rather
// than a choice.
Status SettingsModel::CheckLoginSettings(bool mailOn) {
  // A character the stored form cannot hold would be saved as "?" and the
  // login would fail without a word: refused here, mail on or off.
  if (view_.FieldTextLost(SettingsField::User))
    return ShowCheckFailure(kMsgUserChars, MessageBoxIcon::Exclamation, SettingsPage::Mail, SettingsControl::User);
  if (view_.FieldTextLost(SettingsField::Password))
    return ShowCheckFailure(kMsgPasswordChars, MessageBoxIcon::Exclamation, SettingsPage::Mail,
                            SettingsControl::Password);
  // The OAuth 2.0 login sends no password; its reader decides on USER.
  if (!mailOn || view_.AuthIndex() == static_cast<int>(AuthChoice::OAuth2)) return Status();
  const bool userBlank = IsBlank(view_.FieldText(SettingsField::User));
  const bool passwordEmpty = view_.FieldText(SettingsField::Password).empty();
  if (userBlank == passwordEmpty) return Status();
  if (userBlank)
    return ShowCheckFailure(kMsgUserMissing, MessageBoxIcon::Exclamation, SettingsPage::Mail,
                            SettingsControl::User);
  return ShowCheckFailure(kMsgPasswordMissing, MessageBoxIcon::Exclamation, SettingsPage::Mail,
                          SettingsControl::Password);
}

std::vector<std::pair<const char*, std::string>> SettingsModel::OAuthKeys(const std::string& secret) {
  const int credential = view_.CredentialIndex();
  std::vector<std::pair<const char*, std::string>> keys;
  for (const OAuthBox& box : kOAuthBoxes) {
    // One credential: the keys of the others are written empty.
    std::string value = box.field == SettingsField::ClientSecret ? secret : view_.FieldText(box.field);
    if ((box.field == SettingsField::ClientSecret && credential != static_cast<int>(CredentialChoice::ClientSecret)) ||
        (box.field == SettingsField::ClientCert && credential != static_cast<int>(CredentialChoice::ClientCert)) ||
        (box.field == SettingsField::ServiceAccount &&
         credential != static_cast<int>(CredentialChoice::ServiceAccount)))
      value.clear();
    keys.emplace_back(box.key, std::move(value));
  }
  return keys;
}

Result<OAuthSettings> SettingsModel::ReadDialogOAuth(const std::string& secret) {
  // The keys as the service will read them, by its own reader.
  ProfileSnapshot ini;
  const int security = view_.SecurityIndex();
  ini.WriteString(kSectionMail, kKeySecurity, kSecurityValues[security]);
  ini.WriteString(kSectionMail, kKeyUser, view_.FieldText(SettingsField::User));
  ini.WriteString(kSectionMail, kKeyAuth, kAuthValues[static_cast<int>(AuthChoice::OAuth2)]);
  for (const auto& [key, value] : OAuthKeys(secret)) ini.WriteString(kSectionMail, key, value);
  OAuthInputs inputs;
  inputs.tls = security != static_cast<int>(SecurityChoice::None);
  inputs.user = std::string(TrimControls(view_.FieldText(SettingsField::User)));
  return ReadOAuthSettings(ini, inputs);
}

SettingsControl SettingsModel::ControlOfKey(const std::string& key) {
  const struct {
    const char* key;
    SettingsControl control;
  } controls[] = {{kKeyAuth, SettingsControl::Auth},
                  {kKeyTenant, SettingsControl::Tenant},
                  {kKeyClientId, SettingsControl::ClientId},
                  {kKeyClientSecret, SettingsControl::ClientSecret},
                  {kKeyClientCert, SettingsControl::ClientCert},
                  {kKeyServiceAccount, SettingsControl::ServiceAccount},
                  {kKeyTokenUrl, SettingsControl::TokenUrl},
                  {kKeyScope, SettingsControl::Scope},
                  {kKeyProxy, SettingsControl::Proxy},
                  {kKeySecurity, SettingsControl::Security},
                  {kKeyUser, SettingsControl::User}};
  for (const auto& entry : controls) {
    if (EqualsCaseless(key, entry.key)) return entry.control;
  }
  return SettingsControl::Auth;
}

Status SettingsModel::CheckOAuthSettings(bool mailOn) {
  if (view_.AuthIndex() != static_cast<int>(AuthChoice::OAuth2)) return Status();
  auto pageOf = [](SettingsControl control) {
    return control == SettingsControl::Auth || control == SettingsControl::Security ||
                   control == SettingsControl::User
               ? SettingsPage::Mail
               : SettingsPage::OAuth;
  };
  for (const OAuthBox& box : kOAuthBoxes) {
    if (view_.FieldTextLost(box.field)) {
      const SettingsControl at = ControlOfKey(box.key);
      return ShowCheckFailure(kMsgOAuthChars, MessageBoxIcon::Exclamation, pageOf(at), at);
    }
  }
  if (!IsCredentialIndex(view_.CredentialIndex()))
    return ShowCheckFailure(kMsgCredentialChoice, MessageBoxIcon::Exclamation, SettingsPage::OAuth,
                            SettingsControl::Credential);
  std::string secret = view_.FieldText(SettingsField::ClientSecret);
  // The installer writes no secret: a stand-in lets the other keys be read.
  if (secret.empty() && clientSecretMayFollow_) secret = "-";
  const std::vector<std::pair<const char*, std::string>> keys = OAuthKeys(secret);
  if (mailOn) {
    const Result<OAuthSettings> read = ReadDialogOAuth(secret);
    if (read.Ok()) return Status();
    SettingsControl at = ControlOfKey(read.status().What());
    const bool tls = view_.SecurityIndex() != static_cast<int>(SecurityChoice::None);
    // The reader names AUTH for the login as a whole: no encryption under
    // it, or no credential (the dialog writes never more than one).
    if (at == SettingsControl::Auth) {
      const int credential = view_.CredentialIndex();
      at = !tls ? SettingsControl::Security
           : credential == static_cast<int>(CredentialChoice::ClientCert)     ? SettingsControl::ClientCert
           : credential == static_cast<int>(CredentialChoice::ServiceAccount) ? SettingsControl::ServiceAccount
                                                                              : SettingsControl::ClientSecret;
    }
    return ShowCheckFailure(read.status().Text(), MessageBoxIcon::Exclamation, pageOf(at), at);
  }
  // Mail off: each value given must still be one the service can read.
  for (const auto& [key, value] : keys) {
    if (value.empty()) continue;
    Status refused;
    const std::string k = key;
    if (k == kKeyTenant) refused = ParseTenant(value).status();
    else if (k == kKeyClientId) refused = ParseClientId(value).status();
    else if (k == kKeyClientCert) refused = ParseClientCert(value).status();
    else if (k == kKeyServiceAccount) refused = ParseServiceAccountPath(value).status();
    else if (k == kKeyTokenUrl) refused = ParseTokenUrl(value).status();
    else if (k == kKeyScope) refused = ParseScope(value).status();
    else if (k == kKeyProxy) refused = ParseProxy(value).status();
    if (refused.Ok()) continue;
    const SettingsControl at = ControlOfKey(k);
    return ShowCheckFailure(SettingsValueError(kIniFileName, kSectionMail, k, value, refused.Text()).what(),
                            MessageBoxIcon::Exclamation, pageOf(at), at);
  }
  return Status();
}

Result<std::string> SettingsModel::CheckMetricsFolder() {
  std::string folder(TrimControls(view_.FieldText(SettingsField::TextFileDir)));
  if (folder.empty()) return folder;
  for (char c : folder) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      return ShowCheckFailure(kMsgMetricsFolderControl, MessageBoxIcon::Exclamation, SettingsPage::Metrics,
                              SettingsControl::TextFileDir);
  }
  if (IsAbsolutePath(folder)) return folder;
  return ShowCheckFailure(kMsgMetricsFolder, MessageBoxIcon::Exclamation, SettingsPage::Metrics,
                          SettingsControl::TextFileDir);
}

Status SettingsModel::CheckLimits() {
  for (size_t i = 0; i < FDriveList.size(); ++i) {
    const A_Drive& drive = FDriveList[i];
    // The size of the drive does not decide whether the text holds.
    const Result<int64_t> bytes = ParseThreshold(drive.LimitText, -1, decimalSeparator_);
    if (bytes) continue;
    view_.SetSelectedIndex(SettingsList::Limit, static_cast<int>(i));
    return ShowCheckFailure(Replace(kMsgBadLimit, "%s", std::string(1, drive.Letter)) + bytes.status().Text(),
                            MessageBoxIcon::Exclamation, SettingsPage::Warning, SettingsControl::LimitList);
  }
  return Status();
}

Status SettingsModel::CheckVolumes() {
  // Checked against the file as it is now, which the save composes over.
  const ProfileSnapshot file = profiles_.ReadSnapshot(kIniFileName).value_or(ProfileSnapshot());
  const Status checked = volumes_.Check(file);
  if (checked.Ok()) return checked;
  return ShowCheckFailure(checked.Text(), MessageBoxIcon::Exclamation, SettingsPage::Volumes,
                          SettingsControl::VolumeList);
}

Status SettingsModel::WriteAll(const std::string& interval, const std::string& remind, const std::string& port,
                               const std::string& password, const std::string& clientSecret,
                               const std::string& metricsFolder, const WebhookTargetsModel::Stored& webhooks) {
  // The new text is composed over the file as it is now (keys and comments
  // the dialog does not know stay) and replaces it in one step, so that the
  // service never reads half a save. A file that cannot be read is not
  // replaced.
  Result<ProfileSnapshot> read = profiles_.ReadSnapshot(kIniFileName);
  if (!read.Ok()) return read.status();
  ProfileSnapshot& ini = *read;
  auto write = [&ini](const char* section, const std::string& key, const std::string& value) {
    ini.WriteString(section, key, value);
  };
  write(kSectionWarning, kKeyInterval, interval);
  write(kSectionWarning, kKeyIsMailSend, view_.MailSendChecked() ? "1" : "0");
  for (const A_Drive& drive : FDriveList) write(kSectionDrive, std::string(1, drive.Letter), drive.LimitText);
  write(kSectionMail, kKeySmtp, view_.FieldText(SettingsField::Smtp));
  write(kSectionMail, kKeyPort, port);
  write(kSectionMail, kKeyMailFrom, view_.FieldText(SettingsField::From));
  write(kSectionMail, kKeyMailTo, WriteCommaList(view_.ListLines(SettingsList::To)));
  write(kSectionMail, kKeyMailCc, WriteCommaList(view_.ListLines(SettingsList::Cc)));
  write(kSectionMail, kKeySecurity, kSecurityValues[view_.SecurityIndex()]);
  write(kSectionMail, kKeyUser, view_.FieldText(SettingsField::User));
  write(kSectionMail, kKeyPassword, password);
  write(kSectionMail, kKeyTlsVerify, view_.TlsVerifyChecked() ? "1" : "0");
  // Composed last, so that a file of an earlier version keeps its order.
  write(kSectionWarning, kKeyRemind, remind);
  write(kSectionWarning, kKeyRecoveryMail, view_.RecoveryMailChecked() ? "1" : "0");
  // A file that never named AUTH keeps none while the password login stays
  // chosen: the file reads as it did.
  if (view_.AuthIndex() == static_cast<int>(AuthChoice::OAuth2) || FOAuthInFile) {
    write(kSectionMail, kKeyAuth, kAuthValues[view_.AuthIndex()]);
    for (const auto& [key, value] : OAuthKeys(clientSecret)) write(kSectionMail, key, value);
  }
  // A file that never named a metrics folder gets no [METRICS] section
  // while the box stays empty.
  if (!metricsFolder.empty() || FMetricsFolderInFile) write(kSectionMetrics, kKeyTextFileDir, metricsFolder);
  // DEFAULT and [VOLUME]: only what the page changed.
  volumes_.Apply(ini);
  webhooks_.WriteTo(ini, webhooks);
  return profiles_.WriteSnapshot(kIniFileName, ini);
}

Result<SettingsModel::CheckedNumbers> SettingsModel::CheckFields(bool mailOn) {
  CheckedNumbers numbers;
  Result<std::string> interval = NumericValue(SettingsField::Interval, 1, std::numeric_limits<int32_t>::max());
  if (!interval)
    return ShowCheckFailure(kMsgIntervalRange, MessageBoxIcon::Exclamation, SettingsPage::Warning,
                            SettingsControl::Interval);
  numbers.interval = std::move(*interval);
  Result<std::string> remind = NumericValue(SettingsField::Remind, 0, std::numeric_limits<int32_t>::max());
  if (!remind)
    return ShowCheckFailure(Replace(kMsgRemindRange, "%s", view_.FieldText(SettingsField::Remind)),
                            MessageBoxIcon::Exclamation, SettingsPage::Warning, SettingsControl::Remind);
  numbers.remind = std::move(*remind);
  Result<std::string> port = PortValue();
  if (!port)
    return ShowCheckFailure(kMsgPortRange, MessageBoxIcon::Exclamation, SettingsPage::Mail, SettingsControl::Port);
  numbers.port = std::move(*port);
  if (Status mail = CheckMailSettings(mailOn); !mail) return mail;
  // The file must stay loadable by the service, mail switched on or not.
  if (!IsSecurityIndex(view_.SecurityIndex()))
    return ShowCheckFailure(kMsgSecurityChoice, MessageBoxIcon::Exclamation, SettingsPage::Mail,
                            SettingsControl::Security);
  if (!IsAuthIndex(view_.AuthIndex()))
    return ShowCheckFailure(kMsgAuthChoice, MessageBoxIcon::Exclamation, SettingsPage::Mail, SettingsControl::Auth);
  if (Status login = CheckLoginSettings(mailOn); !login) return login;
  if (Status oauth = CheckOAuthSettings(mailOn); !oauth) return oauth;
  return numbers;
}

SaveOutcome SettingsModel::SaveSettingsEx(bool apply) {
  const Result<CheckedNumbers> numbers = CheckFields(view_.MailSendChecked());
  if (!numbers) return SaveOutcome::Refused;
  const std::string& interval = numbers->interval;
  const std::string& port = numbers->port;
  const std::string& remind = numbers->remind;
  const Result<std::string> checkedFolder = CheckMetricsFolder();
  if (!checkedFolder) return SaveOutcome::Refused;
  const std::string& metricsFolder = *checkedFolder;
  if (Status limits = CheckLimits(); !limits) return SaveOutcome::Refused;
  if (Status volumes = CheckVolumes(); !volumes) return SaveOutcome::Refused;
  // The targets of the page 通知先, read as the service reads them.
  if (Status hooks = webhooks_.Check(); !hooks) {
    ShowCheckFailure(hooks.Text(), MessageBoxIcon::Exclamation, SettingsPage::Webhooks, SettingsControl::WebhookList)
        .Ignore();
    return SaveOutcome::Refused;
  }
  // The password is written in its stored form only (protected on Windows),
  // so a clear password typed into the file by hand is replaced now. It is
  // protected before anything is written: a failure leaves the file as it was.
  std::string password;
  const std::string clearPassword = view_.FieldText(SettingsField::Password);
  if (!clearPassword.empty()) {
    Result<std::string> protectedPassword = secrets_.Protect(clearPassword);
    if (!protectedPassword.Ok()) {
      // Shown; the outcome tells the caller.
      ShowCheckFailure(kMsgProtectFailed + protectedPassword.status().Describe(), MessageBoxIcon::Error,
                       SettingsPage::Mail, SettingsControl::Password)
          .Ignore();
      return SaveOutcome::Refused;
    }
    password = std::move(*protectedPassword);
  }
  // The client secret likewise, in the same stored form.
  std::string clientSecret;
  const std::string clearClientSecret = view_.FieldText(SettingsField::ClientSecret);
  if (!clearClientSecret.empty() && view_.CredentialIndex() == static_cast<int>(CredentialChoice::ClientSecret)) {
    Result<std::string> protectedSecret = secrets_.Protect(clearClientSecret);
    if (!protectedSecret.Ok()) {
      ShowCheckFailure(kMsgSecretProtectFailed + protectedSecret.status().Describe(), MessageBoxIcon::Error,
                       SettingsPage::OAuth, SettingsControl::ClientSecret)
          .Ignore();
      return SaveOutcome::Refused;
    }
    clientSecret = std::move(*protectedSecret);
  }

  // The webhook URLs and headers likewise.
  const Result<WebhookTargetsModel::Stored> webhooks = webhooks_.Protect();
  if (!webhooks) {
    ShowCheckFailure(kMsgWebhookProtectFailed + webhooks.status().Text(), MessageBoxIcon::Error,
                     SettingsPage::Webhooks, SettingsControl::WebhookList)
        .Ignore();
    return SaveOutcome::Refused;
  }

  if (const Status written = WriteAll(interval, remind, port, password, clientSecret, metricsFolder, *webhooks);
      !written.Ok()) {
    const std::string message = Replace(kMsgWriteFailed, "%s", kIniFileName) + "\r\r" + written.Describe();
    if (!view_.HandleWriteFailure(message)) ShowMessage(message, MessageBoxIcon::Error);
    return SaveOutcome::WriteFailed;
  }
  if (const Status rights = secrets_.ProtectFile(); !rights)
    ShowMessage(kMsgRightsFailed + rights.Describe(), MessageBoxIcon::Exclamation);
  if (apply) {
    FSettingsText = GetSettingsText();
    FPasswordText = clearPassword;
    FClientSecretText = clearClientSecret;
    FMetricsFolderText = view_.FieldText(SettingsField::TextFileDir);
    FVolumeStateText = volumes_.StateText();
  }
  FMetricsFolderInFile = FMetricsFolderInFile || !metricsFolder.empty();
  webhooks_.MarkSaved();
  FOAuthInFile = FOAuthInFile || view_.AuthIndex() == static_cast<int>(AuthChoice::OAuth2);
  passwordLoadError_.clear();
  clientSecretLoadError_.clear();

  const MessageBoxResult answer = boxes_.Show(kMsgRestartQuestion, kAppletCaption,
                                              MessageBoxButtons::YesNo, MessageBoxIcon::None, 1);
  if (answer == MessageBoxResult::Yes) {
    ++restartCount_;
    lastRestart_ = RestartService(services_, boxes_, [this] { view_.ProcessPendingMessages(); },
                                  restartTiming_);
  }
  return SaveOutcome::Saved;
}

Result<TTestMailSettings> SettingsModel::TestMailSettings() {
  const Result<CheckedNumbers> numbers = CheckFields(true);
  if (!numbers) return numbers.status();
  TTestMailSettings result;
  TTestMailSettings* settings = &result;
  settings->host = std::string(TrimControls(view_.FieldText(SettingsField::Smtp)));
  settings->port = std::stoi(numbers->port);
  settings->security = static_cast<TSmtpSecurity>(view_.SecurityIndex());
  settings->tlsVerify = view_.TlsVerifyChecked();
  settings->user = std::string(TrimControls(view_.FieldText(SettingsField::User)));
  settings->password = view_.FieldText(SettingsField::Password);
  settings->from = std::string(TrimControls(view_.FieldText(SettingsField::From)));
  settings->to = WriteCommaList(view_.ListLines(SettingsList::To));
  settings->cc = WriteCommaList(view_.ListLines(SettingsList::Cc));
  settings->timeOut = testMailTimeOut_;
  settings->deadline = testMailDeadline_;
  if (view_.AuthIndex() == static_cast<int>(AuthChoice::OAuth2)) {
    // Held to the reader's rules by the checks above.
    Result<OAuthSettings> oauth = ReadDialogOAuth(view_.FieldText(SettingsField::ClientSecret));
    if (!oauth) return oauth.status();
    settings->oauth = std::move(*oauth);
    settings->password.clear();
  }
  return result;
}

Status SettingsModel::SaveSettings(bool apply) {
  switch (SaveSettingsEx(apply)) {
    case SaveOutcome::Saved:
      return Status();
    case SaveOutcome::Refused:
      return Status::Failure("SaveSettings", 0, "a setting was refused");
    case SaveOutcome::WriteFailed:
      break;
  }
  return Status::Failure("SaveSettings", 0, std::string(kIniFileName) + " was not written");
}

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
  // What stopped a save has been shown; Apply then stays on.
  if (SaveSettings(true).Ok()) view_.SetApplyEnabled(false);
}

void SettingsModel::acnCancelExecute() {
  FCanClose = true;
  view_.RequestClose();
}

TestMailJob::TestMailJob(TTestMailSettings settings, SystemInfo& system, std::function<void()> onDone,
                         CancellableHttp::Factory http)
    : settings_(std::move(settings)), system_(system), onDone_(std::move(onDone)), login_(std::move(http)) {
  thread_ = std::thread([this] { Run(); });
}

TestMailJob::~TestMailJob() {
  Cancel();
  if (thread_.joinable()) thread_.join();
}

void TestMailJob::Run() {
  TTestMailOutcome outcome;
  std::string failure;
  try {
    // The client and the loop it waits on belong to this thread.
    TSMTPClient client("smtpClient", ThisThreadLoop());
    ClientSlot::Hold hold(slot_, client);
    // The token step (OAuth 2.0), then the conversation, in one transcript.
    outcome.result = login_.Deliver(
        client, settings_,
        [&](const TTestMailSettings& left) {
          const TTestMailOutcome one = SendTestMail(client, system_, left);
          outcome.transcript.insert(outcome.transcript.end(), one.transcript.begin(), one.transcript.end());
          return one.result;
        },
        [&](const std::string& line) { outcome.transcript.push_back("* " + line); });
  } catch (const std::exception& error) {
    failure = error.what();
  } catch (...) {
    failure = "unknown error";
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outcome_ = std::move(outcome);
    failure_ = std::move(failure);
    done_ = true;
  }
  doneChanged_.notify_all();
  if (onDone_) onDone_();
}

void TestMailJob::Cancel() {
  login_.Cancel();
  slot_.Cancel();
}

bool TestMailJob::Done() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_;
}

bool TestMailJob::WaitDone(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return doneChanged_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; });
}

bool TestMailJob::Delivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_ && failure_.empty() && outcome_.result.Complete();
}

std::string TestMailJob::OutcomeText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!failure_.empty()) return failure_;
  return TestMailOutcomeText(outcome_.result, settings_);
}

std::string TestMailJob::Transcript() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outcome_.TranscriptText("\r\n");
}

TDeliveryResult TestMailJob::Result() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outcome_.result;
}

}  // namespace qw

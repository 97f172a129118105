#include "applet/install_settings.h"

#include <map>
#include <optional>

#include "applet/settings_model.h"
#include "applet/win32/dialog_rules.h"
#include "common/comma_list.h"
#include "common/drivewarden_common.h"
#include "common/oauth_settings.h"
#include "common/watch_settings.h"
#include "platform/ascii_text.h"
#include "platform/profile.h"

namespace qw {
namespace {

constexpr const char* kMsgBadAddress = "入力されたメールアドレスが不正です。正しく入力してください。";
constexpr const char* kMsgBadThreshold = "しきい値には 500MB や 10% のように数と単位 (MB または %) を指定してください。";
constexpr const char* kMsgBadFolder = "フォルダーには絶対パス (C:\\... または \\\\server\\share\\...) を指定してください。";
constexpr const char* kMsgUserWithoutOAuth =
    "USER は AUTH=OAUTH2 (送信に使うメールボックス) のときだけ指定できます。パスワードによるログインは、"
    "インストール後にコントロール パネルで設定してください。";
constexpr const char* kMsgOAuthWithoutAuth = "AUTH=OAUTH2 のときだけ指定できます。";

// The settings file in memory: missing until the model's save writes it.
class MemoryProfiles : public Profiles {
 public:
  Result<ProfileSnapshot> ReadSnapshot(const std::string&) override { return file; }
  Status WriteSnapshot(const std::string&, const ProfileSnapshot& snapshot) override {
    file = snapshot;
    return {};
  }

  ProfileSnapshot file;
};

// The dialog's controls without a window.
class HeadlessView : public SettingsView {
 public:
  std::string FieldText(SettingsField field) override { return fields_[field]; }
  void SetFieldText(SettingsField field, const std::string& text) override { fields_[field] = text; }
  bool MailSendChecked() override { return mailSend_; }
  void SetMailSendChecked(bool checked) override { mailSend_ = checked; }
  bool RecoveryMailChecked() override { return recoveryMail_; }
  void SetRecoveryMailChecked(bool checked) override { recoveryMail_ = checked; }
  int SecurityIndex() override { return security_; }
  void SetSecurityIndex(int index) override { security_ = index; }
  bool TlsVerifyChecked() override { return tlsVerify_; }
  void SetTlsVerifyChecked(bool checked) override { tlsVerify_ = checked; }
  int AuthIndex() override { return auth_; }
  void SetAuthIndex(int index) override { auth_ = index; }
  int CredentialIndex() override { return credential_; }
  void SetCredentialIndex(int index) override { credential_ = index; }
  std::vector<std::string> ListLines(SettingsList list) override { return lists_[list]; }
  void AddListLine(SettingsList list, const std::string& line) override { lists_[list].push_back(line); }
  void SetListLine(SettingsList list, int index, const std::string& line) override {
    if (index >= 0 && index < static_cast<int>(lists_[list].size())) lists_[list][index] = line;
  }
  void DeleteListLine(SettingsList list, int index) override {
    if (index >= 0 && index < static_cast<int>(lists_[list].size())) lists_[list].erase(lists_[list].begin() + index);
  }
  int SelectedIndex(SettingsList) override { return -1; }
  void SetSelectedIndex(SettingsList, int) override {}
  bool ApplyEnabled() override { return true; }
  void SetApplyEnabled(bool) override {}
  void ShowPage(SettingsPage) override {}
  void FocusControl(SettingsControl control) override { focused = control; }
  void RequestClose() override {}
  void ProcessPendingMessages() override {}

  // Where a refused check sent the focus: the field at fault.
  std::optional<SettingsControl> focused;

 private:
  std::map<SettingsField, std::string> fields_;
  std::map<SettingsList, std::vector<std::string>> lists_;
  bool mailSend_ = false;
  bool recoveryMail_ = false;
  int security_ = 0;
  bool tlsVerify_ = true;
  int auth_ = 0;
  int credential_ = 0;
};

// Keeps the last message; the restart question is answered No (the
// installer starts the service itself).
class RecordingBoxes : public MessageBoxes {
 public:
  MessageBoxResult Show(const std::string& text, const std::string&, MessageBoxButtons buttons, MessageBoxIcon,
                        int) override {
    if (buttons == MessageBoxButtons::YesNo) return MessageBoxResult::No;
    last = text;
    return MessageBoxResult::Ok;
  }
  std::string last;
};

class NoServices : public ServiceManager {
 public:
  Status Open(std::unique_ptr<ServiceManagerHandle>* manager) override {
    manager->reset();
    return Status::Failure("OpenSCManager", 1, "not used while installing");
  }
};

// No password is given on the command line: nothing is protected.
class NoSecrets : public SecretStore {
 public:
  Result<std::string> Protect(const std::string&) override {
    return Status::Failure("Protect", 1, "not used while installing");
  }
  Result<std::string> Unprotect(const std::string& stored) override {
    if (stored.empty()) return std::string();
    return Status::Failure("Unprotect", 1, "not used while installing");
  }
};

std::string Property(const InstallProperties& properties, const char* name) {
  for (const auto& [key, value] : properties) {
    if (EqualsCaseless(key, name)) return value;
  }
  return "";
}

Status Refused(const char* name, const std::string& value, const std::string& message) {
  return Status::Failure("settings", 1, std::string(name) + "=" + value + ": " + message);
}

// THRESHOLD as the threshold dialog would take it: digits and a unit.
std::optional<std::string> ThresholdText(const std::string& value, std::string* message) {
  std::string number;
  LimitUnit unit;
  if (value.size() > 2 && EqualsCaseless(std::string_view(value).substr(value.size() - 2), "MB")) {
    number = value.substr(0, value.size() - 2);
    unit = LimitUnit::MB;
  } else if (value.size() > 1 && value.back() == '%') {
    number = value.substr(0, value.size() - 1);
    unit = LimitUnit::Percent;
  } else {
    *message = kMsgBadThreshold;
    return std::nullopt;
  }
  const LimitDecision decision = DecideLimit(number, unit);
  if (!decision.accepted) {
    *message = decision.message;
    return std::nullopt;
  }
  // The dialog sets no upper bound on megabytes; the key's rule does, and a
  // file the service cannot read would stop the service installed with it,
  // so the installer holds the value to that rule too.
  const Result<int64_t> bytes = ParseThreshold(decision.limitText, int64_t{1} << 40, ".");
  if (!bytes) {
    *message = bytes.status().Text();
    return std::nullopt;
  }
  return decision.limitText;
}

}  // namespace

bool AnyInstallProperty(const InstallProperties& properties) {
  for (const auto& [key, value] : properties) {
    if (!value.empty()) return true;
  }
  return false;
}

bool IsAbsoluteWindowsPath(const std::string& path) {
  if (path.empty() || path.size() >= 260) return false;
  // Control characters, and the characters no Windows file name holds (a
  // character outside code page 932 arrives here as '?').
  for (size_t i = 0; i < path.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20 || c == 0x7F) return false;
    if (std::string_view("<>\"|?*").find(static_cast<char>(c)) != std::string_view::npos) return false;
    if (c == ':' && i != 1) return false;
    // The second byte of a Shift-JIS character may look like any of these.
    if ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) ++i;
  }
  const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  const bool drive = path.size() >= 3 && letter && path[1] == ':' && path[2] == '\\';
  const bool unc = path.size() >= 5 && path[0] == '\\' && path[1] == '\\' && path[2] != '\\' &&
                   path.find('\\', 2) != std::string::npos && path.find('\\', 2) + 1 < path.size();
  return drive || unc;
}

Status MakeInstallSettings(const InstallProperties& properties, Drives& drives, std::string* fileText,
                           std::string* note) {
  if (note) note->clear();
  MemoryProfiles profiles;
  HeadlessView view;
  RecordingBoxes boxes;
  NoServices services;
  NoSecrets secrets;
  SettingsModel model(view, profiles, drives, boxes, services, secrets);
  model.FormCreate();

  const std::string interval = Property(properties, "INTERVAL");
  if (!interval.empty()) view.SetFieldText(SettingsField::Interval, interval);

  const std::string threshold = Property(properties, "THRESHOLD");
  if (!threshold.empty()) {
    std::string message;
    const std::optional<std::string> text = ThresholdText(threshold, &message);
    if (!text) return Refused("THRESHOLD", threshold, message);
    for (const A_Drive& drive : std::vector<A_Drive>(model.DriveList())) {
      model.SetLimit(std::string(1, drive.Letter), *text);
    }
  }

  const std::string smtp = Property(properties, "SMTP");
  if (!smtp.empty()) {
    view.SetFieldText(SettingsField::Smtp, smtp);
    if (!model.edtSMTPExit().Ok()) return Refused("SMTP", smtp, boxes.last);
  }
  const std::string port = Property(properties, "PORT");
  const std::string from = Property(properties, "MAILFROM");
  if (!from.empty()) {
    view.SetFieldText(SettingsField::From, from);
    if (!model.edtFromExit().Ok()) return Refused("MAILFROM", from, boxes.last);
  }
  const struct {
    const char* name;
    MailTarget target;
  } lists[] = {{"MAILTO", MailTarget::To}, {"MAILCC", MailTarget::Cc}};
  for (const auto& list : lists) {
    const std::string value = Property(properties, list.name);
    for (const std::string& address : ReadCommaList(value)) {
      bool typeable = true;
      for (char c : address) typeable = typeable && AddressKeyPasses(static_cast<unsigned char>(c));
      if (!typeable || !ParseBareAddress(address)) return Refused(list.name, value, kMsgBadAddress);
      if (!model.AddMailAddress(address, list.target).Ok()) return Refused(list.name, value, boxes.last);
    }
  }
  view.SetMailSendChecked(!smtp.empty() && !Property(properties, "MAILTO").empty());

  // The login. SECURITY before PORT: the port box follows the choice as in
  // the dialog, and a PORT given wins.
  const std::string security = Property(properties, "SECURITY");
  if (!security.empty()) {
    const Result<MailSecurity> parsed = ParseSecurity(security);
    if (!parsed) return Refused("SECURITY", security, parsed.status().Text());
    view.SetSecurityIndex(static_cast<int>(*parsed));
    model.cbxSecurityChange();
  }
  if (!port.empty()) view.SetFieldText(SettingsField::Port, port);
  const std::string auth = Property(properties, "AUTH");
  const Result<MailAuth> parsedAuth = ParseMailAuth(auth);
  if (!parsedAuth) return Refused("AUTH", auth, parsedAuth.status().Text());
  const bool oauth = *parsedAuth == MailAuth::OAuth2;
  view.SetAuthIndex(static_cast<int>(oauth ? AuthChoice::OAuth2 : AuthChoice::Password));
  const std::string user = Property(properties, "USER");
  if (!user.empty() && !oauth) return Refused("USER", user, kMsgUserWithoutOAuth);
  view.SetFieldText(SettingsField::User, user);
  const struct {
    const char* name;
    SettingsField field;
  } oauthProperties[] = {{"TENANT", SettingsField::Tenant},
                         {"CLIENTID", SettingsField::ClientId},
                         {"CLIENTCERT", SettingsField::ClientCert},
                         {"TOKENURL", SettingsField::TokenUrl},
                         {"SCOPE", SettingsField::Scope}};
  for (const auto& property : oauthProperties) {
    const std::string value = Property(properties, property.name);
    if (value.empty()) continue;
    if (!oauth) return Refused(property.name, value, kMsgOAuthWithoutAuth);
    view.SetFieldText(property.field, value);
  }
  view.SetCredentialIndex(static_cast<int>(Property(properties, "CLIENTCERT").empty() ? CredentialChoice::ClientSecret
                                                                                       : CredentialChoice::ClientCert));
  model.SetClientSecretMayFollow(true);

  // The folder is held to the Windows rule whatever system builds the file
  // (the dialog's own check is the rule of the system it runs on), and
  // written after the dialog's keys.
  const std::string folder = Property(properties, "TEXTFILEDIR");
  if (!folder.empty() && !IsAbsoluteWindowsPath(folder)) return Refused("TEXTFILEDIR", folder, kMsgBadFolder);

  // The checks of a save; the control a refusal focuses names the property.
  if (model.SaveSettingsEx(false) != SaveOutcome::Saved) {
    const SettingsControl at = view.focused.value_or(SettingsControl::Interval);
    const char* name = at == SettingsControl::Port            ? "PORT"
                       : at == SettingsControl::Smtp           ? "SMTP"
                       : at == SettingsControl::From           ? "MAILFROM"
                       : at == SettingsControl::ToList         ? "MAILTO"
                       : at == SettingsControl::LimitList      ? "THRESHOLD"
                       : at == SettingsControl::Security       ? "SECURITY"
                       : at == SettingsControl::User           ? "USER"
                       : at == SettingsControl::Auth           ? "AUTH"
                       : at == SettingsControl::Tenant         ? "TENANT"
                       : at == SettingsControl::ClientId       ? "CLIENTID"
                       : at == SettingsControl::ClientCert     ? "CLIENTCERT"
                       : at == SettingsControl::TokenUrl       ? "TOKENURL"
                       : at == SettingsControl::Scope          ? "SCOPE"
                                                               : "INTERVAL";
    return Refused(name, Property(properties, name), boxes.last);
  }
  if (!folder.empty()) profiles.file.WriteString(kSectionMetrics, kKeyTextFileDir, folder);
  // Checked with mail on; written with mail off while the secret is still
  // to come, so that the settings load and the service starts.
  if (oauth && Property(properties, "CLIENTCERT").empty() && view.MailSendChecked()) {
    profiles.file.WriteString(kSectionWarning, kKeyIsMailSend, "0");
    if (note)
      *note = "mail stays off (ISMAILSEND=0) until the client secret is stored: run "
              "QuotawardenService.exe /SETSECRET CLIENTSECRET as administrator, then switch mail on in the applet";
  }
  *fileText = profiles.file.Bytes();
  return {};
}

}  // namespace qw

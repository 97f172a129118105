// The settings model of the settings dialog T_frmDrivewarden: loading
// Drivewarden.ini into the controls, the change snapshot that enables Apply,
// the checks and the write of the whole file on OK or Apply, the restart question,
// and OK, Apply, Cancel and the close query.
//
// The model holds no window. The controls it reads and writes are reached
// through SettingsView, which the Win32 dialog (and a test double) implement;
// message boxes and the Service Control Manager come from the platform layer.
//
// Binding a dialog to the model:
//   - WM_INITDIALOG: create the controls, then call FormCreate(). The view's
//     setters may fire change notifications while the controls are filled;
//     forwarding them to Change() is harmless (Apply ends up disabled).
//   - EN_CHANGE of the interval, reminder, port, server, sender, user and
//     password boxes, and a click of the recovery notice check box: Change().
//   - click of the mail check box: ckbIsMailSendClick().
//   - selection change of the encryption box: cbxSecurityChange(); click of
//     the certificate check box: Change().
//   - selection change of the login box or the credential box, and EN_CHANGE
//     of the OAuth 2.0 boxes: Change() (the view enables the boxes that
//     belong to the choice).
//   - OK: acnOKExecute(); Apply: acnApplyExecute(); Cancel: acnCancelExecute().
//     Each close request goes through SettingsView::RequestClose(), whose
//     implementation asks FormCloseQuery() and closes only when it is true.
//     (The Win32 OK button's own close request goes through the same query.)
//   - the threshold dialog's OK: SetLimit(); the address dialog's OK:
//     AddMailAddress(); the delete actions: acnDeleteExecute().
//   - losing the focus of the server and sender boxes: edtSMTPExit() and
//     edtFromExit().
//   - opening the threshold dialog: LimitForEdit() of the selected line.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "applet/restart_service.h"
#include "applet/volume_settings_model.h"
#include "applet/webhook_targets_model.h"
#include "common/drivewarden_common.h"
#include "platform/drives.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/service_manager.h"
#include "platform/status.h"
#include "platform/system_info.h"
#include "mail/client_slot.h"
#include "mail/mail_token.h"
#include "mail/test_mail.h"

namespace qw {

// Separator between a drive letter and its threshold text in the threshold list.
inline constexpr const char* kLimitLineSeparator = ":   ";

// The text boxes the model reads and writes.
enum class SettingsField {
  Interval,  // edtInterval: numeric box, hours (display text may be "1,000")
  Remind,    // edtRemind: numeric box, hours between mails of a standing shortage (0: every check)
  Smtp,      // edtSMTP: server name
  Port,      // edtPort: numeric box, 1 to 65535 (the service refuses 0)
  From,      // edtFrom: sender address
  User,      // edtUser: user name of the SMTP login (empty: no login)
  Password,  // edtPassword: masked box, the clear password
  TextFileDir,  // the metrics file's folder ([METRICS] TEXTFILEDIR; empty: none)
  // The OAuth 2.0 login (AUTH=OAUTH2).
  Tenant,          // TENANT: a Microsoft tenant ID or domain
  ClientId,        // CLIENTID
  ClientSecret,    // masked box, the clear CLIENTSECRET
  ClientCert,      // CLIENTCERT: a thumbprint (Windows) or a PEM file (POSIX)
  ServiceAccount,  // SERVICEACCOUNT: a service account's JSON key file
  TokenUrl,        // TOKENURL (empty: TENANT's or the key file's)
  Scope,           // SCOPE (empty: TENANT's or Google's)
  Proxy,           // PROXY (empty: the system's proxy settings)
};

// The choices of the login box (cbxAuth), in its order, and the AUTH values
// they stand for.
enum class AuthChoice { Password = 0, OAuth2 = 1 };
inline constexpr const char* kAuthValues[2] = {"PASSWORD", "OAUTH2"};

// The choices of the OAuth 2.0 credential box (cbxCredential), in its order:
// which one of CLIENTSECRET, CLIENTCERT and SERVICEACCOUNT is written.
enum class CredentialChoice { ClientSecret = 0, ClientCert = 1, ServiceAccount = 2 };

// The choices of the encryption box (cbxSecurity), in its order, and the
// SECURITY values of the settings file they stand for.
enum class SecurityChoice { None = 0, StartTls = 1, Tls = 2 };
inline constexpr const char* kSecurityValues[3] = {"NONE", "STARTTLS", "TLS"};
// The usual port of each choice (submission over STARTTLS, implicit TLS).
inline constexpr int kSecurityPorts[3] = {25, 587, 465};

// The list boxes. Limit is lsbLimitList (one line per drive of FDriveList,
// same order); To and Cc are lbxToList and lbxCcList.
enum class SettingsList { Limit, To, Cc };

// Target of an address (the address dialog's FTargetList).
enum class MailTarget { To, Cc };

// Pages of the page control, by index.
enum class SettingsPage {
  Warning = 0, Mail = 1, VersionInfo = 2, Metrics = 4, OAuth = 5, Webhooks = 6, Volumes = 7
};

// Controls that can receive the focus from the model.
enum class SettingsControl {
  Interval, Smtp, Port, From, MailSend, LimitList, ToList, CcList, Security, User, Password, TextFileDir,
  Remind, RecoveryMail,
  Auth, Tenant, ClientId, Credential, ClientSecret, ClientCert, ServiceAccount, TokenUrl, Scope, Proxy,
  VolumeList, WebhookList
};

// Unit of a threshold as the threshold dialog shows it.
enum class LimitUnit { MB, Percent };

// The controls of the settings dialog, as the model sees them. Texts are
// Shift-JIS. List indexes are zero-based; -1 means "no line".
class SettingsView {
 public:
  virtual ~SettingsView() = default;

  virtual std::string FieldText(SettingsField field) = 0;
  virtual void SetFieldText(SettingsField field, const std::string& text) = 0;
  // True when the control holds characters that FieldText's Shift-JIS
  // cannot (the Win32 boxes take any Unicode text); FieldText has them as
  // "?" then.
  virtual bool FieldTextLost(SettingsField field) {
    (void)field;
    return false;
  }

  virtual bool MailSendChecked() = 0;
  virtual void SetMailSendChecked(bool checked) = 0;
  // The recovery notice check box (RECOVERYMAIL).
  virtual bool RecoveryMailChecked() = 0;
  virtual void SetRecoveryMailChecked(bool checked) = 0;

  // The encryption box: the index of a SecurityChoice, -1 when none is
  // selected (a SECURITY value the applet does not know).
  virtual int SecurityIndex() = 0;
  virtual void SetSecurityIndex(int index) = 0;
  // The certificate check box (TLSVERIFY).
  virtual bool TlsVerifyChecked() = 0;
  virtual void SetTlsVerifyChecked(bool checked) = 0;
  // The login box: the index of an AuthChoice, -1 when none is selected (an
  // AUTH value the applet does not know).
  virtual int AuthIndex() = 0;
  virtual void SetAuthIndex(int index) = 0;
  // The OAuth 2.0 credential box: the index of a CredentialChoice.
  virtual int CredentialIndex() = 0;
  virtual void SetCredentialIndex(int index) = 0;

  virtual std::vector<std::string> ListLines(SettingsList list) = 0;
  virtual void AddListLine(SettingsList list, const std::string& line) = 0;
  virtual void SetListLine(SettingsList list, int index, const std::string& line) = 0;
  virtual void DeleteListLine(SettingsList list, int index) = 0;
  virtual int SelectedIndex(SettingsList list) = 0;
  virtual void SetSelectedIndex(SettingsList list, int index) = 0;

  // The Apply button's own enabled state (the action stays enabled).
  virtual bool ApplyEnabled() = 0;
  virtual void SetApplyEnabled(bool enabled) = 0;

  virtual void ShowPage(SettingsPage page) = 0;
  virtual void FocusControl(SettingsControl control) = 0;

  // Asks the dialog to close; the dialog closes when FormCloseQuery() is true.
  virtual void RequestClose() = 0;

  // Dispatches the dialog's pending window messages once (between the stop
  // and the start of a service restart).
  virtual void ProcessPendingMessages() = 0;

  // Called when the settings file cannot be written, with the error message
  // ("Drivewarden.ini に書き込めません" and the reason after an empty line). Return true when the view has dealt
  // with it (for example by offering to run the applet elevated); false lets
  // the model show the message in a message box.
  virtual bool HandleWriteFailure(const std::string& message) {
    (void)message;
    return false;
  }

  // The volumes page shows the model's rows and DEFAULT again (after a
  // load or a change). The default does nothing.
  virtual void ShowVolumes() {}
};

// Result of SaveSettingsEx.
enum class SaveOutcome {
  Saved,        // every key written (restart question asked)
  Refused,      // a check failed; nothing written
  WriteFailed,  // the file could not be replaced; it is as it was
};

// How the model stores the SMTP password: the platform's ProtectSecret and
// UnprotectSecret (platform/secret.h) unless a test gives its own.
class SecretStore {
 public:
  virtual ~SecretStore() = default;
  virtual Result<std::string> Protect(const std::string& clear) = 0;
  virtual Result<std::string> Unprotect(const std::string& stored) = 0;
  // After every save: limits who may read the settings file (Windows: SYSTEM
  // and Administrators only). The default does nothing.
  virtual Status ProtectFile() { return Status(); }
};
SecretStore& SystemSecrets();

class SettingsModel {
 public:
  SettingsModel(SettingsView& view, Profiles& profiles, Drives& drives, MessageBoxes& boxes,
                ServiceManager& services, SecretStore& secrets = SystemSecrets());
  SettingsModel(const SettingsModel&) = delete;
  SettingsModel& operator=(const SettingsModel&) = delete;

  // Loads the settings into the view, stores the snapshot, disables Apply.
  void FormCreate();
  // Disposes the drive records.
  void FormDestroy();

  // The snapshot of the controls' contents, one line each (CR LF after
  // each line). The password is not part of the text (the text may be shown
  // in a test's output); it is kept beside it.
  std::string GetSettingsText();
  // True when the controls (the password included) differ from the saved
  // snapshot.
  bool IsModified();

  // Text change of the interval, port, server or sender box.
  void Change();
  // Click of the mail check box: Apply follows the difference from the state
  // at load (the snapshot is not consulted).
  void ckbIsMailSendClick();
  // Selection change of the encryption box: when the port box still holds
  // one of the usual ports (25, 587, 465), it takes the usual port of the new
  // choice; a port the user typed is never replaced.
  void cbxSecurityChange();

  // The reason the stored password could not be read at load (the system's
  // words); empty when it was read or there was none.
  const std::string& PasswordLoadError() const { return passwordLoadError_; }
  // The same for the stored CLIENTSECRET.
  const std::string& ClientSecretLoadError() const { return clientSecretLoadError_; }

  // The installer's case: with OAuth 2.0 and the client secret chosen, an
  // empty secret box is taken (the secret is set after the installation,
  // never on a command line); every other key is held to its rule.
  void SetClientSecretMayFollow(bool mayFollow) { clientSecretMayFollow_ = mayFollow; }

  // Sets the threshold text of the drive `letter` (from the threshold dialog).
  void SetLimit(const std::string& letter, const std::string& limitText);
  // Appends `address` to the target list unless it is there already (letter
  // case ignored: "すでに登録されています。", shown, and the failure's
  // kind is kAlreadyExists).
  Status AddMailAddress(const std::string& address, MailTarget target);
  // Deletes the selected line of the target list (none selected: nothing).
  void acnDeleteExecute(MailTarget target);

  // The drive letter, number text and unit that the threshold dialog is
  // prepared with for line `index` of the threshold list; false when the
  // index is out of range (no line selected).
  bool LimitForEdit(int index, std::string* letter, std::string* number, LimitUnit* unit) const;

  // Leave checks: a non-empty server name that IsServerName refuses, or a
  // non-empty sender that ParseBareAddress refuses, is reported and the focus
  // goes back to the box. A refusal (its Text the message shown) when the
  // text does not pass.
  Status edtSMTPExit();
  Status edtFromExit();

  // Checks and writes the settings; a failure when refused or not written
  // (what was wrong has been shown). `apply` refreshes the snapshot after the
  // write. Asks the restart question after a write.
  Status SaveSettings(bool apply);
  SaveOutcome SaveSettingsEx(bool apply);

  // The test mail's settings as the dialog holds them, saved or not, after
  // the checks of a save with mail taken as on (the same messages, page and
  // focus). A refusal, with the message shown, when a field is refused.
  Result<TTestMailSettings> TestMailSettings();
  // Time-outs of the test mail's conversation, in seconds.
  void SetTestMailTimeOuts(int silence, int deadline) {
    testMailTimeOut_ = silence;
    testMailDeadline_ = deadline;
  }
  // The test's bound in seconds (the test notification of a webhook too).
  int TestMailDeadline() const { return testMailDeadline_; }

  void acnOKExecute();
  void acnApplyExecute();
  void acnCancelExecute();
  bool FormCloseQuery() const { return FCanClose; }

  const std::vector<A_Drive>& DriveList() const { return FDriveList; }

  // The volumes page: its rows and DEFAULT as loaded and changed since.
  const VolumeSettingsModel& Volumes() const { return volumes_; }
  // DEFAULT from the page (empty: off). A failure, shown, when the service
  // would not read the threshold.
  Status SetDefaultLimit(const std::string& limitText);
  // A volume row's choice (from the page's buttons and the threshold
  // dialog). A letter's row sets the letter's threshold of the warning page
  // (none for Default and Ignored). A failure, shown, when refused.
  Status SetVolumeChoice(int index, VolumeChoice choice, const std::string& limitText);
  // The path, number text and unit the threshold dialog opens with for row
  // `index` (DEFAULT's when index is -1); false when out of range.
  bool VolumeLimitForEdit(int index, std::string* path, std::string* number, LimitUnit* unit) const;

  // The chat and webhook targets of the page 通知先 (loaded by FormCreate,
  // checked and written by a save). After a change through it, call Change().
  WebhookTargetsModel& Webhooks() { return webhooks_; }
  bool MailSendAtLoad() const { return FMailSendAtLoad; }

  // The thousands separator of the numeric boxes' display text ("," unless
  // set; the Win32 view passes the system's).
  void SetThousandSeparator(const std::string& separator) { thousandSeparator_ = separator; }
  // The decimal separator of a share ("12.5%") as the service reads it.
  void SetDecimalSeparator(const std::string& separator) { decimalSeparator_ = separator; }

  // Timing of the service restart (tests shorten it).
  void SetRestartTiming(const RestartTiming& timing) { restartTiming_ = timing; }
  // Result of the last restart; Restarted when none was run.
  const RestartResult& LastRestart() const { return lastRestart_; }
  int RestartCount() const { return restartCount_; }

 private:
  // The values of the numeric boxes as a save writes them.
  struct CheckedNumbers {
    std::string interval, remind, port;
  };
  // The numeric box text with digit grouping removed, when it is a whole
  // number in [min, max]; a failure otherwise (nothing is shown).
  Result<std::string> NumericValue(SettingsField field, long long min, long long max);
  // The port box as a save writes it: digit grouping removed, then held to
  // PORT's rule (ParsePort); an empty box is refused. Nothing is shown.
  Result<std::string> PortValue();
  void ShowMessage(const std::string& text, MessageBoxIcon icon);
  // A box left empty or holding what `valid` accepts passes; otherwise the
  // message is shown and the focus goes back to `control`.
  Status LeaveCheck(SettingsField field, bool (*valid)(const std::string&), const char* message,
                    SettingsControl control);
  // Shows a refused check (the message, the page, the focus) and returns
  // the refusal, whose Text is the message.
  Status ShowCheckFailure(const std::string& text, MessageBoxIcon icon, SettingsPage page,
                          SettingsControl focus);
  // The checks of a save; `mailOn` holds the mail keys to their rules.
  Result<CheckedNumbers> CheckFields(bool mailOn);
  Status CheckMailSettings(bool mailOn);
  Status CheckLoginSettings(bool mailOn);
  // With OAuth 2.0 chosen: the keys as the dialog would write them, read by
  // the service's own reader (with mail on) or each held to its field's rule
  // (mail off). A refusal shows the reader's message and focuses the box of
  // the key it names.
  Status CheckOAuthSettings(bool mailOn);
  // The OAuth 2.0 login as the dialog holds it, read by the service's reader
  // (`mailOn`: the whole login; the failure names the key at fault).
  Result<OAuthSettings> ReadDialogOAuth(const std::string& secret);
  // The OAuth 2.0 keys the dialog writes, in their file order, as (key,
  // value); the client secret's value is `secret`.
  std::vector<std::pair<const char*, std::string>> OAuthKeys(const std::string& secret);
  // Where a refusal naming `key` sends the focus.
  static SettingsControl ControlOfKey(const std::string& key);
  // The metrics folder as the service will take it (blanks around it
  // dropped): empty, or an absolute path without control characters.
  Result<std::string> CheckMetricsFolder();
  // Every drive's threshold must be one the service reads: a value typed
  // into the file by hand is not saved back unread.
  Status CheckLimits();
  // The volume keys as they would be written must read as the service
  // reads them.
  Status CheckVolumes();
  void VolumesChanged();
  Status WriteAll(const std::string& interval, const std::string& remind, const std::string& port,
                const std::string& password, const std::string& clientSecret, const std::string& metricsFolder,
                const WebhookTargetsModel::Stored& webhooks);

  SettingsView& view_;
  Profiles& profiles_;
  Drives& drives_;
  MessageBoxes& boxes_;
  ServiceManager& services_;
  SecretStore& secrets_;
  WebhookTargetsModel webhooks_{secrets_};

  std::vector<A_Drive> FDriveList;
  VolumeSettingsModel volumes_{drives_};
  std::string FVolumeStateText;  // the volumes page at the snapshot
  bool FMailSendAtLoad = false;
  bool FCanClose = true;
  std::string FSettingsText;
  std::string FPasswordText;  // the password at the snapshot
  std::string FClientSecretText;  // the client secret at the snapshot
  bool FOAuthInFile = false;      // the file held AUTH at load
  std::string FMetricsFolderText;  // the metrics folder box at the snapshot
  bool FMetricsFolderInFile = false;  // the file held TEXTFILEDIR at load
  std::string passwordLoadError_;
  std::string clientSecretLoadError_;
  bool clientSecretMayFollow_ = false;

  std::string thousandSeparator_ = ",";
  std::string decimalSeparator_ = ".";
  RestartTiming restartTiming_;
  RestartResult lastRestart_;
  int restartCount_ = 0;
  int testMailTimeOut_ = 30;
  int testMailDeadline_ = 120;
};

// One test mail sent on a thread of its own, which runs the SMTP client with
// that thread's message loop so that the dialog's thread stays free. With
// the OAuth 2.0 login the token is fetched first (its step and outcome are
// lines "* TOKEN ..." of the transcript; a failure is the outcome). The
// job starts at construction; `onDone` is called on the job's thread when it
// has ended (the dialog posts itself a message from it). Cancel, from any
// thread, ends the conversation at once ("cancelled by stop"). The
// destructor cancels and waits for the thread, which the cancel bounds.
class TestMailJob {
 public:
  // `http` makes the HTTP client of the token request (tests hand in another).
  TestMailJob(TTestMailSettings settings, SystemInfo& system, std::function<void()> onDone = nullptr,
              CancellableHttp::Factory http = NewHttpClient);
  ~TestMailJob();
  TestMailJob(const TestMailJob&) = delete;
  TestMailJob& operator=(const TestMailJob&) = delete;

  void Cancel();
  bool Done() const;
  // Waits at most `milliseconds` for the end; true when it has ended.
  bool WaitDone(int milliseconds);

  // After Done: every recipient accepted the mail.
  bool Delivered() const;
  // After Done: "送信しました" or the failure (TestMailOutcomeText, or the
  // text of an error raised before anything was sent).
  std::string OutcomeText() const;
  // After Done: the conversation, lines ending with CR LF.
  std::string Transcript() const;
  TDeliveryResult Result() const;

 private:
  void Run();

  TTestMailSettings settings_;
  SystemInfo& system_;
  std::function<void()> onDone_;
  mutable std::mutex mutex_;
  std::condition_variable doneChanged_;
  ClientSlot slot_;  // the conversation in progress
  MailLogin login_;  // the token of the OAuth 2.0 login
  bool done_ = false;
  TTestMailOutcome outcome_;
  std::string failure_;
  std::thread thread_;  // last: started once the rest exists
};

// A threshold list line: letter + ":   " + threshold text.
std::string LimitLine(char letter, const std::string& limitText);

// Splits a threshold text for the threshold dialog as SplitThreshold does;
// a text without a unit opens as % with its last character dropped.
void SplitLimitText(const std::string& limitText, std::string* number, LimitUnit* unit);

}  // namespace qw

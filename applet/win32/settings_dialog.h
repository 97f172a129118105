// The settings dialog T_frmDrivewarden: the applet's only window. Four pages
// (warning settings, mail settings, version information, the last check's
// state) in a tab control,
// OK, Cancel and Apply along the bottom. The Win32 side of the dialog: it
// owns the controls and implements SettingsView for the settings model,
// which loads, tracks changes, checks and saves.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "applet/settings_model.h"
#include "applet/status_model.h"
#include "applet/win32/limit_form.h"
#include "applet/win32/mail_address_form.h"
#include "applet/win32/volume_page.h"
#include "applet/win32/webhook_page.h"
#include "corelib/win32/about_form.h"
#include "corelib/win32/form_panel.h"
#include "platform/drives.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/service_manager.h"
#include "platform/system_info.h"

namespace qw {

class T_frmDrivewarden : public SettingsView {
 public:
  // `owner` is the parent window for the modal showing (may be null).
  explicit T_frmDrivewarden(HWND owner);
  ~T_frmDrivewarden() override;
  T_frmDrivewarden(const T_frmDrivewarden&) = delete;
  T_frmDrivewarden& operator=(const T_frmDrivewarden&) = delete;

  // Shows the dialog modally; returns when it has closed.
  INT_PTR ShowModal();

  HWND Handle() const { return window_; }
  SettingsModel& Model() { return model_; }

  // Called back by the threshold and address dialogs.
  void SetLimit(const std::string& letter, const std::string& limitText);
  Status AddMailAddress(const std::string& address, MailTarget target);

  // SettingsView.
  std::string FieldText(SettingsField field) override;
  void SetFieldText(SettingsField field, const std::string& text) override;
  bool FieldTextLost(SettingsField field) override;
  bool MailSendChecked() override;
  void SetMailSendChecked(bool checked) override;
  bool RecoveryMailChecked() override;
  void SetRecoveryMailChecked(bool checked) override;
  int SecurityIndex() override;
  void SetSecurityIndex(int index) override;
  bool TlsVerifyChecked() override;
  void SetTlsVerifyChecked(bool checked) override;
  int AuthIndex() override;
  void SetAuthIndex(int index) override;
  int CredentialIndex() override;
  void SetCredentialIndex(int index) override;
  std::vector<std::string> ListLines(SettingsList list) override;
  void AddListLine(SettingsList list, const std::string& line) override;
  void SetListLine(SettingsList list, int index, const std::string& line) override;
  void DeleteListLine(SettingsList list, int index) override;
  int SelectedIndex(SettingsList list) override;
  void SetSelectedIndex(SettingsList list, int index) override;
  bool ApplyEnabled() override;
  void SetApplyEnabled(bool enabled) override;
  void ShowPage(SettingsPage page) override;
  void FocusControl(SettingsControl control) override;
  void RequestClose() override;
  void ProcessPendingMessages() override;
  bool HandleWriteFailure(const std::string& message) override;
  void ShowVolumes() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
  static INT_PTR DialogProcImpl(HWND, UINT, WPARAM, LPARAM);
  static INT_PTR CALLBACK PageProc(HWND, UINT, WPARAM, LPARAM);
  static INT_PTR PageProcImpl(HWND, UINT, WPARAM, LPARAM);

  static INT_PTR CALLBACK ProgressProc(HWND, UINT, WPARAM, LPARAM);
  static INT_PTR CALLBACK ResultProc(HWND, UINT, WPARAM, LPARAM);

  void FormCreate();
  void FormDestroy();
  // テスト送信: checks the fields as a save does, then sends the test mail on
  // a worker thread while the progress window (送信中…, 中止) is shown and
  // the dialog itself is disabled; the end comes back as kTestMailDone.
  void acnTestMailExecute();
  void TestMailDone();
  void CreatePages();
  void LayOut();
  bool OnCommand(int id, int code);
  void OnContextMenu(HWND list, int x, int y);
  void OnLeaveCheck(int id);

  void aclDrivewardenUpdate();
  void acnAddExecute(MailTarget target);
  void acnLimitExecute();
  void pageControlChange();
  void SwitchPage(int index);
  // The status page: reads the state and the history again and shows them.
  void RefreshStatus();
  // 参照…: the folder picker, starting at the folder in the box; the chosen
  // folder replaces the box's text.
  void acnBrowseMetricsFolderExecute();
  // The password box with the password login, the OAuth 2.0 boxes with
  // OAuth 2.0, and of the credentials only the chosen one's box.
  void EnableLoginControls();
  // 選択…: the certificate picker; the thumbprint chosen replaces the box's.
  void acnPickCertificateExecute();
  // 参照…: the file picker for the service account's key file.
  void acnBrowseServiceAccountExecute();

  HWND Control(int id) const;
  HWND ListControl(SettingsList list) const;
  HWND FieldControl(SettingsField field) const;

  HWND owner_ = nullptr;
  HWND window_ = nullptr;
  HWND pages_[8] = {};  // by page index; null: a page this build has not
  HFONT font_ = nullptr;
  HICON icon_ = nullptr;
  INT_PTR modalResult_ = IDCANCEL;

  std::unique_ptr<Profiles> profiles_;
  std::unique_ptr<Drives> drives_;
  std::unique_ptr<MessageBoxes> boxes_;
  std::unique_ptr<ServiceManager> services_;
  std::unique_ptr<SystemInfo> system_;
  SettingsModel model_;
  std::unique_ptr<TestMailJob> testMail_;  // the test mail being sent
  HWND testMailProgress_ = nullptr;
  StatusModel statusModel_{&ReadStateFile, &ReadHistoryFile};
  std::unique_ptr<WebhookPage> webhookPage_;  // the page 通知先

  std::unique_ptr<T_frmMailAddress> FMailAddressForm;
  std::unique_ptr<T_frmLimit> FLimitForm;
  std::unique_ptr<T_QuotawardenAboutForm> FAboutForm;
  std::unique_ptr<FormPanel> pnlVerInfo;
  std::unique_ptr<VolumePage> volumePage_;
};

}  // namespace qw

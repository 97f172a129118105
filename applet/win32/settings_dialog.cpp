#include "applet/win32/settings_dialog.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <commdlg.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

#include "applet/restart_service.h"
#include "applet/win32/cert_picker.h"
#include "applet/win32/dialog_rules.h"
#include "applet/win32/dialog_util.h"
#include "applet/win32/history_chart_view.h"
#include "applet/win32/resource.h"
#include "platform/text_codec.h"
#include "corelib/win32/ui_font.h"
#include "corelib/win32/win_text.h"

namespace qw {

namespace {

constexpr UINT kLeaveCheckMessage = WM_APP + 1;
// Posted by the test mail's thread when the conversation has ended.
constexpr UINT kTestMailDone = WM_APP + 2;
// Posted by the test notification's thread (the page 通知先) when it has ended.
constexpr UINT kWebhookTestDone = WM_APP + 20;
constexpr int kVersionPage = 2;

constexpr int kStatusPage = 3;
constexpr int kMetricsPage = static_cast<int>(SettingsPage::Metrics);
constexpr int kOAuthPage = static_cast<int>(SettingsPage::OAuth);
constexpr int kWebhookPage = static_cast<int>(SettingsPage::Webhooks);
constexpr int kVolumePage = static_cast<int>(SettingsPage::Volumes);
constexpr int kPageCount = 8;

// A page index without a template (0) has no page and no tab in this build;
// the tabs then follow the pages that are there, in index order.
const char* const kPageCaptions[kPageCount] = {"警告設定", "メール設定", "バージョン情報", "状態", "監視連携",
                                               "OAuth 2.0", "通知先", "ボリューム"};
const int kPageTemplates[kPageCount] = {IDD_PAGE_WARNING, IDD_PAGE_MAIL,    IDD_PAGE_VERINFO,
                                        IDD_PAGE_STATUS,  IDD_PAGE_METRICS, IDD_PAGE_OAUTH,
                                        IDD_PAGE_WEBHOOKS, IDD_PAGE_VOLUMES};

// The tab of a page index, and the page index of a tab.
int TabOfPage(int page) {
  int tab = 0;
  for (int i = 0; i < page && i < kPageCount; ++i) tab += kPageTemplates[i] != 0 ? 1 : 0;
  return tab;
}
int PageOfTab(int tab) {
  for (int i = 0; i < kPageCount; ++i) {
    if (kPageTemplates[i] == 0) continue;
    if (tab-- == 0) return i;
  }
  return -1;
}

// The page that holds a control id (ids 11xx, 12xx, 13xx, 17xx, 18xx, 19xx).
int PageOfId(int id) {
  if (id >= 1100 && id < 1200) return 0;
  if (id >= 1200 && id < 1300) return 1;
  if (id >= 1300 && id < 1400) return 2;
  if (id >= 1700 && id < 1800) return kStatusPage;
  if (id >= 1800 && id < 1900) return kMetricsPage;
  if (id >= 1900 && id < 2000) return kOAuthPage;
  if (id >= 2020 && id < 2100) return kWebhookPage;
  if (id >= 2100 && id < 2200) return kVolumePage;
  return -1;
}

T_frmDrivewarden* FromDialog(HWND dialog) {
  return reinterpret_cast<T_frmDrivewarden*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

std::string ThousandSeparator() {
  wchar_t sep[8] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STHOUSAND, sep, 8) <= 0) return ",";
  return Narrow(sep);
}

}  // namespace

T_frmDrivewarden::T_frmDrivewarden(HWND owner)
    : owner_(owner),
      profiles_(NewSystemProfiles("")),
      drives_(NewSystemDrives("")),
      boxes_(NewSystemMessageBoxes()),
      services_(NewSystemServiceManager()),
      system_(NewSystemInfo()),
      model_(*this, *profiles_, *drives_, *boxes_, *services_) {}

T_frmDrivewarden::~T_frmDrivewarden() {
  testMail_.reset();  // cancels and waits for a conversation still running
  webhookPage_.reset();  // the same for a test notification
  if (window_ != nullptr && IsWindow(window_)) DestroyWindow(window_);
  UnregisterStatusPanelClass();
  if (font_ != nullptr) DeleteObject(font_);
}

INT_PTR T_frmDrivewarden::ShowModal() {
  return DialogBoxParamW(AppletInstance(), MAKEINTRESOURCEW(IDD_SETTINGS), owner_,
                         &T_frmDrivewarden::DialogProc, reinterpret_cast<LPARAM>(this));
}

HWND T_frmDrivewarden::Control(int id) const {
  int page = PageOfId(id);
  return GetDlgItem(page >= 0 ? pages_[page] : window_, id);
}

HWND T_frmDrivewarden::ListControl(SettingsList list) const {
  switch (list) {
    case SettingsList::Limit: return Control(IDC_LSB_LIMITLIST);
    case SettingsList::To: return Control(IDC_LBX_TOLIST);
    case SettingsList::Cc: return Control(IDC_LBX_CCLIST);
  }
  return nullptr;
}

HWND T_frmDrivewarden::FieldControl(SettingsField field) const {
  switch (field) {
    case SettingsField::Interval: return Control(IDC_EDT_INTERVAL);
    case SettingsField::Remind: return Control(IDC_EDT_REMIND);
    case SettingsField::Smtp: return Control(IDC_EDT_SMTP);
    case SettingsField::Port: return Control(IDC_EDT_PORT);
    case SettingsField::From: return Control(IDC_EDT_FROM);
    case SettingsField::User: return Control(IDC_EDT_USER);
    case SettingsField::Password: return Control(IDC_EDT_PASSWORD);
    case SettingsField::TextFileDir: return Control(IDC_EDT_METRICS_DIR);
    case SettingsField::Tenant: return Control(IDC_EDT_TENANT);
    case SettingsField::ClientId: return Control(IDC_EDT_CLIENTID);
    case SettingsField::ClientSecret: return Control(IDC_EDT_CLIENTSECRET);
    case SettingsField::ClientCert: return Control(IDC_EDT_CLIENTCERT);
    case SettingsField::ServiceAccount: return Control(IDC_EDT_SERVICEACCOUNT);
    case SettingsField::TokenUrl: return Control(IDC_EDT_TOKENURL);
    case SettingsField::Scope: return Control(IDC_EDT_SCOPE);
    case SettingsField::Proxy: return Control(IDC_EDT_PROXY);
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Creation and layout

void T_frmDrivewarden::CreatePages() {
  // The status page's template holds the panel of drives and charts.
  if (!RegisterStatusPanelClass()) throw std::runtime_error("状態ページを作れません: " + SystemErrorText(GetLastError()));
  HWND tab = GetDlgItem(window_, IDC_PAGECONTROL);
  for (int i = 0; i < kPageCount; ++i) {
    if (kPageTemplates[i] == 0) continue;
    std::wstring caption = Wide(kPageCaptions[i]);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    SendMessageW(tab, TCM_INSERTITEMW, static_cast<WPARAM>(TabOfPage(i)), reinterpret_cast<LPARAM>(&item));
    pages_[i] = CreateDialogParamW(AppletInstance(), MAKEINTRESOURCEW(kPageTemplates[i]), window_,
                                   &T_frmDrivewarden::PageProc, reinterpret_cast<LPARAM>(this));
    SetWindowLongPtrW(pages_[i], GWLP_ID, IDC_PAGE_FIRST + i);
  }
  // Z-order from the top: the pages (over the tab's display area, first in
  // the tab order), the buttons, the tab control (which clips its siblings),
  // the group box at the bottom.
  SetWindowPos(GetDlgItem(window_, IDC_GROUP), HWND_BOTTOM, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowPos(tab, GetDlgItem(window_, IDC_BTN_APPLY), 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  for (int i = 2; i >= 0; --i) {
    SetWindowPos(pages_[i], HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
}

void T_frmDrivewarden::LayOut() {
  SetClientSizeCentred(window_, 438, 466);
  PlaceControls(window_, {
                             {IDC_GROUP, 6, 2, 426, 424},
                             {IDC_PAGECONTROL, 14, 18, 410, 400},
                             {IDOK, 192, 434, 75, 25},
                             {IDC_BTN_CANCEL, 273, 434, 75, 25},
                             {IDC_BTN_APPLY, 354, 434, 75, 25},
                         });
  // The pages fill the tab control's display area.
  HWND tab = GetDlgItem(window_, IDC_PAGECONTROL);
  RECT area{};
  GetWindowRect(tab, &area);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&area), 2);
  SendMessageW(tab, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
  for (HWND page : pages_) {
    if (page != nullptr)
      MoveWindow(page, area.left, area.top, area.right - area.left, area.bottom - area.top, FALSE);
  }
  PlaceControls(pages_[0], {
                               {IDC_LBL_LIMIT, 10, 12, 300, 16},
                               {IDC_BTN_LIMIT, 322, 8, 70, 23},
                               {IDC_LSB_LIMITLIST, 10, 34, 382, 130},
                               {IDC_CKB_ISMAILSEND, 10, 174, 382, 20},
                               {IDC_LBL_INTERVAL, 10, 206, 300, 16},
                               {IDC_EDT_INTERVAL, 10, 224, 100, 21},
                               {IDC_LBL_PERHOUR, 118, 227, 100, 16},
                               {IDC_CKB_RECOVERYMAIL, 10, 256, 382, 20},
                               {IDC_LBL_REMIND, 10, 286, 382, 16},
                               {IDC_EDT_REMIND, 10, 304, 100, 21},
                               {IDC_LBL_REMINDHOUR, 118, 307, 270, 16},
                           });
  PlaceControls(pages_[1], {
                               {IDC_LBL_SMTP, 10, 10, 250, 16},
                               {IDC_EDT_SMTP, 10, 27, 272, 21},
                               {IDC_LBL_PORT, 292, 10, 100, 16},
                               {IDC_EDT_PORT, 292, 27, 100, 21},
                               {IDC_LBL_SECURITY, 10, 56, 130, 16},
                               {IDC_CBX_SECURITY, 10, 73, 130, 120},
                               {IDC_CKB_TLSVERIFY, 160, 74, 232, 20},
                               {IDC_LBL_AUTH, 10, 104, 110, 16},
                               {IDC_CBX_AUTH, 10, 121, 110, 120},
                               {IDC_LBL_USER, 128, 104, 130, 16},
                               {IDC_EDT_USER, 128, 121, 130, 21},
                               {IDC_LBL_PASSWORD, 266, 104, 126, 16},
                               {IDC_EDT_PASSWORD, 266, 121, 126, 21},
                               {IDC_LBL_FROM, 10, 152, 300, 16},
                               {IDC_EDT_FROM, 10, 169, 382, 21},
                               {IDC_LBL_MAILTO, 10, 202, 250, 16},
                               {IDC_BTN_ADDTO, 262, 197, 62, 23},
                               {IDC_BTN_DELETETO, 330, 197, 62, 23},
                               {IDC_LBX_TOLIST, 10, 222, 382, 46},
                               {IDC_LBL_MAILCC, 10, 278, 250, 16},
                               {IDC_BTN_ADDCC, 262, 273, 62, 23},
                               {IDC_BTN_DELETECC, 330, 273, 62, 23},
                               {IDC_LBX_CCLIST, 10, 298, 382, 46},
                               {IDC_BTN_TESTMAIL, 292, 350, 100, 23},
                           });
  PlaceControls(pages_[kStatusPage], {
                               {IDC_LBL_STATUS_CHECKED, 10, 6, 306, 30},
                               {IDC_BTN_STATUS_REFRESH, 322, 8, 70, 23},
                               {IDC_LBL_STATUS_OUTCOME, 10, 40, 382, 16},
                               {IDC_PNL_STATUS_DRIVES, 10, 60, 382, 192},
                               {IDC_LBL_STATUS_MAIL, 10, 256, 382, 30},
                               {IDC_LBL_STATUS_LASTDELIVERY, 10, 288, 382, 16},
                               {IDC_LBL_STATUS_PENDING, 10, 306, 382, 30},
                               {IDC_LBL_STATUS_HEARTBEAT, 10, 338, 382, 30},
                               {IDC_LBL_STATUS_NOTICE, 10, 40, 382, 120},
                           });
  PlaceControls(pages_[kMetricsPage], {
                               {IDC_LBL_METRICS_DIR, 10, 12, 382, 16},
                               {IDC_EDT_METRICS_DIR, 10, 31, 300, 21},
                               {IDC_BTN_METRICS_BROWSE, 318, 30, 74, 23},
                               {IDC_LBL_METRICS_NOTE, 10, 64, 382, 150},
                           });
  PlaceControls(pages_[kOAuthPage], {
                               {IDC_LBL_TENANT, 10, 8, 186, 16},
                               {IDC_EDT_TENANT, 10, 25, 186, 21},
                               {IDC_LBL_CLIENTID, 206, 8, 186, 16},
                               {IDC_EDT_CLIENTID, 206, 25, 186, 21},
                               {IDC_LBL_CREDENTIAL, 10, 56, 186, 16},
                               {IDC_CBX_CREDENTIAL, 10, 73, 186, 120},
                               {IDC_LBL_CLIENTSECRET, 206, 56, 186, 16},
                               {IDC_EDT_CLIENTSECRET, 206, 73, 186, 21},
                               {IDC_LBL_CLIENTCERT, 10, 104, 300, 16},
                               {IDC_EDT_CLIENTCERT, 10, 121, 300, 21},
                               {IDC_BTN_CLIENTCERT, 318, 120, 74, 23},
                               {IDC_LBL_SERVICEACCOUNT, 10, 152, 300, 16},
                               {IDC_EDT_SERVICEACCOUNT, 10, 169, 300, 21},
                               {IDC_BTN_SERVICEACCOUNT, 318, 168, 74, 23},
                               {IDC_LBL_TOKENURL, 10, 200, 382, 16},
                               {IDC_EDT_TOKENURL, 10, 217, 382, 21},
                               {IDC_LBL_SCOPE, 10, 248, 186, 16},
                               {IDC_EDT_SCOPE, 10, 265, 186, 21},
                               {IDC_LBL_PROXY, 206, 248, 186, 16},
                               {IDC_EDT_PROXY, 206, 265, 186, 21},
                               {IDC_LBL_OAUTH_NOTE, 10, 296, 382, 70},
                           });
  // The up-down controls follow their boxes again (right-aligned inside).
  SendMessageW(Control(IDC_UDN_INTERVAL), UDM_SETBUDDY,
               reinterpret_cast<WPARAM>(Control(IDC_EDT_INTERVAL)), 0);
  SendMessageW(Control(IDC_UDN_REMIND), UDM_SETBUDDY, reinterpret_cast<WPARAM>(Control(IDC_EDT_REMIND)),
               0);
  SendMessageW(Control(IDC_UDN_PORT), UDM_SETBUDDY, reinterpret_cast<WPARAM>(Control(IDC_EDT_PORT)),
               0);
}

void T_frmDrivewarden::FormCreate() {
  SetText(window_, "NORVIKA ドライブ番人");
  icon_ = static_cast<HICON>(LoadImageW(AppletInstance(), MAKEINTRESOURCEW(IDI_APPLET), IMAGE_ICON,
                                        32, 32, LR_DEFAULTCOLOR));
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  CreatePages();
  SetItemText(window_, IDOK, "OK");
  SetItemText(window_, IDC_BTN_CANCEL, "キャンセル");
  SetItemText(window_, IDC_BTN_APPLY, "適用(&A)");
  SetItemText(pages_[0], IDC_LBL_LIMIT, "警告メールを送る空き領域のしきい値");
  SetItemText(pages_[0], IDC_BTN_LIMIT, "設定");
  SetItemText(pages_[0], IDC_CKB_ISMAILSEND, "空き領域不足の場合、メールで通知");
  SetItemText(pages_[0], IDC_LBL_INTERVAL, "空き領域をチェックするインターバル");
  SetItemText(pages_[0], IDC_LBL_PERHOUR, "時間ごと");
  SetItemText(pages_[0], IDC_CKB_RECOVERYMAIL, "空き領域が回復したときもメールで通知");
  SetItemText(pages_[0], IDC_LBL_REMIND, "同じ空き領域不足を再び通知するまでの間隔");
  SetItemText(pages_[0], IDC_LBL_REMINDHOUR, "時間 (0 はチェックのたびに通知)");
  SetItemText(pages_[1], IDC_LBL_SMTP, "SMTPサーバ");
  SetItemText(pages_[1], IDC_LBL_PORT, "ポート番号");
  SetItemText(pages_[1], IDC_LBL_FROM, "差出人メールアドレス(From)");
  SetItemText(pages_[1], IDC_LBL_MAILTO, "送信先メールアドレス(To)");
  SetItemText(pages_[1], IDC_BTN_ADDTO, "追加");
  SetItemText(pages_[1], IDC_BTN_DELETETO, "削除");
  SetItemText(pages_[1], IDC_LBL_MAILCC, "送信先メールアドレス(Cc)");
  SetItemText(pages_[1], IDC_BTN_ADDCC, "追加");
  SetItemText(pages_[1], IDC_BTN_DELETECC, "削除");
  SetItemText(pages_[1], IDC_LBL_SECURITY, "暗号化");
  SetItemText(pages_[1], IDC_CKB_TLSVERIFY, "証明書を検証する");
  SetItemText(pages_[1], IDC_LBL_USER, "ユーザー名");
  SetItemText(pages_[1], IDC_LBL_PASSWORD, "パスワード");
  SetItemText(pages_[1], IDC_BTN_TESTMAIL, "テスト送信");
  SetItemText(pages_[1], IDC_LBL_AUTH, "認証方式");
  SetItemText(pages_[kOAuthPage], IDC_LBL_TENANT, "テナント (ID またはドメイン)");
  SetItemText(pages_[kOAuthPage], IDC_LBL_CLIENTID, "クライアント ID");
  SetItemText(pages_[kOAuthPage], IDC_LBL_CREDENTIAL, "資格情報");
  SetItemText(pages_[kOAuthPage], IDC_LBL_CLIENTSECRET, "クライアント シークレット");
  SetItemText(pages_[kOAuthPage], IDC_LBL_CLIENTCERT, "証明書の拇印 (ローカル コンピューターの個人ストア)");
  SetItemText(pages_[kOAuthPage], IDC_BTN_CLIENTCERT, "選択…");
  SetItemText(pages_[kOAuthPage], IDC_LBL_SERVICEACCOUNT, "サービス アカウントのキー ファイル (JSON)");
  SetItemText(pages_[kOAuthPage], IDC_BTN_SERVICEACCOUNT, "参照…");
  SetItemText(pages_[kOAuthPage], IDC_LBL_TOKENURL, "トークン URL (省略時はテナントまたはキー ファイルから)");
  SetItemText(pages_[kOAuthPage], IDC_LBL_SCOPE, "スコープ (省略可)");
  SetItemText(pages_[kOAuthPage], IDC_LBL_PROXY, "プロキシ (省略時はシステムの設定)");
  SetItemText(pages_[kOAuthPage], IDC_LBL_OAUTH_NOTE,
              "メール設定の認証方式を「OAuth 2.0」にすると使われます。ユーザー名には送信に使うメールボックスを"
              "入力してください。Microsoft 365 はテナントとクライアント ID に、クライアント シークレットか"
              "証明書を、Google Workspace はサービス アカウントのキー ファイルを指定します。");
  for (const char* choice : {"パスワード", "OAuth 2.0"}) {
    SendMessageW(Control(IDC_CBX_AUTH), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(choice).c_str()));
  }
  // The choices in the order of CredentialChoice.
  for (const char* choice : {"クライアント シークレット", "証明書", "サービス アカウント キー"}) {
    SendMessageW(Control(IDC_CBX_CREDENTIAL), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(choice).c_str()));
  }
  SetItemText(pages_[kStatusPage], IDC_BTN_STATUS_REFRESH, "更新");
  SetItemText(pages_[kMetricsPage], IDC_LBL_METRICS_DIR, "メトリクスファイル (quotawarden.prom) のフォルダー");
  SetItemText(pages_[kMetricsPage], IDC_BTN_METRICS_BROWSE, "参照…");
  SetItemText(pages_[kMetricsPage], IDC_LBL_METRICS_NOTE,
              "チェックのたびに、各ドライブの空き領域・容量・しきい値と前回のチェックの結果を Prometheus "
              "形式のファイルに書き込みます。windows_exporter の textfile_inputs フォルダー (例: C:\\Program "
              "Files\\windows_exporter\\textfile_inputs) を指定すると、Prometheus がすべてのサーバーの値を"
              "集めて監視できます。\r\n\r\n空欄のときは書き込みません。");
  // The choices in the order of SecurityChoice.
  for (const char* choice : {"なし", "STARTTLS", "SSL/TLS"}) {
    SendMessageW(Control(IDC_CBX_SECURITY), CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(Wide(choice).c_str()));
  }

  SendMessageW(Control(IDC_UDN_INTERVAL), UDM_SETRANGE32, 1, INT_MAX);
  SendMessageW(Control(IDC_UDN_REMIND), UDM_SETRANGE32, 0, INT_MAX);
  SendMessageW(Control(IDC_UDN_PORT), UDM_SETRANGE32, 1, 65535);
  // The server and sender boxes: their keys, and a check when the focus
  // leaves them for another control.
  static const EditBoxRules kSmtpBox{[](HWND, char16_t key) { return SmtpKeyPasses(key); }, false,
                                     kLeaveCheckMessage};
  static const EditBoxRules kFromBox{[](HWND, char16_t key) { return AddressKeyPasses(key); }, false,
                                     kLeaveCheckMessage};
  SubclassEdit(Control(IDC_EDT_SMTP), kSmtpBox);
  SubclassEdit(Control(IDC_EDT_FROM), kFromBox);

  font_ = CreateDialogFont();
  ApplyFont(window_, font_);
  LayOut();
  volumePage_ = std::make_unique<VolumePage>(
      pages_[kVolumePage], model_,
      [this](const std::string& target, const std::string& number, LimitUnit unit,
             std::function<void(const std::string&)> accept) {
        FLimitForm->PrepareTarget(target, number, unit, std::move(accept));
        FLimitForm->ShowModal(window_);
      });
  volumePage_->Create();
  webhookPage_ = std::make_unique<WebhookPage>(window_, pages_[kWebhookPage], model_, *boxes_, *system_,
                                               kWebhookTestDone);
  webhookPage_->Create();

  // The settings model fills the controls and takes its snapshot.
  model_.SetThousandSeparator(ThousandSeparator());
  model_.SetDecimalSeparator(system_->DecimalSeparator());
  model_.FormCreate();
  webhookPage_->Refresh();

  // The owned sub-forms, and the version form hosted on the third page.
  FMailAddressForm = std::make_unique<T_frmMailAddress>(*this, *boxes_);
  FLimitForm = std::make_unique<T_frmLimit>(*this, *boxes_);
  FAboutForm = std::make_unique<T_QuotawardenAboutForm>(window_);
  RECT page{};
  GetClientRect(pages_[2], &page);
  pnlVerInfo = std::make_unique<FormPanel>(pages_[2], IDC_PNL_VERINFO, page);
  pnlVerInfo->SetForm(FAboutForm->Handle());

  SwitchPage(0);
  aclDrivewardenUpdate();
}

void T_frmDrivewarden::FormDestroy() {
  if (webhookPage_) webhookPage_->Stop();
  volumePage_.reset();
  FLimitForm.reset();
  FMailAddressForm.reset();
  model_.FormDestroy();
  // The version form goes with the dialog; it is handed back by its panel first.
  pnlVerInfo.reset();
  FAboutForm.reset();
  if (icon_ != nullptr) {
    DestroyIcon(icon_);
    icon_ = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Actions

void T_frmDrivewarden::aclDrivewardenUpdate() {
  EnableWindow(Control(IDC_BTN_DELETETO), SelectedIndex(SettingsList::To) >= 0);
  EnableWindow(Control(IDC_BTN_DELETECC), SelectedIndex(SettingsList::Cc) >= 0);
  EnableWindow(Control(IDC_BTN_LIMIT), SelectedIndex(SettingsList::Limit) >= 0);
}

void T_frmDrivewarden::acnAddExecute(MailTarget target) {
  FMailAddressForm->Prepare(MailAddressTitle(target), target);
  FMailAddressForm->ShowModal(window_);
  aclDrivewardenUpdate();
}

void T_frmDrivewarden::acnLimitExecute() {
  std::string letter, number;
  LimitUnit unit = LimitUnit::Percent;
  if (!model_.LimitForEdit(SelectedIndex(SettingsList::Limit), &letter, &number, &unit)) return;
  FLimitForm->Prepare(letter, number, unit);
  FLimitForm->ShowModal(window_);
}

void T_frmDrivewarden::SetLimit(const std::string& letter, const std::string& limitText) {
  model_.SetLimit(letter, limitText);
}

Status T_frmDrivewarden::AddMailAddress(const std::string& address, MailTarget target) {
  return model_.AddMailAddress(address, target);
}

void T_frmDrivewarden::SwitchPage(int index) {
  HWND tab = GetDlgItem(window_, IDC_PAGECONTROL);
  if (SendMessageW(tab, TCM_GETCURSEL, 0, 0) != TabOfPage(index)) {
    SendMessageW(tab, TCM_SETCURSEL, static_cast<WPARAM>(TabOfPage(index)), 0);
  }
  for (int i = 0; i < kPageCount; ++i) ShowWindow(pages_[i], i == index ? SW_SHOW : SW_HIDE);
  pageControlChange();
}

void T_frmDrivewarden::pageControlChange() {
  HWND tab = GetDlgItem(window_, IDC_PAGECONTROL);
  const int current = PageOfTab(static_cast<int>(SendMessageW(tab, TCM_GETCURSEL, 0, 0)));
  // The status page reads the state each time it is shown.
  if (current == kStatusPage) RefreshStatus();
  if (current != kVersionPage || !pnlVerInfo || !FAboutForm) return;
  pnlVerInfo->SetForm(FAboutForm->Handle());
  FAboutForm->Show();
}

void T_frmDrivewarden::RefreshStatus() {
  const StatusPageView& view = statusModel_.Refresh();
  HWND page = pages_[kStatusPage];
  // Without a state the page holds the notice alone (no error box: a service
  // that has not run yet is an ordinary state of a fresh installation).
  for (int id : {IDC_LBL_STATUS_CHECKED, IDC_LBL_STATUS_OUTCOME, IDC_PNL_STATUS_DRIVES,
                 IDC_LBL_STATUS_MAIL, IDC_LBL_STATUS_LASTDELIVERY}) {
    ShowWindow(GetDlgItem(page, id), view.hasState ? SW_SHOW : SW_HIDE);
  }
  ShowWindow(GetDlgItem(page, IDC_LBL_STATUS_PENDING), view.pendingText.empty() ? SW_HIDE : SW_SHOW);
  ShowWindow(GetDlgItem(page, IDC_LBL_STATUS_HEARTBEAT), view.heartbeatText.empty() ? SW_HIDE : SW_SHOW);
  ShowWindow(GetDlgItem(page, IDC_LBL_STATUS_NOTICE), view.hasState ? SW_HIDE : SW_SHOW);
  SetItemText(page, IDC_LBL_STATUS_NOTICE, view.notice);
  SetItemText(page, IDC_LBL_STATUS_CHECKED, view.checkedText);
  SetItemText(page, IDC_LBL_STATUS_OUTCOME, view.outcomeText);
  SetItemText(page, IDC_LBL_STATUS_MAIL, view.mailText);
  SetItemText(page, IDC_LBL_STATUS_LASTDELIVERY, view.lastDeliveryText);
  SetItemText(page, IDC_LBL_STATUS_PENDING, view.pendingText);
  SetItemText(page, IDC_LBL_STATUS_HEARTBEAT, view.heartbeatText);
  // The drawn rows also stand as the panel's text, one line a drive (and
  // its forecast), then the targets, for screen readers and the harness.
  std::string rows;
  for (const StatusDriveRow& row : view.drives) {
    rows += row.label + " " + row.freeText + " " + row.thresholdText + "\r\n";
    if (!row.forecastText.empty()) rows += row.forecastText + "\r\n";
  }
  if (!view.historyNotice.empty()) rows += view.historyNotice + "\r\n";
  for (const std::string& line : view.channelLines) rows += line + "\r\n";
  SetItemText(page, IDC_PNL_STATUS_DRIVES, rows);
  ShowStatusPanel(GetDlgItem(page, IDC_PNL_STATUS_DRIVES), &statusModel_.View());
}

namespace {

// The picker opens at the folder of the box (when it names one).
int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED) {
    SetText(window, "フォルダーの参照");
    const auto* start = reinterpret_cast<const std::wstring*>(data);
    if (!start->empty()) SendMessageW(window, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(start->c_str()));
  }
  return 0;
}

}  // namespace

void T_frmDrivewarden::acnBrowseMetricsFolderExecute() {
  // The new-style picker needs a single-threaded apartment on this thread;
  // a thread that is in another apartment already gets the classic one.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const std::wstring start = Wide(FieldText(SettingsField::TextFileDir));
  const std::wstring title = Wide("メトリクスファイルを書き込むフォルダーを選んでください。");
  BROWSEINFOW info{};
  info.hwndOwner = window_;
  info.lpszTitle = title.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS | (SUCCEEDED(com) ? BIF_NEWDIALOGSTYLE : 0);
  info.lpfn = &BrowseCallback;
  info.lParam = reinterpret_cast<LPARAM>(&start);
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  if (chosen != nullptr) {
    wchar_t path[MAX_PATH] = {};
    if (SHGetPathFromIDListW(chosen, path)) {
      SetFieldText(SettingsField::TextFileDir, Narrow(path));
      model_.Change();
    }
    CoTaskMemFree(chosen);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  FocusDialogControl(window_, Control(IDC_EDT_METRICS_DIR));
}

void T_frmDrivewarden::OnContextMenu(HWND list, int x, int y) {
  HMENU menu = CreatePopupMenu();
  auto add = [menu](UINT id, const char* caption, bool enabled) {
    AppendMenuW(menu, MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED), id, Wide(caption).c_str());
  };
  if (list == ListControl(SettingsList::Limit)) {
    add(IDM_LIMIT, "設定", SelectedIndex(SettingsList::Limit) >= 0);  // ppmLimit
  } else if (list == ListControl(SettingsList::To)) {
    add(IDM_ADDTO, "メールアドレスを追加", true);  // ppmTo
    add(IDM_DELTO, "メールアドレスを削除", SelectedIndex(SettingsList::To) >= 0);
  } else if (list == ListControl(SettingsList::Cc)) {
    add(IDM_ADDCC, "メールアドレスを追加", true);  // ppmCc
    add(IDM_DELCC, "メールアドレスを削除", SelectedIndex(SettingsList::Cc) >= 0);
  } else {
    DestroyMenu(menu);
    return;
  }
  if (x == -1 && y == -1) {
    RECT r{};
    GetWindowRect(list, &r);
    x = r.left + 8;
    y = r.top + 8;
  }
  UINT chosen = static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, x, y, 0, window_, nullptr));
  DestroyMenu(menu);
  if (chosen != 0) OnCommand(static_cast<int>(chosen), BN_CLICKED);
}

void T_frmDrivewarden::OnLeaveCheck(int id) {
  // A refusal has been shown and the focus is back in the box: nothing more.
  if (id == IDC_EDT_SMTP) model_.edtSMTPExit().Ignore();
  if (id == IDC_EDT_FROM) model_.edtFromExit().Ignore();
}

bool T_frmDrivewarden::OnCommand(int id, int code) {
  if (volumePage_ && volumePage_->Command(id, code)) return true;
  switch (id) {
    case IDOK:
      if (code == BN_CLICKED) {
        // The OK button's own close request; the close query decides.
        modalResult_ = IDOK;
        model_.acnOKExecute();
      }
      return true;
    case IDCANCEL:
      // Escape and Alt+F4 are not bound to Cancel.
      return true;
    case IDC_BTN_STATUS_REFRESH:
      if (code == BN_CLICKED) RefreshStatus();
      return true;
    case IDC_BTN_CANCEL:
      if (code == BN_CLICKED) {
        modalResult_ = IDCANCEL;
        model_.acnCancelExecute();
      }
      return true;
    case IDC_BTN_APPLY:
      if (code == BN_CLICKED) model_.acnApplyExecute();
      return true;
    case IDC_BTN_TESTMAIL:
      if (code == BN_CLICKED) acnTestMailExecute();
      return true;
    case IDC_EDT_INTERVAL:
    case IDC_EDT_REMIND:
    case IDC_EDT_PORT:
    case IDC_EDT_SMTP:
    case IDC_EDT_FROM:
    case IDC_EDT_USER:
    case IDC_EDT_PASSWORD:
    case IDC_EDT_METRICS_DIR:
    case IDC_EDT_TENANT:
    case IDC_EDT_CLIENTID:
    case IDC_EDT_CLIENTSECRET:
    case IDC_EDT_CLIENTCERT:
    case IDC_EDT_SERVICEACCOUNT:
    case IDC_EDT_TOKENURL:
    case IDC_EDT_SCOPE:
    case IDC_EDT_PROXY:
      if (code == EN_CHANGE) model_.Change();
      return true;
    case IDC_CBX_AUTH:
    case IDC_CBX_CREDENTIAL:
      if (code == CBN_SELCHANGE) {
        EnableLoginControls();
        model_.Change();
      }
      return true;
    case IDC_BTN_CLIENTCERT:
      if (code == BN_CLICKED) acnPickCertificateExecute();
      return true;
    case IDC_BTN_SERVICEACCOUNT:
      if (code == BN_CLICKED) acnBrowseServiceAccountExecute();
      return true;
    case IDC_BTN_METRICS_BROWSE:
      if (code == BN_CLICKED) acnBrowseMetricsFolderExecute();
      return true;
    case IDC_CBX_SECURITY:
      if (code == CBN_SELCHANGE) model_.cbxSecurityChange();
      return true;
    case IDC_CKB_TLSVERIFY:
    case IDC_CKB_RECOVERYMAIL:
      if (code == BN_CLICKED) model_.Change();
      return true;
    case IDC_CKB_ISMAILSEND:
      if (code == BN_CLICKED) model_.ckbIsMailSendClick();
      return true;
    case IDC_LSB_LIMITLIST:
      if (code == LBN_DBLCLK) acnLimitExecute();
      if (code == LBN_SELCHANGE || code == LBN_SELCANCEL) aclDrivewardenUpdate();
      return true;
    case IDC_LBX_TOLIST:
    case IDC_LBX_CCLIST:
      if (code == LBN_SELCHANGE || code == LBN_SELCANCEL) aclDrivewardenUpdate();
      return true;
    case IDC_BTN_LIMIT:
    case IDM_LIMIT:
      if (code == BN_CLICKED) acnLimitExecute();
      return true;
    case IDC_BTN_ADDTO:
    case IDM_ADDTO:
      if (code == BN_CLICKED) acnAddExecute(MailTarget::To);
      return true;
    case IDC_BTN_ADDCC:
    case IDM_ADDCC:
      if (code == BN_CLICKED) acnAddExecute(MailTarget::Cc);
      return true;
    case IDC_BTN_DELETETO:
    case IDM_DELTO:
      if (code == BN_CLICKED) {
        model_.acnDeleteExecute(MailTarget::To);
        aclDrivewardenUpdate();
      }
      return true;
    case IDC_BTN_DELETECC:
    case IDM_DELCC:
      if (code == BN_CLICKED) {
        model_.acnDeleteExecute(MailTarget::Cc);
        aclDrivewardenUpdate();
      }
      return true;
    default:
      return webhookPage_ && webhookPage_->OnCommand(id, code);
  }
}

// ---------------------------------------------------------------------------
// SettingsView

std::string T_frmDrivewarden::FieldText(SettingsField field) { return GetText(FieldControl(field)); }

bool T_frmDrivewarden::FieldTextLost(SettingsField field) {
  HWND control = FieldControl(field);
  const int n = GetWindowTextLengthW(control);
  if (n <= 0) return false;
  std::u16string text(static_cast<size_t>(n) + 1, u'\0');
  const int got = GetWindowTextW(control, reinterpret_cast<LPWSTR>(text.data()), n + 1);
  text.resize(static_cast<size_t>(got < 0 ? 0 : got));
  return !Utf16FitsSjis(text);
}

void T_frmDrivewarden::SetFieldText(SettingsField field, const std::string& text) {
  SetText(FieldControl(field), text);
}

bool T_frmDrivewarden::MailSendChecked() {
  return SendMessageW(Control(IDC_CKB_ISMAILSEND), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void T_frmDrivewarden::SetMailSendChecked(bool checked) {
  SendMessageW(Control(IDC_CKB_ISMAILSEND), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool T_frmDrivewarden::RecoveryMailChecked() {
  return SendMessageW(Control(IDC_CKB_RECOVERYMAIL), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void T_frmDrivewarden::SetRecoveryMailChecked(bool checked) {
  SendMessageW(Control(IDC_CKB_RECOVERYMAIL), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

int T_frmDrivewarden::SecurityIndex() {
  return static_cast<int>(SendMessageW(Control(IDC_CBX_SECURITY), CB_GETCURSEL, 0, 0));
}

void T_frmDrivewarden::SetSecurityIndex(int index) {
  SendMessageW(Control(IDC_CBX_SECURITY), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int T_frmDrivewarden::AuthIndex() {
  return static_cast<int>(SendMessageW(Control(IDC_CBX_AUTH), CB_GETCURSEL, 0, 0));
}

void T_frmDrivewarden::SetAuthIndex(int index) {
  SendMessageW(Control(IDC_CBX_AUTH), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  EnableLoginControls();
}

int T_frmDrivewarden::CredentialIndex() {
  return static_cast<int>(SendMessageW(Control(IDC_CBX_CREDENTIAL), CB_GETCURSEL, 0, 0));
}

void T_frmDrivewarden::SetCredentialIndex(int index) {
  SendMessageW(Control(IDC_CBX_CREDENTIAL), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  EnableLoginControls();
}

void T_frmDrivewarden::EnableLoginControls() {
  const bool oauth = AuthIndex() == static_cast<int>(AuthChoice::OAuth2);
  const int credential = CredentialIndex();
  EnableWindow(Control(IDC_EDT_PASSWORD), oauth ? FALSE : TRUE);
  for (int id : {IDC_EDT_TENANT, IDC_EDT_CLIENTID, IDC_CBX_CREDENTIAL, IDC_EDT_TOKENURL, IDC_EDT_SCOPE,
                 IDC_EDT_PROXY}) {
    EnableWindow(Control(id), oauth ? TRUE : FALSE);
  }
  const struct {
    int id;
    CredentialChoice choice;
  } boxes[] = {{IDC_EDT_CLIENTSECRET, CredentialChoice::ClientSecret},
               {IDC_EDT_CLIENTCERT, CredentialChoice::ClientCert},
               {IDC_BTN_CLIENTCERT, CredentialChoice::ClientCert},
               {IDC_EDT_SERVICEACCOUNT, CredentialChoice::ServiceAccount},
               {IDC_BTN_SERVICEACCOUNT, CredentialChoice::ServiceAccount}};
  for (const auto& box : boxes) {
    EnableWindow(Control(box.id), oauth && credential == static_cast<int>(box.choice) ? TRUE : FALSE);
  }
}

void T_frmDrivewarden::acnPickCertificateExecute() {
  const std::optional<std::string> chosen =
      PickMachineCertificate(window_, *boxes_, FieldText(SettingsField::ClientCert));
  if (chosen) {
    SetFieldText(SettingsField::ClientCert, *chosen);
    model_.Change();
  }
  FocusDialogControl(window_, Control(IDC_EDT_CLIENTCERT));
}

void T_frmDrivewarden::acnBrowseServiceAccountExecute() {
  wchar_t path[MAX_PATH] = {};
  const std::wstring current = Wide(FieldText(SettingsField::ServiceAccount));
  if (current.size() < MAX_PATH) current.copy(path, current.size());
  const std::wstring title = Wide("サービス アカウントのキー ファイル");
  const std::wstring filter = Wide("JSON ファイル (*.json)") + L'\0' + L"*.json" + L'\0' + Wide("すべてのファイル") +
                              L'\0' + L"*.*" + L'\0';
  OPENFILENAMEW open{};
  open.lStructSize = sizeof open;
  open.hwndOwner = window_;
  open.lpstrFilter = filter.c_str();
  open.lpstrFile = path;
  open.nMaxFile = MAX_PATH;
  open.lpstrTitle = title.c_str();
  open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (GetOpenFileNameW(&open)) {
    SetFieldText(SettingsField::ServiceAccount, Narrow(path));
    model_.Change();
  }
  FocusDialogControl(window_, Control(IDC_EDT_SERVICEACCOUNT));
}

bool T_frmDrivewarden::TlsVerifyChecked() {
  return SendMessageW(Control(IDC_CKB_TLSVERIFY), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void T_frmDrivewarden::SetTlsVerifyChecked(bool checked) {
  SendMessageW(Control(IDC_CKB_TLSVERIFY), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::vector<std::string> T_frmDrivewarden::ListLines(SettingsList list) {
  HWND box = ListControl(list);
  std::vector<std::string> lines;
  int n = static_cast<int>(SendMessageW(box, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    int len = static_cast<int>(SendMessageW(box, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0));
    std::wstring text(static_cast<size_t>(len < 0 ? 0 : len) + 1, L'\0');
    int got = static_cast<int>(SendMessageW(box, LB_GETTEXT, static_cast<WPARAM>(i),
                                            reinterpret_cast<LPARAM>(text.data())));
    text.resize(static_cast<size_t>(got < 0 ? 0 : got));
    lines.push_back(Narrow(text));
  }
  return lines;
}

void T_frmDrivewarden::AddListLine(SettingsList list, const std::string& line) {
  SendMessageW(ListControl(list), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(line).c_str()));
}

void T_frmDrivewarden::SetListLine(SettingsList list, int index, const std::string& line) {
  HWND box = ListControl(list);
  int selected = static_cast<int>(SendMessageW(box, LB_GETCURSEL, 0, 0));
  SendMessageW(box, LB_DELETESTRING, static_cast<WPARAM>(index), 0);
  SendMessageW(box, LB_INSERTSTRING, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(Wide(line).c_str()));
  if (selected == index) SendMessageW(box, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void T_frmDrivewarden::DeleteListLine(SettingsList list, int index) {
  SendMessageW(ListControl(list), LB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

int T_frmDrivewarden::SelectedIndex(SettingsList list) {
  return static_cast<int>(SendMessageW(ListControl(list), LB_GETCURSEL, 0, 0));
}

void T_frmDrivewarden::SetSelectedIndex(SettingsList list, int index) {
  SendMessageW(ListControl(list), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
  aclDrivewardenUpdate();
}

bool T_frmDrivewarden::ApplyEnabled() { return IsWindowEnabled(Control(IDC_BTN_APPLY)) != FALSE; }

void T_frmDrivewarden::SetApplyEnabled(bool enabled) {
  HWND apply = Control(IDC_BTN_APPLY);
  if (!enabled && GetFocus() == apply) {
    SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(IDOK)), TRUE);
  }
  EnableWindow(apply, enabled ? TRUE : FALSE);
}

void T_frmDrivewarden::ShowPage(SettingsPage page) { SwitchPage(static_cast<int>(page)); }

void T_frmDrivewarden::ShowVolumes() {
  if (volumePage_) volumePage_->Show();
}

void T_frmDrivewarden::FocusControl(SettingsControl control) {
  int id = 0;
  switch (control) {
    case SettingsControl::Interval: id = IDC_EDT_INTERVAL; break;
    case SettingsControl::Smtp: id = IDC_EDT_SMTP; break;
    case SettingsControl::Port: id = IDC_EDT_PORT; break;
    case SettingsControl::From: id = IDC_EDT_FROM; break;
    case SettingsControl::MailSend: id = IDC_CKB_ISMAILSEND; break;
    case SettingsControl::LimitList: id = IDC_LSB_LIMITLIST; break;
    case SettingsControl::ToList: id = IDC_LBX_TOLIST; break;
    case SettingsControl::CcList: id = IDC_LBX_CCLIST; break;
    case SettingsControl::Security: id = IDC_CBX_SECURITY; break;
    case SettingsControl::User: id = IDC_EDT_USER; break;
    case SettingsControl::Password: id = IDC_EDT_PASSWORD; break;
    case SettingsControl::TextFileDir: id = IDC_EDT_METRICS_DIR; break;
    case SettingsControl::Remind: id = IDC_EDT_REMIND; break;
    case SettingsControl::RecoveryMail: id = IDC_CKB_RECOVERYMAIL; break;
    case SettingsControl::Auth: id = IDC_CBX_AUTH; break;
    case SettingsControl::Tenant: id = IDC_EDT_TENANT; break;
    case SettingsControl::ClientId: id = IDC_EDT_CLIENTID; break;
    case SettingsControl::Credential: id = IDC_CBX_CREDENTIAL; break;
    case SettingsControl::ClientSecret: id = IDC_EDT_CLIENTSECRET; break;
    case SettingsControl::ClientCert: id = IDC_EDT_CLIENTCERT; break;
    case SettingsControl::ServiceAccount: id = IDC_EDT_SERVICEACCOUNT; break;
    case SettingsControl::TokenUrl: id = IDC_EDT_TOKENURL; break;
    case SettingsControl::Scope: id = IDC_EDT_SCOPE; break;
    case SettingsControl::Proxy: id = IDC_EDT_PROXY; break;
    case SettingsControl::WebhookList: id = IDC_LSV_WEBHOOKS; break;
    case SettingsControl::VolumeList: id = IDC_LV_VOLUMES; break;
  }
  // A control on a hidden page cannot take the focus: show its page first.
  int page = PageOfId(id);
  HWND tab = GetDlgItem(window_, IDC_PAGECONTROL);
  if (page >= 0 && SendMessageW(tab, TCM_GETCURSEL, 0, 0) != TabOfPage(page)) SwitchPage(page);
  FocusDialogControl(window_, Control(id));
}

void T_frmDrivewarden::RequestClose() {
  if (model_.FormCloseQuery()) EndDialog(window_, modalResult_);
}

void T_frmDrivewarden::ProcessPendingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

namespace {

// True when this process runs with an elevated (administrator) token.
bool IsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
                  elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

}  // namespace

bool T_frmDrivewarden::HandleWriteFailure(const std::string& message) {
  // Control Panel runs applets without elevation, and the settings file lives
  // in the Windows directory: when this process is not elevated, offer to
  // open the applet again as administrator. Elevated, the plain error stands.
  if (IsElevated()) return false;
  const std::string question = message +
                               "\r\r設定ファイルを書き換えるには管理者の権限が必要です。"
                               "\r管理者として設定画面を開き直しますか？"
                               "\r（開き直した画面で、もう一度設定してください。）";
  MessageBoxResult answer = boxes_->Show(question, kAppletCaption, MessageBoxButtons::YesNo,
                                         MessageBoxIcon::Error, 2);
  if (answer != MessageBoxResult::Yes) return true;
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(AppletInstance(), path, MAX_PATH);
  std::wstring parameters = L"\"" + std::wstring(path) + L"\"";
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOASYNC;
  info.hwnd = window_;
  info.lpVerb = L"runas";
  info.lpFile = L"control.exe";
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (ShellExecuteExW(&info)) {
    // The elevated dialog takes over; this one closes without saving.
    model_.acnCancelExecute();
  } else if (GetLastError() != ERROR_CANCELLED) {
    boxes_->Show(SystemErrorText(GetLastError()), kAppletCaption, MessageBoxButtons::Ok,
                 MessageBoxIcon::Error);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Window procedures

INT_PTR CALLBACK T_frmDrivewarden::PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<INT_PTR>(TRUE, [&] { return PageProcImpl(page, message, wParam, lParam); });
}

INT_PTR T_frmDrivewarden::PageProcImpl(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(page, DWLP_USER, lParam);
    return FALSE;
  }
  auto* self = reinterpret_cast<T_frmDrivewarden*>(GetWindowLongPtrW(page, DWLP_USER));
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_COMMAND:
      return self->OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_CONTEXTMENU:
      self->OnContextMenu(reinterpret_cast<HWND>(wParam), static_cast<short>(LOWORD(lParam)),
                          static_cast<short>(HIWORD(lParam)));
      return TRUE;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header == nullptr) return FALSE;
      if (self->volumePage_ && self->volumePage_->Notify(*header)) return TRUE;
      return self->webhookPage_ && self->webhookPage_->OnNotify(*header) ? TRUE : FALSE;
    }
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK T_frmDrivewarden::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<INT_PTR>(TRUE, [&] { return DialogProcImpl(window, message, wParam, lParam); });
}

INT_PTR T_frmDrivewarden::DialogProcImpl(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<T_frmDrivewarden*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->window_ = window;
    try {
      self->FormCreate();
    } catch (...) {
      // The error is shown by the caller's handling; the dialog does not open.
      EndDialog(window, IDCANCEL);
      throw;
    }
    SendMessageW(window, WM_NEXTDLGCTL,
                 reinterpret_cast<WPARAM>(self->Control(IDC_LSB_LIMITLIST)), TRUE);
    return FALSE;
  }
  T_frmDrivewarden* self = FromDialog(window);
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_COMMAND:
      return self->OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lParam);
      if (hdr->idFrom == IDC_PAGECONTROL && hdr->code == TCN_SELCHANGE) {
        self->SwitchPage(PageOfTab(static_cast<int>(SendMessageW(hdr->hwndFrom, TCM_GETCURSEL, 0, 0))));
        return TRUE;
      }
      return FALSE;
    }
    case kLeaveCheckMessage:
      self->OnLeaveCheck(static_cast<int>(wParam));
      return TRUE;
    case kTestMailDone:
      self->TestMailDone();
      return TRUE;
    case kWebhookTestDone:
      if (self->webhookPage_) self->webhookPage_->TestDone();
      return TRUE;
    case WM_DESTROY:
      self->FormDestroy();
      self->window_ = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

// ---------------------------------------------------------------------------
// Test mail

namespace {

struct TestMailResultTexts {
  std::string outcome;
  std::string transcript;
};

}  // namespace

void T_frmDrivewarden::acnTestMailExecute() {
  if (testMail_) return;
  const Result<TTestMailSettings> checked = model_.TestMailSettings();
  if (!checked) return;  // the refusal has been shown
  const TTestMailSettings& settings = *checked;
  HWND dialog = window_;
  testMail_ = std::make_unique<TestMailJob>(settings, *system_, [dialog] { PostMessageW(dialog, kTestMailDone, 0, 0); });
  // The dialog keeps its message loop but takes no input while the mail
  // goes out; the progress window is the one place to act.
  EnableWindow(window_, FALSE);
  testMailProgress_ = CreateDialogParamW(AppletInstance(), MAKEINTRESOURCEW(IDD_TESTMAIL_PROGRESS), window_,
                                         &T_frmDrivewarden::ProgressProc, reinterpret_cast<LPARAM>(this));
}

void T_frmDrivewarden::TestMailDone() {
  if (!testMail_ || !testMail_->Done()) return;
  TestMailResultTexts texts{testMail_->OutcomeText(), testMail_->Transcript()};
  testMail_.reset();
  EnableWindow(window_, TRUE);
  if (testMailProgress_ != nullptr) DestroyWindow(testMailProgress_);
  testMailProgress_ = nullptr;
  DialogBoxParamW(AppletInstance(), MAKEINTRESOURCEW(IDD_TESTMAIL_RESULT), window_, &T_frmDrivewarden::ResultProc,
                  reinterpret_cast<LPARAM>(&texts));
  FocusDialogControl(window_, Control(IDC_BTN_TESTMAIL));
}

INT_PTR CALLBACK T_frmDrivewarden::ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<INT_PTR>(TRUE, [&]() -> INT_PTR {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrW(window, DWLP_USER, lParam);
      SetText(window, "テスト送信");
      SetItemText(window, IDC_TM_LABEL, "送信中…");
      SetItemText(window, IDC_TM_CANCEL, "中止");
      return TRUE;
    }
    auto* self = reinterpret_cast<T_frmDrivewarden*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) return FALSE;
    // 中止, Escape and the close box all cancel; the window goes when the
    // conversation has ended (at once after a cancel).
    if ((message == WM_COMMAND && (LOWORD(wParam) == IDC_TM_CANCEL || LOWORD(wParam) == IDCANCEL)) ||
        message == WM_CLOSE) {
      if (self->testMail_) self->testMail_->Cancel();
      EnableWindow(GetDlgItem(window, IDC_TM_CANCEL), FALSE);
      SetItemText(window, IDC_TM_LABEL, "中止しています…");
      return TRUE;
    }
    return FALSE;
  });
}

INT_PTR CALLBACK T_frmDrivewarden::ResultProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<INT_PTR>(TRUE, [&]() -> INT_PTR {
    if (message == WM_INITDIALOG) {
      const auto* texts = reinterpret_cast<const TestMailResultTexts*>(lParam);
      SetText(window, "テスト送信");
      SetItemText(window, IDC_TM_OUTCOME, texts->outcome);
      SetItemText(window, IDC_TM_TRANSCRIPT, texts->transcript);
      // The focus on OK: the dialog manager would select the whole
      // transcript when giving it the focus.
      SetFocus(GetDlgItem(window, IDOK));
      return FALSE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
      EndDialog(window, LOWORD(wParam));
      return TRUE;
    }
    if (message == WM_CLOSE) {
      EndDialog(window, IDCANCEL);
      return TRUE;
    }
    return FALSE;
  });
}

}  // namespace qw

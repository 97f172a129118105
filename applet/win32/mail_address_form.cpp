#include "applet/win32/mail_address_form.h"

#include "applet/restart_service.h"
#include "applet/win32/dialog_rules.h"
#include "applet/win32/dialog_util.h"
#include "applet/win32/resource.h"
#include "applet/win32/settings_dialog.h"
#include "common/address_check.h"
#include "common/watch_settings.h"
#include "corelib/win32/ui_font.h"
#include "corelib/win32/win_text.h"

namespace qw {

namespace {
constexpr const char* kMsgBadAddress = "入力されたメールアドレスが不正です。正しく入力してください。";
}

T_frmMailAddress::T_frmMailAddress(T_frmDrivewarden& owner, MessageBoxes& boxes)
    : owner_(owner), boxes_(boxes) {}

T_frmMailAddress::~T_frmMailAddress() {
  if (font_ != nullptr) DeleteObject(font_);
}

void T_frmMailAddress::Prepare(const std::string& title, MailTarget target) {
  title_ = title;
  FTargetList = target;
  if (window_ != nullptr) {
    SetText(window_, MailAddressCaption(title));
    SetItemText(window_, IDC_EDT_MAILADDRESS, "");
  }
}

INT_PTR T_frmMailAddress::ShowModal(HWND parent) {
  return DialogBoxParamW(AppletInstance(), MAKEINTRESOURCEW(IDD_MAILADDRESS), parent,
                         &FormDialogProc<T_frmMailAddress>, reinterpret_cast<LPARAM>(this));
}

void T_frmMailAddress::FormCreate() {
  SetItemText(window_, IDC_MAIL_BTN_OK, "OK");
  SetItemText(window_, IDC_MAIL_BTN_CANCEL, "キャンセル");
  // Enter reaches the box (it is the box's own key, not the dialog's).
  static const EditBoxRules kAddressBox{&T_frmMailAddress::AddressBoxKey, true, 0};
  SubclassEdit(GetDlgItem(window_, IDC_EDT_MAILADDRESS), kAddressBox);
  font_ = CreateDialogFont();
  ApplyFont(window_, font_);
  SetClientSizeCentred(window_, 261, 64);
  PlaceControls(window_, {
                             {IDC_EDT_MAILADDRESS, 8, 8, 245, 21},
                             {IDC_MAIL_BTN_OK, 92, 35, 75, 23},
                             {IDC_MAIL_BTN_CANCEL, 178, 35, 75, 23},
                         });
}

void T_frmMailAddress::FormShow() {
  SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window_, IDC_EDT_MAILADDRESS)), TRUE);
}

bool T_frmMailAddress::edtMailAddressKeyPress(char16_t key) {
  AddressKeyDecision d = DecideAddressKey(key);
  if (d.runOk) btnOKClick();
  return d.pass;
}

void T_frmMailAddress::btnOKClick() {
  const std::string text = GetItemText(window_, IDC_EDT_MAILADDRESS);
  // The rule the service reads MAILTO and MAILCC with, one address at a time.
  if (ParseBareAddress(text).Ok()) {
    if (owner_.AddMailAddress(text, FTargetList).Ok()) EndDialog(window_, IDOK);
    return;
  }
  boxes_.Show(kMsgBadAddress, kAppletCaption, MessageBoxButtons::Ok, MessageBoxIcon::Exclamation);
  FocusDialogControl(window_, GetDlgItem(window_, IDC_EDT_MAILADDRESS));
}

void T_frmMailAddress::btnCancelClick() { EndDialog(window_, IDCANCEL); }

bool T_frmMailAddress::AddressBoxKey(HWND edit, char16_t key) {
  auto* self = reinterpret_cast<T_frmMailAddress*>(GetWindowLongPtrW(GetParent(edit), DWLP_USER));
  return self == nullptr || self->edtMailAddressKeyPress(key);
}

void T_frmMailAddress::FormInit() {
  FormCreate();
  Prepare(title_, FTargetList);
  FormShow();
}

bool T_frmMailAddress::FormCommand(int id, int notification) {
  if (notification != BN_CLICKED) return false;
  switch (id) {
    case IDC_MAIL_BTN_OK: btnOKClick(); return true;
    case IDC_MAIL_BTN_CANCEL: btnCancelClick(); return true;
    // Enter and Escape of the dialog manager are not bound to the buttons.
    case IDOK:
    case IDCANCEL: return true;
    default: return false;
  }
}

}  // namespace qw

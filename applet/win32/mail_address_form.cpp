#include "applet/win32/mail_address_form.h"

#include "applet/restart_service.h"
#include "applet/win32/dialog_rules.h"
#include "applet/win32/dialog_util.h"
#include "applet/win32/resource.h"
#include "applet/win32/settings_dialog.h"
#include "common/address_check.h"
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
                         &T_frmMailAddress::DialogProc, reinterpret_cast<LPARAM>(this));
}

void T_frmMailAddress::FormCreate() {
  SetItemText(window_, IDC_MAIL_BTN_OK, "OK");
  SetItemText(window_, IDC_MAIL_BTN_CANCEL, "キャンセル");
  Subclass(GetDlgItem(window_, IDC_EDT_MAILADDRESS), &T_frmMailAddress::EditProc);
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
  if (IsMailAddress(text)) {
    if (owner_.AddMailAddress(text, FTargetList)) EndDialog(window_, IDOK);
    return;
  }
  boxes_.Show(kMsgBadAddress, kAppletCaption, MessageBoxButtons::Ok, MessageBoxIcon::Exclamation);
  FocusDialogControl(window_, GetDlgItem(window_, IDC_EDT_MAILADDRESS));
}

void T_frmMailAddress::btnCancelClick() { EndDialog(window_, IDCANCEL); }

LRESULT CALLBACK T_frmMailAddress::EditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<LRESULT>(0, [&] { return EditProcImpl(edit, message, wParam, lParam); });
}

LRESULT T_frmMailAddress::EditProcImpl(HWND edit, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_GETDLGCODE:
      // Enter reaches the box (it is the box's own key, not the dialog's).
      if (lParam != 0 && reinterpret_cast<MSG*>(lParam)->message == WM_KEYDOWN &&
          reinterpret_cast<MSG*>(lParam)->wParam == VK_RETURN) {
        return CallOldProc(edit, message, wParam, lParam) | DLGC_WANTMESSAGE;
      }
      break;
    case WM_CHAR: {
      HWND dialog = GetParent(edit);
      auto* self = reinterpret_cast<T_frmMailAddress*>(GetWindowLongPtrW(dialog, DWLP_USER));
      if (self != nullptr && !self->edtMailAddressKeyPress(static_cast<char16_t>(wParam))) return 0;
      break;
    }
    default:
      break;
  }
  return CallOldProc(edit, message, wParam, lParam);
}

INT_PTR CALLBACK T_frmMailAddress::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<INT_PTR>(TRUE, [&] { return DialogProcImpl(window, message, wParam, lParam); });
}

INT_PTR T_frmMailAddress::DialogProcImpl(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<T_frmMailAddress*>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    self->window_ = window;
    self->FormCreate();
    self->Prepare(self->title_, self->FTargetList);
    self->FormShow();
    return FALSE;
  }
  auto* self = reinterpret_cast<T_frmMailAddress*>(GetWindowLongPtrW(window, DWLP_USER));
  if (self == nullptr) return FALSE;
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
          case IDC_MAIL_BTN_OK: self->btnOKClick(); return TRUE;
          case IDC_MAIL_BTN_CANCEL: self->btnCancelClick(); return TRUE;
          // Enter and Escape of the dialog manager are not bound to the buttons.
          case IDOK:
          case IDCANCEL: return TRUE;
          default: break;
        }
      }
      break;
    case WM_DESTROY:
      self->window_ = nullptr;
      if (self->font_ != nullptr) {
        DeleteObject(self->font_);
        self->font_ = nullptr;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace qw

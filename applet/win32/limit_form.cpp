#include "applet/win32/limit_form.h"

#include "applet/restart_service.h"
#include "applet/win32/dialog_rules.h"
#include "applet/win32/dialog_util.h"
#include "applet/win32/resource.h"
#include "applet/win32/settings_dialog.h"
#include "corelib/win32/ui_font.h"
#include "corelib/win32/win_text.h"

namespace qw {

T_frmLimit::T_frmLimit(T_frmDrivewarden& owner, MessageBoxes& boxes)
    : owner_(owner), boxes_(boxes) {}

T_frmLimit::~T_frmLimit() {
  if (font_ != nullptr) DeleteObject(font_);
}

void T_frmLimit::Prepare(const std::string& letter, const std::string& number, LimitUnit unit) {
  FDrive = letter;
  target_ = LimitDriveLabel(letter);
  accept_ = nullptr;
  number_ = number;
  unit_ = unit;
  Fill();
}

void T_frmLimit::PrepareTarget(const std::string& target, const std::string& number, LimitUnit unit,
                               std::function<void(const std::string&)> accept) {
  FDrive.clear();
  target_ = target;
  accept_ = std::move(accept);
  number_ = number;
  unit_ = unit;
  Fill();
}

void T_frmLimit::Fill() {
  if (window_ != nullptr) {
    SetItemText(window_, IDC_LBL_DRIVE, target_);
    SetItemText(window_, IDC_EDT_LIMIT, number_);
    SendDlgItemMessageW(window_, IDC_CBX_UNIT, CB_SETCURSEL, unit_ == LimitUnit::Percent ? 1 : 0, 0);
  }
}

INT_PTR T_frmLimit::ShowModal(HWND parent) {
  return DialogBoxParamW(AppletInstance(), MAKEINTRESOURCEW(IDD_LIMIT), parent,
                         &FormDialogProc<T_frmLimit>, reinterpret_cast<LPARAM>(this));
}

void T_frmLimit::FormCreate() {
  SetText(window_, "空き領域しきい値設定");
  SetItemText(window_, IDC_LIMIT_LABEL1, "空き領域しきい値を入力してください。");
  SetItemText(window_, IDOK, "OK");
  SetItemText(window_, IDCANCEL, "キャンセル");
  HWND unit = GetDlgItem(window_, IDC_CBX_UNIT);
  SendMessageW(unit, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"MB"));
  SendMessageW(unit, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"%"));
  // A number-only, right-aligned box of at most six characters.
  HWND edit = GetDlgItem(window_, IDC_EDT_LIMIT);
  SetWindowLongPtrW(edit, GWL_STYLE, GetWindowLongPtrW(edit, GWL_STYLE) | ES_NUMBER | ES_RIGHT);
  SetWindowPos(edit, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  SendMessageW(edit, EM_LIMITTEXT, 6, 0);

  font_ = CreateDialogFont();
  ApplyFont(window_, font_);
  SetClientSizeCentred(window_, 209, 97);
  PlaceControls(window_, {
                             {IDC_LIMIT_LABEL1, 12, 10, 190, 14},
                             {IDC_LBL_DRIVE, 12, 28, 190, 14},
                             {IDC_EDT_LIMIT, 12, 46, 110, 20},
                             {IDC_CBX_UNIT, 128, 46, 68, 120},
                             {IDOK, 18, 70, 80, 23},
                             {IDCANCEL, 111, 70, 80, 23},
                         });
}

void T_frmLimit::FormShow() {
  SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(window_, IDC_EDT_LIMIT)), TRUE);
}

void T_frmLimit::btnOKClick() {
  HWND unitBox = GetDlgItem(window_, IDC_CBX_UNIT);
  LimitUnit unit = SendMessageW(unitBox, CB_GETCURSEL, 0, 0) == 1 ? LimitUnit::Percent : LimitUnit::MB;
  LimitDecision d = DecideLimit(GetItemText(window_, IDC_EDT_LIMIT), unit);
  if (!d.accepted) {
    boxes_.Show(d.message, kAppletCaption, MessageBoxButtons::Ok,
                d.errorIcon ? MessageBoxIcon::Error : MessageBoxIcon::Exclamation);
    FocusDialogControl(window_, GetDlgItem(window_, IDC_EDT_LIMIT));
    return;
  }
  if (!accept_) {
    owner_.SetLimit(FDrive, d.limitText);
    EndDialog(window_, IDOK);
    return;
  }
  // Closed first: what the target does with the text may show a box.
  EndDialog(window_, IDOK);
  accept_(d.limitText);
}

void T_frmLimit::btnCancelClick() { EndDialog(window_, IDCANCEL); }

void T_frmLimit::FormInit() {
  FormCreate();
  Fill();
  FormShow();
}

bool T_frmLimit::FormCommand(int id, int notification) {
  if (id == IDOK && notification == BN_CLICKED) {
    btnOKClick();
    return true;
  }
  if (id == IDCANCEL) {
    btnCancelClick();
    return true;
  }
  return false;
}

}  // namespace qw

// The address dialog T_frmMailAddress: one address for the To or the Cc list
// of the settings dialog. One instance lives as long as the settings dialog,
// which prepares it and shows it modally; an accepted address goes back
// through the settings dialog's AddMailAddress, which refuses duplicates.
#pragma once

#include <windows.h>

#include <string>

#include "applet/settings_model.h"
#include "platform/message_box.h"

namespace qw {

class T_frmDrivewarden;

class T_frmMailAddress {
 public:
  T_frmMailAddress(T_frmDrivewarden& owner, MessageBoxes& boxes);
  ~T_frmMailAddress();
  T_frmMailAddress(const T_frmMailAddress&) = delete;
  T_frmMailAddress& operator=(const T_frmMailAddress&) = delete;

  // Caption title ("To に追加" or "Cc に追加") and target list; the box
  // starts empty.
  void Prepare(const std::string& title, MailTarget target);
  INT_PTR ShowModal(HWND parent);

  HWND Handle() const { return window_; }
  MailTarget TargetList() const { return FTargetList; }

 private:
  template <typename Form>
  friend INT_PTR CALLBACK FormDialogProc(HWND, UINT, WPARAM, LPARAM);
  void FormInit();
  bool FormCommand(int id, int notification);
  // The address box's key rule: the form's edtMailAddressKeyPress.
  static bool AddressBoxKey(HWND edit, char16_t key);
  void FormCreate();
  void FormShow();
  // False when the key is discarded.
  bool edtMailAddressKeyPress(char16_t key);
  void btnOKClick();
  void btnCancelClick();

  T_frmDrivewarden& owner_;
  MessageBoxes& boxes_;
  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  std::string title_;
  MailTarget FTargetList = MailTarget::To;
};

}  // namespace qw

// The threshold dialog T_frmLimit: the free-space threshold of one drive, in
// megabytes or percent. One instance lives as long as the settings dialog,
// which prepares it and shows it modally for the selected drive; on OK the
// threshold text goes back through the settings dialog's SetLimit.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "applet/settings_model.h"
#include "platform/message_box.h"

namespace qw {

class T_frmDrivewarden;

class T_frmLimit {
 public:
  T_frmLimit(T_frmDrivewarden& owner, MessageBoxes& boxes);
  ~T_frmLimit();
  T_frmLimit(const T_frmLimit&) = delete;
  T_frmLimit& operator=(const T_frmLimit&) = delete;

  // Drive letter, number text and unit for the next showing.
  void Prepare(const std::string& letter, const std::string& number, LimitUnit unit);
  // The same for another target (a volume, the default threshold): `target`
  // is the line shown under the prompt, and OK hands the threshold text to
  // `accept` instead of the settings dialog's SetLimit.
  void PrepareTarget(const std::string& target, const std::string& number, LimitUnit unit,
                     std::function<void(const std::string&)> accept);
  // Shows the dialog modally over `parent`; IDOK or IDCANCEL.
  INT_PTR ShowModal(HWND parent);

  HWND Handle() const { return window_; }
  const std::string& Drive() const { return FDrive; }

 private:
  template <typename Form>
  friend INT_PTR CALLBACK FormDialogProc(HWND, UINT, WPARAM, LPARAM);
  void FormInit();
  bool FormCommand(int id, int notification);
  void FormCreate();
  void FormShow();
  void Fill();
  void btnOKClick();
  void btnCancelClick();

  T_frmDrivewarden& owner_;
  MessageBoxes& boxes_;
  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  std::string FDrive;
  std::string target_;  // the line under the prompt
  std::function<void(const std::string&)> accept_;
  std::string number_;
  LimitUnit unit_ = LimitUnit::Percent;
};

}  // namespace qw

// The ボリューム page of the settings dialog: DEFAULT (a check box and the
// threshold dialog) and the list of the computer's volumes (path, label,
// capacity, free space, threshold), each given a threshold of its own
// through the threshold dialog, left to DEFAULT or not watched. The page
// shows the settings model's rows and hands every change to the model.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "applet/settings_model.h"

namespace qw {

class VolumePage {
 public:
  // Opens the threshold dialog for `target` (the line shown under its
  // prompt) with a number and unit; OK hands the text to the function.
  using AskLimit = std::function<void(const std::string& target, const std::string& number, LimitUnit unit,
                                      std::function<void(const std::string&)> accept)>;

  VolumePage(HWND page, SettingsModel& model, AskLimit askLimit);

  // Texts, columns and places of the controls (once, after the page has
  // its size).
  void Create();
  // Shows the model's DEFAULT and rows again, keeping the selection.
  void Show();
  // A command of the page's controls; false when the id is not the page's.
  bool Command(int id, int notification);
  // WM_NOTIFY of the page; true when handled.
  bool Notify(const NMHDR& header);

 private:
  int Selected() const;
  void UpdateButtons();
  void DefaultClicked();
  void EditDefault();
  void EditRow();

  HWND page_;
  SettingsModel& model_;
  AskLimit askLimit_;
};

}  // namespace qw

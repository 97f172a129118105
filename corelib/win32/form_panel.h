// A panel that hosts a separate top-level window (a "form") as if it were one
// of its child controls. Hosting strips the form's frame, menu and top-level
// style, makes it a child of the panel and keeps it sized to the panel;
// releasing the form gives it back its own settings. A form's main menu is
// lent to (or merged into) the menu of the window that owns the panel while
// the form is hosted.
//
// A form is any window registered with RegisterForm; a form that has been
// destroyed reads as none and is never touched again.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "corelib/form_panel_rules.h"

namespace qw {

// Marks `window` as one of the application's forms, with its component name.
void RegisterForm(HWND window, const std::string& componentName);
// The component name of a registered form; empty otherwise.
std::string FormComponentName(HWND window);
// True while `window` exists and is registered as a form.
bool IsApplicationForm(HWND window);

class FormPanel {
 public:
  // Creates the panel as a child of `parent` with the given bounds and id.
  FormPanel(HWND parent, int id, const RECT& bounds, const PanelFrame& frame = PanelFrame());
  ~FormPanel();
  FormPanel(const FormPanel&) = delete;
  FormPanel& operator=(const FormPanel&) = delete;

  HWND Handle() const { return panel_; }

  // The hosted form while it is still one of the application's forms.
  HWND Form() const;
  // Hosts `form` (releasing the one hosted before); nullptr releases.
  void SetForm(HWND form);

  // Lookups among the application's forms (top-level windows of this thread
  // in the screen's order, then the hosted form); the last match is hosted.
  void SetFormName(const std::string& name);
  std::string FormName() const;
  void SetFormCaption(const std::string& caption);
  std::string FormCaption() const;

  // While loading, a lookup that finds nothing is retried at the first paint.
  void BeginLoading() { loading_ = true; }
  void EndLoading() { loading_ = false; }
  bool ResolvePending() const { return resolvePending_; }

  // Lays the hosted form out to the panel's client area.
  void Layout();

 private:
  struct SavedState {
    HMENU Menu = nullptr;
    LONG_PTR Style = 0;
    LONG_PTR ExStyle = 0;
    HWND Parent = nullptr;
  };

  static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
  void Release(HWND form);
  void Dock(HWND form);
  std::vector<HWND> ApplicationForms() const;
  void LookUp(bool byName, const std::string& text);

  HWND panel_ = nullptr;
  PanelFrame frame_;
  HWND form_ = nullptr;
  SavedState saved_;
  bool menuLent_ = false;       // the owner's menu is the form's menu
  std::vector<HMENU> merged_;   // pop-ups of the form appended to the owner's menu
  std::string formName_;
  std::string formCaption_;
  bool loading_ = false;
  bool resolvePending_ = false;
};

}  // namespace qw

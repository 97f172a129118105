// Small helpers shared by the applet's dialogs: pixel layouts (given at 96
// DPI and scaled to the screen), client sizes, module handle, subclassing.
#pragma once

#include <windows.h>

#include <exception>
#include <initializer_list>
#include <string>

#include "applet/win32/cpl_drivewarden.h"

namespace qw {

struct ControlPlace {
  int id;
  int x, y, w, h;
};

// The module (the .cpl) that holds the dialogs' resources.
HINSTANCE AppletInstance();

int ScreenDpi();
int ScalePixels(int pixels);

// Moves each control to its place (pixels at 96 DPI).
void PlaceControls(HWND dialog, std::initializer_list<ControlPlace> places);

// Gives `window` a client area of `width` x `height` (pixels at 96 DPI) and
// centres it on the screen.
void SetClientSizeCentred(HWND window, int width, int height);

// A report list view's column `index` (its caption Shift-JIS, its width in
// pixels at 96 DPI), and the text of one cell of an item already inserted.
void AddListColumn(HWND view, int index, const char* caption, int width);
void SetListCell(HWND view, int row, int column, const std::string& sjis);

// Moves the focus to `control` of `dialog`, activating the dialog first: after
// a task-modal message box the dialog may have been left inactive.
void FocusDialogControl(HWND dialog, HWND control);

// How a subclassed edit box treats its keys and its focus: one row per box,
// which lives as long as the box (a static row).
struct EditBoxRules {
  // WM_CHAR: false drops the key. Null lets every key through.
  bool (*keyPasses)(HWND edit, char16_t key) = nullptr;
  // WM_GETDLGCODE: Enter reaches the box rather than the dialog manager.
  bool wantsEnter = false;
  // WM_KILLFOCUS to another control of the box's top-level dialog posts
  // `leaveMessage` to that dialog, with the box's id as wParam (0: none).
  UINT leaveMessage = 0;
};

// Gives `edit` the one subclass procedure of the applet's edit boxes: it acts
// by `rules` and hands every message on to the box's own procedure.
void SubclassEdit(HWND edit, const EditBoxRules& rules);

// Runs a window procedure's work; an error is shown by the application's
// exception handling and `onError` is returned instead.
template <typename Result, typename Work>
Result Guarded(Result onError, Work&& work) {
  try {
    return work();
  } catch (const std::exception& e) {
    HandleAppletException(e);
  } catch (...) {
    HandleUnknownAppletException();
  }
  return onError;
}

// The dialog procedure of the applet's small modal forms. WM_INITDIALOG
// binds the form (lParam) to its window and calls its FormInit, which sets
// the focus; WM_COMMAND goes to FormCommand(id, notification), true when
// handled; WM_DESTROY unbinds the form and frees its font. A form befriends
// this template for its `window_`, `font_`, FormInit and FormCommand.
template <typename Form>
INT_PTR CALLBACK FormDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<INT_PTR>(TRUE, [&]() -> INT_PTR {
    if (message == WM_INITDIALOG) {
      auto* self = reinterpret_cast<Form*>(lParam);
      SetWindowLongPtrW(window, DWLP_USER, lParam);
      self->window_ = window;
      self->FormInit();
      return FALSE;  // the focus has been set
    }
    auto* self = reinterpret_cast<Form*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) return FALSE;
    switch (message) {
      case WM_COMMAND:
        return self->FormCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
      case WM_DESTROY:
        self->window_ = nullptr;
        if (self->font_ != nullptr) {
          DeleteObject(self->font_);
          self->font_ = nullptr;
        }
        return FALSE;
      default:
        return FALSE;
    }
  });
}

}  // namespace qw

// Small helpers shared by the applet's dialogs: pixel layouts (given at 96
// DPI and scaled to the screen), client sizes, module handle, subclassing.
#pragma once

#include <windows.h>

#include <exception>
#include <initializer_list>

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

// Moves the focus to `control` of `dialog`, activating the dialog first: after
// a task-modal message box the dialog may have been left inactive.
void FocusDialogControl(HWND dialog, HWND control);

// Replaces the window procedure of a control; the old one is kept in a
// property and returned by OldProc.
void Subclass(HWND control, WNDPROC proc);
LRESULT CallOldProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam);

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

}  // namespace qw

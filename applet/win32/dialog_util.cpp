#include "applet/win32/dialog_util.h"

#include "platform/win32/win_loop.h"

namespace qw {

namespace {
constexpr wchar_t kOldProcProp[] = L"QwOldWndProc";
}

HINSTANCE AppletInstance() { return ThisModule(); }

int ScreenDpi() {
  HDC dc = GetDC(nullptr);
  int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

int ScalePixels(int pixels) { return MulDiv(pixels, ScreenDpi(), 96); }

void PlaceControls(HWND dialog, std::initializer_list<ControlPlace> places) {
  for (const ControlPlace& p : places) {
    HWND control = GetDlgItem(dialog, p.id);
    if (control != nullptr) {
      MoveWindow(control, ScalePixels(p.x), ScalePixels(p.y), ScalePixels(p.w), ScalePixels(p.h),
                 FALSE);
    }
  }
}

void SetClientSizeCentred(HWND window, int width, int height) {
  RECT r{0, 0, ScalePixels(width), ScalePixels(height)};
  AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
  int w = r.right - r.left, h = r.bottom - r.top;
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  int x = work.left + ((work.right - work.left) - w) / 2;
  int y = work.top + ((work.bottom - work.top) - h) / 2;
  SetWindowPos(window, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

void FocusDialogControl(HWND dialog, HWND control) {
  if (GetActiveWindow() != dialog) SetActiveWindow(dialog);
  SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

void Subclass(HWND control, WNDPROC proc) {
  LONG_PTR old = SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc));
  SetPropW(control, kOldProcProp, reinterpret_cast<HANDLE>(old));
}

LRESULT CallOldProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
  auto old = reinterpret_cast<WNDPROC>(GetPropW(control, kOldProcProp));
  if (message == WM_NCDESTROY) RemovePropW(control, kOldProcProp);
  return old != nullptr ? CallWindowProcW(old, control, message, wParam, lParam)
                        : DefWindowProcW(control, message, wParam, lParam);
}

}  // namespace qw

#include "applet/win32/dialog_util.h"

#include <commctrl.h>

#include "corelib/win32/win_text.h"
#include "platform/win32/win_loop.h"

namespace qw {

namespace {

constexpr wchar_t kOldProcProp[] = L"QwOldWndProc";
constexpr wchar_t kRulesProp[] = L"QwEditRules";

LRESULT CallOldProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
  auto old = reinterpret_cast<WNDPROC>(GetPropW(control, kOldProcProp));
  if (message == WM_NCDESTROY) {
    RemovePropW(control, kOldProcProp);
    RemovePropW(control, kRulesProp);
  }
  return old != nullptr ? CallWindowProcW(old, control, message, wParam, lParam)
                        : DefWindowProcW(control, message, wParam, lParam);
}

LRESULT EditBoxProcImpl(HWND edit, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto* rules = static_cast<const EditBoxRules*>(GetPropW(edit, kRulesProp));
  if (rules == nullptr) return CallOldProc(edit, message, wParam, lParam);
  switch (message) {
    case WM_GETDLGCODE: {
      const auto* msg = reinterpret_cast<const MSG*>(lParam);
      if (rules->wantsEnter && msg != nullptr && msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN)
        return CallOldProc(edit, message, wParam, lParam) | DLGC_WANTMESSAGE;
      break;
    }
    case WM_CHAR:
      if (rules->keyPasses != nullptr && !rules->keyPasses(edit, static_cast<char16_t>(wParam))) return 0;
      break;
    case WM_KILLFOCUS: {
      HWND dialog = GetAncestor(edit, GA_ROOT);
      HWND next = reinterpret_cast<HWND>(wParam);
      // Only a move to another control of the dialog is a leave.
      if (rules->leaveMessage != 0 && dialog != nullptr && next != nullptr && IsChild(dialog, next))
        PostMessageW(dialog, rules->leaveMessage, static_cast<WPARAM>(GetDlgCtrlID(edit)), 0);
      break;
    }
    default:
      break;
  }
  return CallOldProc(edit, message, wParam, lParam);
}

LRESULT CALLBACK EditBoxProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<LRESULT>(0, [&] { return EditBoxProcImpl(edit, message, wParam, lParam); });
}

}  // namespace

HINSTANCE AppletInstance() { return ThisModule(); }

int ScreenDpi() {
  HDC dc = GetDC(nullptr);
  int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  return dpi > 0 ? dpi : 96;
}

int ScalePixels(int pixels) { return MulDiv(pixels, ScreenDpi(), 96); }

void AddListColumn(HWND view, int index, const char* caption, int width) {
  std::wstring text = Wide(caption);
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
  column.pszText = text.data();
  column.cx = ScalePixels(width);
  column.iSubItem = index;
  SendMessageW(view, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

void SetListCell(HWND view, int row, int column, const std::string& sjis) {
  std::wstring text = Wide(sjis);
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = text.data();
  SendMessageW(view, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

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

void SubclassEdit(HWND edit, const EditBoxRules& rules) {
  SetPropW(edit, kRulesProp, const_cast<EditBoxRules*>(&rules));
  LONG_PTR old = SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&EditBoxProc));
  SetPropW(edit, kOldProcProp, reinterpret_cast<HANDLE>(old));
}

}  // namespace qw

#include "corelib/win32/about_form.h"

#include <shellapi.h>

#include "corelib/about_texts.h"
#include "corelib/win32/form_panel.h"
#include "corelib/win32/ui_font.h"
#include "corelib/win32/win_text.h"
#include "platform/win32/win_loop.h"

namespace qw {

namespace {

constexpr wchar_t kAboutClass[] = L"QwAboutForm";

// Base layout at 96 DPI.
constexpr int kClientWidth = 494;
constexpr int kClientHeight = 224;
constexpr int kMemoTop = 108;

}  // namespace

T_NVKBaseCommonAboutForm::T_NVKBaseCommonAboutForm(HWND owner) : owner_(owner) {
  HDC dc = GetDC(nullptr);
  dpi_ = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  Build("_NVKBaseCommonAboutForm");
}

T_NVKBaseCommonAboutForm::~T_NVKBaseCommonAboutForm() {
  if (form_ != nullptr && IsWindow(form_)) {
    SetWindowLongPtrW(form_, GWLP_USERDATA, 0);
    DestroyWindow(form_);
  }
  if (font_ != nullptr) DeleteObject(font_);
  if (boldFont_ != nullptr) DeleteObject(boldFont_);
}

int T_NVKBaseCommonAboutForm::Scale(int pixels) const { return MulDiv(pixels, dpi_, 96); }

void T_NVKBaseCommonAboutForm::Build(const std::string& componentName) {
  static bool registered = false;
  if (!registered) registered = RegisterWindowClass(kAboutClass, &T_NVKBaseCommonAboutForm::WindowProc, true);
  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
  RECT r{0, 0, Scale(kClientWidth), Scale(kClientHeight)};
  AdjustWindowRectEx(&r, style, FALSE, exStyle);
  int w = r.right - r.left, h = r.bottom - r.top;
  int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  form_ = CreateWindowExW(exStyle, kAboutClass, Wide(kAboutBaseCaption).c_str(), style, x, y, w, h,
                          owner_, nullptr, ThisModule(), this);
  RegisterForm(form_, componentName);

  font_ = CreateDialogFont(9, false);
  boldFont_ = CreateDialogFont(9, true);

  AddControl(kImgAppIcon, L"STATIC", SS_ICON, 12, 12, 48, 48, false, false);
  AddControl(kLblProductName, L"STATIC", SS_LEFT | SS_NOPREFIX, 72, 12, 250, 16, false, false);
  AddControl(kLblProductVersion, L"STATIC", SS_LEFT | SS_NOPREFIX, 72, 32, 250, 16, false, false);
  AddControl(kLblCompanyName, L"STATIC", SS_LEFT | SS_NOPREFIX, 72, 52, 250, 16, false, false);
  AddControl(kLblCopyright, L"STATIC", SS_LEFT | SS_NOPREFIX, 72, 72, 320, 16, false, false);
  AddControl(kMemAppendix, L"EDIT",
                         ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL | WS_VSCROLL |
                             WS_HSCROLL | WS_BORDER,
                         12, kMemoTop, 469, 103, true, true);
  AddControl(kBtnClose, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 334, 8, 147, 25, true, false);
  AddControl(kBtnJumpToProductSite, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 334, 40, 147, 25, true,
             false);
  AddControl(kBtnContactSite, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 334, 72, 147, 25, true, false);
  SendMessageW(Control(kLblProductName), WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_), FALSE);
  SetText(Control(kLblProductName), "ProductName");
  SetText(Control(kLblProductVersion), "Version");
  SetText(Control(kLblCompanyName), "CompanyName");
  SetText(Control(kLblCopyright), "Copyright");
  SetText(Control(kBtnClose), kAboutCloseCaption);
  SetText(Control(kBtnJumpToProductSite), kAboutProductSiteCaption);
  SetText(Control(kBtnContactSite), kAboutContactCaption);
  FormCreate();
}

HWND T_NVKBaseCommonAboutForm::AddControl(int id, const wchar_t* cls, DWORD style, int x, int y,
                                          int w, int h, bool anchorRight, bool anchorBottom) {
  HWND control = CreateWindowExW(0, cls, L"", WS_CHILD | WS_VISIBLE | style, Scale(x), Scale(y),
                                 Scale(w), Scale(h), form_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ThisModule(),
                                 nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  if ((anchorRight || anchorBottom) && anchorCount_ < static_cast<int>(std::size(anchors_))) {
    anchors_[anchorCount_++] = Anchor{id, anchorRight, anchorBottom,
                                      Scale(kClientWidth - x - w), Scale(kClientHeight - y - h)};
  }
  return control;
}

void T_NVKBaseCommonAboutForm::OnSize() {
  RECT client{};
  GetClientRect(form_, &client);
  for (int i = 0; i < anchorCount_; ++i) {
    const Anchor& a = anchors_[i];
    HWND control = Control(a.id);
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, form_, reinterpret_cast<POINT*>(&r), 2);
    int w = r.right - r.left, h = r.bottom - r.top;
    int x = r.left, y = r.top;
    if (a.right && a.bottom) {
      // Anchored on all four sides: the size follows the form.
      w = client.right - a.rightGap - x;
      h = client.bottom - a.bottomGap - y;
    } else if (a.right) {
      x = client.right - a.rightGap - w;
    }
    MoveWindow(control, x, y, w < 0 ? 0 : w, h < 0 ? 0 : h, TRUE);
  }
}

void T_NVKBaseCommonAboutForm::Show() {
  // WM_SHOWWINDOW runs FormShow.
  if (!IsWindowVisible(form_)) ShowWindow(form_, SW_SHOW);
}

void T_NVKBaseCommonAboutForm::FormCreate() {
  SetText(Control(kMemAppendix), "");
  EnableWindow(Control(kBtnJumpToProductSite), TRUE);
}

void T_NVKBaseCommonAboutForm::FormShow() {
  HWND memo = Control(kMemAppendix);
  if (GetWindowTextLengthW(memo) == 0) {
    RECT client{}, window{};
    GetClientRect(form_, &client);
    GetWindowRect(form_, &window);
    int frameHeight = (window.bottom - window.top) - client.bottom;
    SetWindowPos(form_, nullptr, 0, 0, window.right - window.left,
                 Scale(kMemoTop) - 1 + frameHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(memo, SW_HIDE);
  }
}

void T_NVKBaseCommonAboutForm::btnCloseClick() { ShowWindow(form_, SW_HIDE); }

void T_NVKBaseCommonAboutForm::btnJumpToProductSiteClick() { OpenSite(ProductSiteAddress()); }

void T_NVKBaseCommonAboutForm::btnContactSiteClick() { OpenSite(ContactSiteAddress()); }

void T_NVKBaseCommonAboutForm::OpenSite(const std::string& address) {
  ShellExecuteW(form_, nullptr, Wide(address).c_str(), nullptr, nullptr, SW_SHOW);
}

LRESULT CALLBACK T_NVKBaseCommonAboutForm::WindowProc(HWND window, UINT message, WPARAM wParam,
                                                      LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<T_NVKBaseCommonAboutForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr && self->form_ == window) {
    switch (message) {
      case WM_SIZE:
        self->OnSize();
        break;
      case WM_SHOWWINDOW:
        // Shown by its host (the form panel) or by Show.
        if (wParam && lParam == 0 && !IsWindowVisible(window)) self->FormShow();
        break;
      case WM_CLOSE:
        self->btnCloseClick();
        return 0;
      case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) {
          switch (LOWORD(wParam)) {
            case kBtnClose: self->btnCloseClick(); return 0;
            case kBtnJumpToProductSite:
            case kBtnJumpToProductSiteCx: self->btnJumpToProductSiteClick(); return 0;
            case kBtnContactSite:
            case kBtnContactSiteCx: self->btnContactSiteClick(); return 0;
            default: break;
          }
        }
        break;
      default:
        break;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

T_QuotawardenAboutForm::T_QuotawardenAboutForm(HWND owner) : T_NVKBaseCommonAboutForm(owner) {
  RegisterForm(form_, "_QuotawardenAboutForm");
  SetText(form_, "_QuotawardenAboutForm");
  // Sizeable border.
  LONG_PTR style = GetWindowLongPtrW(form_, GWL_STYLE);
  style = (style & ~static_cast<LONG_PTR>(DS_MODALFRAME)) | WS_THICKFRAME;
  SetWindowLongPtrW(form_, GWL_STYLE, style);
  LONG_PTR exStyle = GetWindowLongPtrW(form_, GWL_EXSTYLE) & ~static_cast<LONG_PTR>(WS_EX_DLGMODALFRAME);
  SetWindowLongPtrW(form_, GWL_EXSTYLE, exStyle);
  SetWindowPos(form_, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);

  ShowWindow(Control(kImgAppIcon), SW_HIDE);
  const int labels[] = {kLblProductName, kLblProductVersion, kLblCompanyName, kLblCopyright};
  const int tops[] = {12, 32, 52, 72};
  for (int i = 0; i < 4; ++i) {
    RECT r{};
    GetWindowRect(Control(labels[i]), &r);
    // The copyright line is below the buttons and may use the whole width.
    int width = labels[i] == kLblCopyright ? 470 : 310;
    MoveWindow(Control(labels[i]), Scale(12), Scale(tops[i]), Scale(width), r.bottom - r.top, FALSE);
  }
  SetText(Control(kLblProductName), kAboutProductName);
  SetText(Control(kLblProductVersion), kAboutProductVersion);
  SetText(Control(kLblCompanyName), kAboutCompanyName);
  SetText(Control(kLblCopyright), kAboutCopyright);
  ShowWindow(Control(kBtnClose), SW_HIDE);
  ShowWindow(Control(kBtnJumpToProductSite), SW_HIDE);
  ShowWindow(Control(kBtnContactSite), SW_HIDE);
  HWND jump = AddControl(kBtnJumpToProductSiteCx, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 334, 8, 147,
                         25, true, false);
  HWND contact = AddControl(kBtnContactSiteCx, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 334, 40, 147,
                            25, true, false);
  SetText(jump, kAboutProductSiteCaption);
  SetText(contact, kAboutContactCaption);
}

std::string T_QuotawardenAboutForm::ProductSiteAddress() const { return kAboutProductSiteAddress; }

std::string T_QuotawardenAboutForm::ContactSiteAddress() const { return kAboutContactAddress; }

}  // namespace qw

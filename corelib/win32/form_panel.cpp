#include "corelib/win32/form_panel.h"

#include "corelib/win32/win_text.h"
#include "platform/win32/win_loop.h"

namespace qw {

namespace {

constexpr wchar_t kPanelClass[] = L"QwFormPanel";
constexpr wchar_t kFormNameProp[] = L"QwFormComponentName";

void RegisterPanelClass(WNDPROC proc) {
  static bool registered = false;
  if (registered) return;
  registered = RegisterWindowClass(kPanelClass, proc, true);
}

// Component names of the registered forms; entries of windows that have gone
// are dropped at the next registration.
struct FormNames {
  std::vector<std::pair<HWND, std::string>> entries;
  void Prune() {
    for (size_t i = entries.size(); i-- > 0;) {
      if (!IsWindow(entries[i].first)) entries.erase(entries.begin() + static_cast<long>(i));
    }
  }
};

FormNames& Names() {
  static FormNames names;
  return names;
}

BOOL CALLBACK CollectThreadWindow(HWND window, LPARAM list) {
  auto* forms = reinterpret_cast<std::vector<HWND>*>(list);
  if (IsApplicationForm(window)) forms->push_back(window);
  return TRUE;
}

}  // namespace

void RegisterForm(HWND window, const std::string& componentName) {
  FormNames& names = Names();
  names.Prune();
  for (auto& entry : names.entries) {
    if (entry.first == window) {
      entry.second = componentName;
      return;
    }
  }
  names.entries.emplace_back(window, componentName);
  SetPropW(window, kFormNameProp, reinterpret_cast<HANDLE>(1));
}

std::string FormComponentName(HWND window) {
  if (!IsApplicationForm(window)) return std::string();
  for (const auto& entry : Names().entries) {
    if (entry.first == window) return entry.second;
  }
  return std::string();
}

bool IsApplicationForm(HWND window) {
  return window != nullptr && IsWindow(window) && GetPropW(window, kFormNameProp) != nullptr;
}

FormPanel::FormPanel(HWND parent, int id, const RECT& bounds, const PanelFrame& frame)
    : frame_(frame) {
  RegisterPanelClass(&FormPanel::WindowProc);
  DWORD exStyle = frame.SingleBorder ? WS_EX_CLIENTEDGE : 0;
  panel_ = CreateWindowExW(exStyle | WS_EX_CONTROLPARENT, kPanelClass, L"",
                           WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, bounds.left, bounds.top,
                           bounds.right - bounds.left, bounds.bottom - bounds.top, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ThisModule(), this);
}

FormPanel::~FormPanel() {
  if (panel_ != nullptr && IsWindow(panel_)) {
    SetForm(nullptr);
    SetWindowLongPtrW(panel_, GWLP_USERDATA, 0);
    DestroyWindow(panel_);
  }
}

HWND FormPanel::Form() const { return IsApplicationForm(form_) ? form_ : nullptr; }

void FormPanel::SetForm(HWND form) {
  // A plain cover over the panel while the forms change.
  RECT client{};
  GetClientRect(panel_, &client);
  HWND cover = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 0, 0, client.right,
                               client.bottom, panel_, nullptr, ThisModule(), nullptr);
  struct CoverGuard {
    HWND cover;
    ~CoverGuard() {
      if (cover != nullptr) DestroyWindow(cover);
    }
  } guard{cover};

  if (HWND current = Form()) Release(current);
  form_ = form;
  if (Form() == nullptr) {
    form_ = nullptr;
    formCaption_.clear();
    return;
  }
  Dock(form_);
  Layout();
  ShowWindow(form_, SW_SHOW);
  SetWindowPos(form_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void FormPanel::Release(HWND form) {
  ShowWindow(form, SW_HIDE);
  HWND owner = GetAncestor(panel_, GA_ROOT);
  // Take the menu back from the owner before the form becomes top-level again.
  if (saved_.Menu != nullptr && owner != nullptr) {
    if (menuLent_ && GetMenu(owner) == saved_.Menu) {
      SetMenu(owner, nullptr);
    } else if (HMENU ownerMenu = GetMenu(owner)) {
      for (HMENU popup : merged_) {
        for (int i = GetMenuItemCount(ownerMenu) - 1; i >= 0; --i) {
          if (GetSubMenu(ownerMenu, i) == popup) RemoveMenu(ownerMenu, static_cast<UINT>(i), MF_BYPOSITION);
        }
      }
      DrawMenuBar(owner);
    }
  }
  menuLent_ = false;
  merged_.clear();
  SetParent(form, saved_.Parent);
  SetWindowLongPtrW(form, GWL_STYLE, saved_.Style & ~static_cast<LONG_PTR>(WS_VISIBLE));
  SetWindowLongPtrW(form, GWL_EXSTYLE, saved_.ExStyle & ~static_cast<LONG_PTR>(WS_EX_TOPMOST));
  if (saved_.ExStyle & WS_EX_TOPMOST) {
    SetWindowPos(form, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  if (saved_.Menu != nullptr) SetMenu(form, saved_.Menu);
  SetWindowPos(form, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  saved_ = SavedState();
}

void FormPanel::Dock(HWND form) {
  saved_.Menu = GetMenu(form);
  saved_.Style = GetWindowLongPtrW(form, GWL_STYLE);
  saved_.ExStyle = GetWindowLongPtrW(form, GWL_EXSTYLE);
  saved_.Parent = GetAncestor(form, GA_PARENT);
  if (saved_.Parent == GetDesktopWindow()) saved_.Parent = nullptr;
  if (saved_.Menu != nullptr) SetMenu(form, nullptr);
  SetWindowLongPtrW(form, GWL_STYLE, WS_CHILD);
  SetWindowLongPtrW(form, GWL_EXSTYLE,
                    saved_.ExStyle & ~static_cast<LONG_PTR>(WS_EX_TOPMOST | WS_EX_DLGMODALFRAME |
                                                            WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE |
                                                            WS_EX_STATICEDGE | WS_EX_APPWINDOW));
  SetParent(form, panel_);
  SetWindowPos(form, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  HWND owner = GetAncestor(panel_, GA_ROOT);
  if (saved_.Menu != nullptr && owner != nullptr) {
    if (HMENU ownerMenu = GetMenu(owner)) {
      for (int i = 0, n = GetMenuItemCount(saved_.Menu); i < n; ++i) {
        HMENU popup = GetSubMenu(saved_.Menu, i);
        if (popup == nullptr) continue;
        wchar_t caption[256] = {};
        GetMenuStringW(saved_.Menu, static_cast<UINT>(i), caption, 255, MF_BYPOSITION);
        AppendMenuW(ownerMenu, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(popup), caption);
        merged_.push_back(popup);
      }
      DrawMenuBar(owner);
    } else {
      SetMenu(owner, saved_.Menu);
      menuLent_ = true;
    }
  }
}

void FormPanel::Layout() {
  HWND form = Form();
  if (form == nullptr) return;
  RECT client{};
  GetClientRect(panel_, &client);
  FormBounds b = HostedFormBounds(frame_, client.right - client.left, client.bottom - client.top);
  MoveWindow(form, b.Left, b.Top, b.Width, b.Height, TRUE);
}

std::vector<HWND> FormPanel::ApplicationForms() const {
  std::vector<HWND> forms;
  EnumThreadWindows(GetCurrentThreadId(), CollectThreadWindow, reinterpret_cast<LPARAM>(&forms));
  if (HWND hosted = Form()) forms.push_back(hosted);
  return forms;
}

void FormPanel::LookUp(bool byName, const std::string& text) {
  std::vector<HWND> forms = ApplicationForms();
  std::vector<std::string> texts;
  for (HWND f : forms) texts.push_back(byName ? FormComponentName(f) : GetText(f));
  std::optional<size_t> found = FindLastForm(texts, text);
  SetForm(found ? forms[*found] : nullptr);
  if (Form() == nullptr && loading_) resolvePending_ = true;
}

void FormPanel::SetFormName(const std::string& name) {
  formName_ = name;
  if (!name.empty()) formCaption_.clear();
  LookUp(true, name);
}

std::string FormPanel::FormName() const {
  HWND form = Form();
  return form != nullptr ? FormComponentName(form) : formName_;
}

void FormPanel::SetFormCaption(const std::string& caption) {
  formCaption_ = caption;
  LookUp(false, caption);
}

std::string FormPanel::FormCaption() const {
  HWND form = Form();
  return form != nullptr ? GetText(form) : formCaption_;
}

LRESULT CALLBACK FormPanel::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<FormPanel*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self != nullptr) {
    switch (message) {
      case WM_SIZE:
        self->Layout();
        break;
      case WM_PAINT:
        if (self->resolvePending_) {
          self->resolvePending_ = false;
          bool wasLoading = self->loading_;
          self->loading_ = false;
          if (!self->formCaption_.empty()) self->SetFormCaption(self->formCaption_);
          if (!self->formName_.empty()) self->SetFormName(self->formName_);
          self->loading_ = wasLoading;
        }
        break;
      default:
        break;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace qw

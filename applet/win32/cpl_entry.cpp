// The Control Panel export CPlApplet, the library's start-up and shutdown,
// and the applet module of this program.
#include <windows.h>
#include <cpl.h>
#include <commctrl.h>

#include <cstring>
#include <iterator>
#include <memory>

#include "applet/win32/cpl_drivewarden.h"
#include "applet/win32/dialog_util.h"
#include "applet/win32/resource.h"
#include "applet/win32/settings_dialog.h"
#include "corelib/exceptions.h"
#include "corelib/win32/win_text.h"
#include "platform/text_codec.h"

namespace qw {

namespace {

TAppletApplication* gApplication = nullptr;

constexpr const char* kUnknownError = "プログラムの実行中に未定義のエラーが発生しました。";

// The application's exception handling: the error's message in a message
// box, nothing for a silent abort.
void ShowException(const std::exception& e) {
  if (dynamic_cast<const SilentAbort*>(&e) != nullptr) return;
  if (gApplication != nullptr && gApplication->OnException) {
    gApplication->OnException(e);
    return;
  }
  std::string text = e.what();
  if (text.empty()) text = kUnknownError;
  ShowAppletMessage(text, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

std::wstring ModuleString(int id) {
  const wchar_t* text = nullptr;
  int n = LoadStringW(AppletInstance(), static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 && text != nullptr ? std::wstring(text, static_cast<size_t>(n)) : std::wstring();
}

// Copies `text` into a fixed field of `capacity` characters, zero-terminated,
// without splitting a surrogate pair.
void FillField(wchar_t* field, size_t capacity, const std::wstring& text) {
  std::u16string cut = CutUtf16(std::u16string(text.begin(), text.end()), capacity - 1);
  std::memcpy(field, cut.data(), cut.size() * sizeof(wchar_t));
  field[cut.size()] = L'\0';
}

class AppletError : public std::exception {
 public:
  explicit AppletError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

LONG Dispatch(TAppletApplication& app, HWND hwndCPl, UINT msg, LPARAM lParam1, LPARAM lParam2) {
  const auto& modules = app.Modules();
  if (lParam1 < 0 || static_cast<size_t>(lParam1) >= modules.size()) {
    // CPL_INIT, CPL_GETCOUNT, CPL_EXIT and CPL_SETUP carry no applet number.
    if (msg != CPL_INIT && msg != CPL_GETCOUNT && msg != CPL_EXIT && msg != CPL_SETUP) {
      throw AppletError("アプレット番号 " + std::to_string(static_cast<long long>(lParam1)) +
                        " はありません");
    }
  }
  TAppletModule* module =
      lParam1 >= 0 && static_cast<size_t>(lParam1) < modules.size() ? modules[static_cast<size_t>(lParam1)] : nullptr;
  app.ControlPanelHandle = hwndCPl;

  switch (msg) {
    case CPL_INIT: {
      INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_TAB_CLASSES | ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES};
      InitCommonControlsEx(&icc);
      bool success = true;
      if (app.OnInit) app.OnInit(success);
      return success ? 1 : 0;
    }
    case CPL_GETCOUNT: {
      int count = static_cast<int>(modules.size());
      if (app.OnCount) app.OnCount(count);
      return count;
    }
    case CPL_INQUIRE: {
      auto* info = reinterpret_cast<CPLINFO*>(lParam2);
      info->idIcon = module->ResidIcon();
      info->idName = module->ResidName();
      info->idInfo = module->ResidInfo();
      info->lData = static_cast<LONG_PTR>(module->Data);
      if (module->OnInquire) module->OnInquire(*module);
      return 0;
    }
    case CPL_SELECT:
      return 0;
    case CPL_DBLCLK:
      if (module->OnActivate) module->OnActivate(*module, static_cast<long long>(lParam2));
      return 0;
    case CPL_STOP:
      if (module->OnStop) module->OnStop(*module, static_cast<long long>(lParam2));
      return 0;
    case CPL_EXIT:
      if (app.OnExit) app.OnExit();
      return 0;
    case CPL_NEWINQUIRE: {
      // The Unicode record: its size tells the Control Panel which one it got.
      auto* info = reinterpret_cast<NEWCPLINFOW*>(lParam2);
      info->dwSize = sizeof(NEWCPLINFOW);
      info->lData = static_cast<LONG_PTR>(module->Data);
      info->hIcon = module->ResidIcon() != 0
                        ? LoadIconW(AppletInstance(), MAKEINTRESOURCEW(module->ResidIcon()))
                        : static_cast<HICON>(module->AppletIcon());
      if (module->OnNewInquire) module->OnNewInquire(*module);
      FillField(info->szName, std::size(info->szName),
                module->ResidName() != 0 ? ModuleString(module->ResidName()) : Wide(module->Caption()));
      FillField(info->szInfo, std::size(info->szInfo),
                module->ResidInfo() != 0 ? ModuleString(module->ResidInfo()) : Wide(module->Help()));
      return 0;
    }
    case CPL_STARTWPARMSA: {
      // Text of the system code page; the handler gets Shift-JIS. The
      // Unicode message (CPL_STARTWPARMSW) is left unanswered (0), so that a
      // shell sending it opens the item with CPL_DBLCLK.
      std::string text;
      if (lParam2 != 0) {
        const char* ansi = reinterpret_cast<const char*>(lParam2);
        int n = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
        std::wstring wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
        MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide.data(), n);
        text = Narrow(wide.c_str());
      }
      if (module->OnStartWParms) module->OnStartWParms(*module, text);
      return 1;
    }
    case CPL_SETUP:
      if (app.OnSetup) app.OnSetup();
      return 0;
    default:
      return 0;
  }
}

}  // namespace

TAppletApplication* AppletApplication() { return gApplication; }

void HandleAppletException(const std::exception& e) { ShowException(e); }

void HandleUnknownAppletException() { ShowException(AppletError(kUnknownError)); }

T_cplDrivewarden::T_cplDrivewarden(TAppletApplication& application)
    : TAppletModule(application, "_cplDrivewarden") {
  SetCaption(kAppletName);
  SetHelp(kAppletHelp);
  SetResidIcon(0);
  SetResidName(0);
  SetResidInfo(0);
  Data = 0;
  OnActivate = [this](TAppletModule& sender, long long data) { AppletModuleActivate(sender, data); };
}

T_cplDrivewarden::~T_cplDrivewarden() {
  if (appletIcon_ != nullptr) DestroyIcon(static_cast<HICON>(appletIcon_));
}

void* T_cplDrivewarden::AppletIcon() {
  if (appletIcon_ == nullptr) {
    appletIcon_ = LoadImageW(AppletInstance(), MAKEINTRESOURCEW(IDI_APPLET), IMAGE_ICON, 32, 32,
                             LR_DEFAULTCOLOR);
  }
  return appletIcon_;
}

void T_cplDrivewarden::AppletModuleActivate(TAppletModule&, long long) {
  // A new dialog, with freshly loaded settings, for each opening; freed also
  // when the showing ends by an error.
  auto dialog = std::make_unique<T_frmDrivewarden>(static_cast<HWND>(Application().ControlPanelHandle));
  dialog->ShowModal();
}

}  // namespace qw

extern "C" __declspec(dllexport) LONG APIENTRY CPlApplet(HWND hwndCPl, UINT msg, LPARAM lParam1,
                                                         LPARAM lParam2) {
  using namespace qw;
  if (gApplication == nullptr) return 1;
  try {
    return Dispatch(*gApplication, hwndCPl, msg, lParam1, lParam2);
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
    ShowException(AppletError(kUnknownError));
  }
  return 1;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  using namespace qw;
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      CreateExceptionProvider();
      gApplication = new TAppletApplication();
      gApplication->Initialize();
      new T_cplDrivewarden(*gApplication);  // registers itself
      gApplication->Run();
      break;
    case DLL_PROCESS_DETACH:
      // At process exit (reserved != null) other threads are gone and the
      // windows with them: leave the memory to the system.
      if (reserved == nullptr) {
        delete gApplication;  // frees the modules
        gApplication = nullptr;
        FreeExceptionProvider();
      }
      break;
    default:
      break;
  }
  return TRUE;
}

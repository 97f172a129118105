// Loads QuotawardenCtrlPanel.cpl, checks its Control Panel protocol and drives
// its dialogs through window messages, as a person would through the mouse
// and keyboard. Runs under Wine (with a display).
//
//   applet_harness.exe CPL check           protocol and the full dialog scenario
//   applet_harness.exe CPL screens DIR     writes BMP pictures of the pages and
//                                          the threshold and address dialogs
//   applet_harness.exe CPL testmail PORT SILENTPORT [DIR]
//                                          the test mail against a server on
//                                          PORT and a silent one (cancelled);
//                                          with DIR, a picture of the outcome
//   applet_harness.exe CPL webhooks PORT SILENTPORT [DIR]
//                                          the page 通知先: a target added,
//                                          masked, tested against a receiver
//                                          on PORT, saved; a second one tested
//                                          against a silent one (cancelled)
//   applet_harness.exe CPL volumes [DIR]  the ボリューム page (with DIR, its picture)
//   applet_harness.exe - watch             waits for the settings dialog of
//                                          another process (opened by the
//                                          Control Panel), checks it and
//                                          closes it with its Cancel button
//
// Prints one line per check ("ok ..." or "FAIL ...") and exits 1 when a check
// failed.
#include <windows.h>
#include <commctrl.h>
#include <cpl.h>
#include <shlobj.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "applet/history_chart.h"
#include "applet/status_model.h"
#include "applet/status_panel_layout.h"
#include "applet/win32/history_chart_view.h"
#include "applet/win32/resource.h"
#include "common/check_state.h"
#include "common/volume_history.h"
#include "corelib/win32/form_panel.h"

namespace {

using CplFunc = LONG(APIENTRY*)(HWND, UINT, LPARAM, LPARAM);

CplFunc gCpl = nullptr;
DWORD gUiThread = 0;
int gFailures = 0;
int gChecks = 0;

// Source literals are Shift-JIS at run time.
std::wstring W(const std::string& sjis) {
  if (sjis.empty()) return {};
  int n = MultiByteToWideChar(932, 0, sjis.data(), static_cast<int>(sjis.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(932, 0, sjis.data(), static_cast<int>(sjis.size()), out.data(), n);
  return out;
}

std::string U8(const std::wstring& wide) {
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

void Check(bool ok, const std::string& what, const std::wstring& detail = L"") {
  ++gChecks;
  if (!ok) ++gFailures;
  std::printf("%s %s", ok ? "ok" : "FAIL", what.c_str());
  if (!detail.empty()) std::printf(" [%s]", U8(detail).c_str());
  std::printf("\n");
  std::fflush(stdout);
}

// --- windows of the UI thread ----------------------------------------------

std::wstring Text(HWND window) {
  wchar_t buffer[4096] = {};
  SendMessageW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

struct FindTop {
  std::wstring caption;
  HWND found = nullptr;
};

BOOL CALLBACK FindTopProc(HWND window, LPARAM param) {
  auto* f = reinterpret_cast<FindTop*>(param);
  if (IsWindowVisible(window) && ClassOf(window) == L"#32770") {
    wchar_t caption[512] = {};
    GetWindowTextW(window, caption, 512);
    if (f->caption == caption) {
      f->found = window;
      return FALSE;
    }
  }
  return TRUE;
}

// Top-level dialogs of the UI thread, or of every process when there is no
// UI thread of our own (watch mode).
HWND FindDialog(const std::wstring& caption) {
  FindTop f{caption};
  if (gUiThread != 0) {
    EnumThreadWindows(gUiThread, FindTopProc, reinterpret_cast<LPARAM>(&f));
  } else {
    EnumWindows(FindTopProc, reinterpret_cast<LPARAM>(&f));
  }
  return f.found;
}

HWND WaitDialog(const std::wstring& caption, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (HWND w = FindDialog(caption)) {
      Sleep(100);  // let it finish its initialisation
      return w;
    }
    Sleep(50);
  }
  return nullptr;
}

bool WaitGone(HWND window, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (!IsWindow(window) || !IsWindowVisible(window)) return true;
    Sleep(50);
  }
  return false;
}

struct FindChild {
  int id;
  HWND found = nullptr;
};

BOOL CALLBACK FindChildProc(HWND window, LPARAM param) {
  auto* f = reinterpret_cast<FindChild*>(param);
  if (GetDlgCtrlID(window) == f->id) {
    f->found = window;
    return FALSE;
  }
  return TRUE;
}

// A control of a dialog or of one of its pages.
HWND Item(HWND dialog, int id) {
  FindChild f{id};
  EnumChildWindows(dialog, FindChildProc, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

// The text of a message box (its static text control).
BOOL CALLBACK BoxTextProc(HWND window, LPARAM param) {
  auto* text = reinterpret_cast<std::wstring*>(param);
  if (ClassOf(window) == L"Static") {
    std::wstring t = Text(window);
    if (!t.empty()) {
      *text = t;
      return FALSE;
    }
  }
  return TRUE;
}

std::wstring BoxText(HWND box) {
  std::wstring text;
  EnumChildWindows(box, BoxTextProc, reinterpret_cast<LPARAM>(&text));
  return text;
}

// Clicks a button: its parent receives the click notification.
void Click(HWND control) {
  PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), BN_CLICKED),
               reinterpret_cast<LPARAM>(control));
}

void SetTextOf(HWND control, const std::wstring& text) {
  SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

// Types one character into a control (the key filter sees it).
void Type(HWND control, wchar_t c) { SendMessageW(control, WM_CHAR, c, 1); }

std::vector<std::wstring> Lines(HWND list) {
  std::vector<std::wstring> lines;
  int n = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    wchar_t buffer[1024] = {};
    SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
    lines.push_back(buffer);
  }
  return lines;
}

void SelectLine(HWND list, int index) {
  SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
  SendMessageW(GetParent(list), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list), LBN_SELCHANGE),
               reinterpret_cast<LPARAM>(list));
}

// Chooses line `index` of a drop-down list as a click does: the selection,
// then the notification to its parent.
void Choose(HWND combo, int index) {
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
}

int Chosen(HWND combo) { return static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0)); }

bool Checked(HWND box) { return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED; }

void ShowPage(HWND dialog, int index) {
  HWND tab = Item(dialog, IDC_PAGECONTROL);
  SendMessageW(tab, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
  NMHDR hdr{tab, IDC_PAGECONTROL, static_cast<UINT>(TCN_SELCHANGE)};
  SendMessageW(dialog, WM_NOTIFY, IDC_PAGECONTROL, reinterpret_cast<LPARAM>(&hdr));
  Sleep(100);
}

int ActivePage(HWND dialog) {
  return static_cast<int>(SendMessageW(Item(dialog, IDC_PAGECONTROL), TCM_GETCURSEL, 0, 0));
}

std::wstring Describe(HWND window) {
  if (window == nullptr) return L"(none)";
  return ClassOf(window) + L" #" + std::to_wstring(GetDlgCtrlID(window)) + L" " + Text(window);
}

HWND FocusOfUi() {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  GetGUIThreadInfo(gUiThread, &info);
  return info.hwndFocus;
}

// Opens the pop-up menu of a list (as a right click does) and reports whether
// the item `id` is enabled; the menu is then closed with Escape.
int PopupItemState(HWND list, UINT id) {
  RECT r{};
  GetWindowRect(list, &r);
  PostMessageW(GetParent(list), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list),
               MAKELPARAM(r.left + 10, r.top + 10));
  HWND menuWindow = nullptr;
  for (int waited = 0; waited < 5000 && menuWindow == nullptr; waited += 50) {
    Sleep(50);
    EnumThreadWindows(
        gUiThread,
        [](HWND w, LPARAM p) -> BOOL {
          if (IsWindowVisible(w) && ClassOf(w) == L"#32768") {
            *reinterpret_cast<HWND*>(p) = w;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&menuWindow));
  }
  if (menuWindow == nullptr) return -1;
  HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
  UINT state = menu != nullptr ? GetMenuState(menu, id, MF_BYCOMMAND) : 0xFFFFFFFF;
  PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
  WaitGone(menuWindow, 3000);
  Sleep(100);
  if (state == 0xFFFFFFFF) return -1;
  return (state & (MF_GRAYED | MF_DISABLED)) != 0 ? 0 : 1;
}

const std::wstring& BoxCaption() {
  static const std::wstring caption = W("ドライブ番人");
  return caption;
}

// Waits for a message box of the applet, checks its text and presses `button`.
bool Answer(const std::string& what, const std::string& expected, int button) {
  HWND box = WaitDialog(BoxCaption());
  if (box == nullptr) {
    Check(false, what + ": message box shown");
    return false;
  }
  std::wstring text = BoxText(box);
  Check(text == W(expected), what + ": message text", text);
  HWND b = GetDlgItem(box, button);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(b));
  bool gone = WaitGone(box);
  if (!gone) Check(false, what + ": message box closed");
  Sleep(100);
  return gone;
}

bool NoMessageBox() { return FindDialog(BoxCaption()) == nullptr; }

// Runs `body` on a second thread while the UI thread is inside `call`.
void WhileInside(const std::function<void()>& call, const std::function<void()>& body) {
  std::thread driver(body);
  call();
  driver.join();
}

std::string WindowsDirFile(const char* name) {
  char dir[MAX_PATH] = {};
  GetWindowsDirectoryA(dir, MAX_PATH);
  return std::string(dir) + "\\" + name;
}

std::string ReadKey(const char* section, const char* key) {
  char value[2048] = {};
  GetPrivateProfileStringA(section, key, "<missing>", value, sizeof(value), "Drivewarden.ini");
  return value;
}

std::string ReadFileText(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

// --- the form panel -------------------------------------------------------------

HWND NewForm(const wchar_t* caption, DWORD exStyle, HMENU menu) {
  HWND form = CreateWindowExW(exStyle, L"STATIC", caption, WS_POPUP | WS_CAPTION | WS_SYSMENU, 100,
                              100, 300, 200, nullptr, menu, nullptr, nullptr);
  return form;
}

HMENU NewMainMenu(const wchar_t* popupCaption) {
  HMENU bar = CreateMenu();
  HMENU popup = CreatePopupMenu();
  AppendMenuW(popup, MF_STRING, 9001, L"Item");
  AppendMenuW(bar, MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(popup), popupCaption);
  return bar;
}

void CheckFormPanel() {
  using qw::FormPanel;
  HWND owner = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 500, 400,
                               nullptr, nullptr, nullptr, nullptr);
  RECT bounds{10, 10, 310, 210};
  auto panel = std::make_unique<FormPanel>(owner, 500, bounds);
  HMENU menu = NewMainMenu(L"File");
  HWND form = NewForm(L"Form one", 0, menu);
  qw::RegisterForm(form, "_formOne");
  LONG_PTR style = GetWindowLongPtrW(form, GWL_STYLE);

  panel->SetForm(form);
  RECT client{}, formRect{};
  GetClientRect(panel->Handle(), &client);
  GetWindowRect(form, &formRect);
  Check(panel->Form() == form && GetParent(form) == panel->Handle(), "the panel hosts the form as its child");
  Check((GetWindowLongPtrW(form, GWL_STYLE) & ~static_cast<LONG_PTR>(WS_VISIBLE | WS_CLIPSIBLINGS)) == WS_CHILD &&
            IsWindowVisible(form) != FALSE,
        "a hosted form has exactly the child style and is shown");
  Check(formRect.right - formRect.left == client.right && formRect.bottom - formRect.top == client.bottom,
        "a hosted form fills the panel");
  Check(GetMenu(form) == nullptr && GetMenu(owner) == menu, "the form's menu is lent to the owner without one");
  MoveWindow(panel->Handle(), 10, 10, 400, 300, TRUE);
  GetWindowRect(form, &formRect);
  Check(formRect.right - formRect.left == 400 && formRect.bottom - formRect.top == 300,
        "a hosted form follows the panel's size");
  Check(panel->FormName() == "_formOne" && panel->FormCaption() == "Form one",
        "name and caption read from the hosted form");

  panel->SetForm(nullptr);
  Check(panel->Form() == nullptr && GetParent(form) == nullptr && GetMenu(form) == menu &&
            GetMenu(owner) == nullptr,
        "releasing gives the form back its parent and menu, and the owner loses the menu");
  Check((GetWindowLongPtrW(form, GWL_STYLE) & ~static_cast<LONG_PTR>(WS_VISIBLE)) == (style & ~static_cast<LONG_PTR>(WS_VISIBLE)) &&
            !IsWindowVisible(form),
        "releasing gives the form back its style, hidden");

  // An owner with a menu of its own: the form's pop-ups are merged and removed.
  HMENU ownerMenu = NewMainMenu(L"Owner");
  SetMenu(owner, ownerMenu);
  panel->SetForm(form);
  Check(GetMenuItemCount(ownerMenu) == 2 && GetMenu(owner) == ownerMenu, "the form's menu merges into the owner's");
  panel->SetForm(nullptr);
  Check(GetMenuItemCount(ownerMenu) == 1 && GetMenu(form) == menu, "releasing unmerges it");

  // A stay-on-top form is normal after having been hosted.
  HWND topmost = NewForm(L"Top", WS_EX_TOPMOST, nullptr);
  qw::RegisterForm(topmost, "_top");
  panel->SetForm(topmost);
  panel->SetForm(nullptr);
  Check((GetWindowLongPtrW(topmost, GWL_EXSTYLE) & WS_EX_TOPMOST) == 0, "a stay-on-top form comes back normal");

  // Lookups by name and caption.
  panel->SetFormName("_formOne");
  Check(panel->Form() == form, "setting FormName hosts the form of that name");
  panel->SetFormCaption("Top");
  Check(panel->Form() == topmost && GetParent(form) == nullptr, "setting FormCaption hosts that form, releasing the other");
  panel->SetFormName("_noSuchForm");
  Check(panel->Form() == nullptr && panel->FormName() == "_noSuchForm" && panel->FormCaption().empty(),
        "a failed lookup releases the form, keeps the name and clears the caption");

  // A hosted form destroyed elsewhere reads as none and is left alone.
  panel->SetForm(form);
  DestroyWindow(form);
  Check(panel->Form() == nullptr, "a destroyed hosted form reads as none");
  panel->SetForm(topmost);
  Check(panel->Form() == topmost, "another form can be hosted after that");
  panel.reset();
  Check(IsWindow(topmost) && GetParent(topmost) == nullptr, "destroying the panel hands the form back");
  DestroyWindow(topmost);
  DestroyWindow(owner);
}

// --- the protocol -------------------------------------------------------------

void CheckProtocol(HWND cplWindow) {
  Check(gCpl(cplWindow, CPL_INIT, 0, 0) == 1, "CPL_INIT answers 1");
  Check(gCpl(cplWindow, CPL_GETCOUNT, 0, 0) == 1, "CPL_GETCOUNT answers 1");

  CPLINFO info{-1, -1, -1, -1};
  LONG r = gCpl(cplWindow, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info));
  Check(r == 0 && info.idIcon == 0 && info.idName == 0 && info.idInfo == 0 && info.lData == 0,
        "CPL_INQUIRE answers zero identifiers and data");

  NEWCPLINFOW ni{};
  r = gCpl(cplWindow, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&ni));
  Check(r == 0 && ni.dwSize == sizeof(NEWCPLINFOW), "CPL_NEWINQUIRE fills the Unicode record");
  Check(std::wstring(ni.szName) == W("ドライブ番人"), "CPL_NEWINQUIRE name", ni.szName);
  Check(std::wstring(ni.szInfo) == W("定期的にハードディスクの空き領域をチェックします。"),
        "CPL_NEWINQUIRE description", ni.szInfo);
  ICONINFO ii{};
  bool iconOk = ni.hIcon != nullptr && GetIconInfo(ni.hIcon, &ii);
  BITMAP bm{};
  if (iconOk) {
    GetObjectW(ii.hbmColor != nullptr ? ii.hbmColor : ii.hbmMask, sizeof(bm), &bm);
    if (ii.hbmColor) DeleteObject(ii.hbmColor);
    if (ii.hbmMask) DeleteObject(ii.hbmMask);
  }
  Check(iconOk && bm.bmWidth == 32, "CPL_NEWINQUIRE icon is a 32x32 icon");

  // CPL_STARTWPARMS: 1, and no dialog. The Unicode variant is not answered
  // (0): a shell that sends it then opens the item with CPL_DBLCLK.
  bool dialogSeen = false;
  LONG started = -1;
  WhileInside([&] { started = gCpl(cplWindow, CPL_STARTWPARMSA, 0, reinterpret_cast<LPARAM>("/x")); },
              [&] {
                HWND d = WaitDialog(W("NORVIKA ドライブ番人"), 1500);
                if (d != nullptr) {
                  dialogSeen = true;
                  Click(Item(d, IDC_BTN_CANCEL));
                }
              });
  Check(started == 1 && !dialogSeen, "CPL_STARTWPARMS answers 1 without opening the dialog");
  Check(gCpl(cplWindow, CPL_STARTWPARMSW, 0, reinterpret_cast<LPARAM>(L"/x")) == 0 && NoMessageBox(),
        "CPL_STARTWPARMSW is left to the Control Panel (0)");

  // An applet number without a module: the error is shown and the call answers 1.
  LONG bad = 0;
  WhileInside([&] { bad = gCpl(cplWindow, CPL_INQUIRE, 3, reinterpret_cast<LPARAM>(&info)); },
              [&] { Answer("unknown applet number", "アプレット番号 3 はありません", IDOK); });
  Check(bad == 1, "an unknown applet number answers 1");
  Check(gCpl(cplWindow, CPL_SELECT, 0, 0) == 0, "CPL_SELECT answers 0");
  Check(gCpl(cplWindow, 12345, 0, 0) == 0, "an unknown message answers 0");
}

// --- the dialog scenario ------------------------------------------------------

// Below, with the state file helpers it shares with the screenshots.
void DriveStatusPage(HWND d);

void DriveOAuthPage(HWND d);

void DriveDialog() {
  HWND d = WaitDialog(W("NORVIKA ドライブ番人"));
  Check(d != nullptr, "the settings dialog opens");
  if (d == nullptr) return;
  HWND apply = Item(d, IDC_BTN_APPLY);
  HWND limits = Item(d, IDC_LSB_LIMITLIST);
  Check(!IsWindowEnabled(apply), "Apply is disabled when the dialog opens");
  Check(ActivePage(d) == 0, "the warning page is active when the dialog opens");
  Check(Text(Item(d, IDC_EDT_INTERVAL)) == L"24", "no settings file: interval 24",
        Text(Item(d, IDC_EDT_INTERVAL)));
  Check(Text(Item(d, IDC_EDT_PORT)) == L"25", "no settings file: port 25");
  Check(Text(Item(d, IDC_EDT_REMIND)) == L"0", "no settings file: reminder 0 (every check)",
        Text(Item(d, IDC_EDT_REMIND)));
  Check(SendMessageW(Item(d, IDC_CKB_RECOVERYMAIL), BM_GETCHECK, 0, 0) == BST_UNCHECKED,
        "no settings file: no recovery notice");
  std::vector<std::wstring> lines = Lines(limits);
  Check(!lines.empty() && lines[0] == L"C:   ", "the threshold list shows C: without a threshold",
        lines.empty() ? L"" : lines[0]);
  Check(!IsWindowEnabled(Item(d, IDC_BTN_LIMIT)), "the threshold button is disabled without a selection");

  // Threshold dialog: refusals, then 500 MB for C.
  SelectLine(limits, 0);
  Check(IsWindowEnabled(Item(d, IDC_BTN_LIMIT)) != FALSE, "the threshold button follows the selection");
  Click(Item(d, IDC_BTN_LIMIT));
  HWND lim = WaitDialog(W("空き領域しきい値設定"));
  Check(lim != nullptr, "the threshold dialog opens");
  if (lim == nullptr) return;
  HWND number = Item(lim, IDC_EDT_LIMIT);
  HWND unit = Item(lim, IDC_CBX_UNIT);
  Check(Text(Item(lim, IDC_LBL_DRIVE)) == W("対象ドライブ: C ドライブ"), "threshold dialog drive label",
        Text(Item(lim, IDC_LBL_DRIVE)));
  Check(Text(number).empty() && SendMessageW(unit, CB_GETCURSEL, 0, 0) == 1,
        "an empty threshold shows an empty box with %");
  Check(FocusOfUi() == number, "the focus is in the number box");
  Type(number, L'x');
  Check(Text(number).empty(), "the number box takes digits only");
  for (wchar_t c : std::wstring(L"1234567")) Type(number, c);
  Check(Text(number) == L"123456", "the number box takes at most six digits", Text(number));
  SetTextOf(number, L"100");
  Click(Item(lim, IDOK));
  Answer("100 %", "0 ～ 99 % の範囲を指定してください。", IDOK);
  Check(IsWindowVisible(lim) != FALSE, "a percentage above 99 keeps the dialog open");
  SetTextOf(number, L"");
  SendMessageW(unit, CB_SETCURSEL, 0, 0);
  Click(Item(lim, IDOK));
  Answer("empty MB", "空き領域しきい値を入力してください。", IDOK);
  Sleep(200);
  Check(FocusOfUi() == number, "after a refusal the focus is back in the number box", Describe(FocusOfUi()));
  SetTextOf(number, L"500");
  Click(Item(lim, IDOK));
  Check(WaitGone(lim), "OK closes the threshold dialog");
  Check(Lines(limits)[0] == L"C:   500MB", "the threshold list shows C:   500MB", Lines(limits)[0]);
  Check(IsWindowEnabled(apply) != FALSE, "a new threshold enables Apply");

  // Mail page: key filters, addresses.
  ShowPage(d, 1);
  Check(ActivePage(d) == 1, "the mail page can be chosen");
  HWND smtp = Item(d, IDC_EDT_SMTP);
  for (wchar_t c : std::wstring(L"a b,\x3042")) Type(smtp, c);
  Check(Text(smtp) == L"ab", "the server box drops a space, a comma and a Japanese character", Text(smtp));
  SetTextOf(smtp, L"");
  Check(IsWindowEnabled(apply) != FALSE, "Apply still enabled (threshold changed)");

  Click(Item(d, IDC_BTN_ADDTO));
  HWND addr = WaitDialog(W("To に追加 - メールアドレスを入力してください。"));
  Check(addr != nullptr, "the To address dialog opens with its caption");
  if (addr == nullptr) return;
  HWND box = Item(addr, IDC_EDT_MAILADDRESS);
  for (wchar_t c : std::wstring(L"a d\x3042min@example.com")) Type(box, c);
  Check(Text(box) == L"admin@example.com", "the address box drops a space and a Japanese character",
        Text(box));
  Click(Item(addr, IDC_MAIL_BTN_OK));
  Check(WaitGone(addr), "a valid address closes the dialog");
  Check(Lines(Item(d, IDC_LBX_TOLIST)) == std::vector<std::wstring>{L"admin@example.com"},
        "the To list holds the address");

  Click(Item(d, IDC_BTN_ADDTO));
  addr = WaitDialog(W("To に追加 - メールアドレスを入力してください。"));
  box = Item(addr, IDC_EDT_MAILADDRESS);
  Check(Text(box).empty(), "the address dialog opens again with an empty box");
  SetTextOf(box, L"ADMIN@example.com");
  Click(Item(addr, IDC_MAIL_BTN_OK));
  Answer("duplicate To", "すでに登録されています。", IDOK);
  Check(IsWindowVisible(addr) != FALSE && Text(box) == L"ADMIN@example.com",
        "a duplicate keeps the dialog open with the text");
  SetTextOf(box, L"x@y");
  PostMessageW(box, WM_CHAR, VK_RETURN, 1);
  Answer("Enter with a bad address", "入力されたメールアドレスが不正です。正しく入力してください。", IDOK);
  Check(IsWindowVisible(addr) != FALSE, "a bad address keeps the dialog open");
  Sleep(200);
  Check(FocusOfUi() == box, "after a bad address the focus is back in the box", Describe(FocusOfUi()));
  Click(Item(addr, IDC_MAIL_BTN_CANCEL));
  Check(WaitGone(addr), "Cancel closes the address dialog");
  Check(Lines(Item(d, IDC_LBX_TOLIST)).size() == 1, "nothing more was added to To");

  Click(Item(d, IDC_BTN_ADDCC));
  addr = WaitDialog(W("Cc に追加 - メールアドレスを入力してください。"));
  Check(addr != nullptr, "the Cc address dialog opens with its caption");
  if (addr == nullptr) return;
  box = Item(addr, IDC_EDT_MAILADDRESS);
  SetTextOf(box, L"ops@example.com");
  PostMessageW(box, WM_CHAR, VK_RETURN, 1);
  Check(WaitGone(addr), "Enter with a valid address adds it and closes the dialog");
  Check(Lines(Item(d, IDC_LBX_CCLIST)) == std::vector<std::wstring>{L"ops@example.com"},
        "the Cc list holds the address");

  // The Cc pop-up's delete item follows the selection, as the To one does.
  HWND ccList = Item(d, IDC_LBX_CCLIST);
  SelectLine(ccList, 0);
  Check(PopupItemState(ccList, IDM_DELCC) == 1, "the Cc pop-up's delete item is enabled with a selection");
  SelectLine(ccList, -1);
  Check(PopupItemState(ccList, IDM_DELCC) == 0, "the Cc pop-up's delete item is disabled without one");
  Check(PopupItemState(ccList, IDM_ADDCC) == 1, "the Cc pop-up's add item is always enabled");

  // Delete the To address: the delete button follows the selection.
  HWND toList = Item(d, IDC_LBX_TOLIST);
  Check(!IsWindowEnabled(Item(d, IDC_BTN_DELETETO)), "To delete is disabled without a selection");
  SelectLine(toList, 0);
  Check(IsWindowEnabled(Item(d, IDC_BTN_DELETETO)) != FALSE, "To delete follows the selection");
  Click(Item(d, IDC_BTN_DELETETO));
  Sleep(200);
  Check(Lines(toList).empty() && !IsWindowEnabled(Item(d, IDC_BTN_DELETETO)),
        "the To address is deleted and delete disables itself");

  // Mail on with an empty To list: OK is refused, mail page active.
  ShowPage(d, 0);
  HWND mailSend = Item(d, IDC_CKB_ISMAILSEND);
  SendMessageW(mailSend, BM_SETCHECK, BST_CHECKED, 0);
  Click(mailSend);
  Sleep(100);
  Click(Item(d, IDOK));
  Answer("OK with mail on and no To", "メールによる空き領域の警告通知をする場合は、\rメール設定を行ってください。",
         IDOK);
  Check(IsWindowVisible(d) != FALSE, "the refused OK leaves the dialog open");
  Check(ActivePage(d) == 1, "the refused OK shows the mail page");
  Check(FocusOfUi() == smtp, "the focus goes to the blank server box");
  Check(ReadKey("WARNING", "INTERVAL") == "<missing>", "nothing was written by the refused OK");

  // Fill in; bad names are reported when their box is left, an empty one is not.
  HWND from = Item(d, IDC_EDT_FROM);
  HWND port = Item(d, IDC_EDT_PORT);
  SetTextOf(from, L"");
  SendMessageW(d, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(from), TRUE);
  SendMessageW(d, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(port), TRUE);
  Sleep(300);
  Check(NoMessageBox() && FocusOfUi() == port, "leaving an empty sender box raises no message");
  SetTextOf(from, L"warden@example");
  SendMessageW(d, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(from), TRUE);
  SendMessageW(d, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(port), TRUE);
  Answer("leaving a bad sender", "入力されたメールアドレスが不正です。正しく入力してください。", IDOK);
  Sleep(200);
  Check(FocusOfUi() == from, "the focus returns to the sender box", Describe(FocusOfUi()));
  SetTextOf(from, L"warden@example.com");
  SetTextOf(smtp, L"mail..example.com");
  SendMessageW(d, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(smtp), TRUE);
  SendMessageW(d, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(port), TRUE);
  Answer("leaving a bad server name", "SMTP サーバ名が不正です。正しく入力してください。", IDOK);
  Sleep(200);
  Check(FocusOfUi() == smtp, "the focus returns to the server box", Describe(FocusOfUi()));
  SetTextOf(smtp, L"mail.example.com");
  SendMessageW(d, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(port), TRUE);
  Sleep(300);
  Check(NoMessageBox(), "a valid server name passes");
  Click(Item(d, IDC_BTN_ADDTO));
  addr = WaitDialog(W("To に追加 - メールアドレスを入力してください。"));
  if (addr == nullptr) return;
  SetTextOf(Item(addr, IDC_EDT_MAILADDRESS), L"admin@example.com");
  Click(Item(addr, IDC_MAIL_BTN_OK));
  WaitGone(addr);

  // Encryption and login: the usual port follows the choice, a typed port
  // stays; a user name without a password is refused.
  HWND security = Item(d, IDC_CBX_SECURITY);
  HWND user = Item(d, IDC_EDT_USER);
  HWND password = Item(d, IDC_EDT_PASSWORD);
  HWND verify = Item(d, IDC_CKB_TLSVERIFY);
  Check(security != nullptr && user != nullptr && password != nullptr && verify != nullptr,
        "the mail page has the encryption, user, password and certificate controls");
  if (security == nullptr || user == nullptr || password == nullptr || verify == nullptr) return;
  Check(SendMessageW(security, CB_GETCOUNT, 0, 0) == 3 && Chosen(security) == 0,
        "the encryption box offers three choices and opens at none");
  wchar_t choice[64] = {};
  SendMessageW(security, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(choice));
  Check(std::wstring(choice) == L"SSL/TLS", "the third choice is SSL/TLS", choice);
  Check(Checked(verify), "the certificate check is on by default");
  Check((GetWindowLongW(password, GWL_STYLE) & ES_PASSWORD) != 0, "the password box is masked");
  Choose(security, 1);
  Check(Text(port) == L"587", "STARTTLS suggests port 587", Text(port));
  Choose(security, 2);
  Check(Text(port) == L"465", "SSL/TLS suggests port 465", Text(port));
  SetTextOf(port, L"2525");
  Choose(security, 1);
  Check(Text(port) == L"2525", "a typed port stays when the encryption changes", Text(port));
  SetTextOf(port, L"25");
  Choose(security, 1);
  Check(Text(port) == L"587", "port 25 follows STARTTLS", Text(port));
  SetTextOf(user, L"alerts@example.com");
  Click(apply);
  Answer("user without password", "ユーザー名を入力した場合は、パスワードも入力してください。", IDOK);
  Sleep(200);
  Check(FocusOfUi() == password, "the focus goes to the password box", Describe(FocusOfUi()));
  SetTextOf(password, L"s3cret pw");

  // A settings file that cannot be written: the error is shown, nothing is
  // asked, Apply stays enabled. (A folder in the file's place.)
  std::string ini = WindowsDirFile("Drivewarden.ini");
  std::string kept = ini + ".kept";
  MoveFileA(ini.c_str(), kept.c_str());
  CreateDirectoryA(ini.c_str(), nullptr);
  Click(apply);
  HWND failBox = WaitDialog(BoxCaption());
  std::wstring failText = failBox != nullptr ? BoxText(failBox) : L"";
  Check(failText.rfind(W("Drivewarden.ini に書き込めません"), 0) == 0,
        "a failed write shows the write error", failText);
  if (failBox != nullptr) {
    // Plain error (OK) when elevated; the offer to reopen elevated (Yes/No) otherwise.
    int button = GetDlgItem(failBox, IDNO) != nullptr ? IDNO : IDOK;
    PostMessageW(failBox, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(failBox, button)));
    WaitGone(failBox);
  }
  Sleep(300);
  Check(NoMessageBox() && IsWindowEnabled(apply) != FALSE && IsWindowVisible(d) != FALSE,
        "after a failed write no question is asked and Apply stays enabled");
  RemoveDirectoryA(ini.c_str());
  MoveFileA(kept.c_str(), ini.c_str());

  // The reminder box: a value that is no whole number of 0 or more is
  // refused on the warning page; then 12 hours and the recovery notice.
  HWND remind = Item(d, IDC_EDT_REMIND);
  SetTextOf(remind, L"");
  Click(apply);
  Answer("empty reminder", "'' は 0 以上の整数ではありません", IDOK);
  Check(ActivePage(d) == 0, "the refused reminder shows the warning page");
  Check(FocusOfUi() == remind, "the focus goes to the reminder box", Describe(FocusOfUi()));
  SetTextOf(remind, L"12");
  SendMessageW(Item(d, IDC_CKB_RECOVERYMAIL), BM_SETCHECK, BST_CHECKED, 0);
  Click(Item(d, IDC_CKB_RECOVERYMAIL));
  Sleep(100);

  // Apply, answering No to the restart question.
  Check(IsWindowEnabled(apply) != FALSE, "Apply is enabled before saving");
  Click(apply);
  Answer("restart question", "設定内容を反映させ、ドライブ番人サービスを再起動しますか？", IDNO);
  Sleep(200);
  Check(!IsWindowEnabled(apply), "Apply is disabled after the save",
        Text(Item(d, IDC_EDT_INTERVAL)) + L"|" + Text(Item(d, IDC_EDT_PORT)) + L"|" + Text(smtp) + L"|" +
            Text(from));
  Check(IsWindowVisible(d) != FALSE && NoMessageBox(), "the dialog stays open after Apply");
  Check(ReadKey("WARNING", "INTERVAL") == "24", "INTERVAL written");
  Check(ReadKey("WARNING", "ISMAILSEND") == "1", "ISMAILSEND written");
  Check(ReadKey("DRIVE", "C") == "500MB", "DRIVE C written");
  Check(ReadKey("DRIVE", "Q") == "7%", "a drive that is not fixed keeps its key");
  Check(ReadKey("MAIL", "SMTP") == "mail.example.com", "SMTP written");
  Check(ReadKey("MAIL", "PORT") == "587", "PORT written");
  Check(ReadKey("MAIL", "MAILFROM") == "warden@example.com", "MAILFROM written");
  Check(ReadKey("MAIL", "MAILTO") == "admin@example.com", "MAILTO written");
  Check(ReadKey("MAIL", "MAILCC") == "ops@example.com", "MAILCC written");
  Check(ReadKey("MAIL", "SECURITY") == "STARTTLS", "SECURITY written");
  Check(ReadKey("MAIL", "USER") == "alerts@example.com", "USER written");
  std::string stored = ReadKey("MAIL", "PASSWORD");
  Check(stored.rfind("dpapi:", 0) == 0 && stored.size() > 40 && stored.find("s3cret") == std::string::npos,
        "PASSWORD written protected", std::wstring(stored.begin(), stored.end()));
  Check(ReadKey("MAIL", "TLSVERIFY") == "1", "TLSVERIFY written");
  Check(ReadKey("WARNING", "REMIND") == "12", "REMIND written");
  Check(ReadKey("WARNING", "RECOVERYMAIL") == "1", "RECOVERYMAIL written");
  std::string file = ReadFileText(WindowsDirFile("Drivewarden.ini"));
  size_t w = file.find("[WARNING]"), m = file.find("[MAIL]");
  size_t k1 = file.find("SMTP="), k2 = file.find("PORT="), k3 = file.find("MAILFROM="),
         k4 = file.find("MAILTO="), k5 = file.find("MAILCC=");
  Check(w != std::string::npos && m != std::string::npos && w < m && k1 < k2 && k2 < k3 &&
            k3 < k4 && k4 < k5 && m < k1,
        "sections and keys appear in the order written");

  // Version page: the about form is hosted.
  ShowPage(d, 2);
  HWND product = nullptr;
  {
    struct Find {
      std::wstring text;
      HWND found = nullptr;
    } f{W("NORVIKA ドライブ番人")};
    EnumChildWindows(
        d,
        [](HWND c, LPARAM p) -> BOOL {
          auto* f = reinterpret_cast<Find*>(p);
          if (Text(c) == f->text && ClassOf(c) == L"Static") {
            f->found = c;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&f));
    product = f.found;
  }
  Check(product != nullptr && IsWindowVisible(product) != FALSE,
        "the version page shows the product name of the about form");
  ShowPage(d, 0);
  ShowPage(d, 2);
  Check(product != nullptr && IsWindowVisible(product) != FALSE, "the version page shows it again");

  DriveOAuthPage(d);
  DriveStatusPage(d);

  // Cancel: closes without a question.
  Click(Item(d, IDC_BTN_CANCEL));
  Check(WaitGone(d), "Cancel closes the dialog");
  Check(NoMessageBox(), "Cancel asks no question");
}

// The second opening reads the file anew.
void DriveSecondOpening() {
  HWND d = WaitDialog(W("NORVIKA ドライブ番人"));
  Check(d != nullptr, "the dialog opens a second time");
  if (d == nullptr) return;
  Check(Lines(Item(d, IDC_LSB_LIMITLIST))[0] == L"C:   500MB", "the second opening shows the saved threshold");
  Check(SendMessageW(Item(d, IDC_CKB_ISMAILSEND), BM_GETCHECK, 0, 0) == BST_CHECKED,
        "the second opening shows mail switched on");
  Check(Lines(Item(d, IDC_LBX_TOLIST)) == std::vector<std::wstring>{L"admin@example.com"},
        "the second opening shows the To list");
  Check(Chosen(Item(d, IDC_CBX_SECURITY)) == 1, "the second opening shows STARTTLS");
  Check(Text(Item(d, IDC_EDT_USER)) == L"alerts@example.com", "the second opening shows the user name");
  Check(Text(Item(d, IDC_EDT_PASSWORD)) == L"s3cret pw",
        "the second opening reads the protected password back into its box");
  Check(Checked(Item(d, IDC_CKB_TLSVERIFY)), "the second opening shows the certificate check on");
  Check(!IsWindowEnabled(Item(d, IDC_BTN_APPLY)), "Apply is disabled at the second opening");
  // OK without a change closes without writing or asking.
  Click(Item(d, IDOK));
  Check(WaitGone(d), "OK without a change closes the dialog");
  Check(NoMessageBox(), "OK without a change asks no question");
}

// A clear password typed into the file by hand is shown, and the next save
// writes it protected.
void DriveHandTypedPassword() {
  HWND d = WaitDialog(W("NORVIKA ドライブ番人"));
  Check(d != nullptr, "the dialog opens a third time");
  if (d == nullptr) return;
  Check(Text(Item(d, IDC_EDT_PASSWORD)) == L"typed by hand", "a clear password in the file is shown as it is",
        Text(Item(d, IDC_EDT_PASSWORD)));
  SetTextOf(Item(d, IDC_EDT_INTERVAL), L"25");
  Click(Item(d, IDC_BTN_APPLY));
  Answer("restart question after the hand-typed password",
         "設定内容を反映させ、ドライブ番人サービスを再起動しますか？", IDNO);
  std::string stored = ReadKey("MAIL", "PASSWORD");
  Check(stored.rfind("dpapi:", 0) == 0 && stored.find("typed") == std::string::npos,
        "the next save writes the hand-typed password protected");
  Click(Item(d, IDC_BTN_CANCEL));
  Check(WaitGone(d), "Cancel closes the dialog");
}

// --- the status page -------------------------------------------------------

// %ProgramData%\Quotawarden\status.ini of this prefix, where the service
// keeps its last check's state.
std::wstring StateFilePath() {
  wchar_t data[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"";
  std::wstring folder = std::wstring(data) + L"\\Quotawarden";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder + L"\\status.ini";
}

bool WriteStateFile(const std::string& text) {
  std::wstring path = StateFilePath();
  if (path.empty()) return false;
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

// Two drives, D: below its threshold; the last mail went out.
const char kTwoDriveState[] =
    "[CHECK]\r\nLOCAL=2026-12-09 21:04:05\r\nUTC=2026-12-09T12:04:05Z\r\nOUTCOME=warning\r\n"
    "[MAIL]\r\nATTEMPTED=1\r\nDELIVERED=1\r\nREPLY=250 2.0.0 Ok: queued as 1A2B\r\n"
    "LASTDELIVERYLOCAL=2026-12-09 21:04:06\r\nLASTDELIVERYUTC=2026-12-09T12:04:06Z\r\n"
    "[DRIVE.C]\r\nFREE=80530636800\r\nCAPACITY=107374182400\r\nTHRESHOLD=20GB\r\n"
    "THRESHOLDBYTES=21474836480\r\nBELOW=0\r\n"
    "[DRIVE.D]\r\nFREE=5368709120\r\nCAPACITY=214748364800\r\nTHRESHOLD=10%\r\n"
    "THRESHOLDBYTES=21474836480\r\nBELOW=1\r\n";

bool Contains(const std::wstring& text, const std::string& sjis) {
  return text.find(W(sjis)) != std::wstring::npos;
}

void PressRefresh(HWND d) {
  Click(Item(d, IDC_BTN_STATUS_REFRESH));
  Sleep(300);
}

// --- the status page's charts ------------------------------------------------

constexpr int64_t kGiB = int64_t{1} << 30;

// A state with a history: C: filling steadily (its forecast reaches the
// threshold within the month), D: below its threshold, a mount-point volume
// with a flat history, two webhook targets (one waiting for its retry), a
// mail waiting for two recipients and a failing heartbeat (long lines).
qw::CheckState ChartState() {
  qw::CheckState state;
  state.checkedLocal = "2026-12-09 21:04:05";
  state.checkedUtc = "2026-12-09T12:04:05Z";
  state.outcome = "warning";
  qw::DriveState c;
  c.letter = 'C';
  c.freeBytes = 60 * kGiB;
  c.capacity = 100 * kGiB;
  c.thresholdText = "20GB";
  c.thresholdBytes = 20 * kGiB;
  qw::DriveState d = c;
  d.letter = 'D';
  d.freeBytes = 5 * kGiB;
  d.capacity = 200 * kGiB;
  d.thresholdText = "10%";
  d.below = true;
  state.drives = {c, d};
  qw::VolumeState log;
  log.path = "C:\\SQLData\\Log";
  log.label = "SQLLOG";
  log.freeBytes = 30 * kGiB;
  log.capacity = 50 * kGiB;
  log.thresholdText = "10%";
  log.thresholdBytes = 5 * kGiB;
  state.volumes = {log};
  state.mailAttempted = true;
  state.mailReply = "451 4.3.0 Temporary lookup failure, please try again later";
  state.lastDeliveryLocal = "2026-12-08 09:00:01";
  state.pending = true;
  state.pendingComposedLocal = "2026-12-09 21:04:05";
  state.pendingComposedUtc = "2026-12-09T12:04:05Z";
  state.pendingAttempts = 2;
  state.pendingShort = "D";
  state.pendingReport = "x";
  state.pendingRecipients = "storage-admin@example.co.jp, backup-operator@example.co.jp";
  state.heartbeatLocal = "2026-12-09 21:04:06";
  state.heartbeatUtc = "2026-12-09T12:04:06Z";
  state.heartbeatFailUrl = true;
  state.heartbeatDetail = "HTTP 503 Service Unavailable";
  state.heartbeatSuccessLocal = "2026-12-08 21:04:06";
  state.heartbeatSuccessUtc = "2026-12-08T12:04:06Z";
  qw::ChannelState teams;
  teams.name = "WEBHOOK1";
  teams.attempted = teams.delivered = true;
  teams.reply = "HTTP 202";
  teams.lastDeliveryLocal = "2026-12-09 21:04:06";
  teams.lastDeliveryUtc = "2026-12-09T12:04:06Z";
  qw::ChannelState slack = teams;
  slack.name = "WEBHOOK2";
  slack.delivered = false;
  slack.reply = "HTTP 500 internal_error";
  slack.lastDeliveryLocal = "2026-12-01 08:00:00";
  slack.lastDeliveryUtc = "2026-11-30T23:00:00Z";
  slack.pending = true;
  slack.pendingComposedLocal = "2026-12-09 21:04:05";
  slack.pendingComposedUtc = "2026-12-09T12:04:05Z";
  slack.pendingAttempts = 3;
  slack.pendingShort = "D";
  slack.pendingReport = "x";
  state.channels = {teams, slack};
  return state;
}

// Hourly samples for 40 days up to the check (the history thins them as
// the service's does).
qw::VolumeHistory ChartHistory(int64_t now) {
  qw::VolumeHistory history;
  for (int64_t t = now - 40 * 86400; t <= now; t += 3600) {
    const double days = static_cast<double>(now - t) / 86400;
    const double wobble = 0.3 * std::sin(days * 6.283);
    history.Add("C:", t, static_cast<int64_t>((60 + 1.5 * days + wobble) * kGiB), 100 * kGiB);
    history.Add("D:", t, static_cast<int64_t>((5 + 0.8 * days) * kGiB), 200 * kGiB);
    history.Add("C:\\SQLData\\Log", t, static_cast<int64_t>((30 + wobble) * kGiB), 50 * kGiB);
  }
  return history;
}

bool WriteHistoryFile(const std::string& text) {
  std::wstring path = StateFilePath();
  if (path.empty()) return false;
  path = path.substr(0, path.rfind(L'\\')) + L"\\history.txt";
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

void DeleteHistoryFile() {
  std::wstring path = StateFilePath();
  DeleteFileW((path.substr(0, path.rfind(L'\\')) + L"\\history.txt").c_str());
}

// Writes the chart state and its history; false when either failed.
bool WriteChartFiles() {
  int64_t now = 0;
  qw::UtcStampSeconds(ChartState().checkedUtc, &now);
  return WriteStateFile(qw::FormatCheckState(ChartState())) && WriteHistoryFile(ChartHistory(now).Format());
}

// The model of what the page should show for the chart files, read back
// from the texts written as the applet reads them.
qw::StatusPageView ChartView() {
  qw::CheckState state;
  qw::ParseCheckState(qw::FormatCheckState(ChartState()), &state);
  int64_t now = 0;
  qw::UtcStampSeconds(state.checkedUtc, &now);
  qw::Result<qw::VolumeHistory> history = qw::VolumeHistory::Parse(ChartHistory(now).Format());
  return qw::BuildStatusPage(qw::StateLoad::Loaded, state, "", history ? &*history : nullptr,
                             history ? qw::StateLoad::Loaded : qw::StateLoad::Damaged);
}

bool Near(COLORREF got, COLORREF want) {
  return std::abs(GetRValue(got) - GetRValue(want)) <= 24 && std::abs(GetGValue(got) - GetGValue(want)) <= 24 &&
         std::abs(GetBValue(got) - GetBValue(want)) <= 24;
}

// Whether the screen shows `colour` within `reach` pixels of the panel's
// client point (x, y).
bool ColourAround(HWND panel, int x, int y, int reach, COLORREF colour) {
  POINT origin{0, 0};
  ClientToScreen(panel, &origin);
  HDC screen = GetDC(nullptr);
  bool found = false;
  for (int dy = -reach; dy <= reach && !found; ++dy)
    for (int dx = -reach; dx <= reach && !found; ++dx)
      found = Near(GetPixel(screen, origin.x + x + dx, origin.y + y + dy), colour);
  ReleaseDC(nullptr, screen);
  return found;
}

// Whether the panel, as the screen shows it, holds dark (text) pixels: a
// panel left unpainted at some scroll position shows none.
bool PanelShowsText(HWND panel) {
  RECT client{};
  GetClientRect(panel, &client);
  POINT origin{0, 0};
  ClientToScreen(panel, &origin);
  const int w = client.right, h = client.bottom;
  if (w <= 0 || h <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(mem, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, origin.x, origin.y, SRCCOPY);
  GdiFlush();
  int dark = 0;
  const auto* pixels = static_cast<const unsigned char*>(bits);
  for (int i = 0; pixels != nullptr && i < w * h; ++i)
    if (pixels[4 * i] < 64 && pixels[4 * i + 1] < 64 && pixels[4 * i + 2] < 64) ++dark;
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return dark > 20;
}

// Whether the text of a static control fits its box at its width (wrapped
// where it may wrap).
bool TextFits(HWND control, std::wstring* detail) {
  const std::wstring text = Text(control);
  RECT client{};
  GetClientRect(control, &client);
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  RECT need{0, 0, client.right, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &need, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  *detail = text + L" needs " + std::to_wstring(need.right) + L"x" + std::to_wstring(need.bottom) + L", has " +
            std::to_wstring(client.right) + L"x" + std::to_wstring(client.bottom);
  return need.bottom <= client.bottom && need.right <= client.right;
}

int TextWidth(HDC dc, const std::string& sjis) {
  const std::wstring text = W(sjis);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  return size.cx;
}

// The state with a history on the page: every text fits, the rows of the
// volumes and the targets are there, and the first chart's lines are drawn
// in their colours where the model puts them.
void CheckChartPage(HWND d) {
  Check(WriteChartFiles(), "the test writes a state with a history, a mount point and two webhook targets");
  PressRefresh(d);
  const qw::StatusPageView view = ChartView();
  HWND panel = Item(d, IDC_PNL_STATUS_DRIVES);
  const std::wstring rows = Text(panel);
  Check(Contains(rows, "C:\\SQLData\\Log (SQLLOG) 30.0 GB 空き / 50.0 GB (60%)") &&
            Contains(rows, "WEBHOOK1: 届けました (HTTP 202)") &&
            Contains(rows, "WEBHOOK2: 届けられませんでした (HTTP 500 internal_error)\r\n"
                           "　最後に届けた日時: 2026-12-01 08:00:00\r\n"
                           "　再送待ち: 警告 (作成 2026-12-09 21:04:05、3 回失敗)") &&
            Contains(rows, "予測: "),
        "the panel lists the volume by its path, the forecast and both webhook targets", rows);
  for (int id : {IDC_LBL_STATUS_CHECKED, IDC_LBL_STATUS_OUTCOME, IDC_LBL_STATUS_MAIL, IDC_LBL_STATUS_LASTDELIVERY,
                 IDC_LBL_STATUS_PENDING, IDC_LBL_STATUS_HEARTBEAT}) {
    std::wstring detail;
    Check(TextFits(Item(d, id), &detail), "the status text fits its box", detail);
  }

  RECT client{};
  GetClientRect(panel, &client);
  HDC dc = GetDC(panel);
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(panel, WM_GETFONT, 0, 0));
  const int line = qw::StatusPanelLineHeight(dc, font);
  const qw::StatusPanelLayout layout = qw::LayOutStatusPanel(view, client.right, line);
  HGDIOBJ old = SelectObject(dc, font);
  for (size_t i = 0; i < view.drives.size(); ++i) {
    const qw::StatusDriveRow& row = view.drives[i];
    const int free = TextWidth(dc, row.label + "  " + row.freeText);
    const int threshold = TextWidth(dc, row.thresholdText);
    const int forecast = TextWidth(dc, row.forecastText);
    Check(free <= client.right && threshold <= client.right - layout.barWidth - 8 && forecast <= client.right,
          "the lines of " + row.label + " fit the panel",
          std::to_wstring(free) + L"/" + std::to_wstring(threshold) + L"/" + std::to_wstring(forecast) + L" of " +
              std::to_wstring(client.right));
  }
  SelectObject(dc, old);
  ReleaseDC(panel, dc);

  Check(view.drives.size() == 3 && view.drives[0].forecast.has_value() && !view.drives[1].forecast,
        "the model forecasts C: and not D: (below)");
  if (view.drives.empty() || !view.drives[0].forecast) return;
  const qw::StatusPanelBlock& b = layout.blocks[0];
  Check(b.plotTop + b.plotHeight + line <= client.bottom, "the first chart is whole in the panel");
  const qw::HistoryChart chart =
      qw::BuildHistoryChart(view.drives[0].history, view.drives[0].thresholdBytes, view.drives[0].forecast,
                            view.checkedUtcSeconds, view.offsetMinutes, b.plotWidth, b.plotHeight);
  Sleep(300);
  auto at = [&](const qw::ChartPoint& p) {
    return POINT{b.plotLeft + std::clamp(static_cast<int>(std::lround(p.x)), 0, b.plotWidth - 1),
                 b.plotTop + std::clamp(static_cast<int>(std::lround(p.y)), 0, b.plotHeight - 1)};
  };
  int freeTried = 0, freeSeen = 0;
  for (size_t i = 0; i < chart.freeLine.size(); i += chart.freeLine.size() / 8 + 1, ++freeTried) {
    const POINT p = at(chart.freeLine[i]);
    if (ColourAround(panel, p.x, p.y, 1, qw::kChartFreeColour)) ++freeSeen;
  }
  Check(freeTried >= 8 && freeSeen == freeTried, "the free space line is drawn through the model's points",
        std::to_wstring(freeSeen) + L" of " + std::to_wstring(freeTried));
  const POINT t = at({b.plotWidth * 0.1, *chart.thresholdY});
  Check(ColourAround(panel, t.x, t.y, 1, qw::kChartThresholdColour), "the threshold line lies at the model's height");
  // The dash runs from the last sample to the threshold: a dash within a
  // few pixels of its middle, and of its end on the threshold line.
  const qw::ChartPoint& from = chart.forecastDash[0];
  const qw::ChartPoint& to = chart.forecastDash[1];
  const POINT mid = at({(from.x + to.x) / 2, (from.y + to.y) / 2});
  const POINT end = at(to);
  Check(ColourAround(panel, mid.x, mid.y, 4, qw::kChartForecastColour) &&
            ColourAround(panel, end.x, end.y, 4, qw::kChartForecastColour),
        "the forecast's dashes run on to the threshold");
  Check(!ColourAround(panel, b.plotLeft + 4, b.plotTop + 4, 1, qw::kChartFreeColour) &&
            !ColourAround(panel, b.plotLeft + 4, b.plotTop + 4, 1, qw::kChartForecastColour),
        "the plot's empty corner holds no line");
  // A page down at a time to the end: every position is painted.
  std::wstring blank;
  int pages = 0;
  for (int last = -1; GetScrollPos(panel, SB_VERT) != last && pages < 20; ++pages) {
    last = GetScrollPos(panel, SB_VERT);
    SendMessageW(panel, WM_VSCROLL, SB_PAGEDOWN, 0);
    Sleep(400);
    if (!PanelShowsText(panel)) blank += std::to_wstring(GetScrollPos(panel, SB_VERT)) + L" ";
  }
  Check(pages >= 3 && blank.empty(), "the panel scrolls page by page to its end, painted at every page",
        L"pages " + std::to_wstring(pages) + L", blank at " + blank);
  SendMessageW(panel, WM_VSCROLL, SB_TOP, 0);

  // A damaged history: the page says so, shows the rows without charts, and
  // opens no box.
  Check(WriteHistoryFile("quotawarden-history 1\nvolume C:\n12 x 3\n"), "the test damages the history file");
  PressRefresh(d);
  const std::wstring damaged = Text(panel);
  Check(Contains(damaged, "履歴ファイルを読めません") && Contains(damaged, "C: 60.0 GB 空き") &&
            !Contains(damaged, "予測: "),
        "a damaged history is said on the page, the rows stay", damaged);
  Check(NoMessageBox(), "a damaged history is no error box");
}

// The status page: the notice without a state, the rows with one, the notice
// again for a damaged file, never a message box.
void DriveStatusPage(HWND d) {
  DeleteFileW(StateFilePath().c_str());
  HWND tab = Item(d, IDC_PAGECONTROL);
  wchar_t caption[64] = {};
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = caption;
  item.cchTextMax = 64;
  SendMessageW(tab, TCM_GETITEMW, 3, reinterpret_cast<LPARAM>(&item));
  Check(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0) == 8 && std::wstring(caption) == W("状態"),
        "the fourth page is 状態", caption);
  SendMessageW(tab, TCM_GETITEMW, 4, reinterpret_cast<LPARAM>(&item));
  Check(std::wstring(caption) == W("監視連携"), "the fifth page is 監視連携", caption);
  SendMessageW(tab, TCM_GETITEMW, 5, reinterpret_cast<LPARAM>(&item));
  Check(std::wstring(caption) == L"OAuth 2.0", "the sixth page is OAuth 2.0", caption);
  ShowPage(d, 3);
  HWND notice = Item(d, IDC_LBL_STATUS_NOTICE);
  HWND rows = Item(d, IDC_PNL_STATUS_DRIVES);
  Check(IsWindowVisible(notice) != FALSE && Contains(Text(notice), "net start Drivewarden") &&
            IsWindowVisible(rows) == FALSE,
        "without a state the page says so and how to start the service", Text(notice));
  Check(NoMessageBox(), "no state is no error box");

  Check(WriteStateFile(kTwoDriveState), "the test writes a state with two drives");
  PressRefresh(d);
  if (Contains(Text(notice), "この版のコントロール パネルは状態ファイルを読めません")) {
    // A build without the state file's reader (its text parser is not in the tree).
    std::printf("skip the state rows: this build of the applet has no reader of the state file\n");
  } else {
    std::wstring drives = Text(rows);
    Check(IsWindowVisible(rows) != FALSE && IsWindowVisible(notice) == FALSE,
          "the refresh button reads the state and shows the rows", drives);
    Check(Contains(Text(Item(d, IDC_LBL_STATUS_CHECKED)), "2026-12-09 21:04:05"),
          "the page shows when the check ran", Text(Item(d, IDC_LBL_STATUS_CHECKED)));
    Check(Contains(Text(Item(d, IDC_LBL_STATUS_OUTCOME)), "警告"), "the page shows the outcome",
          Text(Item(d, IDC_LBL_STATUS_OUTCOME)));
    size_t dLine = drives.find(L"D:");
    Check(Contains(drives, "C: 75.0 GB 空き / 100.0 GB (75%)") && dLine != std::wstring::npos &&
              drives.find(W("しきい値未満"), dLine) != std::wstring::npos &&
              drives.find(W("しきい値未満")) > drives.find(L"C:") && drives.find(W("しきい値未満")) > dLine,
          "one row per drive, only D: below its threshold", drives);
    Check(Contains(Text(Item(d, IDC_LBL_STATUS_MAIL)), "送信しました (250 2.0.0 Ok: queued as 1A2B)") &&
              Contains(Text(Item(d, IDC_LBL_STATUS_LASTDELIVERY)), "2026-12-09 21:04:06"),
          "the page shows the last mail and the last delivery", Text(Item(d, IDC_LBL_STATUS_MAIL)));
    HWND pending = Item(d, IDC_LBL_STATUS_PENDING);
    Check(IsWindowVisible(pending) == FALSE, "no mail waits: no retry line");
    Check(WriteStateFile(std::string(kTwoDriveState) +
                         "[PENDINGALERT]\r\nKIND=alert\r\nCOMPOSEDLOCAL=2026-12-09 21:04:05\r\n"
                         "COMPOSEDUTC=2026-12-09T12:04:05Z\r\nATTEMPTS=2\r\nSHORT=D\r\nREPORT=x\r\n"),
          "the test writes a state with a mail waiting for its retry");
    PressRefresh(d);
    Check(IsWindowVisible(pending) != FALSE && Contains(Text(pending), "再送待ち: 警告メール (作成 2026-12-09 21:04:05、2 回失敗)"),
          "the page shows the mail waiting for its retry", Text(pending));
    CheckChartPage(d);
    DeleteHistoryFile();
  }

  Check(WriteStateFile("\x01\x02 not a state\r\n"), "the test damages the state file");
  PressRefresh(d);
  Check(IsWindowVisible(notice) != FALSE && IsWindowVisible(rows) == FALSE &&
            Contains(Text(notice), "net start Drivewarden"),
        "a damaged state is shown as no state", Text(notice));
  Check(NoMessageBox(), "a damaged state is no error box");
  DeleteFileW(StateFilePath().c_str());
}

// The OAuth 2.0 login: the boxes follow the login and credential chosen, a
// save without a credential is refused at the credential's box, the picker
// says when the store holds nothing; then back to the password, unsaved.
void DriveOAuthPage(HWND d) {
  ShowPage(d, 1);
  HWND auth = Item(d, IDC_CBX_AUTH);
  HWND password = Item(d, IDC_EDT_PASSWORD);
  HWND tenant = Item(d, IDC_EDT_TENANT);
  HWND credential = Item(d, IDC_CBX_CREDENTIAL);
  HWND secret = Item(d, IDC_EDT_CLIENTSECRET);
  HWND cert = Item(d, IDC_EDT_CLIENTCERT);
  HWND pick = Item(d, IDC_BTN_CLIENTCERT);
  HWND apply = Item(d, IDC_BTN_APPLY);
  Check(auth != nullptr && tenant != nullptr && credential != nullptr && secret != nullptr && cert != nullptr &&
            pick != nullptr,
        "the login box and the OAuth 2.0 page's boxes are there");
  if (auth == nullptr || tenant == nullptr || credential == nullptr || secret == nullptr || cert == nullptr ||
      pick == nullptr)
    return;
  const bool applyBefore = IsWindowEnabled(apply) != FALSE;
  Check(SendMessageW(auth, CB_GETCOUNT, 0, 0) == 2 && Chosen(auth) == 0,
        "the login box offers two choices and shows the password login of a file without AUTH");
  Check(IsWindowEnabled(password) != FALSE && !IsWindowEnabled(tenant),
        "with the password login the password box is on and the OAuth 2.0 boxes off");
  Choose(auth, 1);
  Check(!IsWindowEnabled(password) && IsWindowEnabled(tenant) != FALSE, "OAuth 2.0 turns the boxes around");
  Check(Chosen(credential) == 0 && IsWindowEnabled(secret) != FALSE && !IsWindowEnabled(cert),
        "the client secret is the credential at first; the certificate box is off");
  Check((GetWindowLongW(secret, GWL_STYLE) & ES_PASSWORD) != 0, "the client secret box is masked");
  Choose(credential, 1);
  Check(!IsWindowEnabled(secret) && IsWindowEnabled(cert) != FALSE && IsWindowEnabled(pick) != FALSE,
        "the certificate chosen: its box and 選択… are on, the secret's off");
  SetTextOf(tenant, L"contoso.onmicrosoft.com");
  SetTextOf(Item(d, IDC_EDT_CLIENTID), L"6731de76-14a6-49ae-97bc-6eba6914391e");
  Check(IsWindowEnabled(apply) != FALSE, "the login's change enables Apply");

  // No certificate given: refused, at the certificate's box.
  Click(apply);
  HWND box = WaitDialog(BoxCaption());
  const std::wstring said = box != nullptr ? BoxText(box) : L"";
  Check(Contains(said, "AUTH=OAUTH2") && Contains(said, "CLIENTCERT"), "a login without a credential is refused",
        said);
  if (box != nullptr) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    WaitGone(box);
  }
  Sleep(200);
  Check(ActivePage(d) == 5 && FocusOfUi() == cert, "the refusal shows the certificate's box",
        Describe(FocusOfUi()));

  // The picker over the prefix's personal store, which holds no certificate.
  Click(pick);
  box = WaitDialog(BoxCaption());
  const std::wstring empty = box != nullptr ? BoxText(box) : L"";
  Check(Contains(empty, "個人ストアに証明書がありません"), "the picker says the store is empty", empty);
  if (box != nullptr) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    WaitGone(box);
  }

  // Back as it was: Apply as before.
  SetTextOf(tenant, L"");
  SetTextOf(Item(d, IDC_EDT_CLIENTID), L"");
  Choose(credential, 0);
  Choose(auth, 0);
  Check((IsWindowEnabled(apply) != FALSE) == applyBefore, "undone, Apply is as it was");
  Check(NoMessageBox(), "no message box is left open");
}

// --- screenshots ------------------------------------------------------------------

bool SaveBmp(HWND window, const std::wstring& path) {
  SetForegroundWindow(window);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  Sleep(700);
  RECT r{};
  GetWindowRect(window, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);
  BITMAPINFOHEADER bi{};
  bi.biSize = sizeof(bi);
  bi.biWidth = w;
  bi.biHeight = h;
  bi.biPlanes = 1;
  bi.biBitCount = 24;
  bi.biCompression = BI_RGB;
  int stride = ((w * 3) + 3) & ~3;
  std::vector<unsigned char> pixels(static_cast<size_t>(stride) * static_cast<size_t>(h));
  GetDIBits(mem, bmp, 0, static_cast<UINT>(h), pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi),
            DIB_RGB_COLORS);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  BITMAPFILEHEADER bf{};
  bf.bfType = 0x4D42;
  bf.bfOffBits = sizeof(bf) + sizeof(bi);
  bf.bfSize = bf.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (f == nullptr) return false;
  std::fwrite(&bf, sizeof(bf), 1, f);
  std::fwrite(&bi, sizeof(bi), 1, f);
  std::fwrite(pixels.data(), 1, pixels.size(), f);
  std::fclose(f);
  return true;
}

// 参照… on the metrics page: the folder picker opens at the folder of the
// box (OK at once gives that folder back); a folder chosen in it (selected
// with the picker's own message, as a click in its tree does) replaces the
// box's text and enables Apply; キャンセル leaves the box as it was.
std::wstring PickFolder(HWND d, const std::wstring& select, bool ok, const std::wstring& shot) {
  HWND picker = nullptr;
  WhileInside([&] { Click(Item(d, IDC_BTN_METRICS_BROWSE)); }, [&] {
    picker = WaitDialog(W("フォルダーの参照"));
    Check(picker != nullptr, "参照... opens the folder picker");
    if (picker == nullptr) return;
    Sleep(500);
    if (!shot.empty()) Check(SaveBmp(picker, shot), "folder picker captured");
    if (!select.empty()) {
      PIDLIST_ABSOLUTE pidl = ILCreateFromPathW(select.c_str());
      SendMessageW(picker, BFFM_SETSELECTIONW, FALSE, reinterpret_cast<LPARAM>(pidl));
      ILFree(pidl);
      Sleep(300);
    }
    Click(Item(picker, ok ? IDOK : IDCANCEL));
    Check(WaitGone(picker), "the picker closes");
  });
  return Text(Item(d, IDC_EDT_METRICS_DIR));
}

void DriveFolderPicker(HWND d, const std::wstring& shots) {
  HWND box = Item(d, IDC_EDT_METRICS_DIR);
  const std::wstring before = Text(box);
  wchar_t windowsDir[MAX_PATH] = {};
  GetWindowsDirectoryW(windowsDir, MAX_PATH);
  const std::wstring windows = windowsDir;
  const std::wstring system32 = windows + L"\\system32";

  SetTextOf(box, windows);
  std::wstring got = PickFolder(d, L"", true, shots.empty() ? L"" : shots + L"\\dialog_folder.bmp");
  Check(_wcsicmp(got.c_str(), windows.c_str()) == 0, "the picker opens at the box's folder", got);
  got = PickFolder(d, system32, true, L"");
  Check(_wcsicmp(got.c_str(), system32.c_str()) == 0, "the chosen folder fills the box", got);
  Check(IsWindowEnabled(Item(d, IDC_BTN_APPLY)) != FALSE, "a chosen folder enables Apply");
  SetTextOf(box, before);
  got = PickFolder(d, system32, false, L"");
  Check(got == before, "キャンセル leaves the box as it was", got);
}

// The metrics page on its own: the folder picker, a relative folder refused
// on OK with the page and the box shown again and nothing written, then a
// folder that the service takes written by OK.
void DriveMetricsPage() {
  HWND d = WaitDialog(W("NORVIKA ドライブ番人"));
  Check(d != nullptr, "the settings dialog opens for the metrics page");
  if (d == nullptr) return;
  ShowPage(d, 4);
  HWND box = Item(d, IDC_EDT_METRICS_DIR);
  Check(box != nullptr && Text(box).empty(), "the metrics page has an empty folder box");
  Check(Text(Item(d, IDC_BTN_METRICS_BROWSE)) == W("参照…"), "the button says 参照…");
  DriveFolderPicker(d, L"");
  SetTextOf(box, L"textfile_inputs");
  ShowPage(d, 0);
  Click(Item(d, IDOK));
  Answer("relative folder",
         "メトリクスファイルのフォルダーには C:\\Program Files\\windows_exporter\\textfile_inputs "
         "のような絶対パスを入力してください。",
         IDOK);
  Check(IsWindowVisible(d) != FALSE, "the refused OK leaves the dialog open");
  Check(ActivePage(d) == 4, "the refused OK shows the metrics page");
  Check(FocusOfUi() == box, "the focus goes to the folder box");
  Check(ReadKey("METRICS", "TEXTFILEDIR") == "<missing>", "nothing was written by the refused OK");
  SetTextOf(box, L"C:\\Program Files\\windows_exporter\\textfile_inputs");
  Click(Item(d, IDOK));
  Answer("restart question", "設定内容を反映させ、ドライブ番人サービスを再起動しますか？", IDNO);
  Check(WaitGone(d), "OK closes the dialog");
  Check(ReadKey("METRICS", "TEXTFILEDIR") == "C:\\Program Files\\windows_exporter\\textfile_inputs",
        "TEXTFILEDIR written");
}

void DriveScreens(const std::wstring& dir) {
  HWND d = WaitDialog(W("NORVIKA ドライブ番人"));
  Check(d != nullptr, "the settings dialog opens");
  if (d == nullptr) return;
  SelectLine(Item(d, IDC_LSB_LIMITLIST), 0);
  Check(SaveBmp(d, dir + L"\\page_warning.bmp"), "warning page captured");
  ShowPage(d, 1);
  SelectLine(Item(d, IDC_LBX_TOLIST), 0);
  Check(SaveBmp(d, dir + L"\\page_mail.bmp"), "mail page captured");
  ShowPage(d, 2);
  Check(SaveBmp(d, dir + L"\\page_version.bmp"), "version page captured");
  ShowPage(d, 4);
  Check(Text(Item(d, IDC_EDT_METRICS_DIR)) == L"C:\\Program Files\\windows_exporter\\textfile_inputs",
        "the metrics page shows TEXTFILEDIR", Text(Item(d, IDC_EDT_METRICS_DIR)));
  Check(SaveBmp(d, dir + L"\\page_metrics.bmp"), "metrics page captured");
  DriveFolderPicker(d, dir);
  Check(WriteChartFiles(), "a state with a history, a mount point and two webhook targets written");
  ShowPage(d, 3);
  Check(SaveBmp(d, dir + L"\\page_status.bmp"), "status page captured");
  // A page down each: D: below its threshold, then the volume in a folder.
  SendMessageW(Item(d, IDC_PNL_STATUS_DRIVES), WM_VSCROLL, SB_PAGEDOWN, 0);
  Check(SaveBmp(d, dir + L"\\page_status_2.bmp"), "status page one page down captured");
  SendMessageW(Item(d, IDC_PNL_STATUS_DRIVES), WM_VSCROLL, SB_PAGEDOWN, 0);
  Check(SaveBmp(d, dir + L"\\page_status_3.bmp"), "status page two pages down captured");
  SendMessageW(Item(d, IDC_PNL_STATUS_DRIVES), WM_VSCROLL, SB_BOTTOM, 0);
  Check(SaveBmp(d, dir + L"\\page_status_end.bmp"), "status page scrolled to its end captured");
  DeleteHistoryFile();
  ShowPage(d, 1);
  Choose(Item(d, IDC_CBX_AUTH), 1);
  ShowPage(d, 5);
  SetTextOf(Item(d, IDC_EDT_TENANT), L"contoso.onmicrosoft.com");
  SetTextOf(Item(d, IDC_EDT_CLIENTID), L"6731de76-14a6-49ae-97bc-6eba6914391e");
  SetTextOf(Item(d, IDC_EDT_CLIENTSECRET), L"secret");
  Check(SaveBmp(d, dir + L"\\page_oauth.bmp"), "OAuth 2.0 page captured");
  DeleteFileW(StateFilePath().c_str());

  ShowPage(d, 0);
  Click(Item(d, IDC_BTN_LIMIT));
  HWND lim = WaitDialog(W("空き領域しきい値設定"));
  Check(lim != nullptr, "threshold dialog opens");
  if (lim != nullptr) {
    Check(SaveBmp(lim, dir + L"\\dialog_threshold.bmp"), "threshold dialog captured");
    Click(Item(lim, IDCANCEL));
    WaitGone(lim);
  }
  ShowPage(d, 1);
  Click(Item(d, IDC_BTN_ADDCC));
  HWND addr = WaitDialog(W("Cc に追加 - メールアドレスを入力してください。"));
  Check(addr != nullptr, "address dialog opens");
  if (addr != nullptr) {
    SetTextOf(Item(addr, IDC_EDT_MAILADDRESS), L"backup-admin@example.co.jp");
    Check(SaveBmp(addr, dir + L"\\dialog_address.bmp"), "address dialog captured");
    Click(Item(addr, IDC_MAIL_BTN_CANCEL));
    WaitGone(addr);
  }
  Click(Item(d, IDC_BTN_CANCEL));
  WaitGone(d);
}

// A top-level window captioned `caption` that has the child `id` (the test
// mail's progress window and outcome box share their caption).
HWND WaitDialogWith(const std::wstring& caption, int id, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 50) {
    HWND w = FindDialog(caption);
    if (w != nullptr && Item(w, id) != nullptr && IsWindowVisible(w)) {
      Sleep(100);
      return w;
    }
    Sleep(50);
  }
  return nullptr;
}

// テスト送信 against the test server on `port` (delivered), then on
// `silentPort` (a server that never answers MAIL) cancelled with 中止.
void DriveTestMail(const std::wstring& port, const std::wstring& silentPort, const std::wstring& shots) {
  HWND d = WaitDialog(W("NORVIKA ドライブ番人"));
  Check(d != nullptr, "the settings dialog opens for the test mail");
  if (d == nullptr) return;
  ShowPage(d, 1);
  HWND button = Item(d, IDC_BTN_TESTMAIL);
  Check(button != nullptr && Text(button) == W("テスト送信"), "the mail page has テスト送信");
  if (button == nullptr) return;
  SetTextOf(Item(d, IDC_EDT_PORT), port);
  Click(button);
  HWND result = WaitDialogWith(W("テスト送信"), IDC_TM_OUTCOME, 30000);
  Check(result != nullptr, "the outcome box opens");
  if (result == nullptr) return;
  Check(Text(Item(result, IDC_TM_OUTCOME)) == W("送信しました"), "the outcome is 送信しました",
        Text(Item(result, IDC_TM_OUTCOME)));
  if (!shots.empty()) Check(SaveBmp(result, shots + L"\\testmail_outcome.bmp"), "test mail outcome captured");
  HWND transcript = Item(result, IDC_TM_TRANSCRIPT);
  const std::wstring lines = Text(transcript);
  Check(lines.find(L"> MAIL FROM:<warden@example.com>\r\n") != std::wstring::npos &&
            lines.find(L"< 250") != std::wstring::npos,
        "the transcript shows commands and replies", lines);
  Check((GetWindowLongW(transcript, GWL_STYLE) & ES_READONLY) != 0, "the transcript box is read-only");
  DWORD selStart = 0, selEnd = 0;
  SendMessageW(transcript, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
  Check(selStart == selEnd && FocusOfUi() != transcript, "the transcript opens with nothing selected",
        std::to_wstring(selStart) + L"-" + std::to_wstring(selEnd));
  Click(Item(result, IDOK));
  Check(WaitGone(result), "OK closes the outcome box");
  Check(IsWindowEnabled(d) != FALSE, "the dialog takes input again");

  SetTextOf(Item(d, IDC_EDT_PORT), silentPort);
  Click(button);
  HWND progress = WaitDialogWith(W("テスト送信"), IDC_TM_CANCEL);
  Check(progress != nullptr, "the progress window opens");
  if (progress == nullptr) return;
  Check(Text(Item(progress, IDC_TM_LABEL)) == W("送信中…"), "the progress window says 送信中…");
  Check(!IsWindowEnabled(d), "the dialog takes no input while sending");
  Sleep(1000);
  Check(IsWindow(progress) && IsWindowVisible(progress), "a silent server keeps the progress window open");
  const DWORD cancelled = GetTickCount();
  Click(Item(progress, IDC_TM_CANCEL));
  result = WaitDialogWith(W("テスト送信"), IDC_TM_OUTCOME, 5000);
  Check(result != nullptr && GetTickCount() - cancelled < 3000, "中止 ends the conversation at once");
  if (result == nullptr) return;
  Check(Text(Item(result, IDC_TM_OUTCOME)) == L"MAIL: cancelled by stop", "the outcome names the cancel",
        Text(Item(result, IDC_TM_OUTCOME)));
  Click(Item(result, IDOK));
  WaitGone(result);
  Click(Item(d, IDC_BTN_CANCEL));
  Check(WaitGone(d), "Cancel closes the dialog after the test mails");
}


// --- the page 通知先 ------------------------------------------------------------

std::wstring ListCell(HWND list, int row, int column) {
  wchar_t buffer[512] = {};
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = buffer;
  item.cchTextMax = 512;
  SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return buffer;
}

int ListCount(HWND list) { return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

// Selects a row as a click does (the list tells its page).
void SelectRow(HWND list, int row) {
  LVITEMW state{};
  state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
  state.state = LVIS_SELECTED | LVIS_FOCUSED;
  SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&state));
  Sleep(100);
}

// Waits for a message box of the applet whose text holds `part`, and presses `button`.
bool AnswerHolding(const std::string& what, const std::wstring& part, int button) {
  HWND box = WaitDialog(BoxCaption());
  if (box == nullptr) {
    Check(false, what + ": message box shown");
    return false;
  }
  const std::wstring text = BoxText(box);
  Check(text.find(part) != std::wstring::npos, what + ": message text", text);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
  const bool gone = WaitGone(box);
  if (!gone) Check(false, what + ": message box closed");
  Sleep(100);
  return gone;
}

// Waits until the control's text holds `part`; the text it had last.
std::wstring WaitTextHolding(HWND control, const std::wstring& part, int ms) {
  std::wstring text;
  for (int waited = 0; waited < ms; waited += 50) {
    text = Text(control);
    if (text.find(part) != std::wstring::npos) break;
    Sleep(50);
  }
  return text;
}

// 追加 or 編集 opens the edit dialog; `fill` works in it while it is open.
void InEditDialog(HWND d, int button, const std::wstring& caption, const std::function<void(HWND)>& fill) {
  WhileInside([&] { Click(Item(d, button)); }, [&] {
    HWND edit = WaitDialog(caption);
    Check(edit != nullptr, "the edit dialog opens");
    if (edit != nullptr) fill(edit);
  });
}

void DriveWebhookPage(const std::wstring& port, const std::wstring& silentPort, const std::wstring& shots) {
  HWND d = WaitDialog(W("NORVIKA ドライブ番人"));
  Check(d != nullptr, "the settings dialog opens for the page 通知先");
  if (d == nullptr) return;
  ShowPage(d, 6);
  HWND tab = Item(d, IDC_PAGECONTROL);
  wchar_t caption[64] = {};
  TCITEMW tabItem{};
  tabItem.mask = TCIF_TEXT;
  tabItem.pszText = caption;
  tabItem.cchTextMax = 64;
  SendMessageW(tab, TCM_GETITEMW, 6, reinterpret_cast<LPARAM>(&tabItem));
  Check(ActivePage(d) == 6 && std::wstring(caption) == W("通知先"), "the seventh page is 通知先", caption);
  HWND list = Item(d, IDC_LSV_WEBHOOKS);
  HWND test = Item(d, IDC_BTN_WEBHOOK_TEST);
  HWND outcome = Item(d, IDC_LBL_WEBHOOK_OUTCOME);
  Check(list != nullptr && IsWindowVisible(list) && ListCount(list) == 0, "an empty target list is shown");
  Check(IsWindowEnabled(Item(d, IDC_BTN_WEBHOOK_ADD)) && !IsWindowEnabled(Item(d, IDC_BTN_WEBHOOK_EDIT)) &&
            !IsWindowEnabled(test),
        "追加 only, without a selection");

  const std::wstring url = L"http://127.0.0.1:" + port + L"/hook/S3CRET-PATH";
  InEditDialog(d, IDC_BTN_WEBHOOK_ADD, W("通知先の追加"), [&](HWND edit) {
    Choose(Item(edit, IDC_WH_CBX_KIND), 2);
    Check(IsWindowEnabled(Item(edit, IDC_WH_EDT_HEADERS)) != FALSE, "JSON takes headers");
    SetTextOf(Item(edit, IDC_WH_EDT_URL), L"http://hooks.example.jp/x");
    SetTextOf(Item(edit, IDC_WH_EDT_HEADERS), L"Authorization: Bearer T0KEN-VALUE\r\nX-Team: ops\r\n");
    Click(Item(edit, IDOK));
    AnswerHolding("http off loopback", L"[WEBHOOK1] URL", IDOK);
    Check(IsWindowVisible(edit) != FALSE, "a refused URL keeps the edit dialog open");
    SetTextOf(Item(edit, IDC_WH_EDT_URL), url);
    Click(Item(edit, IDOK));
    Check(WaitGone(edit), "OK takes the target");
  });
  Check(ListCount(list) == 1 && ListCell(list, 0, 0) == L"1" && ListCell(list, 0, 1) == L"JSON" &&
            ListCell(list, 0, 2) == L"http://127.0.0.1:" + port,
        "the list shows the number, the kind and the host only", ListCell(list, 0, 2));
  Check(IsWindowEnabled(Item(d, IDC_BTN_APPLY)) != FALSE, "a new target enables Apply");
  SelectRow(list, 0);
  Check(IsWindowEnabled(test) != FALSE, "テスト送信 follows the selection");

  Click(test);
  std::wstring said = WaitTextHolding(outcome, W("送信しました (HTTP 200)"), 30000);
  Check(said.find(W("送信しました (HTTP 200)")) != std::wstring::npos && said.find(L"S3CRET") == std::wstring::npos,
        "テスト送信 shows the HTTP outcome", said);
  if (!shots.empty()) Check(SaveBmp(d, shots + L"\\page_webhooks.bmp"), "page 通知先 captured");

  InEditDialog(d, IDC_BTN_WEBHOOK_EDIT, W("通知先の編集"), [&](HWND edit) {
    Check(Text(Item(edit, IDC_WH_EDT_URL)) == L"http://127.0.0.1:" + port + L"/****", "the URL is masked",
          Text(Item(edit, IDC_WH_EDT_URL)));
    const std::wstring headers = Text(Item(edit, IDC_WH_EDT_HEADERS));
    Check(headers == L"Authorization: ****\r\nX-Team: ****\r\n", "the header values are masked", headers);
    if (!shots.empty()) Check(SaveBmp(edit, shots + L"\\dialog_webhook.bmp"), "edit dialog captured");
    Click(Item(edit, IDOK));
    Check(WaitGone(edit), "OK with the masked form unchanged");
  });

  Click(Item(d, IDC_BTN_APPLY));
  Answer("restart question", "設定内容を反映させ、ドライブ番人サービスを再起動しますか？", IDNO);
  const std::string file = ReadFileText(WindowsDirFile("Drivewarden.ini"));
  Check(ReadKey("WEBHOOK1", "KIND") == "JSON", "KIND written");
  Check(ReadKey("WEBHOOK1", "URL").rfind("dpapi:", 0) == 0 && ReadKey("WEBHOOK1", "HEADER1").rfind("dpapi:", 0) == 0 &&
            ReadKey("WEBHOOK1", "HEADER2").rfind("dpapi:", 0) == 0,
        "the URL and the headers are stored protected");
  Check(file.find("S3CRET") == std::string::npos && file.find("T0KEN") == std::string::npos &&
            file.find("ops") == std::string::npos,
        "no secret in clear in the file");

  // A server that never answers: 中止 ends the send, the dialog live meanwhile.
  InEditDialog(d, IDC_BTN_WEBHOOK_ADD, W("通知先の追加"), [&](HWND edit) {
    Check(Chosen(Item(edit, IDC_WH_CBX_KIND)) == 0 && !IsWindowEnabled(Item(edit, IDC_WH_EDT_HEADERS)),
          "a new target starts as Teams, without headers");
    SetTextOf(Item(edit, IDC_WH_EDT_URL), L"http://127.0.0.1:" + silentPort + L"/hang");
    Click(Item(edit, IDOK));
    Check(WaitGone(edit), "the second target taken");
  });
  Check(ListCount(list) == 2 && ListCell(list, 1, 0) == L"2" && ListCell(list, 1, 1) == L"Teams",
        "the second target is number 2");
  SelectRow(list, 1);
  Click(test);
  said = WaitTextHolding(outcome, W("送信中"), 5000);
  Sleep(1000);
  Check(Text(test) == W("中止") && IsWindowEnabled(d) && Text(outcome).find(W("送信中")) != std::wstring::npos,
        "a silent receiver: the button is 中止 and the dialog stays live", Text(outcome));
  ShowPage(d, 0);
  ShowPage(d, 6);
  Check(ActivePage(d) == 6, "pages can be switched while the test goes");
  const DWORD cancelled = GetTickCount();
  Click(test);
  said = WaitTextHolding(outcome, W("送信できませんでした"), 5000);
  Check(said.find(L"WEBHOOK2") != std::wstring::npos && GetTickCount() - cancelled < 3000,
        "中止 ends the send at once and says so", said);
  Check(Text(test) == W("テスト送信"), "the button is テスト送信 again");

  WhileInside([&] { Click(Item(d, IDC_BTN_WEBHOOK_DELETE)); },
              [&] { Answer("delete question", "通知先 2 を削除しますか？", IDYES); });
  Check(ListCount(list) == 1, "削除 removes the target");
  Click(Item(d, IDC_BTN_CANCEL));
  Check(WaitGone(d), "Cancel closes the dialog");
  Check(ReadKey("WEBHOOK2", "KIND") == "<missing>", "nothing of the cancelled target was written");
}

void WriteKey(const char* section, const char* key, const char* value) {
  WritePrivateProfileStringA(section, key, value, "Drivewarden.ini");
}

// --- the volumes page -----------------------------------------------------------

// The tab captioned `caption`, or -1.
int TabNamed(HWND dialog, const std::wstring& caption) {
  HWND tab = Item(dialog, IDC_PAGECONTROL);
  const int count = static_cast<int>(SendMessageW(tab, TCM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    wchar_t text[128] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 128;
    SendMessageW(tab, TCM_GETITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    if (caption == text) return i;
  }
  return -1;
}

// The cells of a list view, row by row.
std::vector<std::vector<std::wstring>> ListRows(HWND view, int columns) {
  std::vector<std::vector<std::wstring>> rows;
  const int count = static_cast<int>(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0));
  for (int r = 0; r < count; ++r) {
    std::vector<std::wstring> row;
    for (int c = 0; c < columns; ++c) {
      wchar_t text[512] = {};
      LVITEMW item{};
      item.iSubItem = c;
      item.pszText = text;
      item.cchTextMax = 512;
      SendMessageW(view, LVM_GETITEMTEXTW, static_cast<WPARAM>(r), reinterpret_cast<LPARAM>(&item));
      row.push_back(text);
    }
    rows.push_back(row);
  }
  return rows;
}

int RowWithPath(HWND view, const std::wstring& path) {
  const auto rows = ListRows(view, 1);
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i][0] == path) return static_cast<int>(i);
  return -1;
}

std::wstring Cell(HWND view, int row, int column) {
  const auto rows = ListRows(view, 5);
  if (row < 0 || row >= static_cast<int>(rows.size())) return L"(no row)";
  return rows[static_cast<size_t>(row)][static_cast<size_t>(column)];
}

// Fills the threshold dialog opened by a click and presses its OK.
void AnswerLimit(const std::string& what, const std::string& target, const wchar_t* number, int unit) {
  HWND lim = WaitDialog(W("空き領域しきい値設定"));
  Check(lim != nullptr, what + ": the threshold dialog opens");
  if (lim == nullptr) return;
  Check(Text(Item(lim, IDC_LBL_DRIVE)) == W(target), what + ": the dialog names its target",
        Text(Item(lim, IDC_LBL_DRIVE)));
  SetTextOf(Item(lim, IDC_EDT_LIMIT), number);
  Choose(Item(lim, IDC_CBX_UNIT), unit);
  Click(Item(lim, IDOK));
  Check(WaitGone(lim), what + ": the threshold dialog closes");
  Sleep(100);
}

// A message box whose text holds each of `parts`; `button` closes it.
void AnswerHoldingAll(const std::string& what, const std::vector<std::string>& parts, int button) {
  HWND box = WaitDialog(BoxCaption());
  Check(box != nullptr, what + ": message box shown");
  if (box == nullptr) return;
  const std::wstring text = BoxText(box);
  for (size_t i = 0; i < parts.size(); ++i)
    Check(text.find(W(parts[i])) != std::wstring::npos, what + ": part " + std::to_string(i + 1) + " of the text", text);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
  WaitGone(box);
  Sleep(100);
}

// The ボリューム page: the volumes Wine's volume API offers, DEFAULT set
// through the threshold dialog, C's volume given a threshold (the letter's
// one), another letter's volume ignored, a key of a folder that is no mount
// point refused on OK and then taken out; the file is checked after OK.
void DriveVolumePage(const std::wstring& shots) {
  HWND d = WaitDialog(W("NORVIKA ドライブ番人"));
  Check(d != nullptr, "the settings dialog opens for the volumes page");
  if (d == nullptr) return;
  const int tab = TabNamed(d, W("ボリューム"));
  Check(tab >= 0, "the dialog has a volumes tab");
  ShowPage(d, tab);
  HWND view = Item(d, IDC_LV_VOLUMES);
  Check(view != nullptr && IsWindowVisible(view), "the volume list is shown");
  for (const auto& row : ListRows(view, 5)) {
    std::wstring line;
    for (const auto& cell : row) line += L" | " + cell;
    std::printf("volume row%s\n", U8(line).c_str());
  }
  const int c = RowWithPath(view, L"C:\\");
  Check(c >= 0, "C:\\ is a row of the list");
  Check(Cell(view, c, 3).find(L"B") != std::wstring::npos, "C:\\ has its free space", Cell(view, c, 3));
  Check(Cell(view, c, 4) == W("なし"), "C:\\ has no threshold yet", Cell(view, c, 4));
  const int gone = RowWithPath(view, L"C:\\Gone\\Data");
  Check(gone >= 0, "the key of no volume is a row");
  Check(Cell(view, gone, 3) == W("未マウント"), "it is shown as not mounted", Cell(view, gone, 3));
  Check(Cell(view, gone, 4) == L"1MB", "with its threshold", Cell(view, gone, 4));

  HWND defaultBox = Item(d, IDC_CKB_VOL_DEFAULT);
  Check(!Checked(defaultBox), "DEFAULT is off in a file without it");
  SendMessageW(defaultBox, BM_SETCHECK, BST_CHECKED, 0);
  Click(defaultBox);
  AnswerLimit("DEFAULT", "対象: 既定のしきい値", L"15", 1);
  Check(Text(Item(d, IDC_LBL_VOL_DEFAULT)) == W("既定のしきい値: 15%"), "DEFAULT is shown",
        Text(Item(d, IDC_LBL_VOL_DEFAULT)));
  Check(IsWindowEnabled(Item(d, IDC_BTN_APPLY)) != FALSE, "Apply is enabled by the change");

  SelectRow(view, c);
  Click(Item(d, IDC_BTN_VOL_LIMIT));
  AnswerLimit("C:\\", "対象: C:\\", L"2048", 0);
  Check(Cell(view, c, 4) == L"2048MB", "C:\\ shows its threshold", Cell(view, c, 4));
  const auto limits = Lines(Item(d, IDC_LSB_LIMITLIST));
  Check(std::find(limits.begin(), limits.end(), W("C:   2048MB")) != limits.end(),
        "the warning page's line of C follows");

  // Another letter's volume, if Wine lists one, is not watched.
  int other = -1;
  const auto rows = ListRows(view, 5);
  for (size_t i = 0; i < rows.size() && other < 0; ++i)
    if (rows[i][0].size() == 3 && rows[i][0][1] == L':' && rows[i][0] != L"C:\\") other = static_cast<int>(i);
  std::wstring otherPath = other >= 0 ? rows[static_cast<size_t>(other)][0] : L"";
  if (other >= 0) {
    SelectRow(view, other);
    Click(Item(d, IDC_BTN_VOL_IGNORE));
    Sleep(200);
    Check(Cell(view, other, 4) == W("監視しない"), "the other volume is ignored", Cell(view, other, 4));
  } else {
    std::printf("note: Wine lists no volume beside C:\\ to ignore\n");
  }

  // The key of no volume stops the save, as the service would refuse it.
  Click(Item(d, IDOK));
  AnswerHoldingAll("the key of no volume", {"C:\\Gone\\Data", "固定ボリュームのマウントポイントではありません"}, IDOK);
  Check(IsWindowVisible(d) != FALSE, "the refused OK leaves the dialog open");
  Check(ActivePage(d) == tab, "the refused OK shows the volumes page");
  Check(ReadKey("DRIVE", "DEFAULT") == "<missing>", "nothing was written by the refused OK");
  SelectRow(view, gone);
  Click(Item(d, IDC_BTN_VOL_CLEAR));
  Sleep(200);
  // DEFAULT reaches no path without a volume.
  Check(Cell(view, gone, 4) == W("なし"), "the row's key is taken out", Cell(view, gone, 4));
  if (!shots.empty()) Check(SaveBmp(d, shots + L"\\page_volumes.bmp"), "volumes page captured");

  Click(Item(d, IDOK));
  Answer("restart question", "設定内容を反映させ、ドライブ番人サービスを再起動しますか？", IDNO);
  Check(WaitGone(d), "OK closes the dialog");
  Check(ReadKey("DRIVE", "DEFAULT") == "15%", "DEFAULT written", W(ReadKey("DRIVE", "DEFAULT")));
  Check(ReadKey("DRIVE", "C") == "2048MB", "C's threshold written", W(ReadKey("DRIVE", "C")));
  Check(ReadKey("VOLUME", "C:\\Gone\\Data") == "<missing>", "the key of no volume is gone");
  if (other >= 0) {
    const std::string path = U8(otherPath);
    Check(ReadKey("VOLUME", "IGNORE") == path, "IGNORE names the other volume", W(ReadKey("VOLUME", "IGNORE")));
    Check(ReadKey("DRIVE", std::string(1, path[0]).c_str()).empty(), "the ignored letter has no threshold");
  }
}

}  // namespace

// The dialog of a Control Panel process: it opens, shows its pages and
// closes with Cancel.
int WatchControlPanel() {
  HWND d = WaitDialog(W("NORVIKA ドライブ番人"), 60000);
  Check(d != nullptr, "the Control Panel opens the settings dialog");
  if (d != nullptr) {
    Check(Item(d, IDC_PAGECONTROL) != nullptr && Item(d, IDC_LSB_LIMITLIST) != nullptr,
          "the dialog has its page control and threshold list");
    Check(!IsWindowEnabled(Item(d, IDC_BTN_APPLY)), "Apply is disabled when the dialog opens");
    Click(Item(d, IDC_BTN_CANCEL));
    Check(WaitGone(d), "Cancel closes the dialog");
  }
  std::printf("%d checks, %d failed\n", gChecks, gFailures);
  return gFailures == 0 ? 0 : 1;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: applet_harness CPL check | CPL metrics | CPL volumes [DIR] | CPL screens DIR | CPL testmail PORT SILENTPORT [DIR] | CPL webhooks PORT SILENTPORT [DIR] | - watch\n");
    return 2;
  }
  std::wstring mode = argv[2];
  if (mode == L"watch") return WatchControlPanel();
  gUiThread = GetCurrentThreadId();
  HMODULE cpl = LoadLibraryW(argv[1]);
  Check(cpl != nullptr, "the .cpl loads");
  if (cpl == nullptr) return 1;
  gCpl = reinterpret_cast<CplFunc>(reinterpret_cast<void*>(GetProcAddress(cpl, "CPlApplet")));
  Check(gCpl != nullptr, "CPlApplet is exported");
  if (gCpl == nullptr) return 1;

  // A window standing in for the Control Panel.
  HWND cplWindow = CreateWindowExW(0, L"STATIC", L"harness", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                   nullptr, nullptr);
  DeleteFileA(WindowsDirFile("Drivewarden.ini").c_str());

  if (mode == L"check") {
    CheckFormPanel();
    CheckProtocol(cplWindow);
    // A key of a drive letter that is no fixed drive here must survive a save.
    WriteKey("DRIVE", "Q", "7%");
    NEWCPLINFOW ni{};
    gCpl(cplWindow, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&ni));
    WhileInside([&] { Check(gCpl(cplWindow, CPL_DBLCLK, 0, ni.lData) == 0, "CPL_DBLCLK answers 0"); },
                DriveDialog);
    WhileInside([&] { gCpl(cplWindow, CPL_DBLCLK, 0, ni.lData); }, DriveSecondOpening);
    WriteKey("MAIL", "PASSWORD", "typed by hand");
    WhileInside([&] { gCpl(cplWindow, CPL_DBLCLK, 0, ni.lData); }, DriveHandTypedPassword);
  } else if (mode == L"testmail" && argc >= 5) {
    gCpl(cplWindow, CPL_INIT, 0, 0);
    WriteKey("WARNING", "ISMAILSEND", "0");
    WriteKey("MAIL", "SMTP", "127.0.0.1");
    WriteKey("MAIL", "MAILFROM", "warden@example.com");
    WriteKey("MAIL", "MAILTO", "admin@example.com");
    std::wstring port = argv[3], silentPort = argv[4];
    const std::wstring shots = argc >= 6 ? argv[5] : L"";
    WhileInside([&] { gCpl(cplWindow, CPL_DBLCLK, 0, 0); }, [&] { DriveTestMail(port, silentPort, shots); });
  } else if (mode == L"webhooks" && argc >= 5) {
    gCpl(cplWindow, CPL_INIT, 0, 0);
    WriteKey("WARNING", "ISMAILSEND", "0");
    const std::wstring port = argv[3], silentPort = argv[4];
    const std::wstring shots = argc >= 6 ? argv[5] : L"";
    WhileInside([&] { gCpl(cplWindow, CPL_DBLCLK, 0, 0); }, [&] { DriveWebhookPage(port, silentPort, shots); });
  } else if (mode == L"volumes") {
    gCpl(cplWindow, CPL_INIT, 0, 0);
    WriteKey("VOLUME", "C:\\Gone\\Data", "1MB");
    const std::wstring shots = argc >= 4 ? argv[3] : L"";
    WhileInside([&] { gCpl(cplWindow, CPL_DBLCLK, 0, 0); }, [&] { DriveVolumePage(shots); });
  } else if (mode == L"metrics") {
    gCpl(cplWindow, CPL_INIT, 0, 0);
    WhileInside([&] { gCpl(cplWindow, CPL_DBLCLK, 0, 0); }, DriveMetricsPage);
  } else if (mode == L"screens" && argc >= 4) {
    gCpl(cplWindow, CPL_INIT, 0, 0);
    WriteKey("WARNING", "INTERVAL", "12");
    WriteKey("WARNING", "ISMAILSEND", "1");
    WriteKey("WARNING", "RECOVERYMAIL", "1");
    WriteKey("WARNING", "REMIND", "24");
    WriteKey("DRIVE", "C", "500MB");
    WriteKey("DRIVE", "Z", "10%");
    WriteKey("MAIL", "SMTP", "mail.example.co.jp");
    WriteKey("MAIL", "PORT", "587");
    WriteKey("MAIL", "MAILFROM", "drivewarden@example.co.jp");
    WriteKey("MAIL", "MAILTO", "admin@example.co.jp,storage-team@example.co.jp");
    WriteKey("MAIL", "MAILCC", "manager@example.co.jp");
    WriteKey("MAIL", "SECURITY", "STARTTLS");
    WriteKey("MAIL", "USER", "drivewarden@example.co.jp");
    WriteKey("MAIL", "PASSWORD", "example-password");
    WriteKey("MAIL", "TLSVERIFY", "1");
    WriteKey("METRICS", "TEXTFILEDIR", "C:\\Program Files\\windows_exporter\\textfile_inputs");
    std::wstring dir = argv[3];
    WhileInside([&] { gCpl(cplWindow, CPL_DBLCLK, 0, 0); }, [&] { DriveScreens(dir); });
  } else {
    std::fprintf(stderr, "applet_harness: unknown mode\n");
    return 2;
  }
  gCpl(cplWindow, CPL_STOP, 0, 0);
  gCpl(cplWindow, CPL_EXIT, 0, 0);
  FreeLibrary(cpl);
  DestroyWindow(cplWindow);
  std::printf("%d checks, %d failed\n", gChecks, gFailures);
  return gFailures == 0 ? 0 : 1;
}

// QuotawardenService.exe: hosts the drive watch as the Windows service
// Drivewarden, or registers and removes it with its event sources (INSTALL,
// UNINSTALL, SILENT).
//
// Threads: the main thread owns the message loop and the check timer, so the
// periodic checks run there; the dispatcher thread runs
// StartServiceCtrlDispatcherA and the control handler; the main routine's
// thread waits for the service thread; the service thread runs the start
// handler with the first check and then the control codes posted to it as
// thread messages.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/check_state.h"
#include "common/exception_text.h"
#include "mail/smtp_settings.h"
#include "platform/ascii_text.h"
#include "platform/drives.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/message_loop.h"
#include "platform/profile.h"
#include "platform/secret.h"
#include "platform/secure_file.h"
#include "platform/service_manager.h"
#include "platform/status.h"
#include "platform/system_error.h"
#include "platform/system_info.h"
#include "platform/text_codec.h"
#include "service/drivewarden.h"
#include "service/history_text.h"
#include "service/service_control.h"
#include "service/service_install.h"
#include "service/test_mail_run.h"

namespace {

// Set by main before the dispatcher starts; read by the routines the Service
// Control Manager calls.
qw::ServiceHost* gHost = nullptr;
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
// Signalled once the service thread has its message queue.
HANDLE gQueueReady = nullptr;
std::atomic<DWORD> gServiceThreadId{0};

class ScmStatus : public qw::ServiceStatusReporter {
 public:
  qw::Status SetStatus(const qw::ServiceStatus& status) override {
    SERVICE_STATUS s{};
    s.dwServiceType = qw::kServiceWin32OwnProcess;
    s.dwCurrentState = static_cast<DWORD>(status.state);
    s.dwControlsAccepted = status.controlsAccepted;
    s.dwWin32ExitCode = status.win32ExitCode;
    s.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    s.dwCheckPoint = status.checkPoint;
    s.dwWaitHint = status.waitHint;
    if (!SetServiceStatus(gStatusHandle, &s)) return qw::LastSystemFailure("SetServiceStatus");
    return {};
  }
};

// Opens the Service Control Manager for one install or uninstall and closes
// it when destroyed.
class ScmRegistry : public qw::ServiceRegistry {
 public:
  ~ScmRegistry() override {
    if (manager_) CloseServiceHandle(manager_);
  }

  qw::Status Open() override {
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager_) return qw::LastSystemFailure("OpenSCManager");
    return {};
  }

  qw::Status Create(const qw::ServiceRegistration& r) override {
    const std::u16string name = qw::SjisToUtf16(r.name);
    const std::u16string display = qw::SjisToUtf16(r.displayName);
    SC_HANDLE service = CreateServiceW(
        manager_, Wide(name), Wide(display), SERVICE_ALL_ACCESS, r.serviceType, r.startType,
        r.errorControl, Wide(r.imagePath), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!service) return qw::LastSystemFailure("CreateService");
    CloseServiceHandle(service);
    return {};
  }

  qw::Status Delete(const std::string& name) override {
    const std::u16string wide = qw::SjisToUtf16(name);
    SC_HANDLE service = OpenServiceW(manager_, Wide(wide), SERVICE_ALL_ACCESS);
    if (!service) return qw::LastSystemFailure("OpenService");
    qw::Status result;
    if (!DeleteService(service)) result = qw::LastSystemFailure("DeleteService");
    CloseServiceHandle(service);
    return result;
  }

  qw::Status AddEventSource(const std::string& source, const std::u16string& messageFile) override {
    const std::u16string path = qw::EventSourceKey(source);
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return qw::SystemFailure("RegCreateKeyEx", static_cast<uint32_t>(rc));
    const DWORD types = qw::kEventTypesSupported;
    rc = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                        reinterpret_cast<const BYTE*>(messageFile.c_str()),
                        static_cast<DWORD>((messageFile.size() + 1) * sizeof(char16_t)));
    if (rc == ERROR_SUCCESS) {
      rc = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                          sizeof types);
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return qw::SystemFailure("RegSetValueEx", static_cast<uint32_t>(rc));
    return {};
  }

  qw::Status RemoveEventSource(const std::string& source) override {
    const std::u16string path = qw::EventSourceKey(source);
    const LSTATUS rc = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, Wide(path), KEY_WOW64_64KEY, 0);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
      return qw::SystemFailure("RegDeleteKeyEx", static_cast<uint32_t>(rc));
    return {};
  }

 private:
  static LPCWSTR Wide(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

  SC_HANDLE manager_ = nullptr;
};

// Control handler: hands the code to the service thread. A stop or
// shutdown first cancels what the service waits for, since the service
// thread may be busy in the start handler's first check.
DWORD WINAPI ControlHandler(DWORD code, DWORD /*eventType*/, LPVOID /*eventData*/, LPVOID /*context*/) {
  if (code == qw::kControlStop || code == qw::kControlShutdown || code == qw::kControlPreshutdown)
    gHost->CancelForStop();
  WaitForSingleObject(gQueueReady, 5000);
  PostThreadMessageW(gServiceThreadId.load(), qw::kServiceControlMessage, code, 0);
  return NO_ERROR;
}

// Asks for the preshutdown time-out the shutdown wait needs (the system's
// default may be shorter). The service changes its own configuration, so an
// installation by /INSTALL and one by the package both get it.
qw::Status SetPreshutdownTimeout() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return qw::LastSystemFailure("OpenSCManager");
  SC_HANDLE service = OpenServiceW(manager, L"Drivewarden", SERVICE_CHANGE_CONFIG);
  qw::Status result;
  if (!service) {
    result = qw::LastSystemFailure("OpenService");
  } else {
    SERVICE_PRESHUTDOWN_INFO info{};
    info.dwPreshutdownTimeout = qw::kPreshutdownTimeoutMs;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info))
      result = qw::LastSystemFailure("ChangeServiceConfig2");
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}

void ServiceThread() {
  MSG msg;
  PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
  gServiceThreadId = GetCurrentThreadId();
  SetEvent(gQueueReady);

  if (!gHost->Start()) return;
  try {
    for (;;) {
      BOOL got = GetMessageW(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) break;
      if (msg.hwnd == nullptr && msg.message == qw::kServiceControlMessage) {
        if (gHost->HandleControl(static_cast<uint32_t>(msg.wParam))) break;
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    // What is still queued for this thread's windows; controls that come
    // after the end are not acted on.
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.hwnd == nullptr) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  } catch (...) {
    gHost->WriteFailure("実行", qw::ExceptionText(std::current_exception()));
  }
}

// A start parameter (sc start Drivewarden /RETRYFIRST=S) that shortens the
// first retry of a failed alert mail to S seconds (1 to 3600), so that a test
// need not wait five minutes. It lasts for this start only and is no setting
// of the file or the applet. False for any other text.
bool FirstRetryParameter(const char* arg, int64_t* milliseconds) {
  const char kName[] = "/RETRYFIRST=";
  if (!arg || _strnicmp(arg, kName, sizeof kName - 1) != 0) return false;
  const qw::Result<int64_t> seconds = qw::ParseInteger(arg + sizeof kName - 1, qw::kDecimal, 1, 3600);
  if (!seconds) return false;
  *milliseconds = *seconds * 1000;
  return true;
}

// A start parameter (sc start Drivewarden /MAILTIMEOUT=S) that bounds a
// silent mail server or token endpoint at S seconds (1 to 3600) instead of
// 60, so that a test need not wait a minute for each silence. Like
// /RETRYFIRST it lasts for this start only. False for any other text.
bool MailTimeoutParameter(const char* arg, int* seconds) {
  const char kName[] = "/MAILTIMEOUT=";
  if (!arg || _strnicmp(arg, kName, sizeof kName - 1) != 0) return false;
  const qw::Result<int64_t> value = qw::ParseInteger(arg + sizeof kName - 1, qw::kDecimal, 1, 3600);
  if (!value) return false;
  *seconds = static_cast<int>(*value);
  return true;
}

// The service's main routine, on a thread of the Service Control Manager.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  gStatusHandle = RegisterServiceCtrlHandlerExA(qw::kServiceName, ControlHandler, nullptr);
  if (!gStatusHandle) {
    gHost->WriteError(qw::LastSystemFailure("RegisterServiceCtrlHandlerEx").Text());
    return;
  }
  if (const qw::Status preshutdown = SetPreshutdownTimeout(); !preshutdown)
    gHost->WriteError("シャットダウンの準備時間を設定できません: " + preshutdown.Describe());
  // argv[0] is the service's name; a parameter that is not known is said.
  for (DWORD i = 1; i < argc; ++i) {
    int64_t firstRetry = 0;
    int mailTimeout = 0;
    if (FirstRetryParameter(argv[i], &firstRetry))
      gHost->Service().SetFirstRetryDelay(firstRetry);
    else if (MailTimeoutParameter(argv[i], &mailTimeout))
      gHost->Service().SetMailTimeOuts(mailTimeout, qw::TTestMailSettings{}.deadline);
    else
      gHost->WriteError(std::string("サービスの開始パラメーターを使いません: ") + (argv[i] ? argv[i] : ""));
  }
  try {
    gHost->ReportStatus(qw::ServiceState::StartPending);
    std::thread serviceThread(ServiceThread);
    serviceThread.join();
  } catch (...) {
    gHost->WriteFailure("実行", qw::ExceptionText(std::current_exception()));
  }
  gHost->ReportStopped();
}

std::u16string ModulePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return u"";
    if (n < buffer.size()) return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), n);
    buffer.resize(buffer.size() * 2);
  }
}

// Writes the test mail's text (Shift-JIS, LF line ends) where the caller can
// read it: to a console as UTF-16 (readable whatever its code page), to a
// redirected standard output as UTF-8. A program started from a console
// without one of its own attaches to the parent's.
void PrintText(const std::string& sjis, DWORD stream = STD_OUTPUT_HANDLE) {
  HANDLE out = GetStdHandle(stream);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) {
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
      out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
    }
  }
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  std::string text;
  for (char c : sjis) {
    if (c == '\n') text += '\r';
    text += c;
  }
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    const std::u16string wide = qw::SjisToUtf16(text);
    DWORD written = 0;
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  const std::string utf8 = qw::SjisToUtf8(text);
  DWORD written = 0;
  WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

bool IsAdministrator() {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &administrators))
    return false;
  BOOL member = FALSE;
  if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
  FreeSid(administrators);
  return member != FALSE;
}

// One line of standard input (at most 1024 bytes; CR LF or LF ends it).
qw::Status ReadInputLine(std::string* line) {
  line->clear();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE)
    return qw::Status::Failure("GetStdHandle", 0, "標準入力がありません");
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (!ReadFile(in, &c, 1, &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) break;  // the writer closed: the end
      return qw::LastSystemFailure("ReadFile");
    }
    if (got == 0 || c == '\n') break;
    *line += c;
    if (line->size() > 1024) return qw::Status::Failure("ReadFile", 0, "1024 バイトを超える行です");
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return qw::Status();
}

// /SETSECRET PASSWORD (the SMTP password) or /SETSECRET CLIENTSECRET (the
// OAuth 2.0 client secret): the value from standard input (never from the
// command line, which every user can see) into the settings file, protected,
// and the file's rights limited to SYSTEM and Administrators. Exit 0 when
// stored and protected; 1 when nothing was stored; 3 when the value is
// stored protected but others can still read the file (the message says who).
int SetSecret(qw::Profiles& profiles, const std::vector<std::string>& args) {
  auto fail = [](const std::string& text, int code) {
    PrintText("QuotawardenService /SETSECRET: " + text + "\n", STD_ERROR_HANDLE);
    return code;
  };
  size_t at = 0;
  while (at < args.size() && !qw::HasSwitch({args[at]}, "SETSECRET")) ++at;
  const bool clientSecret = at + 1 < args.size() && qw::EqualsCaseless(args[at + 1], qw::kKeyClientSecret);
  if (at + 1 >= args.size() || (!qw::EqualsCaseless(args[at + 1], "PASSWORD") && !clientSecret))
    return fail("保存する値の名前 PASSWORD か CLIENTSECRET を続けてください (値は標準入力から読みます)", 64);
  const char* key = clientSecret ? qw::kKeyClientSecret : qw::kKeyPassword;
  const std::string what = clientSecret ? "クライアント シークレット" : "パスワード";
  if (!IsAdministrator()) return fail("管理者として実行してください", 1);
  std::string clear;
  if (const qw::Status read = ReadInputLine(&clear); !read)
    return fail("標準入力を読めません: " + read.Describe(), 1);
  if (clear.empty()) return fail("標準入力に" + what + "がありません (1 行を読みます)", 1);
  const qw::Result<std::string> protectedForm = qw::ProtectSecret(clear);
  if (!protectedForm) return fail(what + "を保護できません: " + protectedForm.status().Describe(), 1);
  const std::string& stored = *protectedForm;
  const std::string path = qw::SettingsFilePath("", qw::kIniFileName);
  // A missing file is made with its rights first, so the value is never in
  // a file others can read.
  if (GetFileAttributesW(reinterpret_cast<LPCWSTR>(qw::SjisToUtf16(path).c_str())) == INVALID_FILE_ATTRIBUTES) {
    const HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(qw::SjisToUtf16(path).c_str()), GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (const qw::Status rights = qw::ProtectSettingsFile(path); !rights)
      return fail(path + " の権限を設定できません: " + rights.Describe(), 1);
  }
  qw::Result<qw::ProfileSnapshot> read = profiles.ReadSnapshot(qw::kIniFileName);
  if (!read) return fail(path + " を読めません: " + read.status().Describe(), 1);
  qw::ProfileSnapshot& ini = *read;
  ini.WriteString(qw::kSectionMail, key, stored);
  if (const qw::Status written = profiles.WriteSnapshot(qw::kIniFileName, ini); !written)
    return fail(path + " に書き込めません: " + written.Describe(), 1);
  if (const qw::Status rights = qw::ProtectSettingsFile(path); !rights)
    return fail(what + "は保護して保存しましたが、" + path + " の権限を設定できません: " + rights.Describe(), 3);
  const qw::Result<std::vector<std::string>> readers = qw::SecretFileReaders(path);
  if (!readers)
    return fail(what + "は保護して保存しましたが、" + path + " の権限を確かめられません: " +
                    readers.status().Describe(),
                3);
  if (!readers->empty())
    return fail(what + "は保護して保存しましたが、" + path + " の権限が保たれず、" + qw::GroupNames(*readers) +
                    " が読めます",
                3);
  PrintText("QuotawardenService /SETSECRET: " + path + " に" + what + "を保護して保存しました\n");
  return 0;
}

std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return args;
  for (int i = 1; i < argc; ++i) args.push_back(qw::Utf16ToSjis(reinterpret_cast<const char16_t*>(argv[i])));
  LocalFree(argv);
  return args;
}

}  // namespace

int main() {
  const std::vector<std::string> args = Arguments();
  const std::u16string exePath = ModulePath();
  const std::string exeSource = qw::Utf16ToSjis(exePath.substr(exePath.find_last_of(u"\\/") + 1));

  // The service object and its components belong to the main thread, so the
  // check timer's messages arrive here.
  auto profiles = qw::NewSystemProfiles("");
  auto drives = qw::NewSystemDrives("");
  auto system = qw::NewSystemInfo();
  auto log = qw::NewSystemEventLog();
  qw::MessageLoop& loop = qw::ThisThreadLoop();
  std::unique_ptr<qw::TDrivewarden> service =
      qw::CreateDrivewarden({*profiles, *drives, *system, *log}, loop);

  const qw::HostSwitches switches = qw::ParseSwitches(args);
  if (switches.install || switches.uninstall) {
    auto boxes = qw::NewSystemMessageBoxes();
    ScmRegistry registry;
    if (switches.uninstall) return qw::UninstallService(registry, *boxes, exePath, switches.silent);
    auto manager = qw::NewSystemServiceManager();
    std::string recoveryNote;
    const int installed = qw::InstallService(registry, *manager, *boxes, exePath, switches.silent, &recoveryNote);
    if (!recoveryNote.empty()) log->Report(exeSource, qw::EventType::Warning, 0, 0, recoveryNote);
    // A settings file already there gets the rights of one that holds a
    // secret; one that does not keep them is the service's warning at load.
    const std::string settingsPath = qw::SettingsFilePath("", qw::kIniFileName);
    if (installed == 0 && GetFileAttributesW(reinterpret_cast<LPCWSTR>(qw::SjisToUtf16(settingsPath).c_str())) !=
                              INVALID_FILE_ATTRIBUTES) {
      if (const qw::Status rights = qw::ProtectSettingsFile(settingsPath); !rights)
        log->Report(exeSource, qw::EventType::Warning, 0, 0,
                    settingsPath + " の権限を SYSTEM と Administrators だけにできません: " + rights.Describe());
    }
    return installed;
  }
  if (!switches.install && !switches.uninstall && qw::HasSwitch(args, "SETSECRET")) return SetSecret(*profiles, args);
  // /HISTORY: the free-space history and the forecast as text, for a
  // server without a desktop; 1 with the reason when the file is damaged.
  if (qw::HasSwitch(args, "HISTORY")) {
    const qw::Result<std::string> folder = qw::StateFolder("", "");
    if (!folder.Ok()) {
      PrintText("QuotawardenService /HISTORY: " + folder.status().Describe() + "\n", STD_ERROR_HANDLE);
      return 1;
    }
    const qw::HistoryPrint print = qw::PrintHistory(*folder, *system);
    PrintText(print.text, print.exitCode == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    return print.exitCode;
  }
  service->SetSecretSources(qw::SettingsFilePath("", qw::kIniFileName), "");

  if (switches.testMail) {
    const qw::TTestMailRun run = qw::RunTestMail(*service, *system);
    PrintText(run.text);
    return run.exitCode;
  }

  // The last check's state goes to %ProgramData%\Quotawarden; a folder that
  // cannot be made is said once and the service runs without the state.
  // The folder is made with its rights when missing; a link is never
  // followed and rights that let others change it are reset, or the state
  // is not used there.
  const qw::Result<std::string> found = qw::StateFolder("", "");
  const std::string stateFolder = found.value_or("");
  qw::Status folder = found.status();
  std::vector<std::string> repaired;
  if (folder.Ok()) folder = qw::PrepareStateFolder(stateFolder, qw::kStateFileName, &repaired);
  for (const std::string& line : repaired) log->Report(qw::kEventSource, qw::EventType::Warning, 0, qw::kCheckEventId, line);
  if (folder.Ok())
    service->SetStateFolder(stateFolder);
  else
    log->Report(qw::kEventSource, qw::EventType::Error, 0, qw::kCheckEventId,
                std::string(qw::kStateNotWritten) + folder.Describe());

  ScmStatus status;
  qw::ServiceHost host(*service, status, *log, &loop);
  gHost = &host;
  gQueueReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  DWORD dispatchError = 0;
  std::thread dispatcher([&] {
    static char name[] = "Drivewarden";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) dispatchError = GetLastError();
    loop.Quit();
  });
  qw::RunMainLoop(loop, *log, exeSource);
  dispatcher.join();
  if (dispatchError != 0) {
    const qw::Status dispatched = qw::SystemFailure("StartServiceCtrlDispatcher", dispatchError);
    log->Report(exeSource, qw::EventType::Error, 0, 0, dispatched.Text());
  }
  gHost = nullptr;
  CloseHandle(gQueueReady);
  return dispatchError == 0 ? 0 : 1;
}

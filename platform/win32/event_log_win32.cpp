#include <windows.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "platform/event_log.h"
#include "platform/system_error.h"
#include "platform/text_codec.h"

namespace qw {

Status AppendLineToFile(const std::string& path, const std::string& line) {
  // The path is Shift-JIS like every text here; the W function takes it
  // whatever the system's ANSI code page.
  const std::u16string wide = SjisToUtf16(path);
  HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(wide.c_str()), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastSystemFailure("CreateFile");
  DWORD written = 0;
  if (!WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    const Status failed = LastSystemFailure("WriteFile");
    CloseHandle(h);
    return failed;
  }
  CloseHandle(h);
  if (written != line.size())
    return Status::Failure("WriteFile", 0,
                           std::to_string(written) + " of " + std::to_string(line.size()) + " bytes written");
  return Status();
}

namespace {

class Win32EventLog : public EventLog {
 public:
  explicit Win32EventLog(std::string jsonFile) : jsonFile_(std::move(jsonFile)) {
    if (jsonFile_.empty()) {
      wchar_t env[32768];
      const DWORD n = GetEnvironmentVariableW(L"QUOTAWARDEN_EVENTLOG", env, 32768);
      if (n > 0 && n < 32768) jsonFile_ = Utf16ToSjis(std::u16string(reinterpret_cast<const char16_t*>(env), n));
    }
  }

  ~Win32EventLog() override {
    for (auto& [name, handle] : sources_) {
      if (handle) DeregisterEventSource(handle);
    }
  }

  void Report(const std::string& source, EventType type, uint16_t category, uint32_t eventId,
              const std::string& fullText) override {
    // The limit counts the UTF-16 code units ReportEventW is given; the
    // events file gets the same text, cut alike.
    const std::u16string full = SjisToUtf16(fullText);
    const std::u16string wide = CutEventText(full);
    const std::string text = wide.size() == full.size() ? fullText : Utf16ToSjis(wide);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      HANDLE& handle = sources_[source];
      if (!handle) {
        std::u16string name = SjisToUtf16(source);
        handle = RegisterEventSourceW(nullptr, reinterpret_cast<LPCWSTR>(name.c_str()));
      }
      LPCWSTR strings[1] = {reinterpret_cast<LPCWSTR>(wide.c_str())};
      if (!handle) {
        Lost(L"RegisterEventSourceW", GetLastError(), wide);
      } else if (!ReportEventW(handle, static_cast<WORD>(type), category, EventMessageId(type, eventId), nullptr, 1,
                               0, strings, nullptr)) {
        Lost(L"ReportEventW", GetLastError(), wide);
      }
    }
    if (!jsonFile_.empty()) {
      const Status appended = AppendLineToFile(jsonFile_, EventJsonLine(source, type, category, eventId, text));
      if (!appended) Lost(L"the events file", static_cast<DWORD>(appended.Code()), wide);
    }
  }

 private:
  // An entry the event log did not take goes to the debugger output (what a
  // service without a console has left), with the call and its error.
  static void Lost(const wchar_t* what, DWORD error, const std::u16string& text) {
    std::wstring line = L"Quotawarden: ";
    line += what;
    line += L" failed (error " + std::to_wstring(error) + L"); the entry: ";
    line.append(text.begin(), text.end());
    line += L"\r\n";
    OutputDebugStringW(line.c_str());
  }

  std::string jsonFile_;
  std::mutex mutex_;
  std::map<std::string, HANDLE> sources_;
};

}  // namespace

std::unique_ptr<EventLog> NewSystemEventLog(const std::string& jsonFile) {
  return std::make_unique<Win32EventLog>(jsonFile);
}

}  // namespace qw

// The thread message loop on the thread's real message queue. A hidden
// message-only window per thread receives posted tasks, Quit and the timers'
// WM_TIMER messages, so they are dispatched by any message loop of the
// thread, modal ones included.
#include <windows.h>

#include <algorithm>
#include <map>
#include <vector>
#include <memory>
#include <mutex>

#include "platform/message_loop.h"
#include "platform/win32/win_loop.h"

namespace qw {

namespace {

constexpr UINT kTaskMessage = WM_APP + 0x101;
constexpr UINT kQuitMessage = WM_APP + 0x102;
// SetTimer takes at most USER_TIMER_MAXIMUM (0x7FFFFFFF) ms; longer periods
// are counted down in chunks of this size.
int64_t kMaxChunkMs = 0x7FFFFFFF;
const wchar_t kWindowClass[] = L"QuotawardenThreadLoop";

// Held through a plain pointer: see tThisLoop below.
thread_local std::exception_ptr* tDispatchError = nullptr;

void RethrowDispatchError() {
  if (tDispatchError) {
    std::exception_ptr error = *tDispatchError;
    delete tDispatchError;
    tDispatchError = nullptr;
    std::rethrow_exception(error);
  }
}

class Win32Timer;

// Loop state used on the loop's thread only.
struct LoopCore {
  HWND window = nullptr;
  std::map<UINT_PTR, Win32Timer*> timers;  // enabled timers by id
  UINT_PTR nextTimerId = 1;
  bool quit = false;
};

class Win32Timer : public Timer {
 public:
  explicit Win32Timer(std::weak_ptr<LoopCore> core) : core_(std::move(core)) {
    if (auto core = core_.lock()) id_ = core->nextTimerId++;
  }
  ~Win32Timer() override { Disarm(); }

  void SetEnabled(bool enabled) override {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled) {
      Arm();
    } else {
      Disarm();
    }
  }
  bool Enabled() const override { return enabled_; }

  void SetInterval(int64_t milliseconds) override {
    if (milliseconds == interval_) return;
    interval_ = milliseconds;
    if (enabled_) Arm();
  }
  int64_t Interval() const override { return interval_; }

  // WM_TIMER of this timer: either the end of a chunk of a long period or a
  // tick.
  void OnTimerMessage() {
    remaining_ -= chunk_;
    if (remaining_ > 0) {
      SetChunk();
      return;
    }
    if (interval_ > kMaxChunkMs) {
      remaining_ = interval_;
      SetChunk();
    } else {
      remaining_ = interval_;  // SetTimer repeats a short period by itself
    }
    std::function<void()> handler = OnTimer;
    if (handler) handler();
  }

 private:
  void Arm() {
    auto core = core_.lock();
    if (!core) return;
    if (interval_ <= 0) {  // no ticks, as a window timer of period 0 would never be wanted
      KillTimer(core->window, id_);
      core->timers.erase(id_);
      return;
    }
    remaining_ = interval_;
    core->timers[id_] = this;
    SetChunk();
  }
  void SetChunk() {
    auto core = core_.lock();
    if (!core) return;
    chunk_ = remaining_ > kMaxChunkMs ? kMaxChunkMs : remaining_;
    SetTimer(core->window, id_, static_cast<UINT>(chunk_), nullptr);
  }
  void Disarm() {
    auto core = core_.lock();
    if (!core) return;
    KillTimer(core->window, id_);
    core->timers.erase(id_);
  }

  std::weak_ptr<LoopCore> core_;
  UINT_PTR id_ = 0;
  bool enabled_ = false;
  int64_t interval_ = 1000;
  int64_t remaining_ = 0;
  int64_t chunk_ = 0;
};

LRESULT CALLBACK LoopWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* core = reinterpret_cast<LoopCore*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  try {
    switch (msg) {
      case kTaskMessage: {
        std::unique_ptr<std::function<void()>> task(reinterpret_cast<std::function<void()>*>(lParam));
        if (task && *task) (*task)();
        return 0;
      }
      case kQuitMessage:
        if (core) core->quit = true;
        return 0;
      case WM_TIMER: {
        if (!core) return 0;
        auto it = core->timers.find(static_cast<UINT_PTR>(wParam));
        if (it == core->timers.end()) return 0;  // a message left by a stopped timer
        it->second->OnTimerMessage();
        return 0;
      }
      default:
        break;
    }
  } catch (...) {
    KeepDispatchError(std::current_exception());
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void RegisterLoopClass() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterWindowClass(kWindowClass, LoopWindowProc, false); });
}

class Win32Loop : public MessageLoop {
 public:
  Win32Loop() : core_(std::make_shared<LoopCore>()) {
    RegisterLoopClass();
    core_->window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    ThisModule(), nullptr);
    if (core_->window) SetWindowLongPtrW(core_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(core_.get()));
  }
  ~Win32Loop() override {
    HWND window = core_->window;
    if (!window) return;
    // Free the tasks still queued; they will never run.
    MSG msg;
    while (PeekMessageW(&msg, window, kTaskMessage, kTaskMessage, PM_REMOVE)) {
      delete reinterpret_cast<std::function<void()>*>(msg.lParam);
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    DestroyWindow(window);
  }

  std::unique_ptr<Timer> CreateTimer() override { return std::make_unique<Win32Timer>(core_); }

  void Post(std::function<void()> task) override {
    auto* heapTask = new std::function<void()>(std::move(task));
    if (!core_->window || !PostMessageW(core_->window, kTaskMessage, 0, reinterpret_cast<LPARAM>(heapTask))) {
      delete heapTask;
    }
  }

  // Dispatches the window messages of the thread. Thread messages (posted
  // with PostThreadMessage, no window) are left in the queue for the loop
  // that owns them: DispatchMessage would drop them, and a wait of ours may
  // run inside that loop's handler (a service control request arriving
  // while a check sends mail must not be lost).
  bool ProcessPending() override {
    bool any = false;
    std::vector<UINT> leftIds;  // ids of thread messages left queued, sorted
    // A bounded batch, so that a handler that keeps posting cannot hold the
    // caller here for ever.
    for (int n = 0; n < 4096; ++n) {
      MSG msg;
      if (!PeekOutside(leftIds, &msg)) break;
      if (msg.message == WM_QUIT) {
        PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        core_->quit = true;
        any = true;
        break;
      }
      if (msg.hwnd == nullptr) {
        leftIds.insert(std::upper_bound(leftIds.begin(), leftIds.end(), msg.message), msg.message);
        continue;
      }
      if (!PeekMessageW(&msg, msg.hwnd, msg.message, msg.message, PM_REMOVE)) continue;
      any = true;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      RethrowDispatchError();
    }
    return any;
  }

  void WaitAndProcess(int64_t maxWaitMs) override {
    if (ProcessPending()) return;
    DWORD wait = INFINITE;
    if (maxWaitMs >= 0) wait = maxWaitMs >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(maxWaitMs);
    // Only input that arrives from now on wakes the wait: thread messages
    // left queued above must not make it return at once again and again.
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, 0);
    ProcessPending();
  }

  void Run() override {
    while (!core_->quit) {
      MSG msg;
      BOOL got = GetMessageW(&msg, nullptr, 0, 0);
      if (got == 0 || got == -1) break;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      RethrowDispatchError();
    }
    core_->quit = false;
  }

  void Quit() override {
    if (core_->window) PostMessageW(core_->window, kQuitMessage, 0, 0);
  }

 private:
  // Looks (without removing) at the next message whose id is not in `left`.
  static bool PeekOutside(const std::vector<UINT>& left, MSG* msg) {
    UINT low = 0;
    for (UINT id : left) {
      if (id > low && PeekMessageW(msg, nullptr, low, id - 1, PM_NOREMOVE)) return true;
      low = id + 1;
      if (low == 0) return false;  // wrapped past the last id
    }
    return PeekMessageW(msg, nullptr, low, 0xFFFFFFFF, PM_NOREMOVE) != 0;
  }

  std::shared_ptr<LoopCore> core_;
};

// The loop of each thread, freed when the thread ends through a fiber-local
// slot's callback (a thread_local object with a destructor is not reliable
// in statically linked MinGW programs).
thread_local Win32Loop* tThisLoop = nullptr;

void CALLBACK FreeThreadLoop(void* loop) {
  if (!loop) return;
  if (tThisLoop == loop) tThisLoop = nullptr;
  delete static_cast<Win32Loop*>(loop);
}

DWORD LoopSlot() {
  static DWORD slot = FlsAlloc(FreeThreadLoop);
  return slot;
}

}  // namespace

void SetTimerChunkLimitForTesting(int64_t milliseconds) { kMaxChunkMs = milliseconds; }

void PostThreadMessageForTesting(uint32_t message) { PostThreadMessageW(GetCurrentThreadId(), message, 7, 0); }

bool TakeThreadMessageForTesting(uint32_t message) {
  MSG msg;
  return PeekMessageW(&msg, reinterpret_cast<HWND>(-1), message, message, PM_REMOVE) && msg.wParam == 7;
}

void KeepDispatchError(std::exception_ptr error) {
  if (!tDispatchError) tDispatchError = new std::exception_ptr(error);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

bool RegisterWindowClass(const wchar_t* name, WNDPROC proc, bool formLook) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = ThisModule();
  if (formLook) {
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  }
  wc.lpszClassName = name;
  return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

MessageLoop& ThisThreadLoop() {
  if (!tThisLoop) {
    tThisLoop = new Win32Loop();
    if (LoopSlot() != FLS_OUT_OF_INDEXES) FlsSetValue(LoopSlot(), tThisLoop);
  }
  return *tThisLoop;
}

}  // namespace qw

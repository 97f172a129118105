// The client socket on Windows Sockets: WSAAsyncSelect delivers its
// notifications to a hidden message-only window of the thread that opened
// the socket. Names are looked up with GetAddrInfoW (both families) on a
// helper thread, which posts its answer to the same window; the addresses
// are dialled one after the other, each on a socket of its own family.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/client_socket.h"
#include "platform/text_codec.h"
#include "platform/win32/system_message.h"
#include "platform/win32/win_loop.h"

namespace qw {

namespace {

constexpr UINT kSelectMessage = WM_APP + 0x201;
constexpr UINT kLookupMessage = WM_APP + 0x202;
constexpr UINT kDialFailedMessage = WM_APP + 0x203;

bool FromSockaddr(const sockaddr_storage& from, IpAddress* address) {
  IpAddress result;
  if (from.ss_family == AF_INET) {
    std::memcpy(result.bytes, &reinterpret_cast<const sockaddr_in*>(&from)->sin_addr, 4);
  } else if (from.ss_family == AF_INET6) {
    result.v6 = true;
    std::memcpy(result.bytes, &reinterpret_cast<const sockaddr_in6*>(&from)->sin6_addr, 16);
  } else {
    return false;
  }
  *address = result;
  return true;
}

// One lookup, shared by the socket and its helper thread. The socket lets go
// of it by clearing `window` (under the lock), after which the thread posts
// nothing; the thread's answer waits here until the message arrives.
struct LookupJob {
  std::mutex mu;
  HWND window = nullptr;
  UINT_PTR serial = 0;
  std::u16string host;
  std::vector<IpAddress> resolved;
  int code = 0;
};

DWORD WINAPI LookupThread(LPVOID parameter) {
  std::unique_ptr<std::shared_ptr<LookupJob>> holder(static_cast<std::shared_ptr<LookupJob>*>(parameter));
  std::shared_ptr<LookupJob> job = *holder;
  std::wstring host(job->host.begin(), job->host.end());
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;  // both families
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* found = nullptr;
  int rc = GetAddrInfoW(host.c_str(), nullptr, &hints, &found);
  std::vector<IpAddress> resolved;
  int code = 0;
  if (rc == 0) {
    for (ADDRINFOW* at = found; at; at = at->ai_next) {
      if (!at->ai_addr || at->ai_addrlen > sizeof(sockaddr_storage)) continue;
      sockaddr_storage copy{};
      std::memcpy(&copy, at->ai_addr, at->ai_addrlen);
      IpAddress address;
      if (FromSockaddr(copy, &address)) resolved.push_back(address);
    }
    if (resolved.empty()) code = WSANO_DATA;
  } else {
    code = rc;
  }
  if (found) FreeAddrInfoW(found);
  if (!resolved.empty()) resolved = InterleaveFamilies(resolved);
  std::lock_guard<std::mutex> lock(job->mu);
  job->resolved = std::move(resolved);
  job->code = code;
  if (job->window) PostMessageW(job->window, kLookupMessage, job->serial, 0);
  return 0;
}
const wchar_t kWindowClass[] = L"QuotawardenSocketWindow";

LRESULT CALLBACK SocketWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

void RegisterSocketClass() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterWindowClass(kWindowClass, SocketWindowProc, false); });
}

class Win32ClientSocket : public ClientSocket {
 public:
  Win32ClientSocket() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Win32ClientSocket() override {
    Release();
    if (window_) {
      SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      DestroyWindow(window_);
    }
    if (started_) WSACleanup();
  }

  Status Open() override {
    if (socket_ != INVALID_SOCKET || lookup_ || connecting_) return Status();
    const Status window = EnsureWindow();
    if (!window) return window;
    addresses_.clear();
    next_ = 0;
    attempts_ = 0;
    lastError_ = 0;
    current_.clear();
    ++serial_;
    // Only an address literal is taken as a number (inet_addr would make
    // "1.2.3.4.5" 255.255.255.255); a name that looks numeric otherwise is
    // not handed to the resolver, which would read "127.1" in the old forms.
    IpAddress literal;
    const std::string& target = Host().empty() ? Address() : Host();
    if (ParseHostLiteral(target, &literal)) {
      addresses_.push_back(literal);
      DialNext();
    } else if (Host().empty() || LooksNumeric(Host())) {
      // Reported like a failed connection: as a notification.
      connecting_ = true;
      PostMessageW(window_, kDialFailedMessage, serial_, WSAHOST_NOT_FOUND);
    } else {
      return StartLookup();
    }
    return Status();
  }

  bool TryNextAddress() override {
    if (!connecting_ || socket_ == INVALID_SOCKET || next_ >= addresses_.size()) return false;
    lastError_ = WSAETIMEDOUT;  // this one stayed silent
    DialNext();
    return true;
  }

  std::string AttemptAddressText() override { return current_; }
  int AttemptCount() override { return attempts_; }

  void Close() override {
    if (connected_) {
      CloseConnection();
    } else {
      Release();
    }
  }

  bool Active() const override { return connected_; }

  Result<int> SendBytes(const void* bytes, int count) override {
    if (!connected_) return NotConnected();
    if (count <= 0) return 0;
    int sent, err = 0;
    {
      std::lock_guard<std::mutex> lock(io_);
      sent = send(socket_, static_cast<const char*>(bytes), count, 0);
      if (sent == SOCKET_ERROR) err = WSAGetLastError();
    }
    if (sent != SOCKET_ERROR) return sent;
    if (err == WSAEWOULDBLOCK) return 0;  // FD_WRITE follows
    // The failure is the result: the notification informs, nothing raises.
    Status failure = ApiFailure(err, "send");
    Alive alive(this);
    ReportCallError(eeSend, err);
    if (alive.Still() && connected_) CloseConnection();
    return failure;
  }

  int PendingLength() override {
    if (socket_ == INVALID_SOCKET) return 0;
    u_long pending = 0;
    if (ioctlsocket(socket_, FIONREAD, &pending) != 0) return 0;
    return static_cast<int>(pending);
  }

  int ReceiveBytes(void* buffer, int count) override {
    if (!connected_ || count <= 0) return 0;
    int got, err = 0;
    {
      std::lock_guard<std::mutex> lock(io_);
      got = recv(socket_, static_cast<char*>(buffer), count, 0);
      if (got == SOCKET_ERROR) err = WSAGetLastError();
    }
    if (got != SOCKET_ERROR) return got;
    if (err == WSAEWOULDBLOCK) return 0;
    FailConnection(eeReceive, err, "recv");
    return 0;
  }

  std::string LocalHostName() override {
    if (socket_ == INVALID_SOCKET) return "";
    // The fully qualified DNS name when the computer has one (a local
    // query, no resolver involved), else the host name.
    char full[257] = {};
    DWORD size = sizeof full - 1;
    if (GetComputerNameExA(ComputerNameDnsFullyQualified, full, &size) && size > 0 && size <= 256) {
      return std::string(full, size);
    }
    char name[257] = {};
    if (gethostname(name, 256) != 0) return "";
    return name;
  }

  std::string LocalAddressText() override {
    if (socket_ == INVALID_SOCKET) return "";
    sockaddr_storage local{};
    int len = sizeof local;
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return "";
    IpAddress address;
    if (!FromSockaddr(local, &address)) return "";
    return address.Text();
  }

  // Messages of the hidden window.
  void OnLookupMessage(WPARAM wParam, LPARAM) {
    if (!lookup_ || wParam != lookup_->serial) return;  // abandoned meanwhile
    std::shared_ptr<LookupJob> job = std::move(lookup_);
    std::vector<IpAddress> resolved;
    int code;
    {
      std::lock_guard<std::mutex> lock(job->mu);
      job->window = nullptr;
      resolved = std::move(job->resolved);
      code = job->code;
    }
    if (code != 0) {
      Alive alive(this);
      int left = ReportCallError(eeLookup, code);
      if (!alive.Still()) return;
      if (OnDisconnect) {
        std::function<void()> handler = OnDisconnect;
        handler();
        if (!alive.Still()) return;
      }
      Release();
      if (left != 0) ThrowAsyncError(left);
      return;
    }
    addresses_ = std::move(resolved);
    next_ = 0;
    DialNext();
  }

  void OnDialFailedMessage(WPARAM wParam, LPARAM lParam) {
    if (wParam != serial_ || !connecting_ || connected_) return;  // an old attempt's
    Release();
    ReportAsyncError(eeConnect, static_cast<int>(lParam));
  }

  void OnSelectMessage(WPARAM wParam, LPARAM lParam) {
    if (socket_ == INVALID_SOCKET || static_cast<SOCKET>(wParam) != socket_) return;  // an old socket's
    int event = WSAGETSELECTEVENT(lParam);
    int code = WSAGETSELECTERROR(lParam);
    Alive alive(this);
    if (code != 0) {
      switch (event) {
        case FD_CONNECT:
          // This address refused or could not be reached: the next one, or
          // the error notification when none is left.
          lastError_ = code;
          DialNext();
          return;
        case FD_CLOSE: {
          // The connection broke: report it, then close it, so that the
          // socket does not stay Active with nothing left to notify.
          int left = ReportCallError(eeDisconnect, code);
          if (!alive.Still()) return;
          if (connected_) CloseConnection();
          if (left != 0) ThrowAsyncError(left);
          return;
        }
        case FD_READ: ReportAsyncError(eeReceive, code); return;
        case FD_WRITE: ReportAsyncError(eeSend, code); return;
        case FD_ACCEPT: ReportAsyncError(eeAccept, code); return;
        default: ReportAsyncError(eeGeneral, code); return;
      }
    }
    switch (event) {
      case FD_CONNECT:
        connecting_ = false;
        connected_ = true;
        Notify(OnConnect);
        break;
      case FD_READ:
        if (connected_) Notify(OnRead);
        break;
      case FD_WRITE:
        if (connected_) Notify(OnWrite);
        break;
      case FD_CLOSE:
        if (!connected_) break;
        // Data first: a last reply before the close is not lost.
        if (PendingLength() > 0) {
          Notify(OnRead);
          if (!alive.Still() || !connected_) break;
        }
        CloseConnection();
        break;
      default:
        break;
    }
  }

 protected:
  std::string ErrorText(int code) override {
    // The system's words through the W function, whatever the ANSI code page.
    std::string result = Utf16ToSjis(SystemMessage(static_cast<uint32_t>(code)));
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) result.pop_back();
    return result;
  }

 private:
  // Tells whether the socket survived a handler (which may destroy it).
  class Alive {
   public:
    explicit Alive(Win32ClientSocket* s) : token_(s->token_) {}
    bool Still() const { return !token_.expired(); }

   private:
    std::weak_ptr<int> token_;
  };

  void Notify(const std::function<void()>& notification) {
    if (notification) {
      std::function<void()> handler = notification;
      handler();
    }
  }

  Status EnsureWindow() {
    if (window_ && windowThread_ == GetCurrentThreadId()) return Status();
    if (window_) {
      SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      DestroyWindow(window_);
    }
    RegisterSocketClass();
    window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ThisModule(), nullptr);
    if (!window_) {
      const int error = static_cast<int>(GetLastError());
      return Status::Failure("CreateWindowExW", error, "ソケットが作成できません");
    }
    windowThread_ = GetCurrentThreadId();
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return Status();
  }

  Status StartLookup() {
    auto job = std::make_shared<LookupJob>();
    job->window = window_;
    job->serial = serial_;
    job->host = SjisToUtf16(HostWithoutBrackets(Host()));
    auto* parameter = new std::shared_ptr<LookupJob>(job);
    HANDLE thread = CreateThread(nullptr, 0, LookupThread, parameter, 0, nullptr);
    if (!thread) {
      const DWORD error = GetLastError();
      delete parameter;
      Release();
      return ApiFailure(static_cast<int>(error), "GetAddrInfoW");
    }
    CloseHandle(thread);
    lookup_ = std::move(job);
    connecting_ = true;
    return Status();
  }

  // Starts the attempt to the next address that can be dialled; an address
  // whose attempt fails at once is passed over. With none left, the error
  // notification follows with the last failure's error.
  void DialNext() {
    connecting_ = true;
    while (next_ < addresses_.size()) {
      const IpAddress address = addresses_[next_++];
      ++attempts_;
      current_ = address.Text();
      CloseSocketOnly();
      const int code = StartConnect(address);
      if (code == 0) return;
      lastError_ = code;
    }
    CloseSocketOnly();
    PostMessageW(window_, kDialFailedMessage, serial_, lastError_ != 0 ? lastError_ : WSAECONNREFUSED);
  }

  // 0 when the connection is under way (its end comes as FD_CONNECT), else
  // the error.
  int StartConnect(const IpAddress& address) {
    sockaddr_storage peer{};
    int length = 0;
    if (address.v6) {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(static_cast<u_short>(Port()));
      std::memcpy(&v6->sin6_addr, address.bytes, 16);
      length = sizeof *v6;
    } else {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
      v4->sin_family = AF_INET;
      v4->sin_port = htons(static_cast<u_short>(Port()));
      std::memcpy(&v4->sin_addr, address.bytes, 4);
      length = sizeof *v4;
    }
    SOCKET s = socket(peer.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);  // small commands
    socket_ = s;
    if (WSAAsyncSelect(socket_, window_, kSelectMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) {
      return WSAGetLastError();
    }
    if (connect(socket_, reinterpret_cast<sockaddr*>(&peer), length) == SOCKET_ERROR) {
      const int err = WSAGetLastError();
      if (err != WSAEWOULDBLOCK) return err;
    }
    return 0;
  }

  // Closes the socket of an attempt, with the notifications it left queued
  // (the next socket may get the same handle value).
  void CloseSocketOnly() {
    if (socket_ == INVALID_SOCKET) return;
    if (window_) WSAAsyncSelect(socket_, window_, 0, 0);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
    MSG stale;
    while (window_ && PeekMessageW(&stale, window_, kSelectMessage, kSelectMessage, PM_REMOVE)) {
    }
  }

  // OnDisconnect, then the socket is released.
  void CloseConnection() {
    Alive alive(this);
    Notify(OnDisconnect);
    if (!alive.Still()) return;
    Release();
  }

  void FailConnection(TErrorEvent event, int code, const char* api) {
    Alive alive(this);
    int left = ReportCallError(event, code);
    if (!alive.Still()) return;
    if (connected_) CloseConnection();
    if (left != 0) ThrowApiError(left, api);
  }

  void Release() {
    if (lookup_) {
      std::lock_guard<std::mutex> lock(lookup_->mu);
      lookup_->window = nullptr;  // the helper thread posts nothing now
    }
    lookup_.reset();
    if (socket_ != INVALID_SOCKET) {
      if (window_) WSAAsyncSelect(socket_, window_, 0, 0);
      closesocket(socket_);
    }
    socket_ = INVALID_SOCKET;
    connected_ = false;
    connecting_ = false;
    ++serial_;
    // Notifications of the closed socket still queued must not reach the
    // next one, which may get the same handle value.
    MSG stale;
    while (window_ && PeekMessageW(&stale, window_, kSelectMessage, kDialFailedMessage, PM_REMOVE)) {
    }
  }

  std::shared_ptr<int> token_ = std::make_shared<int>(0);
  bool started_ = false;
  HWND window_ = nullptr;
  DWORD windowThread_ = 0;
  SOCKET socket_ = INVALID_SOCKET;
  std::shared_ptr<LookupJob> lookup_;
  bool connected_ = false;
  bool connecting_ = false;           // from Open to the connect or error notification
  UINT_PTR serial_ = 0;               // of this Open; older messages are dropped
  std::vector<IpAddress> addresses_;  // of this Open, in the order of the attempts
  size_t next_ = 0;                   // the next one to try
  int attempts_ = 0;
  int lastError_ = 0;                 // of the last failed attempt
  std::string current_;               // the address of the attempt in progress or last made
  std::mutex io_;
};

LRESULT CALLBACK SocketWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kSelectMessage || msg == kLookupMessage || msg == kDialFailedMessage) {
    auto* socket = reinterpret_cast<Win32ClientSocket*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!socket) return 0;
    try {
      if (msg == kSelectMessage) {
        socket->OnSelectMessage(wParam, lParam);
      } else if (msg == kDialFailedMessage) {
        socket->OnDialFailedMessage(wParam, lParam);
      } else {
        socket->OnLookupMessage(wParam, lParam);
      }
    } catch (...) {
      KeepDispatchError(std::current_exception());
    }
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

std::unique_ptr<ClientSocket> NewClientSocket() { return std::make_unique<Win32ClientSocket>(); }

}  // namespace qw

// The client socket on Windows Sockets 1.1: WSAAsyncSelect and
// WSAAsyncGetHostByName deliver their notifications to a hidden message-only
// window of the thread that opened the socket.
#include <winsock2.h>
#include <windows.h>

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
    started_ = WSAStartup(MAKEWORD(1, 1), &data) == 0;
    lookupBuffer_.resize(MAXGETHOSTSTRUCT > 1024 ? MAXGETHOSTSTRUCT : 1024);
  }
  ~Win32ClientSocket() override {
    Release();
    if (window_) {
      SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      DestroyWindow(window_);
    }
    if (started_) WSACleanup();
  }

  void Open() override {
    if (socket_ != INVALID_SOCKET) return;
    EnsureWindow();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) throw ESocketError("ソケットが作成できません");
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);  // small commands
    socket_ = s;
    // Only a dotted quad is taken as a number (inet_addr would make
    // "1.2.3.4.5" 255.255.255.255); a name that looks numeric otherwise is
    // not handed to the resolver, which would read "127.1" in the old forms.
    uint32_t address = 0;
    const std::string& target = Host().empty() ? Address() : Host();
    if (ParseDottedQuad(target, &address)) {
      Connect(address);
    } else if (Host().empty() || LooksNumeric(Host())) {
      // Reported like a failed connection: as a notification.
      WSAAsyncSelect(socket_, window_, kSelectMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
      PostMessageW(window_, kSelectMessage, static_cast<WPARAM>(socket_),
                   WSAMAKESELECTREPLY(FD_CONNECT, WSAHOST_NOT_FOUND));
    } else {
      lookup_ = WSAAsyncGetHostByName(window_, kLookupMessage, Host().c_str(), lookupBuffer_.data(),
                                      static_cast<int>(lookupBuffer_.size()));
      if (!lookup_) {
        int code = WSAGetLastError();
        Release();
        ThrowApiError(code, "WSAASyncGetHostByName");
      }
    }
  }

  void Close() override {
    if (connected_) {
      CloseConnection();
    } else {
      Release();
    }
  }

  bool Active() const override { return connected_; }

  int SendBytes(const void* bytes, int count) override {
    if (!connected_ || count <= 0) return 0;
    int sent, err = 0;
    {
      std::lock_guard<std::mutex> lock(io_);
      sent = send(socket_, static_cast<const char*>(bytes), count, 0);
      if (sent == SOCKET_ERROR) err = WSAGetLastError();
    }
    if (sent != SOCKET_ERROR) return sent;
    if (err == WSAEWOULDBLOCK) return -1;  // FD_WRITE follows
    FailConnection(eeSend, err, "send");
    return -1;
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
    sockaddr_in local{};
    int len = sizeof local;
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return "";
    return inet_ntoa(local.sin_addr);
  }

  // Messages of the hidden window.
  void OnLookupMessage(WPARAM wParam, LPARAM lParam) {
    if (!lookup_ || reinterpret_cast<HANDLE>(wParam) != lookup_) return;
    lookup_ = nullptr;
    int code = WSAGETASYNCERROR(lParam);
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
    auto* host = reinterpret_cast<hostent*>(lookupBuffer_.data());
    if (!host->h_addr_list || !host->h_addr_list[0]) {
      Release();
      ReportAsyncError(eeLookup, WSANO_DATA);
      return;
    }
    in_addr address;
    memcpy(&address, host->h_addr_list[0], sizeof address);
    Connect(address.s_addr);
  }

  void OnSelectMessage(WPARAM wParam, LPARAM lParam) {
    if (socket_ == INVALID_SOCKET || static_cast<SOCKET>(wParam) != socket_) return;  // an old socket's
    int event = WSAGETSELECTEVENT(lParam);
    int code = WSAGETSELECTERROR(lParam);
    Alive alive(this);
    if (code != 0) {
      switch (event) {
        case FD_CONNECT:
          Release();  // the connection never came about
          ReportAsyncError(eeConnect, code);
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

  void EnsureWindow() {
    if (window_ && windowThread_ == GetCurrentThreadId()) return;
    if (window_) {
      SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
      DestroyWindow(window_);
    }
    RegisterSocketClass();
    window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ThisModule(), nullptr);
    if (!window_) throw ESocketError("ソケットが作成できません");
    windowThread_ = GetCurrentThreadId();
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }

  void Connect(unsigned long address) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(Port()));
    peer.sin_addr.s_addr = address;
    WSAAsyncSelect(socket_, window_, kSelectMessage, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
    if (connect(socket_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
      int err = WSAGetLastError();
      if (err != WSAEWOULDBLOCK) {
        // Reported like a failed connection: as a notification.
        PostMessageW(window_, kSelectMessage, static_cast<WPARAM>(socket_), WSAMAKESELECTREPLY(FD_CONNECT, err));
      }
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
      WSACancelAsyncRequest(lookup_);
      lookup_ = nullptr;
    }
    if (socket_ != INVALID_SOCKET) {
      if (window_) WSAAsyncSelect(socket_, window_, 0, 0);
      closesocket(socket_);
    }
    socket_ = INVALID_SOCKET;
    connected_ = false;
    // Notifications of the closed socket still queued must not reach the
    // next one, which may get the same handle value.
    MSG stale;
    while (window_ && PeekMessageW(&stale, window_, kSelectMessage, kLookupMessage, PM_REMOVE)) {
    }
  }

  std::shared_ptr<int> token_ = std::make_shared<int>(0);
  bool started_ = false;
  HWND window_ = nullptr;
  DWORD windowThread_ = 0;
  SOCKET socket_ = INVALID_SOCKET;
  HANDLE lookup_ = nullptr;
  bool connected_ = false;
  std::vector<char> lookupBuffer_;
  std::mutex io_;
};

LRESULT CALLBACK SocketWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kSelectMessage || msg == kLookupMessage) {
    auto* socket = reinterpret_cast<Win32ClientSocket*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!socket) return 0;
    try {
      if (msg == kSelectMessage) {
        socket->OnSelectMessage(wParam, lParam);
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

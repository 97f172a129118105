// HttpClient on WinHTTP, synchronous, on a worker thread of its own per
// request. The calling thread waits for the worker, the overall time-out or
// a Cancel, whichever comes first; on the last two it closes the request's
// handles (which ends a synchronous WinHTTP call in progress) and returns at
// once, whether or not the worker has finished: nothing the worker still
// touches belongs to the caller.
//
// The machine's WinHTTP proxy settings apply unless the request names a
// proxy. The server's certificate is verified by WinHTTP and then once more
// here, through the local machine's chain engine (the roots a service
// trusts), as soon as WinHTTP has it (WINHTTP_CALLBACK_STATUS_SENDING_REQUEST)
// and again before the body is written: a chain that WinHTTP let through but
// the machine's roots do not reach never receives the body, and its answer is
// never taken. The handles are closed in that notification to end the send;
// Wine 8's WinHTTP sends the request line and headers all the same, so there
// only the body is held back.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/http_client.h"
#include "platform/http_url.h"
#include "platform/text_codec.h"
#include "platform/win32/server_certificate.h"
#include "platform/win32/system_message.h"

namespace qw {
namespace {

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

// How long a Send that has given up waits for its worker to notice the
// closed handles before it returns without it. Under Wine a blocked receive
// does not end when its handle is closed (only at WinHTTP's own time-outs,
// which are the request's), so this stays short.
constexpr auto kWorkerGrace = std::chrono::milliseconds(250);

Status HttpFailure(int64_t code, const std::string& text, StatusKind kind = StatusKind::kOther) {
  return Status::Failure("HTTP", code, text, kind);
}

const char* WinHttpErrorName(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return "ERROR_WINHTTP_TIMEOUT";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "ERROR_WINHTTP_NAME_NOT_RESOLVED";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "ERROR_WINHTTP_CANNOT_CONNECT";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "ERROR_WINHTTP_CONNECTION_ERROR";
    case ERROR_WINHTTP_OPERATION_CANCELLED: return "ERROR_WINHTTP_OPERATION_CANCELLED";
    case ERROR_WINHTTP_SECURE_FAILURE: return "ERROR_WINHTTP_SECURE_FAILURE";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "ERROR_WINHTTP_SECURE_CHANNEL_ERROR";
    case ERROR_WINHTTP_SECURE_INVALID_CA: return "ERROR_WINHTTP_SECURE_INVALID_CA";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "ERROR_WINHTTP_SECURE_CERT_CN_INVALID";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "ERROR_WINHTTP_SECURE_CERT_DATE_INVALID";
    case ERROR_WINHTTP_SECURE_INVALID_CERT: return "ERROR_WINHTTP_SECURE_INVALID_CERT";
    case ERROR_WINHTTP_SECURE_CERT_REVOKED: return "ERROR_WINHTTP_SECURE_CERT_REVOKED";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "ERROR_WINHTTP_INVALID_SERVER_RESPONSE";
    case ERROR_WINHTTP_INVALID_URL: return "ERROR_WINHTTP_INVALID_URL";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "ERROR_WINHTTP_UNRECOGNIZED_SCHEME";
    case ERROR_WINHTTP_REDIRECT_FAILED: return "ERROR_WINHTTP_REDIRECT_FAILED";
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED: return "ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED";
    case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
    default: return nullptr;
  }
}

// The step a WinHTTP error belongs to, in the words of the product.
const char* WinHttpStep(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "ホスト名を解決できません";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "接続できません";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "接続が切れました";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED: return "サーバー証明書の検証に失敗しました";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "TLS の接続に失敗しました";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "サーバーの応答が HTTP ではありません";
    default: return "HTTP の要求に失敗しました";
  }
}

// What WinHTTP's secure-failure notification says, by its flags.
std::string SecureFailureText(DWORD flags) {
  std::string text;
  auto add = [&text](const char* name) { text += text.empty() ? name : std::string(", ") + name; };
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED) add("CERT_REV_FAILED");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT) add("INVALID_CERT");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) add("CERT_REVOKED");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) add("INVALID_CA");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) add("CERT_CN_INVALID");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) add("CERT_DATE_INVALID");
  if (flags & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR) add("SECURITY_CHANNEL_ERROR");
  return text;
}

std::wstring Widen(const std::string& ascii) {
  // URLs, host names and methods are ASCII by the checks; header values are
  // passed byte for byte (WinHTTP sends them as ISO-8859-1).
  std::wstring wide;
  wide.reserve(ascii.size());
  for (unsigned char c : ascii) wide += static_cast<wchar_t>(c);
  return wide;
}

// One request on its worker thread. Shared by the worker and the Send that
// started it; either may be the last to let go.
class Exchange {
 public:
  Exchange(HttpRequest request, HttpUrl url, std::string proxy)
      : request_(std::move(request)), url_(std::move(url)), proxy_(std::move(proxy)) {}

  ~Exchange() { CloseHandles(); }

  void Run() {
    Result<HttpResponse> result = Perform();
    CloseHandles();
    std::lock_guard<std::mutex> lock(mutex_);
    result_ = std::move(result);
    done_ = true;
    finished_.notify_all();
  }

  // Waits until the worker is done or `deadline`, or `stop` turns true (it
  // is looked at whenever Wake is called).
  bool WaitDone(std::chrono::steady_clock::time_point deadline, const std::atomic<bool>* stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait_until(lock, deadline, [&] { return done_ || (stop && stop->load()); });
    return done_;
  }

  void Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.notify_all();
  }

  // Closes the handles from another thread: the call in progress fails.
  void Abort() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      aborted_ = true;
    }
    CloseHandles();
  }

  Result<HttpResponse> TakeResult() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(result_);
  }

 private:
  bool Aborted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aborted_;
  }

  void CloseHandles() {
    std::lock_guard<std::mutex> lock(handleMutex_);
    if (requestHandle_) WinHttpCloseHandle(requestHandle_);
    if (connect_) WinHttpCloseHandle(connect_);
    if (session_) WinHttpCloseHandle(session_);
    requestHandle_ = connect_ = session_ = nullptr;
  }

  // Keeps a handle for CloseHandles; false (and the handle closed) when an
  // Abort came first.
  bool Keep(HINTERNET handle, HINTERNET* slot) {
    std::lock_guard<std::mutex> lock(handleMutex_);
    if (Aborted()) {
      WinHttpCloseHandle(handle);
      return false;
    }
    *slot = handle;
    return true;
  }

  Status Failed(const char* call, DWORD code) {
    if (!certificateFailure_.Ok()) return certificateFailure_;
    if (Aborted() || code == ERROR_WINHTTP_OPERATION_CANCELLED) {
      return HttpFailure(code, "要求は取り消されました", StatusKind::kCancelled);
    }
    const char* name = WinHttpErrorName(code);
    std::string detail = std::string(call) + ": " + (name ? name : "error") + " (" + std::to_string(code) + ")";
    const std::u16string system = SystemMessage(code);
    if (!system.empty()) detail += " " + Utf16ToSjis(system);
    if (!secureFailure_.empty()) detail += " [" + secureFailure_ + "]";
    if (code == ERROR_WINHTTP_TIMEOUT) {
      return HttpFailure(code, "応答が " + std::to_string(request_.timeoutMs) +
                                   " ミリ秒以内に終わりませんでした: " + detail,
                         StatusKind::kTimedOut);
    }
    std::string step = WinHttpStep(code);
    const std::string& proxy = proxy_.empty() ? machineProxy_ : proxy_;
    if (!proxy.empty() && (code == ERROR_WINHTTP_CANNOT_CONNECT || code == ERROR_WINHTTP_NAME_NOT_RESOLVED)) {
      step = std::string("プロキシ経由の接続に失敗しました (") +
             (proxy_.empty() ? "WinHTTP のプロキシ設定 " : "") + proxy + ")";
    }
    return HttpFailure(code, step + " (" + url_.host + "): " + detail);
  }

  // The platform's own check of the certificate the connection presents.
  Status CheckCertificate(HINTERNET request) {
    if (!url_.secure) return Status();
    PCCERT_CONTEXT certificate = nullptr;
    DWORD size = sizeof certificate;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) ||
        !certificate) {
      const DWORD error = GetLastError();
      return HttpFailure(error, "サーバー証明書を取得できません (" + url_.host + "): " + std::to_string(error));
    }
    Status checked = VerifyServerCertificate(certificate, url_.host);
    CertFreeCertificateContext(certificate);
    if (!checked) return HttpFailure(checked.Code(), checked.Text());
    return Status();
  }

  static void CALLBACK Notified(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                DWORD length) {
    auto* self = reinterpret_cast<Exchange*>(context);
    if (!self) return;
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && info && length >= sizeof(DWORD)) {
      self->secureFailure_ = SecureFailureText(*static_cast<DWORD*>(info));
    } else if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST && self->certificateFailure_.Ok()) {
      Status checked = self->CheckCertificate(handle);
      if (!checked) {
        self->certificateFailure_ = std::move(checked);
        // Closing the handle fails the send in progress: nothing goes out.
        self->Abort();
      }
    }
  }

  // The machine's WinHTTP proxy, to name it in a failure.
  static std::string MachineProxy() {
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetDefaultProxyConfiguration(&info)) return "";
    std::string proxy;
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy) {
      for (const wchar_t* c = info.lpszProxy; *c; ++c) proxy += *c < 0x80 ? static_cast<char>(*c) : '?';
    }
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    return proxy;
  }

  Result<HttpResponse> Perform() {
    if (proxy_.empty()) machineProxy_ = MachineProxy();
    const std::wstring proxyWide = Widen(proxy_);
    HINTERNET session =
        proxy_.empty()
            ? WinHttpOpen(L"Quotawarden", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0)
            : WinHttpOpen(L"Quotawarden", WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxyWide.c_str(),
                          WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return Failed("WinHttpOpen", GetLastError());
    if (!Keep(session, &session_)) return Failed("WinHttpOpen", ERROR_WINHTTP_OPERATION_CANCELLED);
    const int t = request_.timeoutMs;
    if (!WinHttpSetTimeouts(session, t, t, t, t)) return Failed("WinHttpSetTimeouts", GetLastError());
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
      // A system that knows no TLS 1.3 refuses its flag.
      protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
      if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        return Failed("WinHttpSetOption(SECURE_PROTOCOLS)", GetLastError());
      }
    }
    HINTERNET connect = WinHttpConnect(session, Widen(url_.host).c_str(),
                                       static_cast<INTERNET_PORT>(url_.port), 0);
    if (!connect) return Failed("WinHttpConnect", GetLastError());
    if (!Keep(connect, &connect_)) return Failed("WinHttpConnect", ERROR_WINHTTP_OPERATION_CANCELLED);
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY;
    if (url_.secure) flags |= WINHTTP_FLAG_SECURE;
    HINTERNET request = WinHttpOpenRequest(connect, Widen(request_.method).c_str(),
                                           Widen(url_.target).c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!request) return Failed("WinHttpOpenRequest", GetLastError());
    if (!Keep(request, &requestHandle_)) return Failed("WinHttpOpenRequest", ERROR_WINHTTP_OPERATION_CANCELLED);
    // A redirect is the caller's answer, never followed; no credentials or
    // cookies of the machine are offered on their own.
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled)) {
      return Failed("WinHttpSetOption(DISABLE_FEATURE)", GetLastError());
    }
    if (WinHttpSetStatusCallback(request, Notified,
                                 WINHTTP_CALLBACK_FLAG_SECURE_FAILURE | WINHTTP_CALLBACK_FLAG_SEND_REQUEST,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
      return Failed("WinHttpSetStatusCallback", GetLastError());
    }
    std::wstring headers;
    for (const auto& [name, value] : request_.headers) headers += Widen(name) + L": " + Widen(value) + L"\r\n";
    const DWORD bodySize = static_cast<DWORD>(request_.body.size());
    if (!WinHttpSendRequest(request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0,
                            bodySize, reinterpret_cast<DWORD_PTR>(this))) {
      return Failed("WinHttpSendRequest", GetLastError());
    }
    if (Aborted()) return Failed("WinHttpSendRequest", ERROR_WINHTTP_OPERATION_CANCELLED);
    // The certificate once more before the body leaves, whatever the
    // notification above did.
    Status checked = CheckCertificate(request);
    if (!checked) return checked;
    size_t written = 0;
    while (written < request_.body.size()) {
      DWORD wrote = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(request_.body.size() - written, 65536));
      if (!WinHttpWriteData(request, request_.body.data() + written, chunk, &wrote)) {
        return Failed("WinHttpWriteData", GetLastError());
      }
      if (wrote == 0) return Failed("WinHttpWriteData", ERROR_WINHTTP_CONNECTION_ERROR);
      written += wrote;
    }
    if (!WinHttpReceiveResponse(request, nullptr)) return Failed("WinHttpReceiveResponse", GetLastError());

    HttpResponse response;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      return Failed("WinHttpQueryHeaders(STATUS_CODE)", GetLastError());
    }
    response.status = static_cast<int>(status);
    wchar_t type[512];
    size = sizeof type;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX, type, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
      for (DWORD i = 0; i < size / sizeof(wchar_t); ++i) {
        response.contentType += type[i] < 0x80 ? static_cast<char>(type[i]) : '?';
      }
    }
    wchar_t retryAfter[64];
    size = sizeof retryAfter;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_RETRY_AFTER, WINHTTP_HEADER_NAME_BY_INDEX, retryAfter, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
      for (DWORD i = 0; i < size / sizeof(wchar_t); ++i) {
        response.retryAfter += retryAfter[i] < 0x80 ? static_cast<char>(retryAfter[i]) : '?';
      }
    }
    const std::string tooLarge = "応答の本文が大きすぎます (" + std::to_string(kMaxHttpBody) +
                                 " バイトまで; HTTP " + std::to_string(status) + ")";
    DWORD announced = 0;
    size = sizeof announced;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &announced, &size, WINHTTP_NO_HEADER_INDEX) &&
        announced > kMaxHttpBody) {
      return HttpFailure(0, tooLarge);
    }
    char buffer[16384];
    for (;;) {
      DWORD read = 0;
      if (!WinHttpReadData(request, buffer, sizeof buffer, &read)) return Failed("WinHttpReadData", GetLastError());
      if (read == 0) break;
      if (response.body.size() + read > kMaxHttpBody) return HttpFailure(0, tooLarge);
      response.body.append(buffer, read);
    }
    return response;
  }

  const HttpRequest request_;
  const HttpUrl url_;
  const std::string proxy_;
  std::mutex mutex_;  // done_, result_, aborted_
  std::condition_variable finished_;
  bool done_ = false;
  bool aborted_ = false;
  Result<HttpResponse> result_{HttpFailure(0, "要求は終わっていません")};
  std::mutex handleMutex_;
  HINTERNET session_ = nullptr;
  HINTERNET connect_ = nullptr;
  HINTERNET requestHandle_ = nullptr;
  // Written by the worker thread only (in its own calls and callbacks).
  Status certificateFailure_;
  std::string secureFailure_;
  std::string machineProxy_;
};

class WinHttpClient : public HttpClient {
 public:
  Result<HttpResponse> Send(const HttpRequest& request) override {
    if (cancelled_) return HttpFailure(0, "要求は取り消されました", StatusKind::kCancelled);
    Result<HttpUrl> url = ParseHttpUrl(request.url);
    if (!url) return url.status();
    Status fields = CheckHttpRequestFields(request);
    if (!fields) return fields;
    std::string proxy;
    if (!request.proxy.empty()) {
      Result<std::string> parsed = ParseHttpProxy(request.proxy);
      if (!parsed) return parsed.status();
      proxy = *parsed;
    }
    auto exchange = std::make_shared<Exchange>(request, *url, proxy);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      current_ = exchange;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(request.timeoutMs);
    std::thread worker([exchange] { exchange->Run(); });
    bool done = exchange->WaitDone(deadline, &cancelled_);
    if (!done) {
      // The time-out or a Cancel: the handles are closed, which ends the
      // worker's call; it gets a moment to say so, then is left to finish on
      // its own.
      exchange->Abort();
      done = exchange->WaitDone(std::chrono::steady_clock::now() + kWorkerGrace, nullptr);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      current_.reset();
    }
    if (done) {
      worker.join();
    } else {
      worker.detach();
    }
    if (cancelled_) return HttpFailure(0, "要求は取り消されました", StatusKind::kCancelled);
    Result<HttpResponse> result = exchange->TakeResult();
    if (!result && result.status().Kind() == StatusKind::kCancelled) {
      // Closed at the deadline, not by a Cancel.
      return HttpFailure(ERROR_WINHTTP_TIMEOUT,
                         "応答が " + std::to_string(request.timeoutMs) + " ミリ秒以内に終わりませんでした",
                         StatusKind::kTimedOut);
    }
    if (!done) {
      return HttpFailure(ERROR_WINHTTP_TIMEOUT,
                         "応答が " + std::to_string(request.timeoutMs) + " ミリ秒以内に終わりませんでした",
                         StatusKind::kTimedOut);
    }
    return result;
  }

  void Cancel() override {
    cancelled_ = true;
    std::shared_ptr<Exchange> exchange;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      exchange = current_;
    }
    if (exchange) exchange->Wake();
  }

 private:
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::shared_ptr<Exchange> current_;
};

}  // namespace

std::unique_ptr<HttpClient> NewHttpClient() { return std::make_unique<WinHttpClient>(); }

const char* HttpFailureStep(const Status& failure) {
  if (failure.Kind() == StatusKind::kTimedOut || failure.Kind() == StatusKind::kCancelled) return "HTTP";
  const int64_t code = failure.Code();
  switch (code) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT: return "CONNECT";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED: return "TLS";
    default: break;
  }
  // The certificate chain's own verdicts (CERT_E_*, TRUST_E_*, CRYPT_E_*,
  // SEC_E_*) are HRESULTs of the trust and security facilities.
  const uint32_t facility = static_cast<uint32_t>(code) & 0xFFFF0000u;
  if (facility == 0x800B0000u || facility == 0x80090000u || facility == 0x80092000u) return "TLS";
  return "HTTP";
}

}  // namespace qw

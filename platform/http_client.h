// HttpClient: one HTTPS request and its answer, on the platform's own client
// (WinHTTP on Windows, libcurl on POSIX). For the token endpoints of OAuth
// 2.0, webhooks and heartbeats: small requests, small answers.
//
// The server's certificate is always verified (the machine's trusted roots on
// Windows; on POSIX the system bundle, or SSL_CERT_FILE / SSL_CERT_DIR when
// set). Plain http:// is accepted only for a loopback host. A redirect is an
// answer like any other status (never followed). The URL, method, headers
// and proxy are checked before anything is dialled (platform/http_url.h):
// a header value cannot hold CR, LF or NUL, and Host, Content-Length and
// Transfer-Encoding are the client's own.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace qw {

struct HttpRequest {
  std::string method = "POST";
  std::string url;
  // Sent as given, in order ("Content-Type", "application/json").
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Empty: the platform's own proxy settings (WinHTTP's machine settings;
  // https_proxy / HTTPS_PROXY on POSIX). Otherwise "host:port" or
  // "http://host:port" of a proxy that tunnels with CONNECT.
  std::string proxy;
  // The whole exchange, from the lookup to the last byte of the answer.
  int timeoutMs = 30000;
};

struct HttpResponse {
  int status = 0;            // the HTTP status, 200 ...
  std::string contentType;   // as the server said it; empty when none
  std::string body;          // at most kMaxHttpBody bytes
  std::string retryAfter;    // the Retry-After header as sent; empty when none
};

inline constexpr size_t kMaxHttpBody = 1 << 20;

class HttpClient {
 public:
  virtual ~HttpClient() = default;

  // Blocks until the answer, a failure, the time-out or a Cancel. Any HTTP
  // status is an answer (the caller judges it); a failure is the lookup, the
  // connection, the proxy, TLS or the certificate, a body over kMaxHttpBody,
  // the time-out (StatusKind::kTimedOut) or a cancel (kCancelled), with what
  // the platform said. Status::What() is "HTTP".
  virtual Result<HttpResponse> Send(const HttpRequest& request) = 0;

  // Safe from any thread: the Send in progress returns within moments as
  // cancelled, and so does every later one.
  virtual void Cancel() = 0;
};

std::unique_ptr<HttpClient> NewHttpClient();

// The step a failure of Send ended in, as an entry names it: "CONNECT" (the
// lookup, the connection, the proxy), "TLS" (the handshake, the
// certificate) or "HTTP" (the request and its answer, the time-out, a
// cancel).
const char* HttpFailureStep(const Status& failure);

}  // namespace qw

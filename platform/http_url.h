// The checks every HttpClient makes before it connects anywhere: the URL,
// the method, the headers and the proxy of a request, read strictly so that
// the host the check sees is the host the platform's client dials.
#pragma once

#include <string>

#include "platform/http_client.h"
#include "platform/status.h"

namespace qw {

struct HttpUrl {
  bool secure = true;   // https
  std::string host;     // as written; an IPv6 address without its brackets
  bool ipv6 = false;
  int port = 443;       // the default of the scheme when none is written
  std::string target;   // path and query, "/" when none is written
};

// Reads an absolute http:// or https:// URL. Refused: other schemes, user
// names or passwords, an empty host or one holding anything but letters,
// digits, '-', '.' and '_', a port outside 1..65535, blanks, control
// characters, backslashes, and a fragment. Plain http:// only to a loopback
// host. Failures are Status("HTTP") with a Japanese text naming the fault.
Result<HttpUrl> ParseHttpUrl(const std::string& url);

// localhost, 127.0.0.0/8 in four decimal parts, or ::1 (an IPv6 host without
// brackets, in any of its spellings).
bool IsLoopbackHost(const std::string& host);

// The proxy of a request: "host:port" or "http://host:port" (a trailing "/"
// allowed). The result is "host:port" (an IPv6 host in brackets).
Result<std::string> ParseHttpProxy(const std::string& proxy);

// The method (an HTTP token, upper case letters only) and every header: a
// name of token characters, a value without CR, LF or NUL (no header can be
// smuggled into the request), neither Host nor Content-Length (the client
// writes those itself).
Status CheckHttpRequestFields(const HttpRequest& request);

}  // namespace qw

// The URL and proxy readers of the HTTP client take any bytes, and what they
// accept holds: a host that is the whole authority's host (nothing before it
// that a client could dial instead), a port in range, a target that starts
// with '/', plain http only to loopback; an accepted URL rebuilt from its
// parts reads back the same, and an accepted proxy reads back as itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/http_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)qw::IsLoopbackHost(text);

  qw::Result<qw::HttpUrl> url = qw::ParseHttpUrl(text);
  if (url) {
    if (url->host.empty() || url->port < 1 || url->port > 65535) std::abort();
    if (url->target.empty() || url->target[0] != '/') std::abort();
    if (!url->secure && !qw::IsLoopbackHost(url->host)) std::abort();
    for (unsigned char c : text) {
      if (c <= 0x20 || c >= 0x7F || c == '\\' || c == '#') std::abort();
    }
    // The authority as any reader cuts it: after "://", up to '/', '?'.
    const size_t start = text.find("://") + 3;
    const std::string authority = text.substr(start, text.find_first_of("/?", start) - start);
    if (authority.find('@') != std::string::npos) std::abort();
    const std::string host = url->ipv6 ? "[" + url->host + "]" : url->host;
    if (authority.compare(0, host.size(), host) != 0) std::abort();
    if (authority.size() != host.size() && authority[host.size()] != ':') std::abort();
    const std::string rebuilt = std::string(url->secure ? "https://" : "http://") + host + ":" +
                                std::to_string(url->port) + url->target;
    qw::Result<qw::HttpUrl> again = qw::ParseHttpUrl(rebuilt);
    if (!again || again->host != url->host || again->port != url->port ||
        again->target != url->target || again->secure != url->secure) {
      std::abort();
    }
  }

  qw::Result<std::string> proxy = qw::ParseHttpProxy(text);
  if (proxy) {
    qw::Result<std::string> again = qw::ParseHttpProxy(*proxy);
    if (!again || *again != *proxy) std::abort();
  }
  return 0;
}

// http_probe: one request through the platform's HttpClient, for the
// end-to-end tests of the client on both hosts.
//
//   http_probe [--method M] [--header "Name: value"]... [--body-stdin]
//              [--proxy HOST:PORT] [--timeout MS] [--cancel-after MS] URL
//   Windows only, before or instead of a request:
//              [--trust CAFILE]            add a PEM CA to the machine's roots
//              [--trust-user CAFILE]       add it to the current user's roots
//              [--machine-proxy HOST:PORT] set WinHTTP's machine proxy
//              [--machine-proxy none]      clear it (direct)
//
// An answer (any HTTP status) prints "status: N", "content-type: T",
// "body-bytes: N", an empty line and the body, and exits 0. A failure prints
// "failed: <kind> code=<code> <text>" (kind: timed-out, cancelled or other;
// the text as UTF-8) and exits 3 when timed out, 4 when cancelled, 1
// otherwise. 2: a wrong command line or a Windows set-up step that failed.
// The time Send took goes to stderr as "elapsed-ms: N".
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "platform/http_client.h"
#include "platform/text_codec.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: http_probe [--method M] [--header \"Name: value\"]... [--body-stdin] "
               "[--proxy HOST:PORT] [--timeout MS] [--cancel-after MS] [--trust CAFILE] "
               "[--trust-user CAFILE] [--machine-proxy HOST:PORT|none] [URL]\n");
  return 2;
}

#ifdef _WIN32
bool Trust(const char* path, DWORD location) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream pem;
  pem << file.rdbuf();
  const std::string text = pem.str();
  DWORD size = 0;
  if (text.empty() || !CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                                            CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
    std::fprintf(stderr, "trust: cannot read a PEM certificate from %s\n", path);
    return false;
  }
  std::string der(size, '\0');
  CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                       reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr);
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, L"Root");
  if (!store) {
    std::fprintf(stderr, "trust: CertOpenStore failed: %lu\n", GetLastError());
    return false;
  }
  const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                      reinterpret_cast<const BYTE*>(der.data()), size,
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = added ? 0 : GetLastError();
  CertCloseStore(store, 0);
  if (!added) std::fprintf(stderr, "trust: CertAddEncodedCertificateToStore failed: 0x%08lX\n", error);
  return added;
}

bool SetMachineProxy(const std::string& proxy) {
  std::wstring wide(proxy.begin(), proxy.end());
  WINHTTP_PROXY_INFO info{};
  if (proxy == "none") {
    info.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
  } else {
    info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info.lpszProxy = wide.data();
  }
  if (!WinHttpSetDefaultProxyConfiguration(&info)) {
    std::fprintf(stderr, "machine-proxy: WinHttpSetDefaultProxyConfiguration failed: %lu\n", GetLastError());
    return false;
  }
  return true;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  qw::HttpRequest request;
  request.method = "GET";
  bool bodyFromStdin = false;
  long cancelAfterMs = -1;
  std::string url;
  bool setupOnly = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--method" && hasValue) {
      request.method = argv[++i];
    } else if (arg == "--header" && hasValue) {
      const std::string line = argv[++i];
      const size_t colon = line.find(':');
      if (colon == std::string::npos) return Usage();
      size_t start = colon + 1;
      while (start < line.size() && line[start] == ' ') ++start;
      request.headers.emplace_back(line.substr(0, colon), line.substr(start));
    } else if (arg == "--body-stdin") {
      bodyFromStdin = true;
    } else if (arg == "--proxy" && hasValue) {
      request.proxy = argv[++i];
    } else if (arg == "--timeout" && hasValue) {
      request.timeoutMs = std::atoi(argv[++i]);
    } else if (arg == "--cancel-after" && hasValue) {
      cancelAfterMs = std::atol(argv[++i]);
#ifdef _WIN32
    } else if (arg == "--trust" && hasValue) {
      if (!Trust(argv[++i], CERT_SYSTEM_STORE_LOCAL_MACHINE)) return 2;
    } else if (arg == "--trust-user" && hasValue) {
      if (!Trust(argv[++i], CERT_SYSTEM_STORE_CURRENT_USER)) return 2;
    } else if (arg == "--machine-proxy" && hasValue) {
      if (!SetMachineProxy(argv[++i])) return 2;
#endif
    } else if (arg.rfind("--", 0) == 0 || !url.empty()) {
      return Usage();
    } else {
      url = arg;
      setupOnly = false;
    }
  }
  if (setupOnly) return argc > 1 ? 0 : Usage();
  request.url = url;
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  if (bodyFromStdin) {
    std::cin >> std::noskipws;
    request.body.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }

  std::unique_ptr<qw::HttpClient> client = qw::NewHttpClient();
  std::thread canceller;
  if (cancelAfterMs >= 0) {
    canceller = std::thread([&client, cancelAfterMs] {
      std::this_thread::sleep_for(std::chrono::milliseconds(cancelAfterMs));
      client->Cancel();
    });
  }
  const auto start = std::chrono::steady_clock::now();
  qw::Result<qw::HttpResponse> answer = client->Send(request);
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (canceller.joinable()) canceller.join();
  std::fprintf(stderr, "elapsed-ms: %lld\n", static_cast<long long>(elapsed.count()));
  if (!answer) {
    const qw::Status& failure = answer.status();
    const char* kind = failure.Kind() == qw::StatusKind::kTimedOut    ? "timed-out"
                       : failure.Kind() == qw::StatusKind::kCancelled ? "cancelled"
                                                                      : "other";
    std::printf("failed: %s code=%lld %s\n", kind, static_cast<long long>(failure.Code()),
                qw::SjisToUtf8(failure.Describe()).c_str());
    std::fflush(stdout);
    if (failure.Kind() == qw::StatusKind::kTimedOut) return 3;
    if (failure.Kind() == qw::StatusKind::kCancelled) return 4;
    return 1;
  }
  std::printf("status: %d\ncontent-type: %s\nbody-bytes: %zu\n\n", answer->status,
              answer->contentType.c_str(), answer->body.size());
  std::fwrite(answer->body.data(), 1, answer->body.size(), stdout);
  std::fflush(stdout);
  return 0;
}

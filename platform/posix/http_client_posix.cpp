// HttpClient on libcurl. One easy handle per request, driven by a multi
// handle so that a Cancel from another thread wakes the wait at once
// (curl_multi_wakeup) instead of at the next progress tick.
#include <curl/curl.h>

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/http_client.h"
#include "platform/http_url.h"

namespace qw {
namespace {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string EnvValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The proxy libcurl takes from the environment for a scheme (the lower case
// name first, as libcurl reads it), to name it in a failure.
std::string EnvProxy(const char* lowerName) {
  std::string value = EnvValue(lowerName);
  if (value.empty()) {
    std::string upper = lowerName;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    // libcurl ignores HTTP_PROXY (it could be set by a CGI request header).
    if (upper != "HTTP_PROXY") value = EnvValue(upper.c_str());
  }
  if (value.empty()) value = EnvValue("all_proxy");
  if (value.empty()) value = EnvValue("ALL_PROXY");
  return value;
}

struct Transfer {
  std::string body;
  std::string retryAfter;  // of the last response head
  bool tooLarge = false;
  const std::atomic<bool>* cancelled = nullptr;
};

// Each header line of each response head (a proxy's answer to CONNECT, an
// interim 1xx and the final one): Retry-After of the last head is kept.
size_t ReadHeader(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  std::string line(data, bytes);
  if (line.compare(0, 5, "HTTP/") == 0) transfer->retryAfter.clear();
  const size_t colon = line.find(':');
  if (colon != std::string::npos && colon == 11) {
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (name == "retry-after") {
      std::string value = line.substr(colon + 1);
      const size_t begin = value.find_first_not_of(" \t");
      const size_t end = value.find_last_not_of(" \t\r\n");
      transfer->retryAfter = begin == std::string::npos ? "" : value.substr(begin, end - begin + 1);
    }
  }
  return bytes;
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->body.size() + bytes > kMaxHttpBody) {
    transfer->tooLarge = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  transfer->body.append(data, bytes);
  return bytes;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->cancelled->load() ? 1 : 0;
}

Status HttpFailure(int64_t code, const std::string& text, StatusKind kind = StatusKind::kOther) {
  return Status::Failure("HTTP", code, text, kind);
}

// The step a libcurl failure belongs to, in the words of the product.
std::string CurlStep(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST: return "ホスト名を解決できません";
    case CURLE_COULDNT_RESOLVE_PROXY: return "プロキシのホスト名を解決できません";
    case CURLE_COULDNT_CONNECT: return "接続できません";
    case CURLE_PEER_FAILED_VERIFICATION: return "サーバー証明書の検証に失敗しました";
    case CURLE_SSL_CACERT_BADFILE: return "信頼する CA の証明書を読めません";
    case CURLE_SSL_CONNECT_ERROR: return "TLS の接続に失敗しました";
    case CURLE_RECV_ERROR: return "応答を受信できません";
    case CURLE_SEND_ERROR: return "要求を送信できません";
    case CURLE_GOT_NOTHING: return "サーバーが何も応答せずに切断しました";
    case CURLE_WEIRD_SERVER_REPLY: return "サーバーの応答が HTTP ではありません";
    default: return "HTTP の要求に失敗しました";
  }
}

class CurlHttpClient : public HttpClient {
 public:
  CurlHttpClient() { InitCurlOnce(); }

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
      proxy = "http://" + *parsed;
    }

    CURL* easy = curl_easy_init();
    CURLM* multi = curl_multi_init();
    if (!easy || !multi) {
      if (easy) curl_easy_cleanup(easy);
      if (multi) curl_multi_cleanup(multi);
      return HttpFailure(0, "libcurl を初期化できません");
    }
    struct curl_slist* headers = nullptr;
    bool expectGiven = false;
    for (const auto& [name, value] : request.headers) {
      // "Name;" is libcurl's way to send a header with an empty value.
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      headers = curl_slist_append(headers, line.c_str());
      if (strcasecmp(name.c_str(), "Expect") == 0) expectGiven = true;
    }
    // Small bodies go in one piece, without waiting for 100 Continue.
    if (!expectGiven) headers = curl_slist_append(headers, "Expect:");

    Transfer transfer;
    transfer.cancelled = &cancelled_;
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // As WinHTTP names the program on Windows; a User-Agent header of the
    // request replaces it.
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Quotawarden");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    // What the mail side trusts through OpenSSL's defaults: the system's
    // bundle, or the file and folder these name.
    std::string caFile = EnvValue("SSL_CERT_FILE");
    if (caFile.empty()) caFile = EnvValue("CURL_CA_BUNDLE");
    const std::string caDir = EnvValue("SSL_CERT_DIR");
    if (!caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
    if (!caDir.empty()) curl_easy_setopt(easy, CURLOPT_CAPATH, caDir.c_str());
    if (!proxy.empty()) {
      curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
      curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, 1L);
    }
    // Without a proxy given, libcurl reads https_proxy / HTTPS_PROXY (and
    // http_proxy, no_proxy) from the environment by itself.
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeoutMs));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeoutMs));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, ReadHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
    if (request.method == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else {
      if (request.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
    }

    curl_multi_add_handle(multi, easy);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      multi_ = multi;
    }
    CURLcode result = CURLE_OK;
    bool done = false;
    while (!done) {
      if (cancelled_) {
        result = CURLE_ABORTED_BY_CALLBACK;
        break;
      }
      int running = 0;
      const CURLMcode performed = curl_multi_perform(multi, &running);
      if (performed != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        std::snprintf(errorText, sizeof errorText, "%s", curl_multi_strerror(performed));
        break;
      }
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE) {
          result = message->data.result;
          done = true;
        }
      }
      if (done || running == 0) break;
      // libcurl's own time-out ends the transfer; the wait only needs to
      // wake for its sockets, its timers and a Cancel.
      curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      multi_ = nullptr;
    }

    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    const char* contentType = nullptr;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &contentType);
    HttpResponse response;
    response.status = static_cast<int>(status);
    response.contentType = contentType ? contentType : "";
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    curl_slist_free_all(headers);

    if (transfer.tooLarge) {
      return HttpFailure(0, "応答の本文が大きすぎます (" + std::to_string(kMaxHttpBody) +
                                " バイトまで; HTTP " + std::to_string(status) + ")");
    }
    if (result == CURLE_ABORTED_BY_CALLBACK || (cancelled_ && result != CURLE_OK)) {
      return HttpFailure(0, "要求は取り消されました", StatusKind::kCancelled);
    }
    if (result == CURLE_OPERATION_TIMEDOUT) {
      return HttpFailure(result, "応答が " + std::to_string(request.timeoutMs) +
                                     " ミリ秒以内に終わりませんでした: " + errorText,
                         StatusKind::kTimedOut);
    }
    if (result != CURLE_OK) {
      const std::string detail = errorText[0] ? errorText : curl_easy_strerror(result);
      std::string text = CurlStep(result);
      // libcurl names the address it could not reach, not whether it was
      // the proxy's: say which proxy was in the way.
      const std::string envProxy = url->secure ? EnvProxy("https_proxy") : EnvProxy("http_proxy");
      if (!proxy.empty() && (result == CURLE_COULDNT_CONNECT || result == CURLE_COULDNT_RESOLVE_PROXY)) {
        text = "プロキシ経由の接続に失敗しました (" + proxy + ")";
      } else if (result == CURLE_COULDNT_RESOLVE_PROXY || detail.find("CONNECT") != std::string::npos ||
                 detail.find("roxy") != std::string::npos) {
        text = "プロキシ経由の接続に失敗しました" + (envProxy.empty() ? "" : " (" + envProxy + ")");
      } else if (!envProxy.empty() && result == CURLE_COULDNT_CONNECT) {
        text += " (プロキシ " + envProxy + " 経由)";
      }
      return HttpFailure(result, text + " (" + url->host + "): " + detail);
    }
    response.body = std::move(transfer.body);
    response.retryAfter = std::move(transfer.retryAfter);
    return response;
  }

  void Cancel() override {
    cancelled_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    if (multi_) curl_multi_wakeup(multi_);
  }

 private:
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  CURLM* multi_ = nullptr;
};

}  // namespace

std::unique_ptr<HttpClient> NewHttpClient() { return std::make_unique<CurlHttpClient>(); }

const char* HttpFailureStep(const Status& failure) {
  if (failure.Kind() == StatusKind::kTimedOut || failure.Kind() == StatusKind::kCancelled) return "HTTP";
  switch (static_cast<CURLcode>(failure.Code())) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT: return "CONNECT";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE: return "TLS";
    default: return "HTTP";
  }
}

}  // namespace qw

#include "common/heartbeat_settings.h"

#include "common/drivewarden_common.h"
#include "common/errors.h"
#include "platform/ascii_text.h"
#include "platform/http_url.h"

namespace qw {
namespace {

// The value of a URL key is a secret: the error says what is wrong with it,
// not what it is.
EConvertError UrlError(const char* key, const std::string& reason) {
  return EConvertError(std::string("設定ファイル ") + kIniFileName + " の [" + kSectionHeartbeat + "] " + key +
                       " の URL は使えません: " + reason);
}

// The reason of a refused URL, without any part of the URL.
std::string UrlProblem(const std::string& url) {
  const std::string head = AsciiUpperCase(url.substr(0, 8));
  if (head.rfind("HTTPS://", 0) != 0 && head.rfind("HTTP://", 0) != 0)
    return "https:// で始まっていません";
  const Result<HttpUrl> parsed = ParseHttpUrl(url);
  if (parsed) return "";
  // What follows ": " quotes a part of the URL (a host or a port as
  // typed), which a typo can run into the secret: the reason alone.
  std::string reason = parsed.status().Text();
  if (const size_t quote = reason.find(": "); quote != std::string::npos) reason.erase(quote);
  return reason;
}

}  // namespace

std::string DefaultFailUrl(const std::string& url) {
  const size_t query = url.find('?');
  std::string path = url.substr(0, query);
  const std::string rest = query == std::string::npos ? "" : url.substr(query);
  // "https://host" has no path yet; "https://host/" and "…/uuid/" end in one.
  if (!path.empty() && path.back() == '/') path.pop_back();
  return path + "/fail" + rest;
}

std::string ShownUrl(const std::string& url) {
  const Result<HttpUrl> parsed = ParseHttpUrl(url);
  if (!parsed) return "(URL)";
  std::string shown = parsed->secure ? "https://" : "http://";
  shown += parsed->ipv6 ? "[" + parsed->host + "]" : parsed->host;
  if (parsed->port != (parsed->secure ? 443 : 80)) shown += ":" + std::to_string(parsed->port);
  return shown;
}

HeartbeatSettings ReadHeartbeatSettings(const ProfileSnapshot& ini) {
  HeartbeatSettings settings;
  const std::string url(TrimControls(ini.ReadString(kSectionHeartbeat, kKeyHeartbeatUrl, "")));
  if (url.empty()) return settings;
  if (const std::string problem = UrlProblem(url); !problem.empty()) throw UrlError(kKeyHeartbeatUrl, problem);

  const std::string methodText = ini.ReadString(kSectionHeartbeat, kKeyHeartbeatMethod, "");
  const std::string method = AsciiUpperCase(TrimControls(methodText));
  if (method == "POST")
    settings.post = true;
  else if (!method.empty() && method != "GET")
    throw SettingsValueError(kIniFileName, kSectionHeartbeat, kKeyHeartbeatMethod, methodText,
                             "GET か POST ではありません");

  std::string failUrl(TrimControls(ini.ReadString(kSectionHeartbeat, kKeyHeartbeatFailUrl, "")));
  if (failUrl.empty()) failUrl = DefaultFailUrl(url);
  if (const std::string problem = UrlProblem(failUrl); !problem.empty())
    throw UrlError(kKeyHeartbeatFailUrl, problem);
  settings.url = url;
  settings.failUrl = failUrl;
  return settings;
}

}  // namespace qw

#include "common/webhook_settings.h"

#include "common/drivewarden_common.h"
#include "common/errors.h"
#include "platform/ascii_text.h"
#include "platform/http_url.h"
#include "platform/secret.h"

namespace qw {
namespace {

// The value of a key that is not there, told apart from an empty one.
const char kMissing[] = "\x01";

// The error of a secret's key: the value itself is never shown.
EConvertError SecretError(const std::string& section, const std::string& key, const std::string& reason) {
  return EConvertError(std::string("設定ファイル ") + kIniFileName + " の [" + section + "] " + key + ": " + reason);
}

// The clear value of a secret key; a clear value typed into the file is
// listed for protection.
std::string ReadSecret(const std::string& section, const std::string& key, const std::string& stored,
                       WebhookSettings& out) {
  const Result<std::string> clear = UnprotectSecret(stored);
  if (!clear) throw SecretError(section, key, "保護された値を読めません: " + clear.status().Text());
  if (!stored.empty() && !IsProtectedSecret(stored)) {
    const Result<std::string> protectedForm = ProtectSecret(*clear);
    if (!protectedForm)
      out.protectFailures.push_back("[" + section + "] " + key + ": " + protectedForm.status().Describe());
    else if (*protectedForm != stored)
      out.rewrites.push_back(SecretRewrite{section, key, stored, *protectedForm});
  }
  return *clear;
}

}  // namespace

const char* WebhookKindName(WebhookKind kind) {
  switch (kind) {
    case WebhookKind::kTeams: return "TEAMS";
    case WebhookKind::kSlack: return "SLACK";
    case WebhookKind::kJson: return "JSON";
  }
  return "JSON";
}

std::string WebhookUrlShown(const std::string& url) {
  const Result<HttpUrl> parsed = ParseHttpUrl(url);
  if (!parsed) return "?";
  const bool defaultPort = parsed->port == (parsed->secure ? 443 : 80);
  std::string host = parsed->ipv6 ? "[" + parsed->host + "]" : parsed->host;
  return std::string(parsed->secure ? "https://" : "http://") + host +
         (defaultPort ? "" : ":" + std::to_string(parsed->port));
}

WebhookSettings ReadWebhookSettings(const ProfileSnapshot& ini) {
  WebhookSettings out;
  for (int n = 1; n <= kMaxWebhooks; ++n) {
    const std::string section = "WEBHOOK" + std::to_string(n);
    const std::string kindText = ini.ReadString(section, kKeyWebhookKind, kMissing);
    const std::string urlStored = ini.ReadString(section, kKeyWebhookUrl, kMissing);
    const std::string proxyText = ini.ReadString(section, kKeyWebhookProxy, kMissing);
    std::vector<std::pair<std::string, std::string>> headerLines;  // key, stored
    for (int h = 1; h <= kMaxWebhookHeaders; ++h) {
      const std::string key = "HEADER" + std::to_string(h);
      const std::string stored = ini.ReadString(section, key, kMissing);
      if (stored != kMissing && !TrimControls(stored).empty()) headerLines.emplace_back(key, stored);
    }
    auto given = [](const std::string& value) { return value != kMissing && !TrimControls(value).empty(); };
    if (!given(kindText) && !given(urlStored) && !given(proxyText) && headerLines.empty()) continue;

    WebhookTarget target;
    target.section = section;
    const std::string kind = AsciiUpperCase(TrimControls(kindText == kMissing ? "" : kindText));
    if (kind == "TEAMS")
      target.kind = WebhookKind::kTeams;
    else if (kind == "SLACK")
      target.kind = WebhookKind::kSlack;
    else if (kind == "JSON")
      target.kind = WebhookKind::kJson;
    else
      throw SettingsValueError(kIniFileName, section, kKeyWebhookKind, kindText == kMissing ? "" : kindText,
                               "TEAMS、SLACK、JSON のいずれかではありません");

    if (!given(urlStored)) throw SecretError(section, kKeyWebhookUrl, "URL がありません");
    target.url = std::string(TrimControls(ReadSecret(section, kKeyWebhookUrl, urlStored, out)));
    if (const Result<HttpUrl> url = ParseHttpUrl(target.url); !url)
      throw SecretError(section, kKeyWebhookUrl, WebhookUrlShown(target.url) + " ... は使えません: " + url.status().Text());

    if (given(proxyText)) {
      const Result<std::string> proxy = ParseHttpProxy(std::string(TrimControls(proxyText)));
      if (!proxy) throw SettingsValueError(kIniFileName, section, kKeyWebhookProxy, proxyText, proxy.status().Text());
      target.proxy = *proxy;
    }

    for (const auto& [key, stored] : headerLines) {
      if (target.kind != WebhookKind::kJson)
        throw SecretError(section, key, "ヘッダーは KIND=JSON でだけ使えます");
      const std::string line = ReadSecret(section, key, stored, out);
      const size_t colon = line.find(':');
      if (colon == std::string::npos) throw SecretError(section, key, "「名前: 値」の形式ではありません");
      const std::string name(TrimControls(line.substr(0, colon)));
      const std::string value(TrimControls(line.substr(colon + 1)));
      // The body is ours: its type and length are not the setting's to say.
      if (CompareCaseless(name, "Content-Type") == 0 || CompareCaseless(name, "Transfer-Encoding") == 0)
        throw SecretError(section, key, "ヘッダー " + name + " は指定できません");
      HttpRequest probe;
      probe.headers.emplace_back(name, value);
      if (const Status fields = CheckHttpRequestFields(probe); !fields)
        throw SecretError(section, key, "ヘッダー " + (name.empty() ? std::string("(名前なし)") : name) +
                                            " は使えません: " + fields.Text());
      target.headers.emplace_back(name, value);
    }
    out.targets.push_back(std::move(target));
  }
  return out;
}

}  // namespace qw

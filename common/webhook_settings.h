// The chat and webhook targets of the alerts: [WEBHOOK1] .. [WEBHOOK9] of
// Drivewarden.ini, each with KIND (TEAMS, SLACK or JSON), URL and, for JSON,
// HEADER1 .. HEADER9 ("Name: value"), and an optional PROXY. The URL and
// the header values are secrets: stored like the SMTP password (protected on
// Windows, platform/secret.h), and never shown in an entry or an error.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/profile.h"
#include "platform/status.h"

namespace qw {

inline constexpr int kMaxWebhooks = 9;
inline constexpr int kMaxWebhookHeaders = 9;
inline constexpr const char* kKeyWebhookKind = "KIND";
inline constexpr const char* kKeyWebhookUrl = "URL";
inline constexpr const char* kKeyWebhookProxy = "PROXY";

enum class WebhookKind { kTeams, kSlack, kJson };
// "TEAMS", "SLACK", "JSON".
const char* WebhookKindName(WebhookKind kind);

// A clear secret typed into the file and the protected form that replaces it.
struct SecretRewrite {
  std::string section;
  std::string key;
  std::string clear;
  std::string protectedForm;
};

struct WebhookTarget {
  std::string section;  // "WEBHOOK2": how entries and the state name it
  WebhookKind kind = WebhookKind::kJson;
  std::string url;  // in clear
  std::vector<std::pair<std::string, std::string>> headers;
  std::string proxy;  // empty: the platform's own settings
};

struct WebhookSettings {
  std::vector<WebhookTarget> targets;  // in section order
  // Clear secrets that have a protected form on this platform.
  std::vector<SecretRewrite> rewrites;
  // Why a clear secret could not be protected ("[WEBHOOK1] URL: ...").
  std::vector<std::string> protectFailures;
};

// "https://host[:port]" of a URL: what may be said of a target (the path and
// the query of a webhook URL are its secret). "?" for a URL that does not read.
std::string WebhookUrlShown(const std::string& url);

// Reads every [WEBHOOKn] section. A section that is missing or holds no key
// is no target. Throws EConvertError naming the file, section and key of the
// first value that does not hold; a secret's value is never part of it.
WebhookSettings ReadWebhookSettings(const ProfileSnapshot& ini);

}  // namespace qw

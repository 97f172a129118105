// [HEARTBEAT]: the dead man's switch. After every check that ran the service
// requests URL (or FAILURL when the check failed), as healthchecks.io,
// Uptime Kuma push monitors and their like expect; the service watching the
// URL alerts when the requests stop. The URL is a secret (whoever knows it
// can report for this computer): no entry, state or status line shows more
// than its scheme and host.
#pragma once

#include <string>

#include "platform/profile.h"

namespace qw {

inline constexpr const char* kSectionHeartbeat = "HEARTBEAT";
inline constexpr const char* kKeyHeartbeatUrl = "URL";
inline constexpr const char* kKeyHeartbeatMethod = "METHOD";
inline constexpr const char* kKeyHeartbeatFailUrl = "FAILURL";

struct HeartbeatSettings {
  std::string url;      // empty: no heartbeat
  std::string failUrl;  // FAILURL, or URL with "/fail" after its path
  bool post = false;    // METHOD=POST: a short JSON body
  bool On() const { return !url.empty(); }
};

// Reads [HEARTBEAT]. URL must be https:// (http:// only to a loopback host);
// METHOD is GET or POST in any case (empty: GET); FAILURL follows URL's
// rules. Keys other than URL are ignored while URL is empty. Throws
// EConvertError naming the section and key; a URL's value is never in it.
HeartbeatSettings ReadHeartbeatSettings(const ProfileSnapshot& ini);

// `url` with "/fail" after its path, before any query string
// ("https://h/p?x=1" gives "https://h/p/fail?x=1").
std::string DefaultFailUrl(const std::string& url);

// What may be shown of a URL: its scheme and host ("https://hc-ping.com"),
// never its path or query.
std::string ShownUrl(const std::string& url);

}  // namespace qw

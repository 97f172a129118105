// [HEARTBEAT] as people write it: what each key accepts, the failure URL it
// derives, and refusals that name the key without showing the URL's secret.
#include "common/heartbeat_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "common/errors.h"

namespace qw {
namespace {

ProfileSnapshot Ini(const std::string& body) { return ProfileSnapshot::OfBytes("[HEARTBEAT]\r\n" + body); }

TEST(HeartbeatSettings, AcceptedValues) {
  struct Case {
    const char* body;
    const char* url;
    const char* failUrl;
    bool post;
  };
  const Case cases[] = {
      {"", "", "", false},
      {"METHOD=POST\r\n", "", "", false},  // no URL: the other keys do not matter
      {"URL=https://hc-ping.com/0f5e-uuid\r\n", "https://hc-ping.com/0f5e-uuid", "https://hc-ping.com/0f5e-uuid/fail",
       false},
      {"URL= https://hc-ping.com/abc/ \r\nMETHOD=post\r\n", "https://hc-ping.com/abc/", "https://hc-ping.com/abc/fail",
       true},
      {"URL=https://kuma.example:3001/api/push/Tok3n?status=up&msg=OK\r\nMETHOD=Get\r\n",
       "https://kuma.example:3001/api/push/Tok3n?status=up&msg=OK",
       "https://kuma.example:3001/api/push/Tok3n/fail?status=up&msg=OK", false},
      {"URL=https://kuma.example/api/push/Tok3n?status=up\r\nFAILURL=https://kuma.example/api/push/Tok3n?status=down\r\n",
       "https://kuma.example/api/push/Tok3n?status=up", "https://kuma.example/api/push/Tok3n?status=down", false},
      {"URL=https://hc.example\r\n", "https://hc.example", "https://hc.example/fail", false},
      {"URL=http://127.0.0.1:8080/ping/x\r\n", "http://127.0.0.1:8080/ping/x", "http://127.0.0.1:8080/ping/x/fail",
       false},
  };
  for (const Case& c : cases) {
    const HeartbeatSettings settings = ReadHeartbeatSettings(Ini(c.body));
    EXPECT_EQ(settings.url, c.url) << c.body;
    EXPECT_EQ(settings.failUrl, c.failUrl) << c.body;
    EXPECT_EQ(settings.post, c.post) << c.body;
    EXPECT_EQ(settings.On(), *c.url != '\0') << c.body;
  }
}

TEST(HeartbeatSettings, RefusalsNameTheKeyAndHideTheSecret) {
  struct Case {
    const char* body;
    const char* key;  // the "[HEARTBEAT] <key>" the error names
  };
  const Case cases[] = {
      {"URL=hc-ping.com/s3cr3t-uuid\r\n", "URL"},                      // no scheme
      {"URL=ftp://hc-ping.com/s3cr3t-uuid\r\n", "URL"},                // another scheme
      {"URL=http://hc-ping.com/s3cr3t-uuid\r\n", "URL"},               // plain http to a remote host
      {"URL=https://user:pw@hc-ping.com/s3cr3t-uuid\r\n", "URL"},      // a login in the URL
      {"URL=https://hc-ping.com/s3cr3t-uuid#frag\r\n", "URL"},         // a fragment
      {"URL=https://hc-ping.com/s3cr3t uuid\r\n", "URL"},              // a blank
      {"URL=https://hc-ping.com;s3cr3t/uuid\r\n", "URL"},              // a typo in the host
      {"URL=https://hc-ping.com:s3cr3t/uuid\r\n", "URL"},              // ... in the port
      {"URL=https://hc-ping.com/s3cr3t-uuid\r\nMETHOD=PUT\r\n", "METHOD"},
      {"URL=https://hc-ping.com/s3cr3t-uuid\r\nFAILURL=hc-ping.com/s3cr3t-uuid/fail\r\n", "FAILURL"},
      {"URL=https://hc-ping.com/s3cr3t-uuid\r\nFAILURL=http://hc-ping.com/s3cr3t-uuid/fail\r\n", "FAILURL"},
  };
  for (const Case& c : cases) {
    try {
      ReadHeartbeatSettings(Ini(c.body));
      ADD_FAILURE() << "accepted: " << c.body;
    } catch (const EConvertError& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(std::string("[HEARTBEAT] ") + c.key), std::string::npos) << text;
      EXPECT_EQ(text.find("s3cr3t"), std::string::npos) << text;
    }
  }
}

TEST(HeartbeatSettings, ShownUrlIsSchemeAndHostOnly) {
  struct Case {
    const char* url;
    const char* shown;
  };
  const Case cases[] = {
      {"https://hc-ping.com/s3cr3t", "https://hc-ping.com"},
      {"https://kuma.example:3001/api/push/s3cr3t?status=up", "https://kuma.example:3001"},
      {"http://127.0.0.1:8080/s3cr3t", "http://127.0.0.1:8080"},
      {"https://[::1]:8443/s3cr3t", "https://[::1]:8443"},
      {"not a url s3cr3t", "(URL)"},
  };
  for (const Case& c : cases) EXPECT_EQ(ShownUrl(c.url), c.shown) << c.url;
}

}  // namespace
}  // namespace qw

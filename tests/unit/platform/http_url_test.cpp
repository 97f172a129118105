// The checks every HTTP request passes before a connection: the URL (the host
// the check sees must be the one dialled; plain http only to loopback), the
// proxy, the method and the headers. And that the platform's real client
// applies them before it touches the network.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "platform/http_client.h"
#include "platform/http_url.h"
#include "tests/fakes/fake_http_client.h"

namespace qw {
namespace {

struct UrlCase {
  const char* url;
  bool accepted;
  const char* host;  // when accepted
  int port;
  const char* target;
};

TEST(HttpUrlTest, AcceptsHttpsAndLoopbackHttpAndReadsTheParts) {
  const UrlCase cases[] = {
      {"https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token", true,
       "login.microsoftonline.com", 443, "/contoso.onmicrosoft.com/oauth2/v2.0/token"},
      {"HTTPS://Hooks.Example.COM:8443", true, "Hooks.Example.COM", 8443, "/"},
      {"https://example.com?a=1&b=%20", true, "example.com", 443, "/?a=1&b=%20"},
      {"https://[2001:db8::1]:9443/p", true, "2001:db8::1", 9443, "/p"},
      {"https://oauth2.googleapis.com/token", true, "oauth2.googleapis.com", 443, "/token"},
      {"http://localhost:8080/hook", true, "localhost", 8080, "/hook"},
      {"http://LOCALHOST/", true, "LOCALHOST", 80, "/"},
      {"http://127.0.0.1/", true, "127.0.0.1", 80, "/"},
      {"http://127.255.10.3:1/x", true, "127.255.10.3", 1, "/x"},
      {"http://[::1]:65535/", true, "::1", 65535, "/"},
      {"http://[0:0:0:0:0:0:0:1]/", true, "0:0:0:0:0:0:0:1", 80, "/"},
      // Plain http elsewhere, or to a name only made to look like loopback.
      {"http://example.com/", false, "", 0, ""},
      {"http://127.0.0.1.evil.example/", false, "", 0, ""},
      {"http://127.1/", false, "", 0, ""},
      {"http://0177.0.0.1/", false, "", 0, ""},
      {"http://2130706433/", false, "", 0, ""},
      {"http://[::ffff:127.0.0.1]/", false, "", 0, ""},
      {"http://[::2]/", false, "", 0, ""},
      {"http://128.0.0.1/", false, "", 0, ""},
      // A user name before the host would hide the host dialled.
      {"http://localhost@evil.example/", false, "", 0, ""},
      {"https://user:pw@example.com/", false, "", 0, ""},
      {"http://evil.example\\@localhost/", false, "", 0, ""},
      {"http://localhost\\.evil.example/", false, "", 0, ""},
      // Other schemes and relative forms.
      {"ftp://example.com/", false, "", 0, ""},
      {"file:///etc/passwd", false, "", 0, ""},
      {"//example.com/", false, "", 0, ""},
      {"example.com", false, "", 0, ""},
      {"", false, "", 0, ""},
      // Blanks, controls, non-ASCII, fragments.
      {"https://exa mple.com/", false, "", 0, ""},
      {"https://example.com/\r\nX-Injected: 1", false, "", 0, ""},
      {"https://example.com/a\tb", false, "", 0, ""},
      {"https://\xE4\xBE\x8B\xE3\x81\x88.jp/", false, "", 0, ""},
      {"https://example.com/#top", false, "", 0, ""},
      // Hosts and ports.
      {"https://:443/", false, "", 0, ""},
      {"https:///path", false, "", 0, ""},
      {"https://example.com:0/", false, "", 0, ""},
      {"https://example.com:65536/", false, "", 0, ""},
      {"https://example.com:8a/", false, "", 0, ""},
      {"https://example.com:/", false, "", 0, ""},
      {"https://ex..ample.com/", false, "", 0, ""},
      {"https://.example.com/", false, "", 0, ""},
      {"https://[::1/", false, "", 0, ""},
      {"https://[1:2:3:4:5:6:7:8:9]/", false, "", 0, ""},
      {"https://[1::2::3]/", false, "", 0, ""},
      {"https://[::1]x/", false, "", 0, ""},
      {"https://[fe80::1%25eth0]/", false, "", 0, ""},
  };
  for (const UrlCase& c : cases) {
    SCOPED_TRACE(c.url);
    Result<HttpUrl> parsed = ParseHttpUrl(c.url);
    ASSERT_EQ(parsed.Ok(), c.accepted) << (parsed ? "" : parsed.status().Describe());
    if (!c.accepted) {
      EXPECT_EQ(parsed.status().What(), "HTTP");
      EXPECT_FALSE(parsed.status().Text().empty());
      continue;
    }
    EXPECT_EQ(parsed->host, c.host);
    EXPECT_EQ(parsed->port, c.port);
    EXPECT_EQ(parsed->target, c.target);
    EXPECT_EQ(parsed->secure, std::string(c.url).rfind("http:", 0) != 0 &&
                                  std::string(c.url).rfind("HTTP:", 0) != 0);
  }
}

TEST(HttpUrlTest, LoopbackHosts) {
  const struct {
    const char* host;
    bool loopback;
  } cases[] = {
      {"localhost", true},   {"LocalHost", true},      {"localhost.", true},
      {"127.0.0.1", true},   {"127.0.0.0", true},      {"127.255.255.255", true},
      {"::1", true},         {"0::1", true},           {"0:0:0:0:0:0:0:1", true},
      {"126.255.255.255", false}, {"128.0.0.1", false}, {"127.0.0", false},
      {"127.0.0.1.", false}, {"127.0.0.256", false},   {"127.00.0.1", false},
      {"::", false},         {"::0:1:1", false},       {"::ffff:7f00:1", false},
      {"localhost.example", false}, {"mylocalhost", false}, {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsLoopbackHost(c.host), c.loopback) << c.host;
  }
}

TEST(HttpUrlTest, ProxySettings) {
  const struct {
    const char* proxy;
    const char* result;  // nullptr: refused
  } cases[] = {
      {"127.0.0.1:8888", "127.0.0.1:8888"},
      {"http://proxy.example.jp:3128", "proxy.example.jp:3128"},
      {"HTTP://proxy.example.jp:3128/", "proxy.example.jp:3128"},
      {"[::1]:3128", "[::1]:3128"},
      {"proxy.example.jp", nullptr},
      {"proxy.example.jp:", nullptr},
      {"proxy.example.jp:99999", nullptr},
      {"https://proxy.example.jp:443", nullptr},
      {"socks5://proxy.example.jp:1080", nullptr},
      {"user:pw@proxy.example.jp:3128", nullptr},
      {"proxy.example.jp:3128/path", nullptr},
      {"proxy .example.jp:3128", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.proxy);
    Result<std::string> parsed = ParseHttpProxy(c.proxy);
    ASSERT_EQ(parsed.Ok(), c.result != nullptr);
    if (c.result) {
      EXPECT_EQ(*parsed, c.result);
    }
  }
}

TEST(HttpUrlTest, MethodAndHeaders) {
  using Headers = std::vector<std::pair<std::string, std::string>>;
  const struct {
    const char* method;
    Headers headers;
    bool accepted;
  } cases[] = {
      {"POST", {{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}}, true},
      {"GET", {}, true},
      {"PUT", {{"Authorization", "Bearer abc.def-ghi"}, {"X-Empty", ""}}, true},
      {"post", {}, false},
      {"PO ST", {}, false},
      {"", {}, false},
      {"POST\r\nX-Injected: 1", {}, false},
      {"POST", {{"X-Note", "line\r\nX-Injected: 1"}}, false},
      {"POST", {{"X-Note", "line\nX-Injected: 1"}}, false},
      {"POST", {{"X-Note", std::string("a\0b", 3)}}, false},
      {"POST", {{"X Note", "a"}}, false},
      {"POST", {{"X-Note:", "a"}}, false},
      {"POST", {{"", "a"}}, false},
      {"POST", {{"Host", "evil.example"}}, false},
      {"POST", {{"content-length", "0"}}, false},
      {"POST", {{"Transfer-Encoding", "chunked"}}, false},
  };
  for (const auto& c : cases) {
    HttpRequest request;
    request.method = c.method;
    request.headers = c.headers;
    Status checked = CheckHttpRequestFields(request);
    EXPECT_EQ(checked.Ok(), c.accepted) << c.method << " " << (c.headers.empty() ? "" : c.headers[0].first);
  }
  HttpRequest request;
  request.timeoutMs = 0;
  EXPECT_FALSE(CheckHttpRequestFields(request).Ok());
}

// The platform's own client refuses before any connection: a refused URL
// fails at once (192.0.2.1 is a documentation address that never answers,
// so a client that dialled it would wait for its time-out), and after a
// Cancel every Send is cancelled.
TEST(HttpClientTest, RefusesBeforeConnectingAndStaysCancelled) {
  std::unique_ptr<HttpClient> client = NewHttpClient();
  const char* refused[] = {"http://192.0.2.1/token", "https://localhost@192.0.2.1/", "gopher://192.0.2.1/"};
  for (const char* url : refused) {
    HttpRequest request;
    request.url = url;
    request.timeoutMs = 20000;
    const auto start = std::chrono::steady_clock::now();
    Result<HttpResponse> answer = client->Send(request);
    EXPECT_FALSE(answer.Ok()) << url;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << url;
    EXPECT_EQ(answer.status().What(), "HTTP");
  }
  HttpRequest injected;
  injected.url = "https://192.0.2.1/";
  injected.headers = {{"X-Note", "a\r\nX-Injected: 1"}};
  injected.timeoutMs = 20000;
  EXPECT_FALSE(client->Send(injected).Ok());

  client->Cancel();
  HttpRequest request;
  request.url = "https://192.0.2.1/";
  request.timeoutMs = 20000;
  const auto start = std::chrono::steady_clock::now();
  Result<HttpResponse> answer = client->Send(request);
  ASSERT_FALSE(answer.Ok());
  EXPECT_EQ(answer.status().Kind(), StatusKind::kCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// The scripted client the callers' tests use: it refuses what the real ones
// refuse (and records nothing for it), takes its outcomes in order, and a
// server that never answers is ended by a Cancel from another thread.
TEST(FakeHttpClientTest, RefusesLikeTheRealClientsAndHonoursCancel) {
  FakeHttpClient fake;
  fake.Answer(400, R"({"error":"invalid_client"})");
  fake.Hang();
  HttpRequest refused;
  refused.url = "http://login.example/token";
  EXPECT_FALSE(fake.Send(refused).Ok());
  EXPECT_EQ(fake.SendCount(), 0u);

  HttpRequest request;
  request.url = "https://login.example/token";
  request.body = "grant_type=client_credentials";
  Result<HttpResponse> first = fake.Send(request);
  ASSERT_TRUE(first.Ok());
  EXPECT_EQ(first->status, 400);

  // The cancel comes from another thread once the hung request is under
  // way; without it the Send would end as kTimedOut after 20 s.
  request.timeoutMs = 20000;
  std::promise<void> sent;
  fake.onSend = [&sent](const HttpRequest&) { sent.set_value(); };
  std::thread canceller([&fake, under = sent.get_future()] {
    under.wait();
    fake.Cancel();
  });
  Result<HttpResponse> hung = fake.Send(request);
  canceller.join();
  fake.onSend = nullptr;
  ASSERT_FALSE(hung.Ok());
  EXPECT_EQ(hung.status().Kind(), StatusKind::kCancelled);
  ASSERT_EQ(fake.Requests().size(), 2u);
  EXPECT_EQ(fake.Requests()[1].body, "grant_type=client_credentials");
  EXPECT_EQ(fake.Send(request).status().Kind(), StatusKind::kCancelled);
}

}  // namespace
}  // namespace qw

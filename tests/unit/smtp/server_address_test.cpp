// Servers given as addresses and names that stand for several addresses:
// the text forms of IPv4 and IPv6 addresses, the order of the attempts, the
// conversation moving on from a refused or silent address (fake socket and
// fake clock), and real connections to a server listening on [::1].
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "mail/smtp_client.h"
#include "tests/fakes/fake_client_socket.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"
#include "tools/smtp_test_server.h"

namespace qw {
namespace {

IpAddress V4(unsigned a, unsigned b, unsigned c, unsigned d) {
  IpAddress address;
  const unsigned parts[4] = {a, b, c, d};
  for (int i = 0; i < 4; ++i) address.bytes[i] = static_cast<unsigned char>(parts[i]);
  return address;
}

IpAddress V6(const std::string& text) {
  IpAddress address;
  EXPECT_TRUE(ParseIpv6(text, &address)) << text;
  return address;
}

// ---- text forms ----

TEST(ServerAddress, Ipv6TextFormsParseToTheirBytesAndPrintCanonically) {
  struct Case {
    const char* text;
    const char* canonical;  // IpAddress::Text of the parsed bytes
    const char* firstBytes;  // the first four bytes in hexadecimal
    const char* lastBytes;   // the last four
  };
  for (const Case& c : {
           Case{"::1", "::1", "00000000", "00000001"},
           Case{"::", "::", "00000000", "00000000"},
           Case{"2001:db8::1", "2001:db8::1", "20010db8", "00000001"},
           Case{"2001:DB8:0:0:0:0:0:1", "2001:db8::1", "20010db8", "00000001"},
           Case{"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1", "20010db8", "00000001"},
           Case{"fe80::", "fe80::", "fe800000", "00000000"},
           Case{"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8", "00010002", "00070008"},
           Case{"1:0:0:2:0:0:0:3", "1:0:0:2::3", "00010000", "00000003"},  // the longer run
           Case{"1:0:0:2:3:0:0:4", "1::2:3:0:0:4", "00010000", "00000004"},  // the first of equal runs
           Case{"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7", "00010000", "00060007"},  // no "::" for one group
           Case{"::ffff:192.0.2.5", "::ffff:192.0.2.5", "00000000", "c0000205"},
           Case{"64:ff9b::10.1.2.3", "64:ff9b::a01:203", "0064ff9b", "0a010203"},
           Case{"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0", "00010002", "00070000"},
       }) {
    SCOPED_TRACE(c.text);
    IpAddress address;
    ASSERT_TRUE(ParseIpv6(c.text, &address));
    EXPECT_TRUE(address.v6);
    char hex[33] = {};
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", address.bytes[i]);
    EXPECT_EQ(std::string(hex, 8), c.firstBytes);
    EXPECT_EQ(std::string(hex + 24, 8), c.lastBytes);
    EXPECT_EQ(address.Text(), c.canonical);
    IpAddress again;
    ASSERT_TRUE(ParseIpv6(address.Text(), &again)) << "the canonical form parses back";
    EXPECT_TRUE(again == address);
  }
}

TEST(ServerAddress, MalformedIpv6TextIsRefused) {
  for (const char* text : {"", ":", ":::", "1::2::3", ":1::2", "1::2:", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7",
                           "12345::1", "g::1", "::1%eth0", "[::1]", " ::1", "::1 ", "1:2:3:4:5:6:7:1.2.3.4",
                           "::1.2.3", "::256.1.1.1", "1.2.3.4", "::1.2.3.4:5", "1:2:3:4:5:6:1.2.3.4:5"}) {
    EXPECT_FALSE(ParseIpv6(text)) << text;
  }
  EXPECT_TRUE(ParseIpv6("1:2:3:4:5:6:1.2.3.4"));  // an IPv4 tail in place of two groups
}

TEST(ServerAddress, HostLiteralsTheirBareFormAndHostPortText) {
  struct Case {
    const char* host;
    bool literal;
    const char* bare;      // HostWithoutBrackets
    const char* hostPort;  // HostPortText(host, 587)
  };
  for (const Case& c : {
           Case{"::1", true, "::1", "[::1]:587"},
           Case{"[::1]", true, "::1", "[::1]:587"},
           Case{"[2001:db8::1]", true, "2001:db8::1", "[2001:db8::1]:587"},
           Case{"192.0.2.5", true, "192.0.2.5", "192.0.2.5:587"},
           Case{"[192.0.2.5]", true, "192.0.2.5", "[192.0.2.5]:587"},
           Case{"mail.example.jp", false, "mail.example.jp", "mail.example.jp:587"},
           Case{"[mail.example.jp]", false, "[mail.example.jp]", "[mail.example.jp]:587"},
           Case{"[::1", false, "[::1", "[::1:587"},
           Case{"127.1", false, "127.1", "127.1:587"},
       }) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(ParseHostLiteral(c.host), c.literal);
    EXPECT_EQ(HostWithoutBrackets(c.host), c.bare);
    EXPECT_EQ(HostPortText(c.host, 587), c.hostPort);
  }
  IpAddress address;
  ASSERT_TRUE(ParseHostLiteral("[192.0.2.5]", &address));
  EXPECT_FALSE(address.v6);
  EXPECT_EQ(address.BracketedText(), "192.0.2.5");
  ASSERT_TRUE(ParseHostLiteral("[2001:db8::5]", &address));
  EXPECT_EQ(address.BracketedText(), "[2001:db8::5]");
}

TEST(ServerAddress, AttemptsAlternateTheFamiliesFromTheFirstAnswer) {
  const IpAddress a6 = V6("2001:db8::a"), b6 = V6("2001:db8::b"), c6 = V6("2001:db8::c");
  const IpAddress a4 = V4(192, 0, 2, 1), b4 = V4(192, 0, 2, 2);
  struct Case {
    std::vector<IpAddress> resolved;
    std::vector<IpAddress> tried;
  };
  for (const Case& c : {
           Case{{a6, b6, c6, a4, b4}, {a6, a4, b6, b4, c6}},
           Case{{a4, b4, a6}, {a4, a6, b4}},
           Case{{a4, a6, b4, b6}, {a4, a6, b4, b6}},
           Case{{a6, a6, a4, a4, b6}, {a6, a4, b6}},  // each address once
           Case{{a4}, {a4}},
           Case{{}, {}},
       }) {
    std::vector<IpAddress> tried = InterleaveFamilies(c.resolved);
    ASSERT_EQ(tried.size(), c.tried.size());
    for (size_t i = 0; i < tried.size(); ++i) EXPECT_EQ(tried[i].Text(), c.tried[i].Text()) << i;
  }
}

// ---- the conversation moving from one address to the next ----

// A name that stands for three addresses, behind a fake socket; `onAttempt`
// decides what each attempt meets: "accept" (the server greets), "refuse"
// or "silent".
struct ThreeAddresses {
  ThreeAddresses() {
    auto socket = std::make_unique<FakeClientSocket>(loop);
    fake = socket.get();
    fake->addresses = {"2001:db8::5", "192.0.2.7", "192.0.2.8"};
    client = std::make_unique<TSMTPClient>("fake", loop, std::move(socket));
    client->Host = "mail.example.jp";
    client->Port = 587;
    client->SetTimeOut(10);
    client->Deadline = 300;
    loop.OnIdle = [this] {
      if (fake->Active() || fake->AttemptCount() == handled) return;
      handled = fake->AttemptCount();
      const std::string what = plan[fake->AttemptIndex()];
      if (what == "accept") {
        fake->AcceptConnection();
        fake->Deliver("220 ready\r\n");
      } else if (what == "refuse") {
        fake->FailAttempt(10061);
      }
    };
    fake->onSent = [this](const std::string& bytes) {
      if (bytes.rfind("EHLO", 0) == 0) fake->Deliver("250 fake\r\n");
      if (bytes.rfind("QUIT", 0) == 0) fake->Deliver("221 bye\r\n");
    };
  }

  FakeMessageLoop loop;
  FakeClientSocket* fake = nullptr;
  std::unique_ptr<TSMTPClient> client;
  std::vector<std::string> plan;
  int handled = 0;
};

TEST(ServerAddressAttempts, ARefusedOrSilentAddressGivesWayToTheNext) {
  struct Case {
    std::vector<std::string> plan;
    bool connected;
    size_t lastIndex;    // the attempt that connected, or the last one made
    int64_t minMs, maxMs;  // fake time the connect took
    const char* text;    // part of the failure text
  };
  for (const Case& c : {
           Case{{"accept", "accept", "accept"}, true, 0, 0, 0, ""},
           Case{{"refuse", "accept", "accept"}, true, 1, 0, 0, ""},
           Case{{"silent", "accept", "accept"}, true, 1, 10000, 10000, ""},
           Case{{"silent", "refuse", "accept"}, true, 2, 10000, 10000, ""},
           Case{{"refuse", "silent", "accept"}, true, 2, 10000, 10000, ""},
           Case{{"refuse", "refuse", "refuse"}, false, 2, 0, 0,
                "192.0.2.8 (the last of 3 addresses tried): fake error 10061 (10061)"},
           Case{{"silent", "silent", "silent"}, false, 2, 30000, 30000,
                "192.0.2.8 (the last of 3 addresses tried): time-out after 10 s"},
           Case{{"silent", "silent", "refuse"}, false, 2, 20000, 20000, "(the last of 3 addresses tried): fake"},
       }) {
    std::string name;
    for (const std::string& step : c.plan) name += step + " ";
    SCOPED_TRACE(name);
    ThreeAddresses peer;
    peer.plan = c.plan;
    const bool connected = peer.client->Connect();
    EXPECT_EQ(connected, c.connected) << peer.client->LastStatus().Describe();
    EXPECT_EQ(peer.fake->AttemptIndex(), c.lastIndex);
    EXPECT_GE(peer.loop.NowMs(), c.minMs);
    EXPECT_LE(peer.loop.NowMs(), c.maxMs);
    if (!connected) {
      EXPECT_EQ(peer.client->LastStatus().What(), "CONNECT");
      EXPECT_NE(peer.client->LastStatus().Text().find(c.text), std::string::npos)
          << peer.client->LastStatus().Text();
    }
    peer.client->Disconnect();
  }
}

TEST(ServerAddressAttempts, TheDeadlineAndAStopBoundTheAttempts) {
  {
    ThreeAddresses peer;
    peer.plan = {"silent", "silent", "silent"};
    peer.client->Deadline = 25;  // less than three silences of 10 s
    EXPECT_FALSE(peer.client->Connect());
    EXPECT_EQ(peer.loop.NowMs(), 25000);
    EXPECT_EQ(peer.client->LastStatus().Text(), "time-out after 25 s in all");
  }
  {
    ThreeAddresses peer;
    peer.plan = {"silent", "silent", "silent"};
    peer.loop.OnIdle = [&peer] {
      if (peer.fake->AttemptIndex() == 1) peer.client->RequestCancel();
    };
    EXPECT_FALSE(peer.client->Connect());
    EXPECT_EQ(peer.loop.NowMs(), 10000) << "the stop ends the wait at once";
    EXPECT_EQ(peer.client->LastStatus().Text(), "cancelled by stop");
  }
}

TEST(ServerAddressAttempts, OneAddressGivenIsNotRepeatedInTheFailure) {
  ThreeAddresses peer;
  peer.fake->addresses = {"192.0.2.7"};
  peer.client->Host = "192.0.2.7";
  peer.plan = {"refuse"};
  EXPECT_FALSE(peer.client->Connect());
  EXPECT_EQ(peer.client->LastStatus().Text(), "fake error 10061 (10061)");
  ThreeAddresses named;
  named.fake->addresses = {"2001:db8::7"};
  named.plan = {"refuse"};
  EXPECT_FALSE(named.client->Connect());
  EXPECT_EQ(named.client->LastStatus().Text(), "[2001:db8::7]: fake error 10061 (10061)");
}

// ---- real connections over IPv6 loopback ----
//
// RealSocket: only a real socket shows that the system dials [::1] and
// reports a refusal from it.

class Ipv6DeliveryRealSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.Start(0, true)) GTEST_SKIP() << "this machine cannot listen on [::1]";
    client.Port = server.Port();
    client.SetTimeOut(10);
    client.MailMessage = &message;
    message.SetSenderHeader("", "watch@example.jp");
    message.ToRecipients().AssignCommaLists("", "admin@example.jp");
    message.BodyStream = "over IPv6\r\n";
  }

  SmtpTestServer server;
  test::FakeSystemInfo sysInfo;
  TMailMessage message{sysInfo};
  TSMTPClient client{"smtpClient"};
};

TEST_F(Ipv6DeliveryRealSocket, BareAndBracketedAddressesReachTheServer) {
  size_t sessions = 0;
  for (const char* host : {"::1", "[::1]", "0:0:0:0:0:0:0:1"}) {
    SCOPED_TRACE(host);
    client.Host = host;
    TDeliveryResult result = client.Deliver();
    EXPECT_TRUE(result.Complete()) << result.status.Describe();
    ASSERT_TRUE(server.WaitForSessions(++sessions, 10000));
    const auto session = server.Sessions().back();
    EXPECT_EQ(session.recipients, std::vector<std::string>{"admin@example.jp"});
    ASSERT_EQ(session.messages.size(), 1u);
    // The Message-ID's right side is a domain or a bracketed address, never
    // bare colons.
    const std::string& text = session.messages[0];
    const size_t id = text.find("Message-ID: <");
    ASSERT_NE(id, std::string::npos);
    const std::string value = text.substr(id, text.find("\r\n", id) - id);
    const std::string right = value.substr(value.find('@') + 1);
    EXPECT_TRUE(right.find(':') == std::string::npos || right[0] == '[') << value;
  }
}

TEST_F(Ipv6DeliveryRealSocket, NobodyListeningOnTheAddressIsARefusal) {
  const int port = server.Port();
  server.Stop();
  client.Host = "[::1]";
  client.Port = port;
  auto start = std::chrono::steady_clock::now();
  TDeliveryResult result = client.Deliver();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8)) << "a refusal, not a time-out";
  EXPECT_EQ(result.status.What(), "CONNECT");
  EXPECT_NE(result.status.Text().find("(10061)"), std::string::npos) << result.status.Text();
}

}  // namespace
}  // namespace qw

// The conversation of the SMTP client as a whole: the reply reader, replies
// in every possible split against a fake socket, and Deliver against the
// loopback test server (refusals at each step, partial recipients, bounds,
// cancel from another thread, numeric and unknown hosts).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/domain_name.h"
#include "mail/smtp_client.h"
#include "tests/fakes/fake_client_socket.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"
#include "tools/smtp_test_server.h"

namespace qw {
namespace {

using Reply = SmtpTestServer::Reply;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---- the reader ----

TEST(SmtpReplyReader, EverySplitOfAMultiLineReplyGivesTheSameReply) {
  const std::string bytes = "250-mail.example.jp hello\r\n250-8BITMIME\r\n250 SIZE 1000\r\n";
  auto check = [&](TSmtpReplyReader& reader, const std::string& how) {
    ASSERT_TRUE(reader.HasReply()) << how;
    TSmtpReply reply = reader.TakeReply();
    EXPECT_EQ(reply.code, 250) << how;
    EXPECT_EQ(reply.finalLine, "250 SIZE 1000") << how;
    EXPECT_EQ(reply.lines.size(), 3u) << how;
    EXPECT_FALSE(reader.HasReply()) << how;
    EXPECT_EQ(reader.Buffered(), 0u) << how;
  };
  for (size_t split = 0; split <= bytes.size(); ++split) {
    TSmtpReplyReader reader;
    reader.Feed(bytes.substr(0, split));
    EXPECT_EQ(reader.HasReply(), split == bytes.size()) << split;  // never before the final CR LF
    reader.Feed(bytes.substr(split));
    check(reader, "split at " + std::to_string(split));
  }
  TSmtpReplyReader bytewise;
  for (char c : bytes) bytewise.Feed(&c, 1);
  check(bytewise, "byte by byte");
}

TEST(SmtpReplyReader, LineEndsCodesAndLeftovers) {
  struct Case {
    const char* bytes;
    int code;           // 0: no reply
    const char* final;  // final line, or the error text
    bool failed;
  };
  for (const Case& c : {
           Case{"220 ready\n", 220, "220 ready", false},               // bare LF tolerated
           Case{"250-a\n250-b\r\n250 c\n", 250, "250 c", false},       // mixed
           Case{"354\r\n", 354, "354", false},                        // code alone
           Case{"550 no\rsuch\r\n", 550, "550 no\rsuch", false},      // a lone CR is text
           Case{"250-a\r\n", 0, "", false},                           // not complete yet
           Case{"250 ok", 0, "", false},                              // no line end yet
           Case{"hello there\r\n", 0, "hello there", true},           // garbage
           Case{"25 ok\r\n", 0, "25 ok", true},
           Case{"2500 ok\r\n", 0, "2500 ok", true},
           Case{"250-a\r\nxyz\r\n", 0, "xyz", true},                  // garbage inside a reply
           Case{"\r\n", 0, "empty reply line", true},
       }) {
    SCOPED_TRACE(c.bytes);
    TSmtpReplyReader reader;
    reader.Feed(c.bytes);
    EXPECT_EQ(reader.Failed(), c.failed);
    if (c.failed) {
      EXPECT_EQ(reader.ErrorText(), c.final);
      continue;
    }
    ASSERT_EQ(reader.HasReply(), c.code != 0);
    if (c.code) {
      TSmtpReply reply = reader.TakeReply();
      EXPECT_EQ(reply.code, c.code);
      EXPECT_EQ(reply.finalLine, c.final);
    }
  }
  // Two replies in one piece: the second waits for the next command.
  TSmtpReplyReader reader;
  reader.Feed("250 one\r\n251 two\r\n2");
  EXPECT_EQ(reader.TakeReply().finalLine, "250 one");
  ASSERT_TRUE(reader.HasReply());
  EXPECT_EQ(reader.TakeReply().code, 251);
  EXPECT_EQ(reader.Buffered(), 1u);
  // A babbling server is cut off.
  TSmtpReplyReader babble;
  for (int i = 0; i < 20; ++i) babble.Feed("250 again\r\n");
  EXPECT_TRUE(babble.Failed());
  EXPECT_EQ(babble.ErrorText(), "more replies than commands");
}

TEST(SmtpReplyReader, AnEndlessLineEndsWithBoundedMemory) {
  TSmtpReplyReader reader;
  reader.Feed("220 ");
  const std::string piece(4096, 'a');
  size_t most = 0;
  for (int i = 0; i < 256; ++i) {  // 1 MB without a line end
    reader.Feed(piece);
    most = std::max(most, reader.Buffered());
  }
  EXPECT_TRUE(reader.Failed());
  EXPECT_EQ(reader.ErrorText(), "reply line longer than 65536 bytes");
  EXPECT_LE(most, TSmtpReplyReader::kMaxLine + 1);
  EXPECT_EQ(reader.Buffered(), 0u);
  // A line of exactly the limit is still a reply; one more byte is not.
  for (size_t extra : {0, 1}) {
    TSmtpReplyReader edge;
    edge.Feed("250 " + std::string(TSmtpReplyReader::kMaxLine - 4 + extra, 'b') + "\r\n");
    EXPECT_EQ(edge.HasReply(), extra == 0);
    EXPECT_EQ(edge.Failed(), extra == 1);
  }
  // Continuation lines beyond the kept text are dropped, the final line kept.
  TSmtpReplyReader many;
  const std::string line = "250-" + std::string(1000, 'c') + "\r\n";
  for (int i = 0; i < 200; ++i) many.Feed(line);
  many.Feed("250 end\r\n");
  ASSERT_TRUE(many.HasReply());
  TSmtpReply reply = many.TakeReply();
  EXPECT_EQ(reply.finalLine, "250 end");
  EXPECT_LT(reply.lines.size(), 70u);
}

TEST(SmtpClientNames, GreetingNamesAreAsciiDomains) {
  for (const char* yes : {"mail.example.jp", "a-b.c.example", "host.example.jp.", "x1.y2.jp"}) {
    EXPECT_TRUE(IsFullDomain(yes)) << yes;
  }
  for (const char* no : {"localhost", "host", "-a.example.jp", "a-.example.jp", "a..b", ".a.b", "a_b.example.jp",
                         "10.0.0.5", "ホスト.example.jp", "a.b\r\nRCPT", "a b.jp", ""}) {
    EXPECT_FALSE(IsFullDomain(no)) << no;
  }
  EXPECT_FALSE(IsFullDomain(std::string(64, 'a') + ".jp"));
}

// The name said with EHLO: the full domain first, then the address literal
// of the local end, then a bare host name, then "localhost".
TEST(SmtpClientNames, GreetingNameFallsBackInOrder) {
  const struct {
    const char* name;
    const char* address;
    const char* said;
  } cases[] = {
      {"pc.example.jp.", "192.0.2.5", "pc.example.jp"},
      {"pc.example.jp", "2001:db8::5", "pc.example.jp"},
      {"pc", "192.0.2.5", "[192.0.2.5]"},
      {"pc", "2001:db8::5", "[IPv6:2001:db8::5]"},
      {"ホスト", "::1", "[IPv6:::1]"},
      {"pc", "", "pc"},
      {"pc", "not an address", "pc"},
      {"a_b", "", "localhost"},
      {"ホスト", "", "localhost"},
      {"", "", "localhost"},
  };
  for (const auto& c : cases) EXPECT_EQ(GreetingNameFor(c.name, c.address), c.said) << c.name << " " << c.address;
}

// ---- against a fake socket: every split of every reply ----

// A server on the far side of a FakeClientSocket: answers each command line
// with the scripted pieces (each its own read notification).
class FakePeer {
 public:
  FakePeer() {
    auto socket = std::make_unique<FakeClientSocket>(loop);
    fake = socket.get();
    client = std::make_unique<TSMTPClient>("fake", loop, std::move(socket));
    client->Host = "192.0.2.1";
    client->MailMessage = &message;
    message.SetSenderHeader("", "watch@example.jp");
    message.ToRecipients().AssignCommaLists("", "a@x.jp,b@x.jp");
    message.BodyStream = "body\r\n";
    replies = {{"GREETING", {"220 fake ready\r\n"}}, {"EHLO", {"250-fake\r\n250 8BITMIME\r\n"}},
               {"HELO", {"250 fake\r\n"}},          {"MAIL", {"250 ok\r\n"}},
               {"RCPT", {"250 ok\r\n"}},           {"DATA", {"354 go\r\n"}},
               {"DOT", {"250 queued\r\n"}},        {"QUIT", {"221 bye\r\n"}},
               {"RSET", {"250 ok\r\n"}}};
    loop.OnIdle = [this] {
      if (fake->OpenCount() > opened_) {
        opened_ = fake->OpenCount();
        fake->AcceptConnection();
        Say("GREETING");
      }
    };
    fake->onSent = [this](const std::string& bytes) {
      buffer_ += bytes;
      Process();
    };
  }

  void Say(const std::string& verb) {
    for (const std::string& piece : replies[verb]) fake->Deliver(piece);
  }

  FakeMessageLoop loop;
  FakeClientSocket* fake = nullptr;
  test::FakeSystemInfo sysInfo;
  TMailMessage message{sysInfo};
  std::unique_ptr<TSMTPClient> client;
  std::map<std::string, std::vector<std::string>> replies;  // by verb, or "RCPT <address>"
  std::vector<std::string> commands;                        // "<text>" for a message text

 private:
  void Process() {
    for (;;) {
      if (data_) {
        size_t end = buffer_.find("\r\n.\r\n");
        if (end == std::string::npos) return;
        buffer_.erase(0, end + 5);
        data_ = false;
        commands.push_back("<text>");
        Say("DOT");
        continue;
      }
      size_t end = buffer_.find("\r\n");
      if (end == std::string::npos) return;
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      commands.push_back(line);
      std::string verb = line.substr(0, std::min(line.find(' '), line.find(':')));
      if (verb == "RCPT") {
        std::string address = line.substr(line.find('<') + 1, line.find('>') - line.find('<') - 1);
        if (replies.count("RCPT " + address)) verb = "RCPT " + address;
      }
      Say(verb);
      std::string said;
      for (const std::string& piece : replies[verb]) said += piece;
      if (verb == "DATA" && said.rfind("354", 0) == 0) data_ = true;
    }
  }

  std::string buffer_;
  bool data_ = false;
  int opened_ = 0;
};

TEST(SmtpConversationFake, EveryReplySplitAtEveryByteIsReadWhole) {
  const std::vector<std::string> verbs = {"GREETING", "EHLO", "MAIL", "DATA", "DOT"};
  const std::map<std::string, std::string> whole = {{"GREETING", "220-fake\r\n220-second line\r\n220 ready\r\n"},
                                                    {"EHLO", "250-fake\r\n250-PIPELINING\r\n250 8BITMIME\r\n"},
                                                    {"MAIL", "250 2.1.0 ok\r\n"},
                                                    {"DATA", "354 go ahead\r\n"},
                                                    {"DOT", "250-queued\r\n250 as 1234\r\n"}};
  for (const std::string& verb : verbs) {
    const std::string bytes = whole.at(verb);
    for (size_t split = 1; split < bytes.size(); ++split) {
      SCOPED_TRACE(verb + " split at " + std::to_string(split));
      FakePeer peer;
      peer.replies[verb] = {bytes.substr(0, split), bytes.substr(split)};
      TDeliveryResult result = peer.client->Deliver();
      EXPECT_TRUE(result.Complete()) << result.status.Describe();
      if (verb == "DOT") {
        EXPECT_EQ(result.acceptedReply, "250 as 1234");
      }
      const std::vector<std::string> expected = {"EHLO [10.1.2.3]",  "MAIL FROM:<watch@example.jp>",
                                                 "RCPT TO:<a@x.jp>", "RCPT TO:<b@x.jp>",
                                                 "DATA",             "<text>",
                                                 "QUIT"};
      EXPECT_EQ(peer.commands, expected);
    }
  }
  // And one byte at a time.
  FakePeer bytewise;
  for (auto& [verb, pieces] : bytewise.replies) {
    std::string bytes;
    for (const std::string& piece : pieces) bytes += piece;
    pieces.clear();
    for (char c : bytes) pieces.emplace_back(1, c);
  }
  EXPECT_TRUE(bytewise.client->Deliver().Complete());
  EXPECT_EQ(bytewise.commands.back(), "QUIT");
}

TEST(SmtpConversationFake, AFloodedLineEndsTheAttempt) {
  FakePeer peer;
  peer.replies["MAIL"] = {"250 " + std::string(1 << 20, 'x') + "\r\n"};
  TDeliveryResult result = peer.client->Deliver();
  EXPECT_FALSE(result.Delivered());
  EXPECT_EQ(result.status.What(), "MAIL");
  EXPECT_EQ(result.status.Code(), 0);
  EXPECT_EQ(result.status.Text(), "reply line longer than 65536 bytes");
  EXPECT_EQ(peer.commands.back(), "MAIL FROM:<watch@example.jp>");  // no more words, no QUIT
  EXPECT_FALSE(peer.fake->Active());
}

TEST(SmtpConversationFake, AnUnfinishedTransactionIsResetBeforeTheNextOne) {
  FakePeer peer;
  peer.replies["RCPT"] = {"550 no\r\n"};
  ASSERT_TRUE(peer.client->Connect());
  EXPECT_FALSE(peer.client->SendTo("w@x.jp", "a@x.jp"));
  EXPECT_EQ(peer.client->LastStatus().What(), "RCPT <a@x.jp>");
  peer.replies["RCPT"] = {"250 ok\r\n"};
  EXPECT_TRUE(peer.client->SendTo("w@x.jp", "a@x.jp"));
  EXPECT_TRUE(peer.client->LastStatus().Ok());
  peer.client->Disconnect();
  const std::vector<std::string> expected = {"EHLO [10.1.2.3]", "MAIL FROM:<w@x.jp>", "RCPT TO:<a@x.jp>", "RSET",
                                             "MAIL FROM:<w@x.jp>", "RCPT TO:<a@x.jp>", "DATA", "<text>", "QUIT"};
  EXPECT_EQ(peer.commands, expected);
}

TEST(SmtpConversationFake, EveryFailureCarriesItsStepAsAValueAndAsItsWord) {
  struct Case {
    const char* verb;
    const char* reply;
    TSmtpStep step;
    const char* what;
  };
  const std::vector<Case> cases = {
      {"GREETING", "554 go away\r\n", TSmtpStep::Greeting, "GREETING"},
      {"EHLO", "550 not you\r\n", TSmtpStep::Ehlo, "EHLO"},
      {"MAIL", "553 sender refused\r\n", TSmtpStep::Mail, "MAIL"},
      {"RCPT", "550 unknown\r\n", TSmtpStep::Rcpt, "RCPT <b@x.jp>"},  // all refused: the last one
      {"DATA", "554 no\r\n", TSmtpStep::Data, "DATA"},
      {"DOT", "554 spam\r\n", TSmtpStep::EndOfData, "."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verb);
    FakePeer peer;
    peer.replies[c.verb] = {c.reply};
    TDeliveryResult result = peer.client->Deliver();
    EXPECT_FALSE(result.Delivered());
    EXPECT_EQ(result.step, c.step);
    EXPECT_EQ(result.status.What(), c.what);
    EXPECT_EQ(result.status.Code(), std::stoi(c.reply));
  }
  // A socket that cannot be made ends the attempt at CONNECT with its words.
  FakePeer broken;
  broken.fake->openFailure = Status::Failure("socket", 10024, "Windows ソケットエラー： too many (10024) [API 'socket']");
  TDeliveryResult result = broken.client->Deliver();
  EXPECT_EQ(result.step, TSmtpStep::Connect);
  EXPECT_EQ(result.status.What(), "CONNECT");
  EXPECT_EQ(result.status.Text(), "Windows ソケットエラー： too many (10024) [API 'socket']");
  EXPECT_EQ(broken.fake->OpenCount(), 0);
  // Delivered: no step.
  FakePeer fine;
  result = fine.client->Deliver();
  EXPECT_TRUE(result.Complete()) << result.status.Describe();
  EXPECT_EQ(result.step, TSmtpStep::None);
}

TEST(SmtpConversationFake, ASilentServerTimesOut) {
  FakePeer peer;
  peer.replies["MAIL"] = {};
  peer.replies["QUIT"] = {};
  peer.client->SetTimeOut(1);
  ASSERT_TRUE(peer.client->Connect());
  int64_t start = peer.loop.NowMs();
  EXPECT_FALSE(peer.client->Send());
  int64_t took = peer.loop.NowMs() - start;
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 5000);
  EXPECT_EQ(peer.client->Talk().LastError(), teNone);  // the client's failure hook cancels the wait
  start = peer.loop.NowMs();
  peer.client->Disconnect();  // QUIT is not answered either: waits at most TimeOut
  EXPECT_LT(peer.loop.NowMs() - start, 3000);
  EXPECT_EQ(peer.commands.back(), "QUIT");
  EXPECT_FALSE(peer.fake->Active());
}

TEST(SmtpConversationFake, ASilentGreetingTimesOutTheConnect) {
  FakePeer peer;
  peer.replies["GREETING"] = {};
  peer.client->SetTimeOut(1);
  const int64_t start = peer.loop.NowMs();
  EXPECT_FALSE(peer.client->Connect());
  EXPECT_GE(peer.loop.NowMs() - start, 900);
  EXPECT_EQ(peer.client->LastStatus().Describe(), "GREETING: time-out after 1 s");
  EXPECT_FALSE(peer.fake->Active());
}

TEST(SmtpConversationFake, NoQuitFollowsAMessageTextThatWasNotAnswered) {
  FakePeer peer;
  peer.replies["DOT"] = {};
  peer.client->SetTimeOut(2);
  ASSERT_TRUE(peer.client->Connect());
  EXPECT_FALSE(peer.client->Send());
  int64_t start = peer.loop.NowMs();
  peer.client->Disconnect();
  EXPECT_LT(peer.loop.NowMs() - start, 1000);  // no wait for an answer to a QUIT lost in the text
  EXPECT_EQ(peer.commands.back(), "<text>");
  EXPECT_EQ(std::count(peer.commands.begin(), peer.commands.end(), "QUIT"), 0);
  // The next delivery of the same client says QUIT again.
  peer.replies["DOT"] = {"250 OK\r\n"};
  ASSERT_TRUE(peer.client->Connect());
  EXPECT_TRUE(peer.client->Send());
  peer.client->Disconnect();
  EXPECT_EQ(peer.commands.back(), "QUIT");
}

TEST(SmtpConversationFake, DisconnectSaysQuitAndWaitsForTheAnswer) {
  FakePeer peer;
  peer.replies["QUIT"] = {};
  ASSERT_TRUE(peer.client->Connect());
  // The answer to QUIT comes 300 ms after it.
  std::unique_ptr<Timer> answer = peer.loop.CreateTimer();
  answer->SetInterval(300);
  answer->OnTimer = [&] {
    answer->SetEnabled(false);
    peer.fake->Deliver("221 bye\r\n");
  };
  answer->SetEnabled(true);
  const int64_t start = peer.loop.NowMs();
  peer.client->Disconnect();
  EXPECT_GE(peer.loop.NowMs() - start, 250);
  EXPECT_FALSE(peer.client->Connected());
  EXPECT_EQ(peer.commands.back(), "QUIT");
  peer.client->Disconnect();  // twice is harmless
  EXPECT_EQ(peer.commands.back(), "QUIT");
}

TEST(SmtpConversationFake, ATricklingPeerMeetsTheDeadline) {
  // One byte of the greeting every 200 ms of the test clock: never silent
  // for a whole second, never done.
  FakePeer peer;
  peer.replies["GREETING"] = {};
  const std::string greeting = "220 " + std::string(100, 'z');
  size_t trickled = 0;
  std::unique_ptr<Timer> trickle = peer.loop.CreateTimer();
  trickle->SetInterval(200);
  trickle->OnTimer = [&] {
    if (peer.fake->Active() && trickled < greeting.size()) peer.fake->Deliver(greeting.substr(trickled++, 1));
  };
  trickle->SetEnabled(true);
  peer.client->SetTimeOut(1);
  peer.client->Deadline = 2;
  const int64_t start = peer.loop.NowMs();
  TDeliveryResult result = peer.client->Deliver();
  int64_t took = peer.loop.NowMs() - start;
  EXPECT_GE(took, 1900);
  EXPECT_LT(took, 3500);
  EXPECT_GT(trickled, 5u) << "the peer was heard all along";
  EXPECT_EQ(result.status.What(), "GREETING");
  EXPECT_EQ(result.status.Text(), "time-out after 2 s in all");
  EXPECT_FALSE(peer.fake->Active());
}

// ---- Deliver against the loopback server ----
//
// The cases named RealSocket talk to the scriptable server over a real
// loopback connection: they prove the platform's socket and loop with the
// byte stream and closes a real peer makes (resets, a close after a reply,
// a cross-thread stop), which the fake socket only imitates. Their
// time-outs are real, so they keep them at a second or two.

struct Delivery {
  explicit Delivery(SmtpTestServer& server, const std::string& to = "a@x.jp,b@x.jp") {
    client.Host = "127.0.0.1";
    client.Port = server.Port();
    client.MailMessage = &message;
    client.SetTimeOut(5);
    message.SetSenderHeader("", "watch@example.jp");
    message.ToRecipients().AssignCommaLists("", to);
    message.BodyStream = "Drive C: is low.\r\n";
  }
  test::FakeSystemInfo sysInfo;
  TMailMessage message{sysInfo};
  TSMTPClient client{"smtpClient"};
};

SmtpTestServer::Session LastSession(SmtpTestServer& server) {
  EXPECT_TRUE(server.WaitForSessions(1, 10000));
  auto sessions = server.Sessions();
  return sessions.empty() ? SmtpTestServer::Session{} : sessions.back();
}

bool Has(const std::vector<std::string>& commands, const std::string& prefix) {
  return std::any_of(commands.begin(), commands.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
}

TEST(SmtpDeliverRealSocket, RefusalsAndFaultsAtEachStepAreNamed) {
  struct Case {
    const char* verb;
    Reply reply;
    const char* what;
    int code;
    const char* text;
    bool quit;  // QUIT said at the end
  };
  const std::vector<Case> cases = {
      {"GREETING", Reply::CloseAfter("421 too busy\r\n"), "GREETING", 421, "421 too busy", false},
      {"GREETING", Reply::Text("554-no\r\n554 service\r\n"), "GREETING", 554, "554 service", true},
      {"EHLO", Reply::Text("421 closing\r\n"), "EHLO", 421, "421 closing", false},
      {"MAIL", Reply::Text("451 try later\r\n"), "MAIL", 451, "451 try later", true},
      {"MAIL", Reply::Text("550-policy\r\n550-more\r\n550 5.7.1 refused\r\n"), "MAIL", 550, "550 5.7.1 refused", true},
      {"DATA", Reply::Text("554 no data\r\n"), "DATA", 554, "554 no data", true},
      {"DOT", Reply::Text("552 too big\r\n"), ".", 552, "552 too big", true},
      {"MAIL", Reply::Text("hello there\r\n"), "MAIL", 0, "hello there", false},
      {"MAIL", Reply::Silence(), "MAIL", 0, "time-out after 1 s", true},
      {"RCPT", Reply::CloseAfter(""), "RCPT <a@x.jp>", 0, "connection closed by the server", false},
      {"MAIL", Reply::Text("250 " + std::string(1 << 20, 'y') + "\r\n"), "MAIL", 0,
       "reply line longer than 65536 bytes", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.verb) + " -> " + c.text);
    SmtpTestServer server;
    server.Script(c.verb, c.reply);
    ASSERT_TRUE(server.Start());
    Delivery d(server);
    d.client.SetTimeOut(1);
    auto start = Clock::now();
    TDeliveryResult result = d.client.Deliver();
    EXPECT_LT(MsSince(start), 4000);
    EXPECT_FALSE(result.Delivered());
    EXPECT_EQ(result.status.What(), c.what);
    EXPECT_EQ(result.status.Code(), c.code);
    EXPECT_EQ(result.status.Text(), c.text);
    EXPECT_FALSE(d.client.Connected());
    auto session = LastSession(server);
    EXPECT_EQ(!session.commands.empty() && session.commands.back() == "QUIT", c.quit);
    EXPECT_TRUE(session.messages.empty() || std::string(c.verb) == "DOT");
  }
}

TEST(SmtpDeliverRealSocket, EhloFallsBackToHeloAndBareLineFeedsAreRead) {
  struct Case {
    const char* ehlo;
    const char* helo;
    bool delivered;
    const char* what;
    bool heloSent = true;
  };
  for (const Case& c : {Case{"502 not implemented\r\n", "250 hi\r\n", true, ""},
                        Case{"500 what\n", "250 hi\n", true, ""},
                        Case{"500 what\r\n", "501 no\r\n", false, "HELO"},
                        // A refusal that is not "unknown command" stands.
                        Case{"550 not you\r\n", "250 hi\r\n", false, "EHLO", false}}) {
    SCOPED_TRACE(c.ehlo);
    SmtpTestServer server;
    server.Script("EHLO", Reply::Text(c.ehlo));
    server.Script("HELO", Reply::Text(c.helo));
    server.Script("GREETING", Reply::Text("220-bare\n220 line feeds\n"));
    ASSERT_TRUE(server.Start());
    Delivery d(server);
    TDeliveryResult result = d.client.Deliver();
    EXPECT_EQ(result.Delivered(), c.delivered) << result.status.Describe();
    EXPECT_EQ(result.status.What(), c.what);
    auto session = LastSession(server);
    ASSERT_GE(session.commands.size(), 2u);
    // The name: a fully qualified domain or the address literal, 7-bit.
    std::string name = session.commands[0].substr(5);
    EXPECT_EQ(session.commands[0].substr(0, 5), "EHLO ");
    EXPECT_TRUE(IsFullDomain(name) || name == "[127.0.0.1]") << name;
    EXPECT_EQ(session.commands[1], c.heloSent ? "HELO " + name : "QUIT");
    EXPECT_EQ(session.messages.size(), c.delivered ? 1u : 0u);
  }
}

TEST(SmtpDeliverRealSocket, RefusedRecipientsDoNotStopTheOthers) {
  {
    SmtpTestServer server;
    server.Script("RCPT", Reply::Text("550 5.1.1 no such user\r\n"), 1);  // a@x.jp
    ASSERT_TRUE(server.Start());
    Delivery d(server);
    TDeliveryResult result = d.client.Deliver();
    EXPECT_TRUE(result.Delivered()) << result.status.Describe();
    EXPECT_FALSE(result.Complete());
    ASSERT_EQ(result.refused.size(), 1u);
    EXPECT_EQ(result.refused[0].first, "a@x.jp");
    EXPECT_EQ(result.refused[0].second, "550 5.1.1 no such user");
    EXPECT_EQ(result.acceptedReply, "250 OK queued");
    auto session = LastSession(server);
    EXPECT_EQ(session.recipients, (std::vector<std::string>{"a@x.jp", "b@x.jp"}));
    EXPECT_EQ(session.messages.size(), 1u);
    EXPECT_EQ(session.commands.back(), "QUIT");
  }
  {
    SmtpTestServer server;
    server.Script("RCPT", Reply::Text("550 no\r\n"), 1);
    server.Script("RCPT", Reply::Text("450 mailbox busy\r\n"), 2);
    ASSERT_TRUE(server.Start());
    Delivery d(server);
    TDeliveryResult result = d.client.Deliver();
    EXPECT_FALSE(result.Delivered());
    EXPECT_EQ(result.status.What(), "RCPT <b@x.jp>");  // the last refusal
    EXPECT_EQ(result.status.Code(), 450);
    EXPECT_EQ(result.status.Text(), "450 mailbox busy");
    EXPECT_EQ(result.refused.size(), 2u);
    auto session = LastSession(server);
    EXPECT_FALSE(Has(session.commands, "DATA"));
    EXPECT_EQ(session.commands.back(), "QUIT");
  }
}

TEST(SmtpDeliverRealSocket, ACancelFromAnotherThreadEndsTheWaitAtOnce) {
  // A real loop and socket: the cancel crosses threads and must wake a wait
  // in the system's own poll or message queue.
  SmtpTestServer server;
  server.Script("MAIL", Reply::Silence());
  ASSERT_TRUE(server.Start());
  Delivery d(server);
  d.client.SetTimeOut(30);
  // The stop comes once MAIL is on its way, from another thread.
  std::promise<void> mailSent;
  d.client.OnCommand = [&](const std::string& line) {
    if (line.rfind("MAIL", 0) == 0) mailSent.set_value();
  };
  std::atomic<bool> delivering{true};
  std::atomic<bool> cancelledWhileDelivering{false};
  Clock::time_point cancelAt;
  std::thread stopper([&] {
    if (mailSent.get_future().wait_for(std::chrono::seconds(10)) != std::future_status::ready) return;
    cancelAt = Clock::now();
    cancelledWhileDelivering = delivering.load();
    d.client.RequestCancel();
  });
  TDeliveryResult result = d.client.Deliver();
  delivering = false;
  const Clock::time_point returned = Clock::now();
  stopper.join();
  d.client.OnCommand = nullptr;
  EXPECT_TRUE(cancelledWhileDelivering) << "the attempt waited for the cancel";
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(returned - cancelAt).count(), 1000);
  EXPECT_TRUE(d.client.CancelRequested());
  EXPECT_EQ(result.status.What(), "MAIL");
  EXPECT_EQ(result.status.Code(), 0);
  EXPECT_EQ(result.status.Text(), "cancelled by stop");
  EXPECT_FALSE(Has(LastSession(server).commands, "QUIT"));
  // Later attempts of the same client fail at once the same way.
  auto start = Clock::now();
  result = d.client.Deliver();
  EXPECT_LT(MsSince(start), 200);
  EXPECT_EQ(result.status.What(), "CONNECT");
  EXPECT_EQ(result.status.Text(), "cancelled by stop");
  EXPECT_EQ(server.Sessions().size(), 1u);
}

TEST(SmtpDeliverRealSocket, OnlyDottedQuadsAreNumbersAndUnknownHostsFailTheConnect) {
  SmtpTestServer server;
  ASSERT_TRUE(server.Start());
  struct Case {
    const char* host;
    bool delivered;
  };
  for (const Case& c : {Case{"127.0.0.1", true}, Case{"localhost", true}, Case{"1.2.3.4.5", false},
                        Case{"127.1", false}, Case{"0x7f.0.0.1", false}, Case{"2130706433", false},
                        Case{"no-such-host.invalid", false}}) {
    SCOPED_TRACE(c.host);
    Delivery d(server);
    d.client.Host = c.host;
    d.client.SetTimeOut(20);
    auto start = Clock::now();
    TDeliveryResult result = d.client.Deliver();
    EXPECT_LT(MsSince(start), 15000);  // an answer, not a time-out
    EXPECT_EQ(result.Delivered(), c.delivered) << result.status.Describe();
    if (!c.delivered) {
      EXPECT_EQ(result.status.What(), "CONNECT");
      EXPECT_EQ(result.status.Code(), 0);
      EXPECT_NE(result.status.Text().find("(110"), std::string::npos) << result.status.Text();  // 1100x: lookup
    }
  }
  EXPECT_EQ(server.Sessions().size(), 2u);  // only the two good ones connected

  // Nobody listening: the socket's own words.
  int port = server.Port();
  server.Stop();
  Delivery d(server);
  d.client.Port = port;
  TDeliveryResult result = d.client.Deliver();
  EXPECT_EQ(result.status.What(), "CONNECT");
  EXPECT_NE(result.status.Text().find("(10061)"), std::string::npos) << result.status.Text();
}

TEST(ClientSocketRealSocket, AnAddressThatIsNoDottedQuadIsNeverDialled) {
  // inet_addr("1.2.3.4.5") is 255.255.255.255; the socket must not go there.
  for (const char* address : {"1.2.3.4.5", "127.1", ""}) {
    SCOPED_TRACE(address);
    auto socket = NewClientSocket();
    std::vector<int> errors;
    bool connected = false;
    socket->OnError = [&](TErrorEvent, int& code) {
      errors.push_back(code);
      code = 0;
    };
    socket->OnConnect = [&] { connected = true; };
    socket->SetAddress(address);
    socket->SetPort(25);
    ASSERT_TRUE(socket->Open().Ok());
    for (int i = 0; i < 100 && errors.empty() && !connected; ++i) ThisThreadLoop().WaitAndProcess(20);
    EXPECT_FALSE(connected);
    EXPECT_EQ(errors, std::vector<int>{11001});
    socket->Close();
  }
  EXPECT_TRUE(ParseDottedQuad("10.20.30.40"));
  uint32_t address = 0;
  ASSERT_TRUE(ParseDottedQuad("192.0.2.5", &address));
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address);
  EXPECT_EQ(bytes[0], 192);
  EXPECT_EQ(bytes[3], 5);
  EXPECT_TRUE(LooksNumeric("127.1"));
  EXPECT_TRUE(LooksNumeric("0x7f000001"));
  EXPECT_FALSE(LooksNumeric("mail.example.jp"));
  EXPECT_FALSE(LooksNumeric("0xdead.example.jp"));
}

}  // namespace
}  // namespace qw

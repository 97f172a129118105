// The SMTP client over a real loopback connection to the scriptable test
// server: the envelope, the transmitted text, the replies that count as
// success, refusals, time-outs and broken connections. The suite is named
// RealSocket: it proves the platform's socket and loop against a real peer
// (resets, closes, refused ports, name lookups), which the fake cannot; its
// time-outs are real and kept to a second or two.
#include "mail/smtp_client.h"
#include "mail/smtp_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/fake_platform.h"
#include "tools/smtp_test_server.h"

namespace qw {
namespace {

using Reply = SmtpTestServer::Reply;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool HasHeader(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

class SmtpClientRealSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    client.Host = "127.0.0.1";
    client.Port = server.Port();
    client.MailMessage = &msg;
    msg.SetSenderHeader("", "watch@example.jp");
    msg.SetSubjectHeader("Low disk space");
    msg.ToRecipients().AssignCommaLists("", "admin@example.jp");
    msg.BodyStream = "Drive C: is low.\r\n";
  }

  // The session after the client has closed it.
  SmtpTestServer::Session Finished() {
    client.Disconnect();
    EXPECT_TRUE(server.WaitForSessions(1, 10000));
    auto sessions = server.Sessions();
    return sessions.empty() ? SmtpTestServer::Session{} : sessions.back();
  }

  SmtpTestServer server;
  test::FakeSystemInfo sysInfo;
  TMailMessage msg{sysInfo};
  TSMTPClient client{"smtpClient"};
};

TEST_F(SmtpClientRealSocketTest, DeliversToDistinctRecipientsInOrderWithoutTheBccLine) {
  msg.ToRecipients().AssignCommaLists("", "Zed@example.jp,admin@example.jp,ADMIN@Example.jp");
  msg.CcRecipients().AssignCommaLists("", "Admin@EXAMPLE.jp,boss@example.jp");
  msg.BccRecipients().AssignCommaLists("", "auditor@example.jp");
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(client.Connected());
  EXPECT_TRUE(client.Send());
  const std::string sentText = msg.FullText();  // header put back, new Message-ID kept
  auto session = Finished();

  EXPECT_EQ(session.mailFrom, "watch@example.jp");
  EXPECT_EQ(session.recipients,
            (std::vector<std::string>{"admin@example.jp", "auditor@example.jp", "boss@example.jp", "Zed@example.jp"}));
  ASSERT_GE(session.commands.size(), 8u);
  EXPECT_EQ(session.commands[0].rfind("EHLO ", 0), 0u);
  EXPECT_GT(session.commands[0].size(), 5u);
  EXPECT_EQ(session.commands[1], "MAIL FROM:<watch@example.jp>");
  EXPECT_EQ(session.commands[2], "RCPT TO:<admin@example.jp>");
  EXPECT_EQ(session.commands[6], "DATA");
  EXPECT_EQ(session.commands.back(), "QUIT");

  ASSERT_EQ(session.messages.size(), 1u);
  const std::string& text = session.messages[0];
  EXPECT_EQ(text.find("\r\nBcc:"), std::string::npos);
  EXPECT_NE(text.find("\r\nMessage-ID: <"), std::string::npos);
  EXPECT_NE(text.find("@127.0.0.1>"), std::string::npos);  // the local address of the connection
  EXPECT_NE(text.find("Drive C: is low.\r\n"), std::string::npos);

  // Afterwards the message holds its Bcc line again, and the text sent is
  // the message without it.
  EXPECT_TRUE(HasHeader(msg.HeaderLines, "Bcc:"));
  EXPECT_TRUE(HasHeader(msg.HeaderLines, "Message-ID:"));
  std::string withoutBcc;
  for (size_t at = 0; at < sentText.size();) {
    size_t end = sentText.find("\r\n", at) + 2;
    if (sentText.compare(at, 4, "Bcc:") != 0) withoutBcc += sentText.substr(at, end - at);
    at = end;
  }
  EXPECT_EQ(text, withoutBcc + "\r\n");
  EXPECT_FALSE(client.Connected());
}

TEST_F(SmtpClientRealSocketTest, LinesThatBeginWithAPeriodGetOneMore) {
  msg.BodyStream = ".\r\n..\r\n.x\r\n.\r\nend\r\n.";
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Send());
  auto session = Finished();
  ASSERT_EQ(session.rawData.size(), 1u);
  const std::string& raw = session.rawData[0];
  EXPECT_NE(raw.find("\r\n\r\n..\r\n...\r\n..x\r\n..\r\nend\r\n..\r\n"), std::string::npos) << raw;
  ASSERT_EQ(session.messages.size(), 1u);
  EXPECT_EQ(session.messages[0], msg.FullText() + "\r\n");  // intact after the server removes the periods
}

TEST_F(SmtpClientRealSocketTest, SendToUsesTheGivenEnvelope) {
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(client.SendTo("other@example.jp", "b@x.jp, a@x.jp,,\"c@x.jp\""));
  auto session = Finished();
  EXPECT_EQ(session.mailFrom, "other@example.jp");
  EXPECT_EQ(session.recipients, (std::vector<std::string>{"a@x.jp", "b@x.jp", "c@x.jp"}));
}

TEST_F(SmtpClientRealSocketTest, PacketsReportProgressAndArriveIntact) {
  std::string body;
  for (int i = 0; body.size() < 300000; ++i) body += "line " + std::to_string(i) + " of the report\r\n";
  msg.BodyStream = body;
  client.PacketSize = 65536;
  std::vector<std::pair<int, int>> progress;
  client.SetOnProgress([&](void* sender, int32_t total, int32_t current) {
    EXPECT_EQ(sender, &client);
    progress.emplace_back(total, current);
  });
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Send());
  auto session = Finished();
  ASSERT_EQ(session.messages.size(), 1u);
  EXPECT_EQ(session.messages[0], msg.FullText() + "\r\n");
  const int total = static_cast<int>(msg.FullText().size() + 5);
  ASSERT_EQ(progress.size(), 1u + (total + 65535) / 65536 + 1);
  EXPECT_EQ(progress.front(), std::make_pair(total, 0));
  EXPECT_EQ(progress[1], std::make_pair(total, 65536));
  EXPECT_EQ(progress[progress.size() - 2], std::make_pair(total, total));
  EXPECT_EQ(progress.back(), std::make_pair(total, total));
}

TEST_F(SmtpClientRealSocketTest, RepliesInPiecesAndMultiLineRepliesAreWaitedFor) {
  // Greeting split before its third character, then continued over lines.
  server.Script("GREETING", Reply::Split({"2", "20-first line\r\n220-", "second\r\n220 last\r\n"}, 100));
  server.Script("HELO", Reply::Split({"250-hello\r\n", "250-more\r\n250 done\r\n"}, 100));
  server.Script("MAIL", Reply::Split({"25", "0 ok\r\n"}, 100));
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Send());  // each reply judged as a whole, nothing left over for the next command
  auto session = Finished();
  EXPECT_EQ(session.messages.size(), 1u);
}

TEST_F(SmtpClientRealSocketTest, RcptAnswered251IsASuccess) {
  server.Script("RCPT", Reply::Text("251 User not local; will forward\r\n"));
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(client.Send());
  EXPECT_EQ(Finished().messages.size(), 1u);
}

TEST_F(SmtpClientRealSocketTest, AGreetingOtherThan220FailsAndClosesTheConnection) {
  server.Script("GREETING", Reply::Text("554 no service for you\r\n"));
  EXPECT_FALSE(client.Connect());
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.Talk().Socket().Active());
  ASSERT_TRUE(server.WaitForSessions(1, 10000));
  // No EHLO after the refusal, only the QUIT the server waits for.
  EXPECT_EQ(server.Sessions()[0].commands, std::vector<std::string>{"QUIT"});
}

TEST_F(SmtpClientRealSocketTest, RefusalsAtEachStepEndTheDelivery) {
  struct Case {
    const char* verb;
    const char* reply;
    size_t recipientsOffered;
    bool messageIdAdded;
  };
  // A refused recipient does not stop the others; with every one refused
  // there is no DATA.
  for (const Case& c : {Case{"EHLO", "421 closing\r\n", 0, false}, Case{"MAIL", "451 try later\r\n", 0, false},
                        Case{"RCPT", "550 no such user\r\n", 3, false}, Case{"DATA", "554 no data\r\n", 3, true},
                        Case{"DOT", "552 too big\r\n", 3, true}}) {
    SCOPED_TRACE(c.verb);
    SmtpTestServer refusing;
    refusing.Script(c.verb, Reply::Text(c.reply));
    ASSERT_TRUE(refusing.Start());
    TMailMessage message(sysInfo);
    message.SetSenderHeader("", "watch@example.jp");
    message.ToRecipients().AssignCommaLists("", "a@x.jp,b@x.jp");
    message.BccRecipients().AssignCommaLists("", "hidden@x.jp");
    const std::vector<std::string> before = message.HeaderLines;
    TSMTPClient smtp("smtp2");
    smtp.Host = "127.0.0.1";
    smtp.Port = refusing.Port();
    smtp.MailMessage = &message;
    bool connected = smtp.Connect();
    if (std::string(c.verb) == "EHLO") {
      EXPECT_FALSE(connected);
    } else {
      ASSERT_TRUE(connected);
      EXPECT_FALSE(smtp.Send());
      EXPECT_TRUE(smtp.Connected());  // a failed send leaves the connection to Disconnect
    }
    smtp.Disconnect();
    ASSERT_TRUE(refusing.WaitForSessions(1, 10000));
    auto session = refusing.Sessions()[0];
    EXPECT_EQ(session.recipients.size(), c.recipientsOffered);
    if (c.messageIdAdded) {
      EXPECT_TRUE(HasHeader(message.HeaderLines, "Message-ID:"));
      EXPECT_TRUE(HasHeader(message.HeaderLines, "Bcc:"));
      EXPECT_EQ(message.HeaderLines.size(), before.size() + 1);
    } else {
      EXPECT_EQ(message.HeaderLines, before);
    }
    EXPECT_TRUE(session.messages.empty() || std::string(c.verb) == "DOT");
  }
}

TEST_F(SmtpClientRealSocketTest, AConnectionClosedInTheMiddleFailsWithoutAnException) {
  server.Script("RCPT", Reply::CloseAfter(""), 1);
  ASSERT_TRUE(client.Connect());
  EXPECT_FALSE(client.Send());
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.Talk().Socket().Active());
  EXPECT_FALSE(client.SendTo("a@x.jp", "b@x.jp"));  // not connected any more
  // The same client connects again afterwards.
  ASSERT_TRUE(server.WaitForSessions(1, 10000));
  server.Script("RCPT", Reply::Text("250 OK\r\n"), 1);
  ASSERT_TRUE(client.Connect());
  EXPECT_TRUE(client.Send());
  client.Disconnect();
}

TEST_F(SmtpClientRealSocketTest, AResetConnectionFailsWithoutAnExceptionAndIsClosed) {
  server.Script("DATA", Reply::ResetAfter(""));
  ASSERT_TRUE(client.Connect());
  EXPECT_NO_THROW(EXPECT_FALSE(client.Send()));
  // The broken connection is not left active: the next Connect works.
  for (int i = 0; i < 50 && client.Talk().Socket().Active(); ++i) ThisThreadLoop().WaitAndProcess(20);
  EXPECT_FALSE(client.Talk().Socket().Active());
  server.Script("DATA", Reply::Text("354 go ahead\r\n"));
  ASSERT_TRUE(server.WaitForSessions(1, 10000));
  EXPECT_TRUE(client.Connect());
  EXPECT_TRUE(client.Send());
  client.Disconnect();
}

TEST_F(SmtpClientRealSocketTest, ConnectRefusesWhenConnectedAndWithoutHost) {
  ASSERT_TRUE(client.Connect());
  EXPECT_FALSE(client.Connect());
  client.Disconnect();
  TSMTPClient noHost("noHost");
  EXPECT_FALSE(noHost.Connect());
}

TEST_F(SmtpClientRealSocketTest, NobodyListeningMakesConnectFalse) {
  int port = server.Port();
  server.Stop();
  TSMTPClient smtp("smtp3");
  smtp.Host = "127.0.0.1";
  smtp.Port = port;
  smtp.SetTimeOut(5);
  EXPECT_FALSE(smtp.Connect());
  EXPECT_EQ(smtp.Talk().LastError(), teNone);
}

TEST_F(SmtpClientRealSocketTest, AHostNameIsLookedUp) {
  client.Host = "localhost";
  client.SetTimeOut(10);
  ASSERT_TRUE(client.Connect());
  EXPECT_EQ(client.Talk().Socket().Host(), "localhost");
  EXPECT_EQ(client.Talk().Socket().Address(), "");
  EXPECT_TRUE(client.Send());
  client.Disconnect();
  client.Host = "127.0.0.1";
  ASSERT_TRUE(client.Connect());
  EXPECT_EQ(client.Talk().Socket().Host(), "");
  EXPECT_EQ(client.Talk().Socket().Address(), "127.0.0.1");
  client.Disconnect();
}

TEST_F(SmtpClientRealSocketTest, AnUnknownHostNameMakesConnectFalse) {
  TSMTPClient smtp("smtp4");
  smtp.Host = "no-such-host.invalid";
  smtp.Port = server.Port();
  smtp.SetTimeOut(20);
  auto start = Clock::now();
  EXPECT_FALSE(smtp.Connect());
  EXPECT_LT(MsSince(start), 19000);  // the lookup failed; it did not just time out
  EXPECT_FALSE(smtp.Talk().Socket().Active());
}

TEST_F(SmtpClientRealSocketTest, TheTargetCannotChangeWhileTheSocketIsActive) {
  ASSERT_TRUE(client.Connect());
  ClientSocket& socket = client.Talk().Socket();
  try {
    socket.SetPort(client.Port + 1);
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_EQ(std::string(e.what()), "ソケットを使用中は値を変更できません");
  }
  EXPECT_THROW(socket.SetHost("elsewhere"), ESocketError);
  EXPECT_NO_THROW(socket.SetAddress("127.0.0.1"));  // unchanged value
  client.Disconnect();
  EXPECT_NO_THROW(socket.SetPort(client.Port + 1));
}

TEST_F(SmtpClientRealSocketTest, UsageErrorsRaiseBeforeAnythingIsSent) {
  auto expectRaise = [](const std::function<void()>& call, const std::string& text) {
    try {
      call();
      ADD_FAILURE() << "no exception, expected " << text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
  };
  TSMTPClient idle("idle");
  expectRaise([&] { idle.Send(); }, "idle: MailMessage unassigned");
  EXPECT_FALSE(idle.SendTo("a@x.jp", "b@x.jp"));  // not connected: false, no raise

  ASSERT_TRUE(client.Connect());
  client.MailMessage = nullptr;
  expectRaise([&] { client.SendTo("a@x.jp", "b@x.jp"); }, "smtpClient: MailMessage unassigned");
  client.MailMessage = &msg;
  msg.LoadText("To: a@x.jp\r\n\r\nbody");
  ASSERT_TRUE(msg.NeedsRebuild());
  expectRaise([&] { client.Send(); }, "smtpClient: MailMessage need rebuild");
  msg.Rebuild();
  expectRaise([&] { client.SendTo("a@x.jp", " , "); }, "smtpClient: No recipients to send message");
  expectRaise([&] { client.SendTo("a@x.jp\r\nRCPT TO:<evil@x.jp>", "b@x.jp"); },
              "smtpClient: Invalid character in address");
  // A quoted item of a comma list may hold any byte.
  expectRaise([&] { client.SendTo("a@x.jp", "c@x.jp,\"b@x.jp\r\nDATA\""); },
              "smtpClient: Invalid character in address");
  expectRaise([&] { client.SendTo(std::string("a@x.jp\0", 7), "b@x.jp"); },
              "smtpClient: Invalid character in address");
  auto session = Finished();
  EXPECT_EQ(session.commands.size(), 2u);  // HELO and QUIT only
  EXPECT_TRUE(session.recipients.empty());

  TSMTPClient evilHost("evil");
  evilHost.Host = "mail\r\nQUIT";
  expectRaise([&] { evilHost.Connect(); }, "evil: Invalid character in address");
}

TEST(SmtpClientText, NumericAddresses) {
  for (const char* yes : {"192.168.1.10", "0.0.0.0", "255.255.255.255", "010.1.1.1"}) {
    EXPECT_TRUE(ParseDottedQuad(yes)) << yes;
  }
  // Only a dotted quad: the old forms of inet_addr are names (and fail).
  for (const char* no : {"mail", "host-1.lan", "10.0.0.1.", ".1", "1..2", "", "-1.2.3.4", "1.2x", "99999999999",
                         "1.2.3.4.5", "25", "127.1", "0x7f.0.0.1", "$FF.1", " 1.2.3.4", "1.2.3.4 ", "256.1.1.1",
                         "1.2.3.0400", "1.2.3.-4", "+1.2.3.4"}) {
    EXPECT_FALSE(ParseDottedQuad(no)) << no;
  }
}

// The reader hands out a reply once its last line is a final one.
bool IsCompleteReply(const std::string& text) {
  TSmtpReplyReader reader;
  reader.Feed(text);
  return reader.HasReply();
}

TEST(SmtpClientText, ReplyCompleteness) {
  EXPECT_TRUE(IsCompleteReply("250 ok\r\n"));
  EXPECT_TRUE(IsCompleteReply("250\r\n"));
  EXPECT_TRUE(IsCompleteReply("250-a\r\n250-b\r\n250 c\r\n"));
  EXPECT_FALSE(IsCompleteReply("250-a\r\n"));
  EXPECT_FALSE(IsCompleteReply("250-a\r\n250 c"));
  EXPECT_FALSE(IsCompleteReply("25"));
  EXPECT_FALSE(IsCompleteReply("\r\n"));
  EXPECT_FALSE(IsCompleteReply("2500\r\n"));
}

TEST(SmtpClientText, Transparency) {
  EXPECT_EQ(MakeTransparent(".\r\n..\r\n.x\r\nok.\r\n."), "..\r\n...\r\n..x\r\nok.\r\n..");
  EXPECT_EQ(MakeTransparent("a\r\n.\r\n"), "a\r\n..\r\n");
  EXPECT_EQ(MakeTransparent(""), "");
}

}  // namespace
}  // namespace qw

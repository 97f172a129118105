// STARTTLS and AUTH in the conversation: the EHLO keywords, the AUTH
// encodings, the masking of what is recorded, and the refusals that must end
// an attempt before anything goes out in clear (against the loopback test
// server, which speaks no TLS: the handshake itself is tested end to end
// against a real MTA). The cases named RealSocket use a real loopback socket:
// the handshake cases need the platform's TLS engine on a real connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "mail/smtp_client.h"
#include "tests/fakes/fake_platform.h"
#include "tools/smtp_test_server.h"

namespace qw {
namespace {

using Reply = SmtpTestServer::Reply;

TSmtpReply Ehlo(std::vector<std::string> lines) {
  TSmtpReply reply;
  reply.code = 250;
  reply.lines = std::move(lines);
  reply.finalLine = reply.lines.back();
  return reply;
}

TEST(SmtpExtensions, KeywordsAnyCaseOldAuthFormAndTheGreetingLineIgnored) {
  struct Case {
    std::vector<std::string> lines;
    bool startTls, plain, login;
  };
  for (const Case& c : {
           Case{{"250-mail.example.jp", "250-STARTTLS", "250 AUTH PLAIN LOGIN"}, true, true, true},
           Case{{"250-mail.example.jp", "250-starttls", "250 auth login"}, true, false, true},
           Case{{"250-mail.example.jp", "250-AUTH=LOGIN", "250 8BITMIME"}, false, false, true},
           Case{{"250-mail.example.jp", "250-AUTH=PLAIN CRAM-MD5", "250 SIZE 100"}, false, true, false},
           Case{{"250-mail.example.jp", "250-AUTH  \tCRAM-MD5   Plain", "250 HELP"}, false, true, false},
           // The first line is the server's name and greeting, never a keyword.
           Case{{"250 STARTTLS AUTH PLAIN"}, false, false, false},
           // Words that only begin like the keywords, and mechanisms outside AUTH.
           Case{{"250-x", "250-STARTTLSX", "250-AUTHX PLAIN", "250 XAUTH LOGIN"}, false, false, false},
           Case{{"250-x", "250-PLAIN", "250 LOGINDISABLED"}, false, false, false},
           Case{{"250-x", "250-", "250 AUTH"}, false, false, false},
       }) {
    SCOPED_TRACE(c.lines.back());
    TSmtpExtensions found = TSmtpExtensions::Parse(Ehlo(c.lines));
    EXPECT_EQ(found.startTls, c.startTls);
    EXPECT_EQ(found.OffersAuth("PLAIN"), c.plain);
    EXPECT_EQ(found.OffersAuth("LOGIN"), c.login);
  }
  TSmtpReply refused = Ehlo({"550-x", "550 STARTTLS"});
  refused.code = 550;
  EXPECT_FALSE(TSmtpExtensions::Parse(refused).startTls);
}

TEST(SmtpAuth, PlainEncodingAndMasking) {
  // RFC 4616: base64 of NUL user NUL password, padding of every length.
  EXPECT_EQ(AuthPlainCommand("user", "pass"), "AUTH PLAIN AHVzZXIAcGFzcw==\r\n");
  EXPECT_EQ(AuthPlainCommand("ab", "c"), "AUTH PLAIN AGFiAGM=\r\n");
  EXPECT_EQ(AuthPlainCommand("a", "b"), "AUTH PLAIN AGEAYg==\r\n");
  EXPECT_EQ(AuthPlainCommand("tim", "tanstaaftanstaaf"), "AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm\r\n");

  EXPECT_EQ(MaskedCommand("AUTH PLAIN AHVzZXIAcGFzcw==\r\n", false), "AUTH PLAIN ****\r\n");
  EXPECT_EQ(MaskedCommand("auth plain AHVzZXIAcGFzcw==", false), "AUTH plain ****");
  EXPECT_EQ(MaskedCommand("AUTH LOGIN\r\n", false), "AUTH LOGIN\r\n");
  EXPECT_EQ(MaskedCommand("AUTH LOGIN dXNlcg==\r\n", false), "AUTH LOGIN ****\r\n");
  EXPECT_EQ(MaskedCommand("cGFzcw==\r\n", true), "****\r\n");
  EXPECT_EQ(MaskedCommand("AUTH PLAIN x\r\n", true), "****\r\n") << "an answer is masked whole, whatever its words";
  EXPECT_EQ(MaskedCommand("MAIL FROM:<a@example.jp>\r\n", false), "MAIL FROM:<a@example.jp>\r\n");
}

class SmtpSecureRealSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.Host = "127.0.0.1";
    client.MailMessage = &msg;
    client.SetTimeOut(2);
    client.Deadline = 20;
    client.OnCommand = [this](const std::string& line) { recorded += line; };
    msg.SetSenderHeader("", "watch@example.jp");
    msg.SetSubjectHeader("Low disk space");
    msg.ToRecipients().AssignCommaLists("", "admin@example.jp");
    msg.BodyStream = "Drive C: is low.\r\n";
  }
  TDeliveryResult Run() {
    EXPECT_TRUE(server.Start());
    client.Port = server.Port();
    TDeliveryResult result = client.Deliver();
    EXPECT_TRUE(server.WaitForSessions(1, 10000));
    auto sessions = server.Sessions();
    if (!sessions.empty()) session = sessions.back();
    return result;
  }
  bool Sent(const std::string& prefix) const {
    return std::any_of(session.commands.begin(), session.commands.end(),
                       [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
  }

  SmtpTestServer server;
  test::FakeSystemInfo sysInfo;
  TMailMessage msg{sysInfo};
  TSMTPClient client{"smtpClient"};
  SmtpTestServer::Session session;
  std::string recorded;
};

TEST_F(SmtpSecureRealSocketTest, PlainLoginInClearIsSentOnlyWithSecurityNoneAndSaidSo) {
  server.Script("EHLO", Reply::Text("250-localhost\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n"));
  server.Script("AUTH", Reply::Text("235 2.7.0 Authentication successful\r\n"));
  client.User = "user";
  client.Password = "s3cret-pw";
  TDeliveryResult result = Run();
  ASSERT_TRUE(result.Delivered()) << result.status.Describe();
  EXPECT_TRUE(result.passwordInClear);
  EXPECT_FALSE(result.encrypted);
  EXPECT_TRUE(Sent("AUTH PLAIN " + AuthPlainCommand("user", "s3cret-pw").substr(11, 16)));
  EXPECT_EQ(session.messages.size(), 1u);
  EXPECT_NE(recorded.find("AUTH PLAIN ****"), std::string::npos) << recorded;
  EXPECT_EQ(recorded.find("AHVzZXIA"), std::string::npos);
  EXPECT_EQ(recorded.find("s3cret"), std::string::npos);
}

TEST_F(SmtpSecureRealSocketTest, LoginMechanismWhenPlainIsNotOfferedAndARefusedLoginVerbatim) {
  server.Script("EHLO", Reply::Text("250-localhost\r\n250 AUTH=LOGIN\r\n"));
  server.Script("AUTH", Reply::Text("334 VXNlcm5hbWU6\r\n"));
  server.Script("DXNLCG==", Reply::Text("334 UGFzc3dvcmQ6\r\n"));  // base64 of "user", as the server sees the verb
  server.Script("*", Reply::Text("535 5.7.8 Authentication credentials invalid\r\n"));
  client.User = "user";
  client.Password = "wrong";
  TDeliveryResult result = Run();
  EXPECT_FALSE(result.Delivered());
  EXPECT_EQ(result.status.What(), "AUTH");
  EXPECT_EQ(result.status.Code(), 535);
  EXPECT_EQ(result.status.Text(), "535 5.7.8 Authentication credentials invalid");
  EXPECT_TRUE(Sent("AUTH LOGIN"));
  EXPECT_TRUE(Sent("dXNlcg=="));
  EXPECT_TRUE(Sent("d3Jvbmc="));  // "wrong"
  EXPECT_FALSE(Sent("MAIL"));
  EXPECT_EQ(recorded.find("d3Jvbmc="), std::string::npos) << recorded;
  EXPECT_EQ(recorded.find("dXNlcg=="), std::string::npos) << recorded;
}

TEST_F(SmtpSecureRealSocketTest, AServerThatEchoesTheLoginNeverPutsThePasswordInTheStatus) {
  const std::string payload = AuthPlainCommand("user", "s3cret-pw").substr(11, 24);
  server.Script("EHLO", Reply::Text("250-localhost\r\n250 AUTH PLAIN\r\n"));
  server.Script("AUTH", Reply::Text("500 5.5.1 unrecognized: AUTH PLAIN " + AuthPlainCommand("user", "s3cret-pw").substr(11)));
  client.User = "user";
  client.Password = "s3cret-pw";
  TDeliveryResult result = Run();
  EXPECT_EQ(result.status.What(), "AUTH");
  EXPECT_EQ(result.status.Text(), "500 5.5.1 unrecognized: AUTH PLAIN ****");
  EXPECT_EQ(result.status.Text().find(payload), std::string::npos);
}

TEST_F(SmtpSecureRealSocketTest, NoCommonMechanismAndEhloRefusedWithAUserEndTheAttempt) {
  server.Script("EHLO", Reply::Text("250-localhost\r\n250 AUTH CRAM-MD5\r\n"));
  client.User = "user";
  TDeliveryResult result = Run();
  EXPECT_EQ(result.status.Describe(), "AUTH: the server offers neither AUTH PLAIN nor AUTH LOGIN");
  EXPECT_FALSE(Sent("AUTH"));
  EXPECT_FALSE(Sent("MAIL"));
}

TEST_F(SmtpSecureRealSocketTest, EhloRefusedGetsNoHeloWhenALoginIsNeeded) {
  server.Script("EHLO", Reply::Text("502 5.5.2 not implemented\r\n"));
  client.User = "user";
  TDeliveryResult result = Run();
  EXPECT_EQ(result.status.What(), "EHLO");
  EXPECT_EQ(result.status.Code(), 502);
  EXPECT_FALSE(Sent("HELO"));
  EXPECT_FALSE(Sent("MAIL"));
}

TEST_F(SmtpSecureRealSocketTest, StartTlsNotOfferedOrRefusedNeverFallsBackToClearText) {
  client.Security = TSmtpSecurity::StartTls;
  client.User = "user";
  client.Password = "pw";
  server.Script("EHLO", Reply::Text("250-localhost\r\n250 AUTH PLAIN\r\n"));
  TDeliveryResult result = Run();
  EXPECT_EQ(result.status.Describe(), "STARTTLS: the server does not offer STARTTLS");
  EXPECT_FALSE(Sent("STARTTLS"));
  EXPECT_FALSE(Sent("AUTH"));
  EXPECT_FALSE(Sent("MAIL"));
  EXPECT_FALSE(result.passwordInClear);
}

TEST_F(SmtpSecureRealSocketTest, StartTlsRefused) {
  client.Security = TSmtpSecurity::StartTls;
  server.Script("EHLO", Reply::Text("250-localhost\r\n250 STARTTLS\r\n"));
  server.Script("STARTTLS", Reply::Text("454 4.7.0 TLS not available due to temporary reason\r\n"));
  TDeliveryResult result = Run();
  EXPECT_EQ(result.status.What(), "STARTTLS");
  EXPECT_EQ(result.status.Text(), "454 4.7.0 TLS not available due to temporary reason");
  EXPECT_FALSE(Sent("MAIL"));
}

TEST_F(SmtpSecureRealSocketTest, BytesAfterTheStartTlsReplyAreRefused) {
  // A man in the middle can append commands to the 220; they would be read
  // as if they came through TLS.
  client.Security = TSmtpSecurity::StartTls;
  server.Script("EHLO", Reply::Text("250-localhost\r\n250 STARTTLS\r\n"));
  server.Script("STARTTLS", Reply::Text("220 go ahead\r\n250 injected\r\n"));
  TDeliveryResult result = Run();
  EXPECT_EQ(result.status.Describe(), "STARTTLS: data after the reply to STARTTLS");
  EXPECT_FALSE(Sent("MAIL"));
}

// The handshake cases need the platform's engine: one that fails at once
// produces no ClientHello to wait on.
bool EngineWorks() {
  return NewTlsEngine(TlsOptions{"localhost", true})->Handshake() != TlsEngine::Step::Failed;
}

TEST_F(SmtpSecureRealSocketTest, HandshakeSilenceAndCloseAreBoundedTlsFailures) {
  if (!EngineWorks()) GTEST_SKIP() << "no TLS engine on this platform";
  client.Security = TSmtpSecurity::StartTls;
  server.Script("EHLO", Reply::Text("250-localhost\r\n250 STARTTLS\r\n"));
  server.Script("STARTTLS", Reply::Text("220 ready to start TLS\r\n"));
  // The test server answers the ClientHello (an unknown command to it) with
  // silence: the handshake waits for the silence time-out.
  server.Script("*", Reply::Silence());
  auto start = std::chrono::steady_clock::now();
  TDeliveryResult result = Run();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(result.status.Describe(), "TLS: time-out after 2 s");
  EXPECT_LT(ms, 6000);
  EXPECT_FALSE(Sent("MAIL"));
}

TEST_F(SmtpSecureRealSocketTest, HandshakeWithAServerThatClosesOrSpeaksNoTls) {
  if (!EngineWorks()) GTEST_SKIP() << "no TLS engine on this platform";
  client.Security = TSmtpSecurity::StartTls;
  server.Script("EHLO", Reply::Text("250-localhost\r\n250 STARTTLS\r\n"));
  server.Script("STARTTLS", Reply::CloseAfter("220 ready to start TLS\r\n"));
  TDeliveryResult result = Run();
  EXPECT_EQ(result.status.Describe(), "TLS: connection closed by the server");
}

TEST_F(SmtpSecureRealSocketTest, ImplicitTlsAgainstAPlainServerFailsAsTls) {
  client.Security = TSmtpSecurity::Tls;
  TDeliveryResult result = Run();
  EXPECT_EQ(result.status.What(), "TLS");
  EXPECT_FALSE(result.status.Text().empty());
  EXPECT_TRUE(session.messages.empty());
}

std::string Utf8(const char8_t* text) { return std::string(reinterpret_cast<const char*>(text)); }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST_F(SmtpSecureRealSocketTest, EveryLineHandedOutIsMaskedWhenTheServerEchoesTheLogin) {
  const std::string password = "s3cret-pw";
  const std::string payload = Base64OneLine(std::string("\0user\0", 6) + password);
  msg.ToRecipients().AssignCommaLists("", "admin@example.jp,copy@example.jp");
  server.Script("EHLO", Reply::Text("250-localhost\r\n250 AUTH PLAIN\r\n"));
  server.Script("AUTH", Reply::Text("235-you said " + payload + "\r\n235 2.7.0 ok " + Base64OneLine(password) + "\r\n"));
  server.Script("MAIL", Reply::Text("250 2.1.0 sender ok, login " + password + "\r\n"));
  // Within a longer base64 run, at an alignment of its own.
  server.Script("RCPT", Reply::Text("550 5.1.1 unknown " + Base64OneLine("xy" + password + "z") + "\r\n"), 1);
  server.Script("DOT", Reply::Text("250 2.0.0 queued " + payload + "\r\n"));
  std::string replies;
  client.OnReply = [&replies](const std::string& line) { replies += line + "\n"; };
  client.User = "user";
  client.Password = password;
  TDeliveryResult result = Run();
  ASSERT_TRUE(result.Delivered()) << result.status.Describe();
  ASSERT_EQ(result.refused.size(), 1u);
  EXPECT_TRUE(Sent("AUTH PLAIN " + payload)) << "the server got the real payload";

  const std::vector<std::pair<std::string, std::string>> outputs = {
      {"replies", replies},
      {"commands", recorded},
      {"refused", result.refused[0].second},
      {"accepted", result.acceptedReply},
  };
  for (const auto& [name, text] : outputs) {
    SCOPED_TRACE(name + ": " + text);
    EXPECT_EQ(text.find(password), std::string::npos);
    EXPECT_EQ(text.find(payload), std::string::npos);
    EXPECT_EQ(text.find(Base64OneLine(password)), std::string::npos);
    EXPECT_EQ(text.find(Base64OneLine("xy" + password + "z").substr(4, 8)), std::string::npos);
  }
  EXPECT_NE(replies.find("235 2.7.0 ok ****\n"), std::string::npos) << replies;
  EXPECT_NE(replies.find("250 2.1.0 sender ok, login ****\n"), std::string::npos) << replies;
  EXPECT_EQ(result.acceptedReply, "250 2.0.0 queued ****");
  EXPECT_EQ(result.refused[0].second.rfind("550 5.1.1 unknown ", 0), 0u) << result.refused[0].second;
  EXPECT_NE(result.refused[0].second.find("****"), std::string::npos) << result.refused[0].second;
}

TEST_F(SmtpSecureRealSocketTest, TheLoginTravelsAsUtf8WithBothMechanisms) {
  // The settings hold Shift-JIS; the literals below are UTF-8 whatever the
  // execution character set.
  const std::string user = "管理者";
  const std::string password = "パスワード＃1";
  const std::string utf8User = Utf8(u8"管理者");
  const std::string utf8Password = Utf8(u8"パスワード＃1");
  ASSERT_NE(user, utf8User) << "the sources must be compiled to Shift-JIS";
  for (bool login : {false, true}) {
    SCOPED_TRACE(login ? "LOGIN" : "PLAIN");
    SmtpTestServer fresh;
    recorded.clear();
    if (login) {
      fresh.Script("EHLO", Reply::Text("250-localhost\r\n250 AUTH LOGIN\r\n"));
      fresh.Script("AUTH", Reply::Text("334 VXNlcm5hbWU6\r\n"));
      fresh.Script(Upper(Base64OneLine(utf8User)), Reply::Text("334 UGFzc3dvcmQ6\r\n"));
    } else {
      fresh.Script("EHLO", Reply::Text("250-localhost\r\n250 AUTH PLAIN\r\n"));
      fresh.Script("AUTH", Reply::Text("235 2.7.0 accepted\r\n"));
    }
    fresh.Script("*", Reply::Text("235 2.7.0 accepted\r\n"));
    ASSERT_TRUE(fresh.Start());
    client.Port = fresh.Port();
    client.User = user;
    client.Password = password;
    TDeliveryResult result = client.Deliver();
    ASSERT_TRUE(fresh.WaitForSessions(1, 10000));
    const std::vector<std::string> commands = fresh.Sessions().back().commands;
    EXPECT_TRUE(result.Delivered()) << result.status.Describe();
    std::vector<std::string> auth;
    bool inAuth = false;
    for (const std::string& command : commands) {
      if (command.rfind("AUTH", 0) == 0) inAuth = true;
      if (command.rfind("MAIL", 0) == 0) inAuth = false;
      if (inAuth) auth.push_back(command);
    }
    const std::vector<std::string> expected =
        login ? std::vector<std::string>{"AUTH LOGIN", Base64OneLine(utf8User), Base64OneLine(utf8Password)}
              : std::vector<std::string>{"AUTH PLAIN " + Base64OneLine(std::string(1, '\0') + utf8User +
                                                                      std::string(1, '\0') + utf8Password)};
    EXPECT_EQ(auth, expected);
    EXPECT_EQ(recorded.find(Base64OneLine(utf8Password)), std::string::npos) << recorded;
  }
}

TEST_F(SmtpSecureRealSocketTest, ALoginThatIsNoShiftJisTextIsNotSentInPart) {
  struct Case {
    std::string user, password, word;
  };
  for (const Case& c : {
           Case{"user", "abc\x85\x40" "def", "password"},  // a pair code page 932 leaves unassigned
           Case{"user", "abc\x81", "password"},             // a lead byte without its trail byte
           Case{"us\x81" " er", "pw", "user name"},         // a lead byte before a blank
       }) {
    SmtpTestServer fresh;
    fresh.Script("EHLO", Reply::Text("250-localhost\r\n250 AUTH PLAIN LOGIN\r\n"));
    ASSERT_TRUE(fresh.Start());
    client.Port = fresh.Port();
    client.User = c.user;
    client.Password = c.password;
    TDeliveryResult result = client.Deliver();
    ASSERT_TRUE(fresh.WaitForSessions(1, 10000));
    const std::vector<std::string> commands = fresh.Sessions().back().commands;
    EXPECT_EQ(result.status.What(), "AUTH");
    EXPECT_NE(result.status.Text().find(c.word), std::string::npos) << result.status.Text();
    for (const std::string& command : commands) {
      EXPECT_NE(command.rfind("AUTH", 0), 0u) << command;
      EXPECT_NE(command.rfind("MAIL", 0), 0u) << command;
    }
  }
}

}  // namespace
}  // namespace qw

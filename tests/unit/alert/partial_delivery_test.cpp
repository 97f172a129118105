// An alert that some recipients accept and others refuse for now (4xx:
// greylisting, "452 too many recipients") waits for the refused ones alone;
// a 5xx refusal of a recipient is final for that recipient. The real SMTP
// client against the test server on loopback; the retry timer on the fake
// clock.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/check_state.h"
#include "platform/files.h"
#include "platform/text_codec.h"
#include "service/drivewarden.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"
#include "tools/smtp_test_server.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace qw {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kMinuteMs = 60'000;
using Recipients = std::vector<std::string>;

class PartialDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SmtpTestServer probe;
    ASSERT_TRUE(probe.Start());
    port = probe.Port();
    probe.Stop();
    dir = (fs::temp_directory_path() / ("qw_partial_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    drives.drives['C'] = {kDriveFixed, 50 * kMiB, 1000 * kMiB, true, nullptr};
    profiles.SetFile("Drivewarden.ini",
                     "[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=100MB\r\n[MAIL]\r\nSMTP=127.0.0.1\r\n"
                     "PORT=" + std::to_string(port) +
                         "\r\nMAILFROM=warden@example.jp\r\nMAILTO=b@example.jp, a@example.jp\r\nMAILCC=c@example.jp\r\n",
                     0x58A00001);
    service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                             loop.CreateTimer());
    service->SetMailTimeOuts(5, 10);
    service->SetStateFolder(dir);
  }
  void TearDown() override {
    if (service) service->ServiceStop();
    service.reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  // A new server on the test's port; `rcpt` answers the recipients in the
  // order the client sends them (ascending), the rest are accepted.
  SmtpTestServer& ServerUp(const std::vector<std::string>& rcpt = {}) {
    server.reset();
    server = std::make_unique<SmtpTestServer>();
    for (size_t i = 0; i < rcpt.size(); ++i)
      server->Script("RCPT", SmtpTestServer::Reply::Text(rcpt[i] + "\r\n"), static_cast<int>(i) + 1);
    EXPECT_TRUE(server->Start(port));
    return *server;
  }
  std::vector<std::string> Errors() const {
    std::vector<std::string> texts;
    for (const auto& e : log.entries)
      if (e.type == EventType::Error) texts.push_back(e.text);
    return texts;
  }
  CheckState SavedState() {
    const Result<std::string> read = ReadWholeFile(JoinPath(dir, kStateFileName));
    EXPECT_TRUE(read.Ok());
    const std::string text = read.value_or("");
    CheckState state;
    EXPECT_TRUE(ParseCheckState(text, &state));
    return state;
  }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  std::unique_ptr<SmtpTestServer> server;
  std::unique_ptr<TDrivewarden> service;
  std::string dir;
  int port = 0;
};

TEST_F(PartialDeliveryTest, RecipientsRefusedForNowGetTheRetryAloneAndNoOneGetsItTwice) {
  struct Case {
    const char* name;
    std::vector<std::string> first;  // replies to a, b, c
    bool delivered;                  // some recipient took the first attempt
    std::string pending;             // left for the retry ("" : none)
    Recipients retryEnvelope;
  };
  const Case cases[] = {
      {"greylisted", {"450 4.2.0 greylisted, come back later"}, true, "a@example.jp", {"a@example.jp"}},
      {"too many recipients",
       {"250 ok", "452 4.5.3 too many recipients", "452 4.5.3 too many recipients"},
       true,
       "b@example.jp,c@example.jp",
       {"b@example.jp", "c@example.jp"}},
      {"one for good, one for now",
       {"550 5.1.1 no such user", "450 4.2.0 greylisted"},
       true,
       "b@example.jp",
       {"b@example.jp"}},
      {"every one refused, some for now",
       {"550 5.1.1 no such user", "450 4.2.0 greylisted", "451 4.3.0 try later"},
       false,
       "b@example.jp,c@example.jp",
       {"b@example.jp", "c@example.jp"}},
      {"refused for good only", {"550 5.1.1 no such user"}, true, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    ServerUp(c.first);
    service->ServiceStart();
    ASSERT_TRUE(server->WaitForSessions(1, 10000));
    const auto first = server->Sessions()[0];
    EXPECT_EQ(first.recipients, (Recipients{"a@example.jp", "b@example.jp", "c@example.jp"}));
    EXPECT_EQ(first.messages.size(), c.delivered ? 1u : 0u);
    EXPECT_EQ(service->HasPendingAlert(), !c.pending.empty());
    EXPECT_EQ(service->PendingRecipients(), c.pending);
    const CheckState saved = SavedState();
    EXPECT_EQ(saved.pending, !c.pending.empty());
    EXPECT_EQ(saved.pendingRecipients, c.pending) << "the state file names who still waits";
    // The entry names each refused recipient with the server's words.
    ASSERT_FALSE(Errors().empty());
    for (size_t i = 0; i < c.first.size(); ++i) {
      if (c.first[i][0] == '2') continue;
      const std::string address = std::string(1, static_cast<char>('a' + i)) + "@example.jp";
      EXPECT_NE(Errors().back().find("RCPT <" + address + ">: " + c.first[i]), std::string::npos)
          << SjisToUtf8(Errors().back());
    }
    if (c.pending.empty()) {
      EXPECT_FALSE(service->tmRetry().Enabled());
      continue;
    }

    ServerUp();  // everyone is accepted now
    loop.AdvanceBy(5 * kMinuteMs);
    ASSERT_TRUE(server->WaitForSessions(1, 10000));
    const auto retry = server->Sessions()[0];
    EXPECT_EQ(retry.recipients, c.retryEnvelope) << "the retry goes to the waiting recipients alone";
    ASSERT_EQ(retry.messages.size(), 1u);
    // The header lines still name everyone the alert is for.
    EXPECT_NE(retry.messages[0].find("a@example.jp"), std::string::npos);
    EXPECT_NE(retry.messages[0].find("c@example.jp"), std::string::npos);
    EXPECT_FALSE(service->HasPendingAlert());
    EXPECT_FALSE(SavedState().pending);
    loop.AdvanceBy(3 * 60 * kMinuteMs);
    EXPECT_EQ(server->Sessions().size(), 1u) << "nothing more once everyone has it";
  }
}

TEST_F(PartialDeliveryTest, ANewerCheckThatReplacesThePendingAlertGoesToEveryoneAgain) {
  ServerUp({"450 4.2.0 greylisted"});
  service->ServiceStart();
  ASSERT_TRUE(server->WaitForSessions(1, 10000));
  ASSERT_EQ(service->PendingRecipients(), "a@example.jp");

  ServerUp();
  drives.drives['C'].freeBytes = 40 * kMiB;
  service->tmCheckTimer(nullptr);
  ASSERT_TRUE(server->WaitForSessions(1, 10000));
  EXPECT_EQ(server->Sessions()[0].recipients, (Recipients{"a@example.jp", "b@example.jp", "c@example.jp"}));
  EXPECT_FALSE(service->HasPendingAlert());
}

}  // namespace
}  // namespace qw

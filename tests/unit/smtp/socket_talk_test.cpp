// The socket conversation against a fake socket and the test clock: reply
// completion, packets and progress, time-outs, errors and the closing of the
// connection.
#include "mail/socket_talk.h"

#include <gtest/gtest.h>

#include <atomic>

#include <string>
#include <vector>

#include "tests/fakes/fake_client_socket.h"
#include "tests/fakes/fake_message_loop.h"

namespace qw {
namespace {

// Step codes of an owner: the talk hands them back and gives them no meaning.
constexpr TTalkStep tsGreeting = 1, tsHelo = 2, tsMailFrom = 3, tsRcptTo = 4, tsData = 5, tsMessageText = 6;

class SocketTalkTest : public ::testing::Test {
 protected:
  SocketTalkTest() {
    auto socket = std::make_unique<FakeClientSocket>(loop);
    fake = socket.get();
    talk = std::make_unique<TSocketTalk>(&owner, loop, std::move(socket));
    talk->OnReplyComplete = [this](TSocketTalk&, TTalkStep step, bool& ok, const std::string& reply) {
      completions.push_back(reply);
      completedSteps.push_back(step);
      ok = reply.rfind("250", 0) == 0;
    };
    talk->OnFailure = [this](TSocketTalk&, TTalkStep step, TTalkError error) {
      failures.push_back(error);
      failedSteps.push_back(step);
    };
    talk->OnConnectionClosed = [this](TSocketTalk&) { ++closed; };
  }

  void Connect() {
    ASSERT_TRUE(fake->Open().Ok());
    fake->AcceptConnection();
    loop.ProcessPending();
    ASSERT_TRUE(fake->Active());
  }

  // Runs `action` at fake time `atMs` (from now) while the talk waits.
  void At(int64_t atMs, std::function<void()> action) {
    auto timer = loop.CreateTimer();
    Timer* raw = timer.get();
    timer->OnTimer = [raw, action] {
      raw->SetEnabled(false);
      action();
    };
    timer->SetInterval(atMs);
    timer->SetEnabled(true);
    scheduled.push_back(std::move(timer));
  }

  int owner = 0;
  FakeMessageLoop loop;
  FakeClientSocket* fake = nullptr;
  std::unique_ptr<TSocketTalk> talk;
  std::vector<std::string> completions;
  std::vector<TTalkStep> completedSteps;
  std::vector<TTalkError> failures;
  std::vector<TTalkStep> failedSteps;
  std::vector<std::unique_ptr<Timer>> scheduled;
  int closed = 0;
};

TEST_F(SocketTalkTest, AReplyInPiecesCompletesAtTheTerminatorAndEachPieceRestartsTheTimeOut) {
  talk->SetTimeOut(10);
  Connect();
  At(9000, [&] { fake->Deliver("250 o"); });
  At(18000, [&] { fake->Deliver("k"); });
  At(27000, [&] { fake->Deliver("\r\n"); });
  talk->SendText("NOOP\r\n", "\r\n", tsHelo);
  talk->WaitReply();
  EXPECT_TRUE(talk->Succeeded());
  EXPECT_EQ(loop.NowMs(), 27000);  // 27 s in all, never 10 s of silence
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0], "250 ok\r\n");
  EXPECT_EQ(completedSteps[0], tsHelo);
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(talk->Step(), tsNone);
  EXPECT_EQ(fake->Sent(), "NOOP\r\n");
}

TEST_F(SocketTalkTest, SilenceAfterAPieceTimesOutAFullIntervalAfterIt) {
  talk->SetTimeOut(10);
  Connect();
  At(4000, [&] { fake->Deliver("250 partial"); });
  talk->SendText("NOOP\r\n", "\r\n", tsMailFrom);
  talk->WaitReply();
  EXPECT_FALSE(talk->Succeeded());
  EXPECT_EQ(loop.NowMs(), 14000);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], teTimeOut);
  EXPECT_EQ(failedSteps[0], tsMailFrom);
  EXPECT_EQ(talk->LastError(), teTimeOut);
  EXPECT_TRUE(completions.empty());
}

TEST_F(SocketTalkTest, ASilentPeerTimesOutAfterSixtySeconds) {
  Connect();
  talk->SendText("DATA\r\n", "\r\n", tsData);
  talk->WaitReply();
  EXPECT_FALSE(talk->Succeeded());
  EXPECT_EQ(loop.NowMs(), 60000);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], teTimeOut);
}

TEST_F(SocketTalkTest, WithoutTerminatorTheFirstPieceCompletesTheReply) {
  talk->SetTimeOut(5);
  talk->ExpectReply(tsGreeting);
  ASSERT_TRUE(fake->Open().Ok());
  At(3000, [&] {
    fake->AcceptConnection();
    fake->Deliver("2");
  });
  talk->WaitReply();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0], "2");
  EXPECT_EQ(completedSteps[0], tsGreeting);
  EXPECT_FALSE(talk->Succeeded());
  EXPECT_FALSE(talk->Waiting());
}

TEST_F(SocketTalkTest, OneTimeOutCoversConnectionAndGreeting) {
  talk->SetTimeOut(5);
  talk->ExpectReply(tsGreeting);
  ASSERT_TRUE(fake->Open().Ok());
  At(3000, [&] { fake->AcceptConnection(); });  // connected, but the greeting never comes
  talk->WaitReply();
  EXPECT_EQ(loop.NowMs(), 5000);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], teTimeOut);
}

TEST_F(SocketTalkTest, TheOwnersCompletenessCheckReplacesTheTerminatorTest) {
  // A multi-line reply: complete only with its last line.
  talk->OnCheckComplete = [](TSocketTalk&, TTalkStep, const std::string& text) {
    return text.find("250 last\r\n") != std::string::npos;
  };
  Connect();
  fake->Deliver("250-first\r\n");
  At(100, [&] { fake->Deliver("250 last\r\n"); });
  talk->SendText("X\r\n", "\r\n", tsHelo);
  talk->WaitReply();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0], "250-first\r\n250 last\r\n");
  EXPECT_TRUE(talk->Succeeded());
}

TEST_F(SocketTalkTest, AReadNotificationWithoutDataChangesNothing) {
  talk->SetTimeOut(10);
  Connect();
  At(2000, [&] { fake->NotifyReadWithoutData(); });
  At(9000, [&] { fake->Deliver("250 ok\r\n"); });
  talk->SendText("X\r\n", "\r\n", tsHelo);
  talk->WaitReply();
  EXPECT_TRUE(talk->Succeeded());  // the empty notification did not restart or end anything
  EXPECT_EQ(completions.size(), 1u);
  EXPECT_EQ(talk->ReplyText(), "250 ok\r\n");
}

TEST_F(SocketTalkTest, AHookThatCancelsEndsTheExchangeAsFailed) {
  talk->OnPieceReceived = [](TSocketTalk& t, TTalkStep, bool& ok, const std::string& piece) {
    if (piece.rfind("5", 0) == 0) {
      ok = false;
      t.CancelWait();
    }
  };
  Connect();
  fake->Deliver("554-refused");  // no terminator: only the hook can end it
  talk->SendText("X\r\n", "\r\n", tsRcptTo);
  talk->WaitReply();
  EXPECT_FALSE(talk->Succeeded());
  EXPECT_FALSE(talk->Waiting());
  EXPECT_EQ(talk->LastError(), teNone);
  ASSERT_EQ(completedSteps.size(), 1u);
  EXPECT_EQ(completedSteps[0], tsNone);  // ended through completion with no step
  EXPECT_EQ(loop.NowMs(), 0);
}

TEST_F(SocketTalkTest, TheClosingOfTheConnectionEndsTheWait) {
  Connect();
  At(1000, [&] { fake->CloseFromPeer(); });
  talk->SendText("X\r\n", "\r\n", tsMailFrom);
  talk->WaitReply();
  EXPECT_FALSE(talk->Succeeded());
  EXPECT_EQ(closed, 1);
  EXPECT_EQ(talk->Step(), tsNone);
  EXPECT_EQ(talk->LastError(), teNone);
  EXPECT_EQ(loop.NowMs(), 1000);
  EXPECT_TRUE(failures.empty());
}

TEST_F(SocketTalkTest, ASocketErrorIsConsumedAndReportedWithItsClass) {
  Connect();
  At(500, [&] { fake->ReportError(eeReceive, 10054); });
  talk->SendText("X\r\n", "\r\n", tsData);
  EXPECT_NO_THROW(talk->WaitReply());
  EXPECT_FALSE(talk->Succeeded());
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], teReceive);
  EXPECT_EQ(failedSteps[0], tsData);
  EXPECT_EQ(talk->LastError(), teReceive);
  EXPECT_EQ(talk->Step(), tsNone);
}

TEST_F(SocketTalkTest, ATextAsLongAsThePacketGoesInOnePieceWithoutProgress) {
  std::vector<std::pair<int, int>> progress;
  talk->OnProgress = [&](void* sender, int32_t total, int32_t current) {
    EXPECT_EQ(sender, &owner);
    progress.emplace_back(total, current);
  };
  Connect();
  talk->SetSendPacketSize(8);
  talk->SendText("12345678", "\r\n", tsMessageText);
  EXPECT_EQ(fake->SendCalls(), std::vector<std::string>{"12345678"});
  EXPECT_TRUE(progress.empty());
  EXPECT_EQ(talk->SendPacketSize(), 0);  // for the next text only
}

TEST_F(SocketTalkTest, OneByteMoreGoesInTwoPacketsWithProgress) {
  std::vector<std::pair<int, int>> progress;
  talk->OnProgress = [&](void*, int32_t total, int32_t current) { progress.emplace_back(total, current); };
  Connect();
  talk->SetSendPacketSize(8);
  talk->SendText("123456789", "\r\n", tsMessageText);
  EXPECT_EQ(fake->SendCalls(), (std::vector<std::string>{"12345678", "9"}));
  EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{{9, 0}, {9, 8}, {9, 9}, {9, 9}}));
  EXPECT_EQ(talk->SendPacketSize(), 0);
}

TEST_F(SocketTalkTest, MessagesAreDispatchedBetweenPacketsAndAnEndedExchangeStopsTheSend) {
  Connect();
  // The peer refuses after the first packet and closes.
  fake->onSent = [&](const std::string&) {
    if (fake->SendCalls().size() == 1) fake->CloseFromPeer();
  };
  talk->SetSendPacketSize(4);
  talk->SendText("aaaabbbbccccdddd", "\r\n", tsMessageText);
  EXPECT_EQ(fake->Sent(), "aaaa");
  EXPECT_EQ(closed, 1);
  talk->WaitReply();
  EXPECT_FALSE(talk->Succeeded());
}

TEST_F(SocketTalkTest, PartlyTakenAndRefusedBytesAreOfferedAgainUntilAllAreSent) {
  Connect();
  fake->wouldBlockCalls = 3;
  fake->acceptLimit = 5;
  talk->SendText("0123456789abcdefghij", "\r\n", tsMessageText);
  EXPECT_EQ(fake->Sent(), "0123456789abcdefghij");
  EXPECT_EQ(fake->RefusedCalls(), 3);
  EXPECT_EQ(fake->SendCalls().size(), 4u);
  EXPECT_TRUE(talk->Waiting());
  EXPECT_TRUE(failures.empty());
}

TEST_F(SocketTalkTest, ASocketThatKeepsRefusingTimesOut) {
  talk->SetTimeOut(2);
  Connect();
  fake->wouldBlockCalls = 1000000;
  talk->SendText("stuck", "\r\n", tsMessageText);
  EXPECT_TRUE(fake->Sent().empty());
  EXPECT_FALSE(talk->Waiting());
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], teTimeOut);
  EXPECT_GE(loop.NowMs(), 2000);
  EXPECT_LE(loop.NowMs(), 2010);
  EXPECT_GE(fake->RefusedCalls(), 100);  // offered again about every 10 ms
  talk->WaitReply();  // returns at once
  EXPECT_FALSE(talk->Succeeded());
}

TEST_F(SocketTalkTest, AFailedSendStopsSendingWithoutAnException) {
  Connect();
  fake->failSends = true;
  EXPECT_NO_THROW(talk->SendText("hello", "\r\n", tsMailFrom));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], teSend);
  EXPECT_EQ(closed, 1);
  talk->WaitReply();
  EXPECT_FALSE(talk->Succeeded());
}

TEST_F(SocketTalkTest, AReplyArrivingWhileTheTextIsSentIsKeptAndJudged) {
  Connect();
  fake->onSent = [&](const std::string&) {
    if (fake->SendCalls().size() == 1) fake->Deliver("250 early\r\n");
  };
  talk->SetSendPacketSize(2);
  talk->SendText("abcd", "\r\n", tsMessageText);
  talk->WaitReply();
  EXPECT_TRUE(talk->Succeeded());
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0], "250 early\r\n");
}

}  // namespace
}  // namespace qw

namespace qw {
namespace {

TEST_F(SocketTalkTest, TheDeadlineEndsAWaitThatTricklingKeepsAlive) {
  talk->SetTimeOut(1);
  Connect();
  for (int i = 1; i <= 20; ++i) At(i * 900, [&] { fake->Deliver("x"); });  // never a second of silence
  talk->StartDeadline(5);
  talk->SendText("NOOP\r\n", "\r\n", tsMailFrom);
  talk->WaitReply();
  EXPECT_FALSE(talk->Succeeded());
  EXPECT_EQ(loop.NowMs(), 5000);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], teDeadline);
  EXPECT_TRUE(talk->DeadlinePassed());
  // Later waits end at once until the deadline is stopped.
  talk->SendText("NOOP\r\n", "\r\n", tsMailFrom);
  talk->WaitReply();
  EXPECT_EQ(loop.NowMs(), 5000);
  EXPECT_EQ(failures.back(), teDeadline);
  talk->StopDeadline();
  EXPECT_FALSE(talk->DeadlinePassed());
}

TEST_F(SocketTalkTest, TheCancelFlagEndsTheWaitAndTheSending) {
  std::atomic<bool> cancel{false};
  talk->SetCancelFlag(&cancel);
  talk->SetTimeOut(60);
  Connect();
  At(2000, [&] { cancel = true; });
  talk->SendText("NOOP\r\n", "\r\n", tsData);
  talk->WaitReply();
  EXPECT_FALSE(talk->Succeeded());
  EXPECT_LT(loop.NowMs(), 3000);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], teCancelled);
  // A packet-wise text stops at once.
  talk->SetSendPacketSize(10);
  talk->SendText(std::string(100, 'a'), "\r\n", tsMessageText);
  EXPECT_EQ(fake->Sent(), "NOOP\r\n");
  EXPECT_EQ(failures.back(), teCancelled);
}

}  // namespace
}  // namespace qw

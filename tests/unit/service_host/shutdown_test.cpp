// A shutdown (and the preshutdown before it) while a check's alert mail is
// under way: the mail is cancelled and the service reports stopped only
// once the check has saved the pending alert, within a bound.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <filesystem>
#include <future>
#include <thread>

#include "common/check_state.h"
#include "platform/files.h"
#include "platform/text_codec.h"
#include "tests/unit/service_host/host_fixture.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace qw::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class ShutdownTest : public HostTest {
 protected:
  ShutdownTest() {
    dir = (fs::temp_directory_path() / ("qw_shutdown_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
    // D is short and mail is on.
    SetIni("[WARNING]\r\nINTERVAL=1\r\nISMAILSEND=1\r\n[DRIVE]\r\nD=900MB\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n");
    Service().SetStateFolder(dir);
  }
  ~ShutdownTest() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  bool StatePending() {
    const Result<std::string> text = ReadWholeFile(JoinPath(dir, kStateFileName));
    CheckState state;
    if (!text.Ok() || !ParseCheckState(*text, &state)) return false;
    return state.pending;
  }
  // The periodic check's mail is under way when `code` comes; the
  // conversation, cancelled, comes back only when the test lets it, while
  // the host's stop still waits. Stopped may be reported only once the
  // state holds the alert.
  void ShutdownDuringTheMail(uint32_t code) {
    std::atomic<int> calls{0};
    std::promise<void> comeBack;
    std::shared_future<void> mayComeBack = comeBack.get_future().share();
    mailStep = [&, mayComeBack](const std::string&) {
      TDeliveryResult result;
      if (++calls == 1) {
        result.acceptedReply = "250 ok";  // the first check's mail arrives
        return result;
      }
      mayComeBack.wait();
      result.status = Status::Failure("DATA", 0, "cancelled by stop");
      return result;
    };
    ASSERT_TRUE(Host().Start().Ok());
    loop.ProcessPending();
    ASSERT_FALSE(StatePending());
    std::thread mainThread([&] { Service().tmCheckTimer(nullptr); });
    ASSERT_TRUE(WaitFor([&] { return calls.load() == 2; })) << "the mail step has begun";

    // The control runs on a thread of its own, as the service thread's
    // does; what the state held when it returned is kept for the end.
    std::atomic<bool> returned{false};
    bool pendingWhenReturned = false;
    bool stopEnds = false;
    std::thread control([&] {
      stopEnds = Host().HandleControl(code);
      pendingWhenReturned = StatePending();
      returned = true;
      TestChanges().Notify();
    });
    EXPECT_TRUE(WaitFor([&] { return Host().State() == ServiceState::StopPending; }));
    // The stop's own wait, given no time: the check still holds it.
    EXPECT_FALSE(Service().ServiceStopWithin(0)) << "a stop does not see the check that runs";
    EXPECT_FALSE(returned.load()) << "the control waits while the mail is under way";
    comeBack.set_value();
    EXPECT_TRUE(WaitFor([&] { return returned.load(); })) << "the control returns once the check has ended";
    control.join();
    mainThread.join();
    EXPECT_TRUE(stopEnds);
    EXPECT_TRUE(pendingWhenReturned) << "the alert waits in the state when stopped is reported";
    EXPECT_EQ(Service().DriveList(), nullptr) << "the service was stopped";
    Host().ReportStopped();
    EXPECT_EQ(status.States().back(), ServiceState::Stopped);
    EXPECT_EQ(status.Reports().back().controlsAccepted & 0x100u, 0x100u) << "preshutdown is accepted";
  }
  std::string dir;
};

TEST_F(ShutdownTest, AtShutdownTheCancelledAlertIsSavedBeforeStoppedIsReported) {
  ShutdownDuringTheMail(kControlShutdown);
}

TEST_F(ShutdownTest, AtPreshutdownTheCancelledAlertIsSavedBeforeStoppedIsReported) {
  ShutdownDuringTheMail(kControlPreshutdown);
}


TEST_F(ShutdownTest, ACheckThatDoesNotEndIsGivenUpAfterTheBoundAndSaid) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> hold{false};
  std::atomic<bool> held{false};
  mailStep = [&, released](const std::string&) {
    if (hold) {
      held = true;
      released.wait();
    }
    TDeliveryResult result;
    result.acceptedReply = "250 ok";
    return result;
  };
  ASSERT_TRUE(Host().Start().Ok());
  Host().SetShutdownWait(1500);
  hold = true;
  std::thread mainThread([&] { Service().tmCheckTimer(nullptr); });
  ASSERT_TRUE(WaitFor([&] { return held.load(); }));

  const auto at = Clock::now();
  EXPECT_TRUE(Host().HandleControl(kControlShutdown));
  const auto took = Clock::now() - at;
  EXPECT_GE(took, std::chrono::milliseconds(1500));
  EXPECT_LT(took, std::chrono::seconds(4));
  const auto states = status.States();
  EXPECT_GE(std::count(states.begin(), states.end(), ServiceState::StopPending), 2)
      << "the wait is told to the manager as it goes";
  const auto entries = log.Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().text.rfind("サービス失敗 シャットダウン: 実行中のチェックが 2 秒以内に終わりませんでした", 0), 0u)
      << SjisToUtf8(entries.back().text);
  release.set_value();
  mainThread.join();
}

}  // namespace
}  // namespace qw::test

// A drive whose free-space call does not return: the check, the other drives
// and a stop go on within the bound, the drive is named as not answering in
// the warning (and its mail), and no second call piles up behind the hung
// one. Also the bounded calls on their own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <future>
#include <thread>

#include "service/bounded_calls.h"
#include "service/drivewarden.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"

namespace qw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kBoundMs = 300;

class HungDriveTest : public ::testing::Test {
 protected:
  HungDriveTest() {
    drives.drives['C'] = {kDriveFixed, 500 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 800 * kMiB, 1000 * kMiB, true, nullptr};
    // D blocks until released, and counts the calls that reached it.
    drives.drives['D'].onMeasure = [this] {
      {
        std::lock_guard<std::mutex> lock(callsMutex);
        ++callsOfD;
      }
      callsChanged.notify_all();
      if (hang) released.wait();
    };
    profiles.SetFile("Drivewarden.ini",
                     "[WARNING]\r\nINTERVAL=1\r\nISMAILSEND=1\r\n[DRIVE]\r\nC=10MB\r\n[MAIL]\r\nSMTP=mx\r\nMAILTO=a@b.jp\r\n",
                     0x58A00001);
    NewService(kBoundMs);
  }
  void NewService(int64_t boundMs) {
    WatchOptions options;
    options.answerBoundMs = boundMs;
    options.sendAlert = [this](const std::string& report) {
      mailed.push_back(report);
      TDeliveryResult delivered;
      delivered.acceptedReply = "250 ok";
      return delivered;
    };
    service = std::make_unique<TDrivewarden>(ServicePlatform{profiles, drives, system, log}, loop.CreateTimer(),
                                             nullptr, std::move(options));
  }
  // Waits (at most five seconds) until D has been asked `n` times.
  bool CallsOfDReach(int n) {
    std::unique_lock<std::mutex> lock(callsMutex);
    return callsChanged.wait_for(lock, 5s, [&] { return callsOfD.load() >= n; });
  }
  ~HungDriveTest() override {
    Release();
    // The abandoned calls return into their own shared results, never into
    // the service; the fake drives they call must outlive them.
    EXPECT_TRUE(service->WaitForOutstandingCalls(5000ms).Ok());
    service.reset();
  }
  void Release() {
    if (!hang) return;
    hang = false;
    release.set_value();
  }
  std::vector<std::string> Texts(EventType type) const {
    std::vector<std::string> texts;
    for (const auto& e : log.entries)
      if (e.type == type) texts.push_back(e.text);
    return texts;
  }
  static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

  test::FakeProfiles profiles;
  test::FakeDrives drives;
  test::FakeSystemInfo system;
  test::FakeEventLog log;
  FakeMessageLoop loop;
  std::unique_ptr<TDrivewarden> service;
  std::atomic<bool> hang{true};
  std::atomic<int> callsOfD{0};
  std::mutex callsMutex;
  std::condition_variable callsChanged;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::vector<std::string> mailed;
};

TEST_F(HungDriveTest, TheCheckEndsWithinTheBoundNamesTheDriveAndMailsIt) {
  const auto began = Clock::now();
  service->ServiceStart();  // the load's size query and the first check
  const auto took = Clock::now() - began;
  EXPECT_LT(took, std::chrono::milliseconds(3 * kBoundMs)) << "one bound in all, not one per query";

  const auto warnings = Texts(EventType::Warning);
  ASSERT_EQ(warnings.size(), 1u) << "no drive is short, but D does not answer";
  const std::string& report = warnings[0];
  EXPECT_TRUE(Has(report, "・ C ドライブの空き領域: 524,288,000 バイト")) << "the other drive is measured";
  EXPECT_TRUE(Has(report, std::string("・ D ドライブの空き領域: ") + kDriveNoAnswer));
  EXPECT_TRUE(Has(report, DriveNoAnswerLine('D', kBoundMs)));
  EXPECT_TRUE(Has(DriveNoAnswerLine('D', kBoundMs), "D ドライブ : 応答がありません ( 1 秒以内"));
  ASSERT_EQ(mailed.size(), 1u) << "mailed like a shortage";
  EXPECT_TRUE(Has(mailed[0], DriveNoAnswerLine('D', kBoundMs)));
  EXPECT_EQ(callsOfD.load(), 1) << "the check does not ask again while the load's query hangs";
  EXPECT_EQ(service->OutstandingCalls(), 1u);

  // The next check: D is still hung; no second call, no wait for it.
  const auto again = Clock::now();
  service->CheckNow();
  EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(kBoundMs)) << "a hung drive is not waited for twice";
  EXPECT_EQ(callsOfD.load(), 1);
  ASSERT_EQ(Texts(EventType::Warning).size(), 2u);
  EXPECT_TRUE(Has(Texts(EventType::Warning)[1], DriveNoAnswerLine('D', kBoundMs)));

  // Once the call returns, D is measured again and all is well.
  Release();
  ASSERT_TRUE(service->WaitForOutstandingCalls(5000ms).Ok());
  service->CheckNow();
  EXPECT_EQ(callsOfD.load(), 2);
  EXPECT_EQ(Texts(EventType::Warning).size(), 2u);
  ASSERT_FALSE(Texts(EventType::Information).empty());
  EXPECT_TRUE(Has(Texts(EventType::Information).back(), "・ D ドライブの空き領域: 838,860,800 バイト"));
  service->ServiceStop();
}

TEST_F(HungDriveTest, AStopEndsTheWaitForAHungDriveAtOnce) {
  NewService(60'000);  // a bound far longer than the stop may take
  hang = false;
  service->ServiceStart();
  hang = true;
  std::thread check([this] { service->CheckNow(); });
  ASSERT_TRUE(CallsOfDReach(2)) << "the check is measuring D";
  const size_t entries = log.entries.size();
  const auto stopAt = Clock::now();
  service->CancelForStop();
  service->ServiceStop();
  EXPECT_LT(Clock::now() - stopAt, 2s) << "the stop does not wait for the drive";
  check.join();
  EXPECT_EQ(log.entries.size(), entries) << "a check cut short by a stop writes no report";
  EXPECT_EQ(service->DriveList(), nullptr);
}

TEST(BoundedCalls, OneOutstandingCallPerKeyABoundAndACancel) {
  BoundedCalls calls;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto result = std::make_shared<std::atomic<int>>(0);

  ASSERT_EQ(calls.Begin("a", [released, result] { released.wait(); *result = 1; }), BoundedCalls::Start::Started);
  EXPECT_EQ(calls.Begin("a", [] {}), BoundedCalls::Start::Busy) << "no second call behind a hung one";
  EXPECT_EQ(calls.Begin("b", [] {}), BoundedCalls::Start::Started) << "another key is not held";

  auto at = Clock::now();
  EXPECT_EQ(calls.Wait({"a"}, 100ms, false).Kind(), StatusKind::kTimedOut);
  const auto waited = Clock::now() - at;
  EXPECT_GE(waited, 100ms);
  EXPECT_LT(waited, 2s);
  EXPECT_TRUE(calls.Wait({"b"}, 5s, false).Ok());
  EXPECT_FALSE(calls.Returned("a"));

  calls.Cancel();
  at = Clock::now();
  EXPECT_EQ(calls.Wait({"a"}, 60s, true).Kind(), StatusKind::kCancelled) << "a cancellable wait ends at once";
  EXPECT_EQ(calls.Wait({"a"}, 50ms, false).Kind(), StatusKind::kTimedOut)
      << "a wait that is not cancellable keeps its bound";
  EXPECT_LT(Clock::now() - at, 2s);
  const Status busy = calls.WaitIdle(50ms);
  EXPECT_EQ(busy.Kind(), StatusKind::kTimedOut) << "a cancel does not make the hung call idle";
  EXPECT_NE(busy.Text().find("1 call(s) still outstanding"), std::string::npos) << busy.Text();
  calls.Resume();
  EXPECT_FALSE(calls.Cancelled());

  release.set_value();
  EXPECT_TRUE(calls.Wait({"a"}, 5s, false).Ok());
  EXPECT_TRUE(calls.WaitIdle(5s).Ok());
  EXPECT_EQ(result->load(), 1);
  EXPECT_EQ(calls.Outstanding(), 0u);
  EXPECT_EQ(calls.Begin("a", [] {}), BoundedCalls::Start::Started) << "free again once it returned";
  EXPECT_TRUE(calls.Wait({"a"}, 5s, false).Ok());
}

TEST(BoundedCalls, ACallThatReturnsAfterItsOwnerIsGoneTouchesOnlyWhatItHolds) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto result = std::make_shared<std::atomic<int>>(0);
  // Set when the call, and the thread's copy of it, is gone: by then the
  // thread has told the shared block that the call returned.
  std::promise<void> finished;
  std::future<void> done = finished.get_future();
  struct Goodbye {
    std::promise<void>* finished = nullptr;
    ~Goodbye() {
      if (finished) finished->set_value();
    }
  };
  {
    BoundedCalls calls;
    auto goodbye = std::make_shared<Goodbye>();
    goodbye->finished = &finished;
    ASSERT_EQ(calls.Begin("a", [released, result, goodbye] { released.wait(); *result = 7; }),
              BoundedCalls::Start::Started);
    goodbye.reset();
    EXPECT_FALSE(calls.Wait({"a"}, 20ms, false).Ok());
  }  // abandoned
  release.set_value();
  // ASan would see a use after free here had the thread kept a pointer to
  // the gone object.
  ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(result->load(), 7);
}

}  // namespace
}  // namespace qw

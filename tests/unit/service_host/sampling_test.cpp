// The hourly sampling as the host runs it: a timer of the check loop that
// adds each drive's free space to the history without an entry, skipped
// while the service is paused and off after a stop.
#include <gtest/gtest.h>

#include "tests/unit/service_host/host_fixture.h"

namespace qw::test {
namespace {

TEST_F(HostTest, TheHourlySamplingAddsToTheHistoryWithoutEntriesPausesAndStops) {
  sampling = true;
  SetIni("[WARNING]\r\nINTERVAL=24\r\n[DRIVE]\r\nC=10MB\r\n");
  ASSERT_TRUE(Host().Start().Ok());
  // The check's, the mail retry's, the webhook retry's, then the sampling's.
  ASSERT_EQ(loop.Timers().size(), 4u);
  FakeTimer& sample = *loop.Timers().at(3);
  EXPECT_TRUE(sample.Enabled());
  EXPECT_EQ(sample.Interval(), kHourMs);
  ASSERT_EQ(Service().History().Samples("C:").size(), 1u) << "the first check's sample";
  const size_t entries = log.Entries().size();
  // One sample per hour of the system's clock.
  const auto nextHour = [this] {
    system.now.hour += 1;
    loop.AdvanceBy(kHourMs);
  };
  nextHour();
  nextHour();
  EXPECT_EQ(Service().History().Samples("C:").size(), 3u);
  EXPECT_EQ(log.Entries().size(), entries) << "a sampling writes no entry";

  EXPECT_FALSE(Host().HandleControl(kControlPause));
  nextHour();
  EXPECT_EQ(Service().History().Samples("C:").size(), 3u) << "paused: no sampling";
  EXPECT_FALSE(Host().HandleControl(kControlContinue));
  nextHour();
  EXPECT_EQ(Service().History().Samples("C:").size(), 4u);

  EXPECT_TRUE(Host().HandleControl(kControlStop));
  EXPECT_FALSE(sample.Enabled());
  nextHour();
  EXPECT_EQ(Service().History().Samples("C:").size(), 4u);
}

}  // namespace
}  // namespace qw::test

// The alert series with a channel label: the mail and every webhook
// channel, their values from the state, the mail's own series kept.
#include <gtest/gtest.h>

#include <string>

#include "service/metrics_file.h"

namespace qw {
namespace {

TEST(WebhookMetrics, EveryChannelHasItsSamples) {
  CheckState state;
  state.checkedUtc = "2024-05-05T22:08:09Z";
  state.lastDeliveryUtc = "2024-05-05T22:00:00Z";
  state.mailFailures = 3;
  state.pending = true;
  ChannelState teams;
  teams.name = "WEBHOOK1";
  teams.lastDeliveryUtc = "1970-01-01T00:01:40Z";
  teams.failures = 2;
  ChannelState slack;
  slack.name = "WEBHOOK2";
  slack.pending = true;
  slack.failures = 5;
  state.channels = {teams, slack};
  const std::string text = FormatMetrics(state, MetricsFacts{});
  const char* const lines[] = {
      "quotawarden_alert_mail_failures_total 3\n",
      "quotawarden_alert_last_success_timestamp_seconds{channel=\"mail\"} 1714946400\n",
      "quotawarden_alert_last_success_timestamp_seconds{channel=\"WEBHOOK1\"} 100\n",
      "quotawarden_alert_last_success_timestamp_seconds{channel=\"WEBHOOK2\"} 0\n",
      "quotawarden_alert_failures_total{channel=\"mail\"} 3\n",
      "quotawarden_alert_failures_total{channel=\"WEBHOOK1\"} 2\n",
      "quotawarden_alert_failures_total{channel=\"WEBHOOK2\"} 5\n",
      "quotawarden_alert_pending{channel=\"mail\"} 1\n",
      "quotawarden_alert_pending{channel=\"WEBHOOK1\"} 0\n",
      "quotawarden_alert_pending{channel=\"WEBHOOK2\"} 1\n",
      "# TYPE quotawarden_alert_failures_total counter\n",
  };
  for (const char* line : lines) EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

}  // namespace
}  // namespace qw

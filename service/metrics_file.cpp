#include "service/metrics_file.h"

#include <string_view>

#include "platform/files.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels, int64_t value) {
  out += name;
  if (!labels.empty()) out += "{" + labels + "}";
  out += ' ';
  out += std::to_string(value);
  out += '\n';
}

std::string DriveLabel(char letter) { return "drive=\"" + MetricsLabelValue(std::string(1, letter)) + "\""; }

// A volume's series: the same families as the letters, told apart by the
// label `volume` (its mount path) instead of `drive`.
std::string VolumeLabel(const VolumeState& volume) {
  return "volume=\"" + MetricsLabelValue(SjisToUtf8(volume.path)) + "\"";
}

}  // namespace

std::string MetricsLabelValue(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string FormatMetrics(const CheckState& state, const MetricsFacts& facts) {
  std::string out;
  Family(out, "quotawarden_info", "gauge",
         "The Quotawarden watch of this computer; always 1, the labels tell its version and computer name.");
  const std::string infoLabels = "version=\"" + MetricsLabelValue(facts.version) + "\",host=\"" +
                                 MetricsLabelValue(SjisToUtf8(facts.host)) + "\"";
  Sample(out, "quotawarden_info", infoLabels, 1);

  int64_t checked = 0;
  if (!UtcStampSeconds(state.checkedUtc, &checked)) checked = 0;
  Family(out, "quotawarden_last_check_timestamp_seconds", "gauge",
         "Time of the last check, in seconds since 1970-01-01 UTC.");
  Sample(out, "quotawarden_last_check_timestamp_seconds", "", checked);
  Family(out, "quotawarden_last_check_success", "gauge",
         "1 when the last check loaded its settings and ran to its end, 0 when it failed.");
  Sample(out, "quotawarden_last_check_success", "", facts.checkSucceeded ? 1 : 0);
  Family(out, "quotawarden_check_interval_seconds", "gauge",
         "Time from the end of one check to the start of the next (INTERVAL), in seconds.");
  Sample(out, "quotawarden_check_interval_seconds", "", facts.intervalSeconds);

  int64_t delivered = 0;
  if (!UtcStampSeconds(state.lastDeliveryUtc, &delivered)) delivered = 0;
  Family(out, "quotawarden_alert_mail_last_success_timestamp_seconds", "gauge",
         "Time of the last alert mail the server accepted, in seconds since 1970-01-01 UTC; 0 when none was.");
  Sample(out, "quotawarden_alert_mail_last_success_timestamp_seconds", "", delivered);
  Family(out, "quotawarden_alert_mail_failures_total", "counter",
         "Alert mail attempts that did not reach every recipient.");
  Sample(out, "quotawarden_alert_mail_failures_total", "", state.mailFailures < 0 ? 0 : state.mailFailures);

  // The heartbeat's families only where one was ever sent: a watch without
  // a heartbeat URL has no heartbeat to alert on.
  if (!state.heartbeatUtc.empty() || !state.heartbeatSuccessUtc.empty()) {
    int64_t pinged = 0;
    if (!UtcStampSeconds(state.heartbeatUtc, &pinged)) pinged = 0;
    int64_t answered = 0;
    if (!UtcStampSeconds(state.heartbeatSuccessUtc, &answered)) answered = 0;
    Family(out, "quotawarden_heartbeat_last_timestamp_seconds", "gauge",
           "Time of the last heartbeat request, in seconds since 1970-01-01 UTC.");
    Sample(out, "quotawarden_heartbeat_last_timestamp_seconds", "", pinged);
    Family(out, "quotawarden_heartbeat_last_success", "gauge",
           "1 when the last heartbeat request was answered with a 2xx status, else 0.");
    Sample(out, "quotawarden_heartbeat_last_success", "", state.heartbeatOk ? 1 : 0);
    Family(out, "quotawarden_heartbeat_last_success_timestamp_seconds", "gauge",
           "Time of the last heartbeat request answered with a 2xx status, in seconds since 1970-01-01 UTC; 0 when "
           "none was.");
    Sample(out, "quotawarden_heartbeat_last_success_timestamp_seconds", "", answered);
  }
  // The same per channel: the mail ("mail") and each webhook target (its
  // section, "WEBHOOK2"), with whether an alert waits for its next attempt.
  auto channel = [](const std::string& name) { return "channel=\"" + MetricsLabelValue(name) + "\""; };
  Family(out, "quotawarden_alert_last_success_timestamp_seconds", "gauge",
         "Time of the last alert the channel delivered, in seconds since 1970-01-01 UTC; 0 when none was.");
  Sample(out, "quotawarden_alert_last_success_timestamp_seconds", channel("mail"), delivered);
  for (const ChannelState& c : state.channels) {
    int64_t at = 0;
    if (!UtcStampSeconds(c.lastDeliveryUtc, &at)) at = 0;
    Sample(out, "quotawarden_alert_last_success_timestamp_seconds", channel(c.name), at);
  }
  Family(out, "quotawarden_alert_failures_total", "counter", "Alert attempts of the channel that did not deliver.");
  Sample(out, "quotawarden_alert_failures_total", channel("mail"), state.mailFailures < 0 ? 0 : state.mailFailures);
  for (const ChannelState& c : state.channels)
    Sample(out, "quotawarden_alert_failures_total", channel(c.name), c.failures < 0 ? 0 : c.failures);
  Family(out, "quotawarden_alert_pending", "gauge", "1 while an alert of the channel waits for its next attempt.");
  Sample(out, "quotawarden_alert_pending", channel("mail"), state.pending ? 1 : 0);
  for (const ChannelState& c : state.channels)
    Sample(out, "quotawarden_alert_pending", channel(c.name), c.pending ? 1 : 0);

  Family(out, "quotawarden_drive_free_bytes", "gauge",
         "Bytes of the drive available to the service, as its report says.");
  for (const auto& drive : state.drives)
    if (drive.freeBytes >= 0) Sample(out, "quotawarden_drive_free_bytes", DriveLabel(drive.letter), drive.freeBytes);
  for (const auto& volume : state.volumes)
    if (volume.freeBytes >= 0) Sample(out, "quotawarden_drive_free_bytes", VolumeLabel(volume), volume.freeBytes);
  Family(out, "quotawarden_drive_size_bytes", "gauge", "Total bytes of the drive.");
  for (const auto& drive : state.drives)
    if (drive.capacity >= 0) Sample(out, "quotawarden_drive_size_bytes", DriveLabel(drive.letter), drive.capacity);
  for (const auto& volume : state.volumes)
    if (volume.capacity >= 0) Sample(out, "quotawarden_drive_size_bytes", VolumeLabel(volume), volume.capacity);
  Family(out, "quotawarden_drive_threshold_bytes", "gauge",
         "Free bytes below which the drive is reported; 0 when the drive has no threshold.");
  for (const auto& drive : state.drives)
    Sample(out, "quotawarden_drive_threshold_bytes", DriveLabel(drive.letter),
           drive.thresholdBytes < 0 ? 0 : drive.thresholdBytes);
  for (const auto& volume : state.volumes)
    Sample(out, "quotawarden_drive_threshold_bytes", VolumeLabel(volume),
           volume.thresholdBytes < 0 ? 0 : volume.thresholdBytes);
  Family(out, "quotawarden_drive_below_threshold", "gauge",
         "1 when the last check reported the drive below its threshold, else 0.");
  for (const auto& drive : state.drives)
    Sample(out, "quotawarden_drive_below_threshold", DriveLabel(drive.letter), drive.below ? 1 : 0);
  for (const auto& volume : state.volumes)
    Sample(out, "quotawarden_drive_below_threshold", VolumeLabel(volume), volume.below ? 1 : 0);
  Family(out, "quotawarden_drive_free_bytes_change_per_day", "gauge",
         "Change of the drive's free bytes per day over the last 7 days of the watch's own history (the median "
         "of the slopes between its samples); negative while the drive fills. No sample with less than a day or "
         "fewer than 6 samples of history.");
  for (const auto& drive : state.drives)
    if (drive.hasTrend)
      Sample(out, "quotawarden_drive_free_bytes_change_per_day", DriveLabel(drive.letter), drive.bytesPerDay);
  for (const auto& volume : state.volumes)
    if (volume.hasTrend)
      Sample(out, "quotawarden_drive_free_bytes_change_per_day", VolumeLabel(volume), volume.bytesPerDay);
  Family(out, "quotawarden_drive_threshold_forecast_seconds", "gauge",
         "Seconds until the drive's free space reaches its threshold if it goes on as in the last 7 days; "
         "no sample when there is no forecast (no threshold, too little history, a flat or rising trend).");
  for (const auto& drive : state.drives)
    if (drive.forecastSeconds >= 0)
      Sample(out, "quotawarden_drive_threshold_forecast_seconds", DriveLabel(drive.letter), drive.forecastSeconds);
  for (const auto& volume : state.volumes)
    if (volume.forecastSeconds >= 0)
      Sample(out, "quotawarden_drive_threshold_forecast_seconds", VolumeLabel(volume), volume.forecastSeconds);
  return out;
}

Status WriteMetricsFile(const std::string& folder, const std::string& text) {
  return ReplaceFileAtomically(JoinPath(folder, kMetricsFileName), text);
}

}  // namespace qw

// The last check's state: what the service writes after every check (and a
// one-shot run after its check) and what the applet's status page shows. It
// is a small INI text (status.ini) in a folder both deliverables reach:
// Windows %ProgramData%\Quotawarden, POSIX the settings folder unless the
// host is told another. Byte counts are plain decimal digits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"
#include "platform/system_info.h"

namespace qw {

struct DriveState {
  char letter = 'C';
  int64_t freeBytes = -1;  // -1: not measured
  int64_t capacity = -1;
  std::string thresholdText;
  int64_t thresholdBytes = 0;
  bool below = false;
  // The trend of the last 7 days of history: the change of the free space
  // per day (negative: filling), and the seconds until it reaches the
  // threshold. `hasTrend` false: too little history; forecastSeconds -1:
  // no forecast (no threshold, not shrinking, or too little history).
  bool hasTrend = false;
  int64_t bytesPerDay = 0;
  int64_t forecastSeconds = -1;
};

// One alert channel besides the mail (a webhook target, named as its
// settings section is, "WEBHOOK2"): its last attempt, its last delivery, its
// failures, and the alert policy's memory as [ALERT] and [PENDINGALERT]
// hold the mail's. Written as a section [CHANNEL.<name>].
struct ChannelState {
  std::string name;
  bool attempted = false;  // the last check or retry tried it
  bool delivered = false;
  std::string reply;       // the answer's status and first line, or what failed
  std::string lastDeliveryLocal;
  std::string lastDeliveryUtc;
  int64_t failures = 0;    // attempts that did not deliver
  std::string alertUtc;
  std::string alertShort;
  bool alertOpen = false;
  bool pending = false;
  bool pendingRecovery = false;
  std::string pendingReport;  // the body as composed
  std::string pendingComposedLocal;
  std::string pendingComposedUtc;
  int64_t pendingAttempts = 0;
  std::string pendingShort;
};

// A volume measured besides the letters ([VOLUME.<n>] in the file, n from 1
// in report order).
struct VolumeState {
  std::string path;   // the mount path as the report shows it (or the volume name)
  std::string label;  // empty where the volume has none
  int64_t freeBytes = -1;  // -1: not measured (or no answer)
  int64_t capacity = -1;
  std::string thresholdText;
  int64_t thresholdBytes = 0;
  bool below = false;  // short, not answering or not measured: reported
  // The trend and forecast of the volume's history, as DriveState's.
  bool hasTrend = false;
  int64_t bytesPerDay = 0;
  int64_t forecastSeconds = -1;
};

struct CheckState {
  std::string checkedLocal;  // "2026-12-09 21:04:05"
  std::string checkedUtc;    // "2026-12-09T12:04:05Z"
  // "information", "warning", or the error text of a check that failed.
  std::string outcome;
  std::vector<DriveState> drives;
  std::vector<VolumeState> volumes;
  bool mailAttempted = false;
  bool mailDelivered = false;
  // The server's reply to the message text, or what ended a failed attempt.
  std::string mailReply;
  // The last delivery that succeeded (kept from earlier checks).
  std::string lastDeliveryLocal;
  std::string lastDeliveryUtc;
  // Alert mail attempts that did not reach every recipient, counted over the
  // life of this state file (a state without the key reads as 0).
  int64_t mailFailures = 0;

  // [PENDINGALERT]: a mail whose delivery failed and is tried again, kept
  // as it was composed so that it survives a restart. No section: none.
  bool pending = false;
  bool pendingRecovery = false;  // the recovery notice rather than an alert
  std::string pendingReport;
  std::string pendingComposedLocal;
  std::string pendingComposedUtc;
  int64_t pendingAttempts = 0;   // failed attempts so far
  std::string pendingShort;      // letters of the drives short in the report
  std::string pendingForecast;   // letters of the drives forecast to fill soon
  // The recipients still to reach (a comma list of addresses); empty (and a
  // state without the key): every recipient of the settings.
  std::string pendingRecipients;

  // [ALERT]: the last alert that was delivered, for the reminder interval
  // and the recovery notice. `alertOpen` while no check since that alert
  // found every drive at or above its threshold.
  std::string alertUtc;
  std::string alertShort;
  std::string alertForecast;  // drives that alert forecast to fill soon
  bool alertOpen = false;

  // [HEARTBEAT]: the last heartbeat request and the last one that was
  // answered with success (kept from earlier checks). No section: no
  // heartbeat was ever sent.
  std::string heartbeatLocal;
  std::string heartbeatUtc;
  bool heartbeatOk = false;
  bool heartbeatFailUrl = false;  // the failure URL was asked
  std::string heartbeatDetail;    // "HTTP 200", or what failed (no URL)
  std::string heartbeatSuccessLocal;
  std::string heartbeatSuccessUtc;
  // The webhook channels, in settings order.
  std::vector<ChannelState> channels;
};

inline constexpr const char* kStateFileName = "status.ini";

// The INI text of `state` (CR LF line ends, sections [CHECK], [MAIL], [ALERT]
// when an alert was ever delivered, [PENDINGALERT] when a mail is pending,
// and one [DRIVE.<letter>] per drive).
std::string FormatCheckState(const CheckState& state);
// Reads FormatCheckState's text back; false for a text that is not one (a
// damaged or foreign file), leaving `state` as it was.
bool ParseCheckState(const std::string& text, CheckState* state);

// The stamps of the state: the local time "yyyy-mm-dd hh:mm:ss", the same
// moment in UTC "yyyy-mm-ddThh:mm:ssZ" (`offsetMinutes` east of UTC), and
// the seconds since 1970 of a UTC stamp (false for any other text).
std::string LocalStamp(const LocalDateTime& t);
std::string UtcStamp(const LocalDateTime& t, int offsetMinutes);
bool UtcStampSeconds(const std::string& text, int64_t* seconds);

}  // namespace qw

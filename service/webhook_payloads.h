// The bodies of the chat and webhook alerts: what one check (or the
// recovery after it, or a test) has to tell, rendered for each target kind:
//   TEAMS  one Adaptive Card (version 1.4) in the message wrapper that a
//          Teams Workflows webhook trigger takes;
//   SLACK  a "text" fallback and blocks with the same facts;
//   JSON   the product's own object, versioned (kWebhookJsonVersion).
// The notice's texts are Shift-JIS as the rest of the service holds them;
// every body is UTF-8 JSON, every string escaped by the JSON writer.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/webhook_settings.h"
#include "platform/status.h"

namespace qw {

inline constexpr int kWebhookJsonVersion = 1;
inline constexpr const char* kWebhookJsonSchema = "quotawarden.alert";
// Slack refuses a section text above this many characters.
inline constexpr size_t kSlackSectionLimit = 3000;
inline constexpr size_t kSlackHeaderLimit = 150;

struct DriveFacts {
  DriveFacts() = default;
  DriveFacts(char letter, int64_t freeBytes, int64_t capacity, int64_t thresholdBytes, std::string thresholdText,
             bool below)
      : letter(letter), freeBytes(freeBytes), capacity(capacity), thresholdBytes(thresholdBytes),
        thresholdText(std::move(thresholdText)), below(below) {}

  char letter = 'C';
  int64_t freeBytes = -1;  // -1: not measured
  int64_t capacity = -1;   // -1: unknown
  int64_t thresholdBytes = 0;
  std::string thresholdText;  // as the settings say it ("10%", "500MB")
  bool below = false;         // short (or not answering) in this check
  // A volume in a folder or without a letter: its path (or volume name) as
  // the report names it, and its label. Empty for a lettered drive.
  std::string path;
  std::string label;
  bool forecast = false;  // not short, but forecast to reach its threshold
};

struct AlertNotice {
  // kForecast: nothing short, some drive forecast to fill (the mail's own
  // subject for it); a shortage with a forecast beside it is a kAlert.
  enum class Kind { kAlert, kReminder, kRecovery, kTest, kForecast };
  Kind kind = Kind::kAlert;
  std::string computer;  // Shift-JIS
  std::string localTime;  // "2026-12-09 21:04:05"
  std::string utcTime;    // "2026-12-09T12:04:05Z"
  int utcOffsetMinutes = 0;
  std::vector<DriveFacts> drives;
  std::string report;  // the report's text (Shift-JIS, CR LF)
  std::string forecastLines;  // the report's forecast lines (Shift-JIS, CR LF); empty: none
};

// "alert", "reminder", "recovery", "test", "forecast".
const char* AlertNoticeKindName(AlertNotice::Kind kind);

// The body for a target of `kind`; a failure only for a notice the writer
// cannot take (it never is one for texts that came through SjisToUtf8).
Result<std::string> RenderWebhookBody(WebhookKind kind, const AlertNotice& notice);

// `utf8` cut to at most `limit` characters (code points), the last one "…"
// when it was cut.
std::string CutCharacters(const std::string& utf8, size_t limit);

}  // namespace qw

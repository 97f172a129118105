// The status line given to systemd after each check: what it says for each
// outcome, and that an error text reaches it masked, on one line and cut.
#include <gtest/gtest.h>

#include "service/supervisor_status.h"

namespace qw::test {
namespace {

CheckState TwoDrives(const std::string& outcome, bool cBelow, bool dBelow) {
  CheckState state;
  state.checkedLocal = "2026-12-09 21:04:05";
  state.outcome = outcome;
  DriveState c;
  c.letter = 'C';
  c.below = cBelow;
  DriveState d;
  d.letter = 'D';
  d.below = dBelow;
  state.drives = {c, d};
  return state;
}

std::string Mask(const std::string& text) {
  std::string masked = text;
  for (size_t at; (at = masked.find("s3cret")) != std::string::npos;) masked.replace(at, 6, "****");
  return masked;
}

TEST(SupervisorStatus, EachOutcomeInOneLine) {
  struct Case {
    const char* name;
    CheckState state;
    bool succeeded;
    std::string expected;
  };
  CheckState delivered = TwoDrives("warning", true, true);
  delivered.mailAttempted = true;
  delivered.mailDelivered = true;
  CheckState failedMail = TwoDrives("warning", false, true);
  failedMail.mailAttempted = true;
  failedMail.mailReply = "550 s3cret refused";
  failedMail.pending = true;
  const Case cases[] = {
      {"all above", TwoDrives("information", false, false), true,
       "Last check 2026-12-09 21:04:05: information, 0 of 2 drives below threshold"},
      {"short, mail delivered", delivered, true,
       "Last check 2026-12-09 21:04:05: warning, 2 of 2 drives below threshold (C: D:); alert mail delivered"},
      {"short, mail failed and pending", failedMail, true,
       "Last check 2026-12-09 21:04:05: warning, 1 of 2 drives below threshold (D:); alert mail failed; "
       "a mail waits for its retry"},
      {"settings not loaded, last good used", TwoDrives("information", false, false), false,
       "Last check 2026-12-09 21:04:05: information, 0 of 2 drives below threshold; the settings file did not "
       "load (the last good settings were used)"},
      {"failed check", TwoDrives("設定ファイルを読めません: PASSWORD=s3cret\r\n2 行目", false, false), false,
       "Last check 2026-12-09 21:04:05 failed: \xE8\xA8\xAD\xE5\xAE\x9A\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83"
       "\xAB\xE3\x82\x92\xE8\xAA\xAD\xE3\x82\x81\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93: PASSWORD=****"},
  };
  for (const Case& c : cases) {
    const std::string line = SupervisorStatusLine(c.state, c.succeeded, Mask);
    EXPECT_EQ(line, c.expected) << c.name;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << c.name;
    EXPECT_EQ(line.find("s3cret"), std::string::npos) << c.name;
  }
}

TEST(SupervisorStatus, ALongErrorIsCutBetweenCharacters) {
  // 150 two-byte Shift-JIS characters are 450 bytes of UTF-8: the cut falls
  // inside one unless it steps back.
  std::string error;
  for (int i = 0; i < 150; ++i) error += "あ";
  const std::string line = SupervisorStatusLine(TwoDrives(error, false, false), false, Mask);
  const std::string prefix = "Last check 2026-12-09 21:04:05 failed: ";
  ASSERT_EQ(line.rfind(prefix, 0), 0u);
  const std::string shown = line.substr(prefix.size());
  ASSERT_GE(shown.size(), 3u);
  EXPECT_EQ(shown.substr(shown.size() - 3), "...");
  const std::string kept = shown.substr(0, shown.size() - 3);
  EXPECT_LE(kept.size(), kSupervisorErrorBytes);
  EXPECT_GE(kept.size(), kSupervisorErrorBytes - 2);
  EXPECT_EQ(kept.size() % 3, 0u) << "whole characters only (each is 3 bytes of UTF-8)";
}

}  // namespace
}  // namespace qw::test

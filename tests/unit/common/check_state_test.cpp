// The state file's text: what the service writes reads back the same, and a
// damaged or foreign text is refused whole instead of half read.
#include "common/check_state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qw {
namespace {

CheckState Sample() {
  CheckState s;
  s.checkedLocal = "2026/12/09 21:04:05";
  s.checkedUtc = "2026-12-09T12:04:05Z";
  s.outcome = "設定ファイルを読めません\r\n2 行目\\終わり";  // a kanji whose trail byte is 0x5C: 表
  s.outcome += "\x95\x5C";
  s.mailAttempted = true;
  s.mailDelivered = false;
  s.mailReply = "550 5.1.1 <a@example.com>: Recipient address rejected";
  s.lastDeliveryLocal = "2026/12/01 09:00:00";
  s.lastDeliveryUtc = "2026-12-01T00:00:00Z";
  s.mailFailures = 4294967297;
  DriveState c;
  c.letter = 'C';
  c.freeBytes = 123456789012;
  c.capacity = 500107862016;
  c.thresholdText = "10%";
  c.thresholdBytes = 50010786201;
  c.below = false;
  DriveState d;
  d.letter = 'D';
  d.freeBytes = -1;  // not measured
  d.capacity = INT64_MAX;
  d.thresholdText = "500MB";
  d.thresholdBytes = 524288000;
  d.below = true;
  s.drives = {c, d};
  return s;
}

void ExpectSame(const CheckState& a, const CheckState& b) {
  EXPECT_EQ(a.checkedLocal, b.checkedLocal);
  EXPECT_EQ(a.checkedUtc, b.checkedUtc);
  EXPECT_EQ(a.outcome, b.outcome);
  EXPECT_EQ(a.mailAttempted, b.mailAttempted);
  EXPECT_EQ(a.mailDelivered, b.mailDelivered);
  EXPECT_EQ(a.mailReply, b.mailReply);
  EXPECT_EQ(a.lastDeliveryLocal, b.lastDeliveryLocal);
  EXPECT_EQ(a.lastDeliveryUtc, b.lastDeliveryUtc);
  EXPECT_EQ(a.mailFailures, b.mailFailures);
  ASSERT_EQ(a.drives.size(), b.drives.size());
  for (size_t i = 0; i < a.drives.size(); ++i) {
    EXPECT_EQ(a.drives[i].letter, b.drives[i].letter);
    EXPECT_EQ(a.drives[i].freeBytes, b.drives[i].freeBytes);
    EXPECT_EQ(a.drives[i].capacity, b.drives[i].capacity);
    EXPECT_EQ(a.drives[i].thresholdText, b.drives[i].thresholdText);
    EXPECT_EQ(a.drives[i].thresholdBytes, b.drives[i].thresholdBytes);
    EXPECT_EQ(a.drives[i].below, b.drives[i].below);
  }
}

TEST(CheckState, RoundTripKeepsEveryFieldAndOneLinePerValue) {
  const CheckState s = Sample();
  const std::string text = FormatCheckState(s);
  // The error text's line breaks do not break the file's lines.
  EXPECT_NE(text.find("OUTCOME=設定ファイルを読めません\\r\\n2 行目\\\\終わり\x95\x5C\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[DRIVE.C]\r\nFREE=123456789012\r\nCAPACITY=500107862016\r\n"), std::string::npos);
  EXPECT_NE(text.find("[DRIVE.D]\r\nFREE=\r\nCAPACITY=9223372036854775807\r\n"), std::string::npos);
  EXPECT_EQ(text.find("=-"), std::string::npos) << "byte counts are plain digits";
  CheckState back;
  ASSERT_TRUE(ParseCheckState(text, &back));
  ExpectSame(s, back);

  // LF line ends (a file edited elsewhere) read the same.
  std::string lf;
  for (char c : text)
    if (c != '\r') lf += c;
  CheckState fromLf;
  ASSERT_TRUE(ParseCheckState(lf, &fromLf));
  ExpectSame(s, fromLf);

  // A state written before the failure count existed reads as none.
  std::string old = text;
  old.erase(old.find("FAILURES=4294967297\r\n"), std::string("FAILURES=4294967297\r\n").size());
  CheckState fromOld;
  ASSERT_TRUE(ParseCheckState(old, &fromOld));
  EXPECT_EQ(fromOld.mailFailures, 0);

  // An empty state (no drives, nothing sent) also survives.
  CheckState empty, emptyBack;
  emptyBack.outcome = "stale";
  ASSERT_TRUE(ParseCheckState(FormatCheckState(empty), &emptyBack));
  ExpectSame(empty, emptyBack);
}

TEST(CheckState, ALeadByteWithoutItsTrailByteDoesNotSwallowTheEscapeAfterIt) {
  // Raw, 0x91 would pair with the "\\" of the escaped CR and read back as
  // another text.
  for (const std::string& value : {std::string("C\x91\r\x01"), std::string("x\x91\\n"), std::string("end\xE0")}) {
    CheckState s;
    s.outcome = value;
    s.pending = true;
    s.pendingReport = value;
    s.alertShort = value;
    CheckState back;
    ASSERT_TRUE(ParseCheckState(FormatCheckState(s), &back));
    EXPECT_EQ(back.outcome, value);
    EXPECT_EQ(back.pendingReport, value);
    EXPECT_EQ(back.alertShort, value);
  }
  CheckState s;
  s.outcome = "\x91\r";
  EXPECT_NE(FormatCheckState(s).find("OUTCOME=\\x91\\r\r\n"), std::string::npos) << FormatCheckState(s);
}

TEST(CheckState, NegativeCountsAreWrittenAsUnknown) {
  CheckState s;
  DriveState d;
  d.freeBytes = INT64_MIN;
  d.capacity = -5;
  d.thresholdBytes = -1;
  s.drives = {d};
  const std::string text = FormatCheckState(s);
  EXPECT_EQ(text.find('-'), std::string::npos) << text;
  CheckState back;
  ASSERT_TRUE(ParseCheckState(text, &back));
  EXPECT_EQ(back.drives[0].freeBytes, -1);
  EXPECT_EQ(back.drives[0].capacity, -1);
  EXPECT_EQ(back.drives[0].thresholdBytes, -1);
}

TEST(CheckState, DamagedOrForeignTextsAreRefusedAndLeaveTheStateAsItWas) {
  const std::string good = FormatCheckState(Sample());
  auto replaced = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"settings file", "[SETTING]\r\nINTERVAL=24\r\nISMAILSEND=1\r\n"},
      {"zeros after a crash", std::string(64, '\0')},
      {"cut in the middle of a drive", good.substr(0, good.find("THRESHOLDBYTES"))},
      {"no [MAIL]", good.substr(0, good.find("[MAIL]"))},
      {"key before any section", "LOCAL=x\r\n" + good},
      {"line without =", replaced("ATTEMPTED=1", "ATTEMPTED")},
      {"flag not 0/1", replaced("ATTEMPTED=1", "ATTEMPTED=yes")},
      {"negative count", replaced("FREE=123456789012", "FREE=-123")},
      {"signed count", replaced("FREE=123456789012", "FREE=+123")},
      {"count above int64", replaced("CAPACITY=9223372036854775807", "CAPACITY=9223372036854775808")},
      {"huge count", replaced("FREE=123456789012", "FREE=99999999999999999999999999")},
      {"hex count", replaced("FREE=123456789012", "FREE=0x10")},
      {"empty failure count", replaced("FAILURES=4294967297", "FAILURES=")},
      {"negative failure count", replaced("FAILURES=4294967297", "FAILURES=-1")},
      {"blank in count", replaced("FREE=123456789012", "FREE= 12")},
      {"unknown escape", replaced("2 行目", "\\t")},
      {"lone backslash at the end", replaced("LOCAL=2026/12/09 21:04:05", "LOCAL=x\\")},
      {"repeated key", replaced("[MAIL]\r\n", "[MAIL]\r\nDELIVERED=1\r\n")},
      {"repeated section", good + "[CHECK]\r\nLOCAL=\r\nUTC=\r\nOUTCOME=\r\n"},
      {"drive letter not A-Z", replaced("[DRIVE.D]", "[DRIVE.1]")},
      {"unclosed section", replaced("[MAIL]", "[MAIL")},
  };
  for (const auto& c : cases) {
    CheckState state = Sample();
    state.outcome = "kept";
    EXPECT_FALSE(ParseCheckState(c.text, &state)) << c.name;
    EXPECT_EQ(state.outcome, "kept") << c.name;
    EXPECT_EQ(state.drives.size(), 2u) << c.name;
  }
  // A later version's extra keys and sections are skipped, not refused.
  CheckState state;
  ASSERT_TRUE(ParseCheckState(replaced("[MAIL]\r\n", "[MAIL]\r\nSERVER=mx\r\n") + "[FUTURE]\r\nX=1\r\n", &state));
  EXPECT_EQ(state.drives.size(), 2u);
}

TEST(CheckState, ThePendingMailAndTheLastAlertRoundTripAndADamagedOneIsRefused) {
  CheckState s = Sample();
  s.pending = true;
  s.pendingRecovery = false;
  s.pendingReport = "PC のローカルドライブの空き領域は以下のとおりです。\r\n\r\n表\\x\r\n";
  s.pendingComposedLocal = "2026-12-09 21:04:05";
  s.pendingComposedUtc = "2026-12-09T12:04:05Z";
  s.pendingAttempts = 3;
  s.pendingShort = "CD";
  s.alertUtc = "2026-12-08T12:00:00Z";
  s.alertShort = "C";
  s.alertOpen = true;
  const std::string text = FormatCheckState(s);
  EXPECT_NE(text.find("[ALERT]\r\nUTC=2026-12-08T12:00:00Z\r\nSHORT=C\r\nOPEN=1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[PENDINGALERT]\r\nKIND=alert\r\n"), std::string::npos) << text;
  CheckState back;
  ASSERT_TRUE(ParseCheckState(text, &back));
  ExpectSame(s, back);
  EXPECT_TRUE(back.pending);
  EXPECT_FALSE(back.pendingRecovery);
  EXPECT_EQ(back.pendingReport, s.pendingReport) << "the report as composed, line breaks and all";
  EXPECT_EQ(back.pendingComposedLocal, s.pendingComposedLocal);
  EXPECT_EQ(back.pendingComposedUtc, s.pendingComposedUtc);
  EXPECT_EQ(back.pendingAttempts, 3);
  EXPECT_EQ(back.pendingShort, "CD");
  EXPECT_EQ(back.pendingRecipients, "") << "no key: every recipient";
  EXPECT_EQ(text.find("RECIPIENTS="), std::string::npos) << "a mail for everyone writes no list";
  // A mail that reached some recipients keeps the others; a file written
  // before the key existed still loads, as a mail for everyone.
  s.pendingRecipients = "b@example.jp,c@example.jp";
  const std::string narrowed = FormatCheckState(s);
  EXPECT_NE(narrowed.find("\r\nRECIPIENTS=b@example.jp,c@example.jp\r\n"), std::string::npos) << narrowed;
  CheckState some;
  ASSERT_TRUE(ParseCheckState(narrowed, &some));
  EXPECT_EQ(some.pendingRecipients, "b@example.jp,c@example.jp");
  EXPECT_EQ(back.alertUtc, s.alertUtc);
  EXPECT_EQ(back.alertShort, "C");
  EXPECT_TRUE(back.alertOpen);

  // No pending mail and no alert ever delivered: neither section.
  const std::string plain = FormatCheckState(Sample());
  EXPECT_EQ(plain.find("[PENDINGALERT]"), std::string::npos);
  EXPECT_EQ(plain.find("[ALERT]"), std::string::npos);
  CheckState none;
  none.pending = true;
  ASSERT_TRUE(ParseCheckState(plain, &none));
  EXPECT_FALSE(none.pending);

  auto replaced = [&text](const std::string& from, const std::string& to) {
    std::string t = text;
    const size_t at = t.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return t.replace(at, from.size(), to);
  };
  for (const std::string& damaged :
       {replaced("KIND=alert", "KIND=other"), replaced("ATTEMPTS=3", "ATTEMPTS=-1"),
        replaced("ATTEMPTS=3", "ATTEMPTS="), replaced("OPEN=1", "OPEN=2"),
        text.substr(0, text.find("REPORT=")) + "[DRIVE.Z]\r\nFREE=1\r\nCAPACITY=1\r\nTHRESHOLDBYTES=1\r\nBELOW=0\r\n"}) {
    CheckState state;
    EXPECT_FALSE(ParseCheckState(damaged, &state)) << damaged;
  }
}

LocalDateTime At(int year, int month, int day, int hour, int minute, int second) {
  LocalDateTime t;
  t.year = year, t.month = month, t.day = day, t.hour = hour, t.minute = minute, t.second = second;
  return t;
}

TEST(CheckState, StampsCrossDaysAndYearsAndReadBackAsSeconds) {
  // 00:30 on 1 January at UTC+9 is the last day of the year before in UTC;
  // 23:30 on 28 February 2024 at UTC-5 is the leap day.
  EXPECT_EQ(UtcStamp(At(2025, 1, 1, 0, 30, 0), 9 * 60), "2024-12-31T15:30:00Z");
  EXPECT_EQ(UtcStamp(At(2024, 2, 28, 23, 30, 5), -5 * 60), "2024-02-29T04:30:05Z");
  EXPECT_EQ(LocalStamp(At(2024, 2, 28, 23, 30, 5)), "2024-02-28 23:30:05");
  int64_t s = -1;
  EXPECT_TRUE(UtcStampSeconds("2024-02-29T00:00:00Z", &s));
  EXPECT_EQ(s, 1709164800);
  EXPECT_TRUE(UtcStampSeconds("1970-01-01T00:00:00Z", &s));
  EXPECT_EQ(s, 0);
  EXPECT_TRUE(UtcStampSeconds(UtcStamp(At(2025, 1, 1, 0, 30, 0), 9 * 60), &s));
  EXPECT_EQ(s, 1735659000);
  for (const char* bad : {"", "2024-02-29 00:00:00", "2024-02-29T00:00:00", "2024-13-01T00:00:00Z",
                          "2024-02-29T24:00:00Z", "2024-0a-29T00:00:00Z", "2024-02-29T00:00:00Zx"})
    EXPECT_FALSE(UtcStampSeconds(bad, &s)) << bad;
}

}  // namespace
}  // namespace qw

namespace qw {
namespace {

TEST(CheckState, TheHeartbeatRoundTripsAndADamagedOneIsRefused) {
  CheckState s;
  s.checkedLocal = "2026-12-09 21:04:05";
  s.checkedUtc = "2026-12-09T12:04:05Z";
  s.outcome = "information";
  // No heartbeat ever sent: no section, and a state without one reads as none.
  EXPECT_EQ(FormatCheckState(s).find("[HEARTBEAT]"), std::string::npos);

  s.heartbeatLocal = "2026-12-09 21:04:06";
  s.heartbeatUtc = "2026-12-09T12:04:06Z";
  s.heartbeatOk = false;
  s.heartbeatFailUrl = true;
  s.heartbeatDetail = "HTTP: 接続できません\r\n(2 行目)";
  s.heartbeatSuccessLocal = "2026-12-08 21:04:06";
  s.heartbeatSuccessUtc = "2026-12-08T12:04:06Z";
  const std::string text = FormatCheckState(s);
  CheckState back;
  ASSERT_TRUE(ParseCheckState(text, &back)) << text;
  EXPECT_EQ(back.heartbeatLocal, s.heartbeatLocal);
  EXPECT_EQ(back.heartbeatUtc, s.heartbeatUtc);
  EXPECT_EQ(back.heartbeatOk, s.heartbeatOk);
  EXPECT_EQ(back.heartbeatFailUrl, s.heartbeatFailUrl);
  EXPECT_EQ(back.heartbeatDetail, s.heartbeatDetail);
  EXPECT_EQ(back.heartbeatSuccessLocal, s.heartbeatSuccessLocal);
  EXPECT_EQ(back.heartbeatSuccessUtc, s.heartbeatSuccessUtc);

  // Only a success so far in an earlier run still writes the section.
  CheckState onlySuccess;
  onlySuccess.heartbeatSuccessUtc = "2026-12-08T12:04:06Z";
  EXPECT_NE(FormatCheckState(onlySuccess).find("[HEARTBEAT]"), std::string::npos);

  struct Damage {
    const char* from;
    const char* to;
  };
  const Damage damages[] = {
      {"OK=0\r\n", "OK=no\r\n"},
      {"FAILURL=1\r\n", "FAILURL=1\r\nFAILURL=0\r\n"},
      {"DETAIL=", "DETAIL=\\q"},
  };
  for (const Damage& d : damages) {
    std::string damaged = text;
    const size_t at = damaged.find(d.from, damaged.find("[HEARTBEAT]"));
    ASSERT_NE(at, std::string::npos) << d.from;
    damaged.replace(at, std::string(d.from).size(), d.to);
    CheckState kept;
    kept.outcome = "kept";
    EXPECT_FALSE(ParseCheckState(damaged, &kept)) << damaged;
    EXPECT_EQ(kept.outcome, "kept");
  }
}

TEST(CheckState, VolumesRoundTripAndAnOldStateWithoutThemLoads) {
  CheckState s = Sample();
  VolumeState data;
  data.path = "C:\\SQLData\\表";  // a trail byte 0x5C inside the path
  data.label = "ログ";
  data.freeBytes = 5;
  data.capacity = 100;
  data.thresholdText = "10%";
  data.thresholdBytes = 10;
  data.below = true;
  data.hasTrend = true;
  data.bytesPerDay = -3221225472;
  data.forecastSeconds = 0;  // short already: the trend has reached it
  VolumeState bare;
  bare.path = "/srv/data";
  s.volumes = {data, bare};
  const std::string text = FormatCheckState(s);
  CheckState back;
  ASSERT_TRUE(ParseCheckState(text, &back)) << text;
  ASSERT_EQ(back.volumes.size(), 2u);
  EXPECT_EQ(back.volumes[0].path, data.path);
  EXPECT_EQ(back.volumes[0].label, data.label);
  EXPECT_EQ(back.volumes[0].freeBytes, 5);
  EXPECT_EQ(back.volumes[0].capacity, 100);
  EXPECT_EQ(back.volumes[0].thresholdText, "10%");
  EXPECT_EQ(back.volumes[0].thresholdBytes, 10);
  EXPECT_TRUE(back.volumes[0].below);
  EXPECT_TRUE(back.volumes[0].hasTrend);
  EXPECT_EQ(back.volumes[0].bytesPerDay, -3221225472);
  EXPECT_EQ(back.volumes[0].forecastSeconds, 0);
  EXPECT_FALSE(back.volumes[1].hasTrend);
  EXPECT_EQ(back.volumes[1].forecastSeconds, -1);
  EXPECT_EQ(back.volumes[1].path, "/srv/data");
  EXPECT_EQ(back.volumes[1].freeBytes, -1);
  EXPECT_EQ(back.volumes[1].label, "");
  EXPECT_EQ(back.drives.size(), 2u);

  // A state of an earlier version has no volume section: it loads.
  CheckState old;
  ASSERT_TRUE(ParseCheckState(FormatCheckState(Sample()), &old));
  EXPECT_TRUE(old.volumes.empty());

  const struct {
    const char* name;
    std::string text;
  } broken[] = {
      {"a volume without its path", [&] {
         std::string t = text;
         return t.erase(t.find("PATH=/srv/data\r\n"), 16);
       }()},
      {"a volume cut short", text.substr(0, text.rfind("BELOW="))},
      {"a volume not numbered", [&] {
         std::string t = text;
         return t.replace(t.find("[VOLUME.2]"), 10, "[VOLUME.x]");
       }()},
      {"a volume's forecast below zero", [&] {
         std::string t = text;
         return t.replace(t.find("FORECASTSECONDS=0"), 17, "FORECASTSECONDS=-5");
       }()},
      {"a volume's rate not a number", [&] {
         std::string t = text;
         return t.replace(t.find("FREECHANGEPERDAY=-3221225472"), 28, "FREECHANGEPERDAY=x");
       }()},
  };
  for (const auto& c : broken) {
    CheckState state;
    EXPECT_FALSE(ParseCheckState(c.text, &state)) << c.name;
  }
}

TEST(CheckState, TheTrendAndTheForecastLettersRoundTripAndAStateWithoutThemReadsAsNone) {
  CheckState s;
  s.alertUtc = "2026-12-09T12:04:05Z";
  s.alertShort = "D";
  s.alertForecast = "CE";
  s.alertOpen = true;
  s.pending = true;
  s.pendingReport = "report";
  s.pendingForecast = "C";
  DriveState c, d, e;
  c.letter = 'C';
  c.hasTrend = true;
  c.bytesPerDay = -2147483648000;
  c.forecastSeconds = 864000;
  d.letter = 'D';  // too little history
  e.letter = 'E';
  e.hasTrend = true;
  e.bytesPerDay = 0;  // flat: a trend, no forecast
  s.drives = {c, d, e};
  const std::string text = FormatCheckState(s);
  CheckState back;
  ASSERT_TRUE(ParseCheckState(text, &back)) << text;
  EXPECT_EQ(back.alertForecast, "CE");
  EXPECT_EQ(back.pendingForecast, "C");
  ASSERT_EQ(back.drives.size(), 3u);
  const bool hasTrend[] = {true, false, true};
  const int64_t perDay[] = {-2147483648000, 0, 0};
  const int64_t seconds[] = {864000, -1, -1};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back.drives[i].hasTrend, hasTrend[i]) << i;
    EXPECT_EQ(back.drives[i].bytesPerDay, perDay[i]) << i;
    EXPECT_EQ(back.drives[i].forecastSeconds, seconds[i]) << i;
  }
  // Damaged values are refused whole.
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"FREECHANGEPERDAY=-2147483648000", "FREECHANGEPERDAY=-"},
           {"FREECHANGEPERDAY=-2147483648000", "FREECHANGEPERDAY=--5"},
           {"FREECHANGEPERDAY=-2147483648000", "FREECHANGEPERDAY=99999999999999999999"},
           {"FORECASTSECONDS=864000", "FORECASTSECONDS=-3"},
           {"FORECASTSECONDS=864000", "FORECASTSECONDS=1e6"}}) {
    std::string damaged = text;
    const size_t at = damaged.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    damaged.replace(at, from.size(), to);
    CheckState untouched;
    EXPECT_FALSE(ParseCheckState(damaged, &untouched)) << to;
  }
  // Without the keys (a state of an earlier version): none.
  CheckState plain;
  plain.drives = {DriveState{}};
  CheckState plainBack;
  ASSERT_TRUE(ParseCheckState(FormatCheckState(plain), &plainBack));
  EXPECT_FALSE(plainBack.drives[0].hasTrend);
  EXPECT_EQ(plainBack.drives[0].forecastSeconds, -1);
  EXPECT_EQ(plainBack.alertForecast, "");
}

}  // namespace
}  // namespace qw

#include "common/check_state.h"

#include <cstdint>
#include <string_view>
#include <utility>

#include "platform/ascii_text.h"

namespace qw {
namespace {

const char kCrLf[] = "\r\n";

// A Shift-JIS pair: a lead byte followed by a byte of the trail range. The
// pair is copied whole by both escaping directions, so that a trail byte
// 0x5C (the "\" byte inside many kanji) is never taken for an escape.
bool IsPairAt(std::string_view text, size_t i) {
  if (i + 1 >= text.size() || !IsShiftJisLeadByte(static_cast<unsigned char>(text[i]))) return false;
  const unsigned char trail = static_cast<unsigned char>(text[i + 1]);
  return trail >= 0x40 && trail <= 0xFC && trail != 0x7F;
}

// One value on one line: CR, LF and the backslash itself are written as
// "\r", "\n" and "\\". A lead byte without its trail byte is written as
// "\xHH": raw, it would pair with the backslash of an escape after it and
// read back as another text.
std::string Escape(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsPairAt(text, i)) {
      out.append(text.substr(i, 2));
      ++i;
      continue;
    }
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (IsShiftJisLeadByte(byte)) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
      continue;
    }
    switch (text[i]) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\\': out += "\\\\"; break;
      default: out += text[i];
    }
  }
  return out;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
int HexValue(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// Escape's reverse; false for a backslash that starts no known sequence.
bool Unescape(std::string_view text, std::string* out) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsPairAt(text, i)) {
      result.append(text.substr(i, 2));
      ++i;
      continue;
    }
    if (text[i] != '\\') {
      result += text[i];
      continue;
    }
    if (i + 1 >= text.size()) return false;
    const char next = text[++i];
    if (next == 'r') result += '\r';
    else if (next == 'n') result += '\n';
    else if (next == '\\') result += '\\';
    else if (next == 'x' && i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
      result += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else return false;
  }
  *out = std::move(result);
  return true;
}

// A byte count: plain decimal digits, or nothing for a count that is not
// known (any negative value, read back as -1).
std::string CountText(int64_t count) { return count < 0 ? std::string() : std::to_string(count); }

// An optional minus sign and decimal digits.
bool ReadSigned(std::string_view text, int64_t* value) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const Result<int64_t> magnitude = ParseInteger(text, kDecimal, 0, INT64_MAX);
  if (!magnitude) return false;
  *value = negative ? -*magnitude : *magnitude;
  return true;
}

bool ReadCount(std::string_view text, int64_t* count) {
  if (text.empty()) {
    *count = -1;
    return true;
  }
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const Result<int64_t> value = ParseInteger(text, kDecimal, 0, INT64_MAX);
  if (!value) return false;
  *count = *value;
  return true;
}

bool ReadFlag(std::string_view text, bool* flag) {
  if (text != "0" && text != "1") return false;
  *flag = text == "1";
  return true;
}

void AddLine(std::string& out, const char* key, const std::string& value) {
  out += key;
  out += '=';
  out += value;
  out += kCrLf;
}

// The keys one section has read, so that a repeated key or section is a
// damaged file rather than a silent choice between two values.
struct Seen {
  std::vector<std::string> keys;
  bool Add(const std::string& key) {
    for (const auto& k : keys)
      if (k == key) return false;
    keys.push_back(key);
    return true;
  }
  bool Has(const char* key) const {
    for (const auto& k : keys)
      if (k == key) return true;
    return false;
  }
};

std::string TwoDigits(int n) { return std::string{static_cast<char>('0' + n / 10 % 10), static_cast<char>('0' + n % 10)}; }

// "yyyy-mm-dd" and the time "hh:mm:ss" joined by `between`.
std::string StampText(int year, int month, int day, int hour, int minute, int second, const char* between) {
  return std::to_string(year) + "-" + TwoDigits(month) + "-" + TwoDigits(day) + between + TwoDigits(hour) + ":" +
         TwoDigits(minute) + ":" + TwoDigits(second);
}

// Days since 1970-01-01 of a civil date and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}
void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

}  // namespace

// The local time as written in the state, and the same moment in UTC.
std::string LocalStamp(const LocalDateTime& t) {
  return StampText(t.year, t.month, t.day, t.hour, t.minute, t.second, " ");
}
std::string UtcStamp(const LocalDateTime& t, int offsetMinutes) {
  int64_t seconds = DaysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second -
                    int64_t{offsetMinutes} * 60;
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int y = 0, m = 0, d = 0;
  CivilFromDays(days, &y, &m, &d);
  return StampText(y, m, d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                   static_cast<int>(rest % 60), "T") +
         "Z";
}

// Seconds since 1970 of a "yyyy-mm-ddThh:mm:ssZ" stamp; false for any
// other text.
bool UtcStampSeconds(const std::string& text, int64_t* seconds) {
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    return false;
  auto number = [&text](size_t at, size_t n, int* out) {
    int value = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + (text[i] - '0');
    }
    *out = value;
    return true;
  };
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (!number(0, 4, &y) || !number(5, 2, &mo) || !number(8, 2, &d) || !number(11, 2, &h) ||
      !number(14, 2, &mi) || !number(17, 2, &s))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
  *seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

std::string FormatCheckState(const CheckState& state) {
  std::string out;
  out += "[CHECK]";
  out += kCrLf;
  AddLine(out, "LOCAL", Escape(state.checkedLocal));
  AddLine(out, "UTC", Escape(state.checkedUtc));
  AddLine(out, "OUTCOME", Escape(state.outcome));
  out += "[MAIL]";
  out += kCrLf;
  AddLine(out, "ATTEMPTED", state.mailAttempted ? "1" : "0");
  AddLine(out, "DELIVERED", state.mailDelivered ? "1" : "0");
  AddLine(out, "REPLY", Escape(state.mailReply));
  AddLine(out, "LASTDELIVERYLOCAL", Escape(state.lastDeliveryLocal));
  AddLine(out, "LASTDELIVERYUTC", Escape(state.lastDeliveryUtc));
  AddLine(out, "FAILURES", std::to_string(state.mailFailures < 0 ? 0 : state.mailFailures));
  if (!state.alertUtc.empty() || !state.alertShort.empty() || !state.alertForecast.empty() || state.alertOpen) {
    out += "[ALERT]";
    out += kCrLf;
    AddLine(out, "UTC", Escape(state.alertUtc));
    AddLine(out, "SHORT", Escape(state.alertShort));
    if (!state.alertForecast.empty()) AddLine(out, "FORECAST", Escape(state.alertForecast));
    AddLine(out, "OPEN", state.alertOpen ? "1" : "0");
  }
  if (state.pending) {
    out += "[PENDINGALERT]";
    out += kCrLf;
    AddLine(out, "KIND", state.pendingRecovery ? "recovery" : "alert");
    AddLine(out, "COMPOSEDLOCAL", Escape(state.pendingComposedLocal));
    AddLine(out, "COMPOSEDUTC", Escape(state.pendingComposedUtc));
    AddLine(out, "ATTEMPTS", CountText(state.pendingAttempts));
    AddLine(out, "SHORT", Escape(state.pendingShort));
    if (!state.pendingForecast.empty()) AddLine(out, "FORECAST", Escape(state.pendingForecast));
    if (!state.pendingRecipients.empty()) AddLine(out, "RECIPIENTS", Escape(state.pendingRecipients));
    AddLine(out, "REPORT", Escape(state.pendingReport));
  }
  if (!state.heartbeatUtc.empty() || !state.heartbeatSuccessUtc.empty()) {
    out += "[HEARTBEAT]";
    out += kCrLf;
    AddLine(out, "LOCAL", Escape(state.heartbeatLocal));
    AddLine(out, "UTC", Escape(state.heartbeatUtc));
    AddLine(out, "OK", state.heartbeatOk ? "1" : "0");
    AddLine(out, "FAILURL", state.heartbeatFailUrl ? "1" : "0");
    AddLine(out, "DETAIL", Escape(state.heartbeatDetail));
    AddLine(out, "SUCCESSLOCAL", Escape(state.heartbeatSuccessLocal));
    AddLine(out, "SUCCESSUTC", Escape(state.heartbeatSuccessUtc));
  }
  for (const ChannelState& channel : state.channels) {
    out += "[CHANNEL." + channel.name + "]";
    out += kCrLf;
    AddLine(out, "ATTEMPTED", channel.attempted ? "1" : "0");
    AddLine(out, "DELIVERED", channel.delivered ? "1" : "0");
    AddLine(out, "REPLY", Escape(channel.reply));
    AddLine(out, "LASTDELIVERYLOCAL", Escape(channel.lastDeliveryLocal));
    AddLine(out, "LASTDELIVERYUTC", Escape(channel.lastDeliveryUtc));
    AddLine(out, "FAILURES", std::to_string(channel.failures < 0 ? 0 : channel.failures));
    AddLine(out, "ALERTUTC", Escape(channel.alertUtc));
    AddLine(out, "ALERTSHORT", Escape(channel.alertShort));
    AddLine(out, "ALERTOPEN", channel.alertOpen ? "1" : "0");
    if (channel.pending) {
      AddLine(out, "PENDINGKIND", channel.pendingRecovery ? "recovery" : "alert");
      AddLine(out, "PENDINGCOMPOSEDLOCAL", Escape(channel.pendingComposedLocal));
      AddLine(out, "PENDINGCOMPOSEDUTC", Escape(channel.pendingComposedUtc));
      AddLine(out, "PENDINGATTEMPTS", CountText(channel.pendingAttempts));
      AddLine(out, "PENDINGSHORT", Escape(channel.pendingShort));
      AddLine(out, "PENDINGREPORT", Escape(channel.pendingReport));
    }
  }
  for (const auto& drive : state.drives) {
    out += "[DRIVE.";
    out += AsciiUpper(drive.letter);
    out += "]";
    out += kCrLf;
    AddLine(out, "FREE", CountText(drive.freeBytes));
    AddLine(out, "CAPACITY", CountText(drive.capacity));
    AddLine(out, "THRESHOLD", Escape(drive.thresholdText));
    AddLine(out, "THRESHOLDBYTES", CountText(drive.thresholdBytes));
    AddLine(out, "BELOW", drive.below ? "1" : "0");
    if (drive.hasTrend) AddLine(out, "FREECHANGEPERDAY", std::to_string(drive.bytesPerDay));
    if (drive.forecastSeconds >= 0) AddLine(out, "FORECASTSECONDS", std::to_string(drive.forecastSeconds));
  }
  for (size_t i = 0; i < state.volumes.size(); ++i) {
    const VolumeState& volume = state.volumes[i];
    out += "[VOLUME." + std::to_string(i + 1) + "]";
    out += kCrLf;
    AddLine(out, "PATH", Escape(volume.path));
    if (!volume.label.empty()) AddLine(out, "LABEL", Escape(volume.label));
    AddLine(out, "FREE", CountText(volume.freeBytes));
    AddLine(out, "CAPACITY", CountText(volume.capacity));
    AddLine(out, "THRESHOLD", Escape(volume.thresholdText));
    AddLine(out, "THRESHOLDBYTES", CountText(volume.thresholdBytes));
    AddLine(out, "BELOW", volume.below ? "1" : "0");
    if (volume.hasTrend) AddLine(out, "FREECHANGEPERDAY", std::to_string(volume.bytesPerDay));
    if (volume.forecastSeconds >= 0) AddLine(out, "FORECASTSECONDS", std::to_string(volume.forecastSeconds));
  }
  return out;
}

bool ParseCheckState(const std::string& text, CheckState* state) {
  enum class Section { None, Check, Mail, Alert, Pending, Heartbeat, Drive, Channel, Volume, Other };
  CheckState next;
  Section section = Section::None;
  Seen check, mail, alert, pending, heartbeat, drive, channel, volume;
  // A pending channel alert without its body could only send nothing.
  auto channelComplete = [&channel, &next] {
    return !next.channels.back().pending || (channel.Has("PENDINGREPORT") && !next.channels.back().pendingReport.empty());
  };
  std::vector<std::string> sections;
  // A drive section is complete when it held every key.
  auto driveComplete = [&drive] {
    return drive.Has("FREE") && drive.Has("CAPACITY") && drive.Has("THRESHOLDBYTES") && drive.Has("BELOW");
  };
  auto volumeComplete = [&volume, &next] {
    return volume.Has("PATH") && !next.volumes.back().path.empty() && volume.Has("FREE") &&
           volume.Has("CAPACITY") && volume.Has("THRESHOLDBYTES") && volume.Has("BELOW");
  };

  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;

    if (line.front() == '[') {
      if (line.back() != ']') return false;
      if (section == Section::Drive && !driveComplete()) return false;
      if (section == Section::Channel && !channelComplete()) return false;
      if (section == Section::Volume && !volumeComplete()) return false;
      const std::string name = AsciiUpperCase(line.substr(1, line.size() - 2));
      for (const auto& s : sections)
        if (s == name) return false;
      sections.push_back(name);
      if (name == "CHECK") {
        section = Section::Check;
      } else if (name == "MAIL") {
        section = Section::Mail;
      } else if (name == "ALERT") {
        section = Section::Alert;
      } else if (name == "PENDINGALERT") {
        section = Section::Pending;
        next.pending = true;
      } else if (name == "HEARTBEAT") {
        section = Section::Heartbeat;
      } else if (name.compare(0, 8, "CHANNEL.") == 0 && name.size() > 8) {
        section = Section::Channel;
        channel = Seen{};
        ChannelState c;
        c.name = name.substr(8);
        next.channels.push_back(c);
      } else if (name.compare(0, 6, "DRIVE.") == 0) {
        if (name.size() != 7 || name[6] < 'A' || name[6] > 'Z') return false;
        section = Section::Drive;
        drive = Seen{};
        DriveState d;
        d.letter = name[6];
        next.drives.push_back(d);
      } else if (name.compare(0, 7, "VOLUME.") == 0) {
        if (name.size() == 7 || name.find_first_not_of("0123456789", 7) != std::string::npos) return false;
        section = Section::Volume;
        volume = Seen{};
        next.volumes.emplace_back();
      } else {
        section = Section::Other;  // a later version's section: skipped
      }
      continue;
    }

    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    const std::string key = AsciiUpperCase(line.substr(0, equals));
    const std::string_view value = line.substr(equals + 1);
    switch (section) {
      case Section::None:
        return false;
      case Section::Other:
        break;
      case Section::Check: {
        if (!check.Add(key)) return false;
        std::string* target = key == "LOCAL"     ? &next.checkedLocal
                              : key == "UTC"     ? &next.checkedUtc
                              : key == "OUTCOME" ? &next.outcome
                                                 : nullptr;
        if (target && !Unescape(value, target)) return false;
        break;
      }
      case Section::Mail: {
        if (!mail.Add(key)) return false;
        if (key == "ATTEMPTED") {
          if (!ReadFlag(value, &next.mailAttempted)) return false;
        } else if (key == "DELIVERED") {
          if (!ReadFlag(value, &next.mailDelivered)) return false;
        } else if (key == "FAILURES") {
          if (!ReadCount(value, &next.mailFailures) || next.mailFailures < 0) return false;
        } else {
          std::string* target = key == "REPLY"               ? &next.mailReply
                                : key == "LASTDELIVERYLOCAL" ? &next.lastDeliveryLocal
                                : key == "LASTDELIVERYUTC"   ? &next.lastDeliveryUtc
                                                             : nullptr;
          if (target && !Unescape(value, target)) return false;
        }
        break;
      }
      case Section::Alert: {
        if (!alert.Add(key)) return false;
        bool ok = true;
        if (key == "UTC") ok = Unescape(value, &next.alertUtc);
        else if (key == "SHORT") ok = Unescape(value, &next.alertShort);
        else if (key == "FORECAST") ok = Unescape(value, &next.alertForecast);
        else if (key == "OPEN") ok = ReadFlag(value, &next.alertOpen);
        if (!ok) return false;
        break;
      }
      case Section::Pending: {
        if (!pending.Add(key)) return false;
        bool ok = true;
        if (key == "KIND") {
          if (value != "alert" && value != "recovery") return false;
          next.pendingRecovery = value == "recovery";
        } else if (key == "COMPOSEDLOCAL") ok = Unescape(value, &next.pendingComposedLocal);
        else if (key == "COMPOSEDUTC") ok = Unescape(value, &next.pendingComposedUtc);
        else if (key == "ATTEMPTS") ok = ReadCount(value, &next.pendingAttempts) && next.pendingAttempts >= 0;
        else if (key == "SHORT") ok = Unescape(value, &next.pendingShort);
        else if (key == "FORECAST") ok = Unescape(value, &next.pendingForecast);
        else if (key == "RECIPIENTS") ok = Unescape(value, &next.pendingRecipients);
        else if (key == "REPORT") ok = Unescape(value, &next.pendingReport);
        if (!ok) return false;
        break;
      }
      case Section::Heartbeat: {
        if (!heartbeat.Add(key)) return false;
        bool ok = true;
        if (key == "LOCAL") ok = Unescape(value, &next.heartbeatLocal);
        else if (key == "UTC") ok = Unescape(value, &next.heartbeatUtc);
        else if (key == "OK") ok = ReadFlag(value, &next.heartbeatOk);
        else if (key == "FAILURL") ok = ReadFlag(value, &next.heartbeatFailUrl);
        else if (key == "DETAIL") ok = Unescape(value, &next.heartbeatDetail);
        else if (key == "SUCCESSLOCAL") ok = Unescape(value, &next.heartbeatSuccessLocal);
        else if (key == "SUCCESSUTC") ok = Unescape(value, &next.heartbeatSuccessUtc);
        if (!ok) return false;
        break;
      }
      case Section::Channel: {
        if (!channel.Add(key)) return false;
        ChannelState& c = next.channels.back();
        bool ok = true;
        if (key == "ATTEMPTED") ok = ReadFlag(value, &c.attempted);
        else if (key == "DELIVERED") ok = ReadFlag(value, &c.delivered);
        else if (key == "REPLY") ok = Unescape(value, &c.reply);
        else if (key == "LASTDELIVERYLOCAL") ok = Unescape(value, &c.lastDeliveryLocal);
        else if (key == "LASTDELIVERYUTC") ok = Unescape(value, &c.lastDeliveryUtc);
        else if (key == "FAILURES") ok = ReadCount(value, &c.failures) && c.failures >= 0;
        else if (key == "ALERTUTC") ok = Unescape(value, &c.alertUtc);
        else if (key == "ALERTSHORT") ok = Unescape(value, &c.alertShort);
        else if (key == "ALERTOPEN") ok = ReadFlag(value, &c.alertOpen);
        else if (key == "PENDINGKIND") {
          ok = value == "alert" || value == "recovery";
          c.pending = ok;
          c.pendingRecovery = value == "recovery";
        } else if (key == "PENDINGCOMPOSEDLOCAL") ok = Unescape(value, &c.pendingComposedLocal);
        else if (key == "PENDINGCOMPOSEDUTC") ok = Unescape(value, &c.pendingComposedUtc);
        else if (key == "PENDINGATTEMPTS") ok = ReadCount(value, &c.pendingAttempts) && c.pendingAttempts >= 0;
        else if (key == "PENDINGSHORT") ok = Unescape(value, &c.pendingShort);
        else if (key == "PENDINGREPORT") ok = Unescape(value, &c.pendingReport);
        if (!ok) return false;
        break;
      }
      case Section::Drive: {
        if (!drive.Add(key)) return false;
        DriveState& d = next.drives.back();
        bool ok = true;
        if (key == "FREE") ok = ReadCount(value, &d.freeBytes);
        else if (key == "CAPACITY") ok = ReadCount(value, &d.capacity);
        else if (key == "THRESHOLD") ok = Unescape(value, &d.thresholdText);
        else if (key == "THRESHOLDBYTES") ok = ReadCount(value, &d.thresholdBytes);
        else if (key == "BELOW") ok = ReadFlag(value, &d.below);
        else if (key == "FREECHANGEPERDAY") ok = d.hasTrend = ReadSigned(value, &d.bytesPerDay);
        else if (key == "FORECASTSECONDS") ok = ReadCount(value, &d.forecastSeconds) && d.forecastSeconds >= 0;
        if (!ok) return false;
        break;
      }
      case Section::Volume: {
        if (!volume.Add(key)) return false;
        VolumeState& v = next.volumes.back();
        bool ok = true;
        if (key == "PATH") ok = Unescape(value, &v.path);
        else if (key == "LABEL") ok = Unescape(value, &v.label);
        else if (key == "FREE") ok = ReadCount(value, &v.freeBytes);
        else if (key == "CAPACITY") ok = ReadCount(value, &v.capacity);
        else if (key == "THRESHOLD") ok = Unescape(value, &v.thresholdText);
        else if (key == "THRESHOLDBYTES") ok = ReadCount(value, &v.thresholdBytes);
        else if (key == "BELOW") ok = ReadFlag(value, &v.below);
        else if (key == "FREECHANGEPERDAY") ok = v.hasTrend = ReadSigned(value, &v.bytesPerDay);
        else if (key == "FORECASTSECONDS") ok = ReadCount(value, &v.forecastSeconds) && v.forecastSeconds >= 0;
        if (!ok) return false;
        break;
      }
    }
  }
  if (section == Section::Drive && !driveComplete()) return false;
  if (section == Section::Channel && !channelComplete()) return false;
  if (section == Section::Volume && !volumeComplete()) return false;
  if (!check.Has("LOCAL") || !check.Has("UTC") || !check.Has("OUTCOME")) return false;
  if (!mail.Has("ATTEMPTED") || !mail.Has("DELIVERED")) return false;
  // A pending mail without its text could only send an empty mail.
  if (next.pending && (!pending.Has("KIND") || !pending.Has("REPORT") || next.pendingReport.empty())) return false;
  *state = std::move(next);
  return true;
}

}  // namespace qw

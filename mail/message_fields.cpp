// The mail's own fields: header words read back, uuencoded lines, padding,
// MIME boundaries, the Date header, the content type of an attachment's file
// name.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <stdexcept>

#include "mail/encodings.h"
#include "platform/ascii_text.h"
#include "platform/content_type.h"

namespace qw {

namespace {

std::string BeforeFirstZero(std::string bytes) {
  std::size_t zero = bytes.find('\0');
  if (zero != std::string::npos) bytes.resize(zero);
  return bytes;
}

}  // namespace

std::string DecodeHeaderWords(std::string_view text) {
  const std::string_view t = TrimBlanks(text);
  std::string out;
  out.reserve(t.size());
  std::size_t pos = 0;  // t[0, pos) is done; decoded bytes are final
  bool after_word = false;  // t[pos - 2, pos) closed a decoded word
  while (true) {
    std::size_t p = t.find("=?", pos);
    if (p == std::string_view::npos) break;
    std::size_t q = t.find('?', p + 2);
    if (q == std::string_view::npos) break;
    std::size_t e = t.find("?=", q + 1);
    if (e == std::string_view::npos) break;
    // A Q text that begins with "=" ends at a later "?=".
    std::size_t further = t.find('?', e + 1);
    if (further != std::string_view::npos && further + 1 < t.size() && t[further + 1] == '=') e = further;

    std::string_view inner = t.substr(q + 1, e - q - 1);
    char kind = 'Q';
    if (inner.size() >= 2 && inner[1] == '?') {
      char letter = AsciiUpper(inner[0]);
      if (letter == 'B' || letter == 'U') kind = letter;
    }
    std::string_view encoded = inner.size() > 2 ? inner.substr(2) : std::string_view();
    const std::string_view gap = t.substr(pos, p - pos);
    // Only white space between this word and a decoded one before it goes.
    const bool joins = after_word && gap.find_first_not_of(" \t\r\n") == std::string_view::npos;
    after_word = true;
    if (kind == 'B') {
      if (!joins) out.append(gap);
      out += BeforeFirstZero(DecodeBase64Text(encoded));
    } else if (kind == 'U') {
      try {
        std::string decoded = BeforeFirstZero(UUDecodeLine(encoded));
        if (!joins) out.append(gap);
        out += decoded;
      } catch (const UUDecodeError&) {
        out.append(gap);
        out.append(t.substr(p, e + 2 - p));  // not uuencode: kept as it stands
        after_word = false;
      }
    } else {
      if (!joins) out.append(gap);
      std::string underscores(encoded);
      for (char& c : underscores)
        if (c == '_') c = ' ';
      out += DecodeQuotedPrintable(underscores);
    }
    pos = e + 2;
  }
  out.append(t.substr(pos));
  return out;
}

UUDecodeError::UUDecodeError() : std::runtime_error("UUCODE message format error") {}

int UUDecodeChar(char c) {
  if (c == '`' || c == ' ') return 0;
  if (c >= '!' && c <= '_') return c - 32;
  throw UUDecodeError();
}

std::string UUDecodeLine(std::string_view line) {
  if (line.empty()) return {};
  const int count = UUDecodeChar(line[0]);
  std::string_view chars = line.substr(1);
  if (count == 45 && chars.size() > 60) chars = chars.substr(0, 60);
  std::string out;
  out.reserve(static_cast<std::size_t>(count));
  unsigned bits = 0;
  int held = 0;
  for (char c : chars) {
    bits = (bits << 6 | static_cast<unsigned>(UUDecodeChar(c))) & 0xFFFFFF;
    held += 6;
    if (held >= 8) {
      held -= 8;
      if (static_cast<int>(out.size()) < count) out += static_cast<char>((bits >> held) & 0xFF);
    }
  }
  // The bit string continues with zero bits.
  while (static_cast<int>(out.size()) < count) {
    bits = (bits << 8) & 0xFFFFFF;
    out += static_cast<char>((bits >> held) & 0xFF);
  }
  return out;
}

void UUDecodeText(std::string_view text, std::string& destination) {
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t eol = text.find("\r\n", pos);
    std::size_t end = eol == std::string_view::npos ? text.size() : eol;
    if (end > pos) destination += UUDecodeLine(text.substr(pos, end - pos));
    if (eol == std::string_view::npos) break;
    pos = eol + 2;
  }
}

std::string PadLeftTo(std::string_view text, int width, std::string_view pad) {
  std::string result(TrimLeftBlanks(text));
  const std::size_t w = width > 0 ? static_cast<std::size_t>(width) : 0;
  if (result.size() > w) return result.substr(result.size() - w);
  if (pad.empty() || result.size() >= w) return result;  // an empty pad cannot lengthen it
  std::size_t copies = (w - result.size() + pad.size() - 1) / pad.size();
  std::string padded;
  padded.reserve(copies * pad.size() + result.size());
  for (std::size_t i = 0; i < copies; ++i) padded.append(pad);
  padded += result;
  return padded;
}

namespace {

std::mt19937& MailRandom() {
  // Seeded once per process from a high-resolution clock mixed with the
  // process id, so that two processes started in the same second differ.
  static std::mt19937 generator([] {
    const auto ticks = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    std::seed_seq seed{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32),
                       CurrentProcessId(), static_cast<std::uint32_t>(std::time(nullptr))};
    std::uint32_t value = 0;
    seed.generate(&value, &value + 1);
    return value;
  }());
  return generator;
}

}  // namespace

std::uint32_t NextMailRandom() { return static_cast<std::uint32_t>(MailRandom()()); }

void SeedMailRandom(std::uint32_t seed) { MailRandom().seed(seed); }

std::string BoundaryText(std::uint32_t number) {
  char hex[9];
  std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(number));
  return "boundary" + PadLeftTo(hex, 8, "0");
}

std::string NewBoundary() { return BoundaryText(NextMailRandom()); }

double LocalUtcOffsetFromMinutes(int offsetMinutes) { return offsetMinutes / 1440.0; }

double LocalUtcOffset(SystemInfo& system) { return LocalUtcOffsetFromMinutes(system.UtcOffsetMinutes()); }

namespace {

// 0 = Sunday, for a date of the proleptic Gregorian calendar.
int DayOfWeek(int year, int month, int day) {
  static constexpr int kMonthShift[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) year -= 1;
  int w = (year + year / 4 - year / 100 + year / 400 + kMonthShift[month - 1] + day) % 7;
  return w < 0 ? w + 7 : w;
}

}  // namespace

std::string DateHeaderText(const LocalDateTime& when, int utcOffsetMinutes) {
  static constexpr const char* kDayNames = "Sun,Mon,Tue,Wed,Thu,Fri,Sat,";
  static constexpr const char* kMonthNames = "Jan,Feb,Mar,Apr,May,Jun,Jul,Aug,Sep,Oct,Nov,Dec,";
  const bool valid_month = when.month >= 1 && when.month <= 12;
  const int month = valid_month ? when.month : 1;
  int weekday = valid_month ? DayOfWeek(when.year, month, when.day) : when.dayOfWeek;
  if (weekday < 0 || weekday > 6) weekday = 0;
  std::string zone;
  if (utcOffsetMinutes == 0) {
    zone = "GMT";
  } else {
    long long magnitude = utcOffsetMinutes < 0 ? -static_cast<long long>(utcOffsetMinutes) : utcOffsetMinutes;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c%02lld%02lld", utcOffsetMinutes < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    zone = buf;
  }
  char text[96];
  std::snprintf(text, sizeof text, "%.3s, %02d %.3s %04d %02d:%02d:%02d ", kDayNames + weekday * 4, when.day,
                kMonthNames + (month - 1) * 4, when.year, when.hour, when.minute, when.second);
  return text + zone;
}

std::string DateHeaderText(const LocalDateTime& when, SystemInfo& system) {
  return DateHeaderText(when, system.UtcOffsetMinutes());
}

std::string ContentTypeOfFile(std::string_view fileName) {
  // The extension runs from the last '.' of the name, not of a folder.
  std::size_t dot = fileName.find_last_of(".\\/:");
  if (dot != std::string_view::npos && fileName[dot] == '.') {
    std::string type = RegisteredContentType(std::string(fileName.substr(dot)));
    if (!type.empty()) return type;
  }
  return "application/octet-stream";
}

}  // namespace qw

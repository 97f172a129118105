// Header line routines: byte-wise, ASCII-only case handling, one pass each.
#include "mail/header_lines.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "platform/ascii_text.h"

namespace qw {
namespace {

constexpr char kBlank = ' ';

// The line trimmed and ended with one ";" (the form the parameter scan works on).
std::string ParamScanText(std::string_view line) {
  std::string text(TrimBlanks(line));
  if (text.empty() || text.back() != ';') text += ';';
  return text;
}

// Position of the first colon outside double quotes, or npos.
std::size_t FirstColonOutsideQuotes(std::string_view line) {
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    else if (!quoted && line[i] == ':') return i;
  }
  return std::string_view::npos;
}

// Position of the first semicolon outside double quotes at or after `from`,
// which must be outside quotes itself, or the size of the line: the end of
// the value that starts there.
std::size_t ValueEnd(std::string_view line, std::size_t from) {
  bool quoted = false;
  for (std::size_t i = from; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    else if (!quoted && line[i] == ';') return i;
  }
  return line.size();
}

}  // namespace

int FindHeaderLine(const std::vector<std::string>& lines, std::string_view prefix, int occurrence) {
  int seen = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (!StartsWithCaseless(line, prefix)) continue;
    if (seen == occurrence) return static_cast<int>(i);
    ++seen;
  }
  return -1;
}

std::string FieldValue(std::string_view line) {
  std::size_t colon = FirstColonOutsideQuotes(line);
  if (colon == std::string_view::npos) return {};
  const std::size_t end = ValueEnd(line, colon + 1);
  return std::string(StripQuotes(TrimBlanks(line.substr(colon + 1, end - colon - 1))));
}

std::string ReplaceFieldValue(std::string_view line, std::string_view value) {
  std::size_t colon = FirstColonOutsideQuotes(line);
  if (colon == std::string_view::npos) return std::string(line);
  const std::size_t start = colon + 1;
  const std::size_t end = ValueEnd(line, colon + 1);
  std::string_view trimmed = TrimBlanks(value);
  std::string result;
  result.reserve(line.size() + trimmed.size() + 1);
  result.append(line.substr(0, start));
  result += kBlank;
  result.append(trimmed);
  result.append(line.substr(end));
  return result;
}

namespace {

// The scan shared by FieldParam and ReplaceFieldParam over the ';'-terminated
// text: calls on_value(begin, end) for the value of every parameter whose
// name matches `param`; stops early when on_value returns false.
template <typename OnValue>
void ScanParams(std::string_view text, std::string_view param, OnValue on_value) {
  enum Stage { kBeforeColon, kMainValue, kParams } stage = kBeforeColon;
  std::string_view wanted = TrimBlanks(param);
  bool quoted = false;
  bool match = false;
  std::size_t name_begin = 0;  // the name is text[name_begin, i) when no match
  std::size_t value_begin = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      quoted = !quoted;
      continue;  // taken: part of the value or the name
    }
    if (quoted) continue;
    if (c == ':' && stage == kBeforeColon) {
      stage = kMainValue;
    } else if (c == ';' && stage != kBeforeColon) {
      if (match && !on_value(value_begin, i)) return;
      stage = kParams;
      match = false;
      name_begin = i + 1;
    } else if (c == '=' && stage == kParams) {
      // While the match flag is set the bytes went to the value, so the name
      // seen here is empty.
      std::string_view name = match ? std::string_view() : text.substr(name_begin, i - name_begin);
      if (match && !on_value(value_begin, i)) return;
      match = EqualsCaseless(TrimBlanks(name), wanted);
      name_begin = i + 1;
      value_begin = i + 1;
    }
  }
  if (match) on_value(value_begin, text.size());
}

}  // namespace

std::string FieldParam(std::string_view line, std::string_view param) {
  std::string text = ParamScanText(line);
  std::string result;
  // Bytes of a matching parameter run from after its '=' to the next ';' or
  // '=' outside quotes; a colon there is taken like any other byte.
  ScanParams(text, param, [&](std::size_t begin, std::size_t end) {
    result.append(text, begin, end - begin);
    return true;
  });
  return std::string(StripQuotes(TrimBlanks(result)));
}

std::string ReplaceFieldParam(std::string_view line, std::string_view param, std::string_view value) {
  std::string text = ParamScanText(line);
  // The value of the first matching parameter runs to the next ';' outside
  // quotes: an '=' inside it belongs to it.
  std::size_t found_begin = std::string::npos;
  ScanParams(text, param, [&](std::size_t begin, std::size_t) {
    found_begin = begin;
    return false;
  });
  std::size_t found_end = found_begin == std::string::npos ? 0 : ValueEnd(text, found_begin);
  text.pop_back();  // the ';' that closed the scan text
  std::string_view new_value = TrimBlanks(value);
  if (found_begin != std::string::npos) {
    if (found_end > text.size()) found_end = text.size();
    if (found_begin > found_end) found_begin = found_end;
    text.replace(found_begin, found_end - found_begin, new_value);
    return text;
  }
  std::string result(TrimBlanks(text));
  result += "; ";
  result.append(TrimBlanks(param));
  result += '=';
  result.append(new_value);
  return result;
}

std::string NormalizeHeaderLine(std::string_view line) {
  std::size_t colon = line.find(':');
  std::size_t name_end = colon == std::string_view::npos ? line.size() : colon + 1;
  std::string name;
  name.reserve(name_end);
  for (std::size_t i = 0; i < name_end; ++i) {
    char c = line[i];
    if (i == 0 || line[i - 1] == '-') {
      c = AsciiUpper(c);
    } else if ((c == 'd' || c == 'D') && name.size() >= 2 && name[name.size() - 2] == '-' &&
               name.back() == 'I' && i + 1 < line.size() && line[i + 1] == ':') {
      c = 'D';
    } else {
      c = AsciiLower(c);
    }
    name += c;
  }
  std::string value;
  value.reserve(line.size() - name_end);
  bool quoted = false;
  for (std::size_t i = name_end; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      quoted = !quoted;
      value += c;
    } else if (!quoted && c == kBlank) {
      while (!value.empty() && value.back() == kBlank) value.pop_back();
      value += kBlank;
    } else {
      value += c;
    }
  }
  std::string result(TrimBlanks(name));
  result += kBlank;
  result.append(TrimBlanks(value));
  return result;
}

namespace {

constexpr std::size_t kFoldWidth = 72;
constexpr std::size_t kTabLowerBound = 36;

bool IsBreakByte(char c) { return c == ' ' || c == ',' || c == ';'; }

// The name of a header line for an error text: up to its colon, at most 40
// bytes.
std::string LineName(std::string_view line) {
  std::size_t colon = line.find(':');
  std::string_view name = line.substr(0, colon == std::string_view::npos ? line.size() : colon);
  return std::string(name.substr(0, 40));
}

// Folds one unbroken line into `out`. A line is broken before a blank (which
// then starts the continuation line: unfolding gives the line back as it
// was) or after a ',' or ';' (the continuation line then starts with an added
// blank), never inside a quoted stretch. The first piece keeps the name, its
// colon and the blank after it; a line that starts with a TAB keeps at least
// 35 bytes. A piece ends at the last break place within kFoldWidth bytes;
// where there is none, at the first one after; where that still leaves a
// line of more than kMaxHeaderLineBytes, at a blank inside a quoted stretch.
// Throws std::length_error when some piece cannot be brought within that
// limit.
void FoldLine(std::string_view line, std::string& out, std::vector<unsigned char>& quoted) {
  if (line.size() <= kFoldWidth) {
    out.append(line);
    out += "\r\n";
    return;
  }
  // Quoted stretches are recognised going backwards from the end of the line.
  // The rest left after a break is a suffix of the line, so one backward pass
  // serves every piece.
  quoted.assign(line.size(), 0);
  char open = 0;
  for (std::size_t i = line.size(); i-- > 0;) {
    char c = line[i];
    if (open) {
      quoted[i] = 1;
      if (c == open) open = 0;
    } else if (c == '"' || c == '\'') {
      quoted[i] = 1;
      open = c;
    }
  }
  auto fail = [&] {
    throw std::length_error("header line \"" + LineName(line) + "\" cannot be folded into lines of at most " +
                            std::to_string(kMaxHeaderLineBytes) + " bytes");
  };
  // The first piece: nothing before the name's colon and the blank after it.
  std::size_t lower;  // first index at which a break byte may be taken
  if (line[0] == '\t') {
    lower = kTabLowerBound - 1;
  } else {
    std::size_t colon = line.find(':');
    lower = colon == std::string_view::npos ? 1 : colon + 1;
    if (lower < line.size() && line[lower] == ' ') ++lower;
  }
  std::size_t start = 0;  // the current piece is line[start, end of line)
  std::size_t lead = 0;   // bytes written before it on its line (an added blank)
  while (lead + line.size() - start > kFoldWidth) {
    // Output length of the piece when it ends at break byte i.
    auto length_at = [&](std::size_t i) { return lead + i - start + (line[i] == ' ' ? 0 : 1); };
    std::size_t brk = std::string_view::npos;
    // 1-based position of the break byte on its output line within the width.
    const std::size_t last = start + kFoldWidth - 1 - lead;
    for (std::size_t i = std::min(last, line.size() - 1) + 1; i-- > lower;) {
      if (!quoted[i] && IsBreakByte(line[i])) {
        brk = i;
        break;
      }
    }
    if (brk == std::string_view::npos) {
      // None within the width: the first one after it keeps the line short.
      for (std::size_t i = std::max(lower, last + 1); i < line.size(); ++i) {
        if (!quoted[i] && IsBreakByte(line[i])) {
          brk = i;
          break;
        }
      }
    }
    // A ',' or ';' followed by a blank breaks before the blank instead: the
    // same first line, and nothing added to the next.
    if (brk != std::string_view::npos && line[brk] != ' ' && brk + 1 < line.size() && line[brk + 1] == ' ' &&
        !quoted[brk + 1])
      ++brk;
    const bool tooLong = brk == std::string_view::npos ? lead + line.size() - start > kMaxHeaderLineBytes
                                                       : length_at(brk) > kMaxHeaderLineBytes;
    if (tooLong) {
      // Last resort: a blank inside a quoted stretch. Folding keeps the blank,
      // so unfolding gives the quoted text back unchanged.
      brk = std::string_view::npos;
      for (std::size_t i = std::min(last, line.size() - 1) + 1; i-- > lower;) {
        if (line[i] == ' ') {
          brk = i;
          break;
        }
      }
      for (std::size_t i = std::max(lower, last + 1); brk == std::string_view::npos && i < line.size(); ++i)
        if (line[i] == ' ') brk = i;
      if (brk == std::string_view::npos || length_at(brk) > kMaxHeaderLineBytes) fail();
    }
    if (brk == std::string_view::npos) break;  // the rest is one line
    if (line[brk] == ' ') {
      out.append(line.substr(start, brk - start));
      out += "\r\n";
      start = brk;
      lead = 0;
    } else {
      out.append(line.substr(start, brk + 1 - start));
      out += "\r\n ";
      start = brk + 1;
      lead = 1;
    }
    // A continuation line needs a byte that is not a blank or TAB before
    // its own first break.
    lower = start;
    while (lower < line.size() && (line[lower] == ' ' || line[lower] == '\t')) ++lower;
    ++lower;
  }
  if (lead + line.size() - start > kMaxHeaderLineBytes) fail();
  out.append(line.substr(start));
  out += "\r\n";
}

}  // namespace

std::string FoldHeaders(std::string_view text) {
  // Line breaks of any kind become CR LF; trailing ones are dropped.
  std::string norm;
  norm.reserve(text.size() + text.size() / 16 + 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      norm += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      norm += "\r\n";
    } else {
      norm += c;
    }
  }
  while (norm.size() >= 2 && norm[norm.size() - 2] == '\r' && norm.back() == '\n') norm.resize(norm.size() - 2);

  std::string out;
  if (norm.empty()) return out;
  out.reserve(norm.size() + norm.size() / 32 + 2);
  std::vector<unsigned char> quoted;
  std::string_view all(norm);
  std::size_t pos = 0;
  while (true) {
    std::size_t eol = all.find("\r\n", pos);
    if (eol == std::string_view::npos) {
      FoldLine(all.substr(pos), out, quoted);
      break;
    }
    FoldLine(all.substr(pos, eol - pos), out, quoted);
    pos = eol + 2;
  }
  return out;
}

}  // namespace qw

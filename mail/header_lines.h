// Routines that know the syntax of one header line of a mail message: finding
// a line by its name, reading and replacing its main value and its
// parameters, bringing a parsed line into canonical form, and folding header
// lines for output.
//
// All routines are stateless and work on byte strings (Shift-JIS text is never
// converted). Letter case is compared and changed for the ASCII letters only,
// byte by byte, and "blank" means byte 32 only (the rules of
// platform/ascii_text.h). A header line is one unfolded line
// "Name: value; param=value; ...". Double quotes enclose stretches in which
// ':', ';' and '=' have no meaning. Every routine is linear in its input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qw {

// Index of the line number `occurrence` (0-based) whose first bytes equal
// `prefix`, ASCII case ignored; a line shorter than `prefix` never matches.
// -1 when there are fewer matches.
int FindHeaderLine(const std::vector<std::string>& lines, std::string_view prefix,
                   int occurrence = 0);

// The main value: the bytes after the first colon outside double quotes up to
// the next semicolon outside double quotes, trimmed, with one enclosing pair
// of double quotes removed. Empty for a line without a colon.
std::string FieldValue(std::string_view line);

// `line` with the bytes between its first colon (outside quotes) and the next
// semicolon outside quotes (or the end) replaced by " " + TrimBlanks(value).
// Parameters stay. A line without a colon outside quotes comes back unchanged.
std::string ReplaceFieldValue(std::string_view line, std::string_view value);

// The value of parameter `param` (name compared trimmed, ASCII case ignored),
// trimmed, with one enclosing pair of double quotes removed; empty when the
// line has no such parameter. A parameter given twice yields both values
// concatenated.
std::string FieldParam(std::string_view line, std::string_view param);

// `line` (trimmed) with parameter `param` set to TrimBlanks(value): an
// existing parameter's value is replaced in place, otherwise
// "; " + param + "=" + value is appended.
std::string ReplaceFieldParam(std::string_view line, std::string_view param,
                              std::string_view value);

// Canonical form of a parsed line: the name (up to and including the first
// colon) cased as "Content-Type" / "Message-ID", runs of blanks outside double
// quotes in the value collapsed to one, result = name trimmed + " " + value
// trimmed. A line without a colon is all name and ends in a blank.
std::string NormalizeHeaderLine(std::string_view line);

// The longest line RFC 5322 allows, CR LF not counted; servers refuse longer
// ones.
constexpr std::size_t kMaxHeaderLineBytes = 998;

// Folds a header text (lines separated by CR LF, lone CR or lone LF): lines of
// more than 72 bytes are broken at a blank, ',' or ';' outside quoted
// stretches (double quotes or apostrophes), never inside the name, its colon
// and the blank after it, and not before position 36 of a line that starts
// with a TAB. A break at a blank puts CR LF before the blank, which starts
// the continuation line (unfolding gives the line back unchanged); a break
// after ',' or ';' adds a blank at the start of the continuation line. A
// piece ends at the last such place within 72 bytes, or where there is none,
// at the first one after; a blank inside a quoted stretch is taken only when
// nothing else keeps the line within kMaxHeaderLineBytes. Every output line, the last one included, ends in
// CR LF; trailing empty lines are dropped. An empty text gives an empty
// result. Throws std::length_error naming the header when a line cannot be
// folded into lines of at most kMaxHeaderLineBytes bytes.
std::string FoldHeaders(std::string_view text);

}  // namespace qw

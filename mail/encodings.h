// Text and header encodings of the mail module: encoded header words
// (RFC 2047) with quoted-printable and base64, quoted-printable for a text
// part, base64 for a body, uudecoding of old-style attachments, the text of a
// "Date" header, multipart boundaries and the MIME type of a file name.
//
// All routines work on byte strings; Shift-JIS text is converted only by
// EncodeHeaderWord when its charset label is iso-2022-jp. Every routine is
// linear in its input. Where a routine departs from the RFCs, its comment says
// how; the departures are deliberate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/system_info.h"

namespace qw {

// Quoted-printable. A byte is written as "=XX" (upper-case hex) when it is
// 128 or more or '='; in header mode also when it is 32 or less, '"' or '_'.
// Body mode appends the soft break "=\r\n" whenever the current output line
// reaches 72 bytes (a written CR resets the count; LF counts as a byte); CR,
// LF, blanks and tabs are written unchanged. Header mode adds no breaks.
std::string EncodeQuotedPrintable(std::string_view text, bool headerMode);
// The same into `destination`, which is emptied first (its memory is reused).
void EncodeQuotedPrintableTo(std::string& destination, std::string_view text, bool headerMode);

// `text` unchanged when it has no byte of 128 or more and none below 32;
// otherwise the whole text as encoded words "=?" + charset + "?B?" / "?Q?" +
// ... + "?=" separated by one blank (the header line is stored unfolded;
// FoldHeaders breaks it at these blanks). Every word is at most 75 bytes
// (RFC 2047) and ends between two characters, never inside one. With the
// label iso-2022-jp (ASCII case ignored) the Shift-JIS text is converted to
// ISO-2022-JP and written in base64 ("B"); every word is ISO-2022-JP of its
// own, starting in ASCII and switching back to ASCII (ESC ( B) before it
// ends. Other labels keep the bytes and write "Q" with every byte but
// letters, digits and "!*+-/" as =XX; shift_jis (and its aliases), euc-jp,
// utf-8 and the Chinese and Korean double-byte sets keep their characters
// whole, any other label is taken as one byte per character. No word holds
// a "?", blank, comma, semicolon or quote. `lineStart` is the number of bytes
// before the value on its line ("Subject: " is 9): the first word is kept
// short enough for that line to stay within 76 bytes where a character
// fits. Throws std::length_error when the charset label is too long for any
// character to fit a word.
std::string EncodeHeaderWord(std::string_view text, std::string_view charset,
                             std::size_t lineStart = 0);

// A display name for an address line (a phrase): printable ASCII without '"'
// and '\\' comes back inside double quotes; any other text becomes encoded
// words as EncodeHeaderWord writes them, without quotes (RFC 2047 forbids
// encoded words inside a quoted string).
std::string EncodeHeaderPhrase(std::string_view text, std::string_view charset,
                               std::size_t lineStart = 0);

// "=XX" (upper-case hex only) becomes the byte; "=" + CR LF, LF CR, lone CR or
// lone LF is a soft break and removed; a final "=" is removed; any other "="
// stays.
std::string DecodeQuotedPrintable(std::string_view text);

// Base64 in groups of four characters; '=' in place 3 or 4 shortens the group;
// a character outside the alphabet keeps the value its place had in the
// previous group; an incomplete last group gives nothing.
std::string DecodeBase64Text(std::string_view text);

// `text` trimmed, with every encoded word "=?charset?X?...?=" replaced by its
// decoded bytes (B: base64, U: uuencoded line, anything else: Q). The charset
// is not used; no conversion takes place. White space (blanks, tabs, CR, LF)
// between two decoded words is dropped (RFC 2047, section 6.2), so a text
// split into several words reads back whole; other blanks stay.
// Decoded bytes are final: they are not searched for encoded words again. A U
// word that is not valid uuencode is kept as it stands. Never throws.
std::string DecodeHeaderWords(std::string_view text);

// Base64 of `source` into `destination` (emptied first), 76 characters per
// line, every line (the last one included) ending in CR LF. An empty source
// gives an empty destination. Returns the size of `destination`.
std::size_t EncodeBase64Stream(std::string& destination, std::string_view source);
// The same, returned.
std::string EncodeBase64Lines(std::string_view source);

// The error of uudecoding; what() is "UUCODE message format error".
class UUDecodeError : public std::runtime_error {
 public:
  UUDecodeError();
};

// Value 0..63 of `c` in the uuencode alphabet ('`' is 0, '!'..'_' are 1..63,
// a blank counts as 0). Throws UUDecodeError for any other character.
int UUDecodeChar(char c);
// The bytes of one uuencoded line: the first character gives the count N, the
// following characters (exactly 60 when N is 45, else all the rest) the bits.
std::string UUDecodeLine(std::string_view line);
// Decodes every non-empty CR LF separated line of `text` and appends the
// bytes to `destination`.
void UUDecodeText(std::string_view text, std::string& destination);

// Leading blanks removed; a longer result is cut to its last `width` bytes; a
// shorter one gets `pad` put in front until it is at least `width` bytes.
std::string PadLeftTo(std::string_view text, int width, std::string_view pad);

// The mail pseudo-random generator (seeded once per process from the
// clock), shared by boundaries and message identifiers. Not thread-safe.
std::uint32_t NextMailRandom();
// Reseeds the generator (tests use it for reproducible values).
void SeedMailRandom(std::uint32_t seed);

// "boundary" + 8 upper-case hex digits of the next random number: 16 bytes.
std::string NewBoundary();
// The same for a given number.
std::string BoundaryText(std::uint32_t number);

// The local offset from UTC as a fraction of a day, positive east of UTC.
double LocalUtcOffset(SystemInfo& system);
double LocalUtcOffsetFromMinutes(int offsetMinutes);

// RFC 5322 date text of a local date and time: "Tue, 23 Jun 2009 10:33:15
// +0900"; the zone is "GMT" for offset 0, else +hhmm / -hhmm. The day name is
// computed from the date. The offset is taken now, not for `when`.
std::string DateHeaderText(const LocalDateTime& when, int utcOffsetMinutes);
std::string DateHeaderText(const LocalDateTime& when, SystemInfo& system);

// The MIME type registered for the extension of `fileName` (from its last
// '.', the dot included); "application/octet-stream" when none is known.
std::string ContentTypeOfFile(std::string_view fileName);

}  // namespace qw

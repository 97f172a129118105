// Message assembly: parsing a source text into the part tree (header block,
// multipart bodies, uuencoded files), rebuilding a multipart body and the
// complete text of a part.
//
// The source is scanned in place through string_views; each part's body is
// copied into its stream in one piece. Nested parts parse the stretch of the
// source their parent cut out for them.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "mail/encodings.h"
#include "mail/header_lines.h"
#include "mail/mail_message.h"
#include "platform/ascii_text.h"

namespace qw {

namespace {

constexpr std::string_view kPreamble = "This is a multipart message in mime format.\r\n";
constexpr std::string_view kUuBegin = "begin 6";
constexpr std::string_view kUuEnd = "end";

// Deeper multiparts are kept as plain bodies: the text stays whole in the body
// of the part at this depth, and the stack stays bounded whatever the input.
constexpr int kMaxPartDepth = 64;

// One line of a source text: [offset, end) without its CR LF; the next line
// starts at `next` (the size of the text after the last line).
struct Line {
  std::size_t offset = 0;
  std::size_t end = 0;
  std::size_t next = 0;
  std::string_view Text(std::string_view data) const { return data.substr(offset, end - offset); }
};

// Position of the first CR LF at or after `from`, or npos.
std::size_t FindCrLf(std::string_view data, std::size_t from) {
  while (from < data.size()) {
    const void* p = std::memchr(data.data() + from, '\r', data.size() - from);
    if (p == nullptr) return std::string_view::npos;
    std::size_t i = static_cast<std::size_t>(static_cast<const char*>(p) - data.data());
    if (i + 1 < data.size() && data[i + 1] == '\n') return i;
    from = i + 1;
  }
  return std::string_view::npos;
}

// The line starting at `offset` (which must be below the size of the text).
Line ReadLine(std::string_view data, std::size_t offset) {
  Line line;
  line.offset = offset;
  std::size_t crlf = FindCrLf(data, offset);
  if (crlf == std::string_view::npos) {
    line.end = data.size();
    line.next = data.size();
  } else {
    line.end = crlf;
    line.next = crlf + 2;
  }
  return line;
}

// Whether `p` points into a buffer owned by `part` or its sub-parts.
bool PointsInto(const char* p, const std::string& s) {
  std::less<const char*> less;
  return !s.empty() && !less(p, s.data()) && less(p, s.data() + s.size());
}

}  // namespace

// Parses one source text into one part. A parser exists for the duration of
// one ParseText call on one part; nested parts get parsers of their own.
class TMailPart::Parser {
 public:
  Parser(TMailPart& part, std::string_view data, int depth)
      : FPart(part),
        FMessage(*part.FOwnerMessage),
        FData(data),
        FDepth(depth),
        FNotify(&part == part.FOwnerMessage && static_cast<bool>(FMessage.OnProgress)) {}

  void Run(bool hasHeaderBlock) {
    if (FNotify) FMessage.NotifyProgress(Total(), 0);

    std::size_t bodyStart = hasHeaderBlock ? ReadHeaderBlock() : 0;

    // Kind of body and the delimiter that ends the text before the parts.
    enum class Kind { Plain, Multipart, UuEncoded } kind = Kind::Plain;
    std::string delimiter;
    if (FDepth < kMaxPartDepth) {
      if (StartsWithCaseless(FPart.HeaderValue("Content-Type"), "multipart/")) {
        kind = Kind::Multipart;
        delimiter = "--" + FPart.Boundary();
      } else if (!FPart.HasHeader("Content-Type")) {
        kind = Kind::UuEncoded;
        delimiter = kUuBegin;
      }
    }

    std::size_t stop = FData.size();
    if (kind != Kind::Plain) stop = FindLineStartingWith(bodyStart, delimiter);
    if (kind == Kind::Plain && FNotify) NotifyLinesUpTo(bodyStart, FData.size());
    if (bodyStart < stop) FPart.BodyStream.assign(FData.data() + bodyStart, stop - bodyStart);

    if (stop < FData.size()) {
      if (kind == Kind::Multipart) {
        CutParts(stop, delimiter);
      } else if (kind == Kind::UuEncoded) {
        ConvertUuBlocks(stop);
      }
    }
    if (FNotify) FMessage.NotifyProgress(Total(), Total());
  }

 private:
  int64_t Total() const { return static_cast<int64_t>(FData.size()); }

  Line Next(std::size_t offset) {
    Line line = ReadLine(FData, offset);
    if (FNotify) FMessage.NotifyProgress(Total(), static_cast<int64_t>(offset) + 1);
    return line;
  }

  // Reads lines up to the first empty line or the end of the text into the
  // header; returns the offset of the first body line.
  std::size_t ReadHeaderBlock() {
    std::vector<std::string>& lines = FPart.HeaderLines;
    std::size_t pos = 0;
    while (pos < FData.size()) {
      Line line = Next(pos);
      pos = line.next;
      if (line.end == line.offset) break;
      std::string_view text = line.Text(FData);
      if ((text[0] == '\t' || text[0] == ' ') && !lines.empty()) {
        lines.back() += ' ';
        lines.back().append(text.substr(1));
      } else {
        lines.emplace_back(text);
      }
    }
    for (auto& line : lines) line = NormalizeHeaderLine(line);
    return pos;
  }

  // Offset of the first line at or after `from` (a line start) that begins
  // with `prefix`, or the size of the text.
  std::size_t FindLineStartingWith(std::size_t from, std::string_view prefix) {
    // A line never holds a CR LF.
    if (FindCrLf(prefix, 0) != std::string_view::npos) {
      if (FNotify) NotifyLinesUpTo(from, FData.size());
      return FData.size();
    }
    if (FNotify) {
      for (std::size_t pos = from; pos < FData.size();) {
        Line line = Next(pos);
        if (line.Text(FData).starts_with(prefix)) return pos;
        pos = line.next;
      }
      return FData.size();
    }
    if (from >= FData.size()) return FData.size();
    if (LineAtStartsWith(from, prefix)) return from;
    std::string pattern = "\r\n";
    pattern.append(prefix);
    for (std::size_t at = FData.find(pattern, from); at != std::string_view::npos;
         at = FData.find(pattern, at + 1)) {
      if (LineAtStartsWith(at + 2, prefix)) return at + 2;
    }
    return FData.size();
  }

  // Whether the line that starts at `pos` begins with `prefix` (which holds
  // no CR LF): the bytes match and the prefix does not run into the line's
  // own CR LF, as a prefix ending in CR would when a LF follows it.
  bool LineAtStartsWith(std::size_t pos, std::string_view prefix) const {
    if (!FData.substr(pos).starts_with(prefix)) return false;
    const std::size_t after = pos + prefix.size();
    return prefix.empty() || prefix.back() != '\r' || after >= FData.size() || FData[after] != '\n';
  }

  // Notifies the lines of [from, to) as read.
  void NotifyLinesUpTo(std::size_t from, std::size_t to) {
    for (std::size_t pos = from; pos < to;) pos = Next(pos).next;
  }

  // Cuts the text from the first delimiter line (at `first`) at every line
  // that begins with `delimiter`; the text between two such lines becomes a
  // sub-part. The text after the last one is dropped.
  void CutParts(std::size_t first, const std::string& delimiter) {
    const std::string boundary = FPart.Boundary();
    Line delimiterLine = ReadLine(FData, first);
    std::size_t partStart = delimiterLine.next;
    while (partStart < FData.size()) {
      std::size_t at = FindLineStartingWith(partStart, delimiter);
      if (at >= FData.size()) {
        // No closing delimiter line: the unterminated rest is dropped.
        break;
      }
      if (partStart < at) {
        // At least one line lies between; the CR LF before `at` is excluded.
        ParseSubPart(FData.substr(partStart, at - 2 - partStart), true, boundary);
      }
      partStart = ReadLine(FData, at).next;
    }
  }

  void ParseSubPart(std::string_view text, bool hasHeaderBlock, const std::string& boundary) {
    auto sub = std::make_unique<TMailPart>(FPart.FOwnerMessage);
    sub->FParentPart = &FPart;
    sub->ParseAt(text, hasHeaderBlock, FDepth + 1);
    sub->ParentBoundary = boundary;
    FPart.FSubParts.FItems.push_back(std::move(sub));
  }

  // Turns a plain part whose body holds uuencoded blocks (the first begins at
  // `first`) into a multipart: a quoted-printable text part with the text
  // before the first block, then one base64 attachment per block.
  void ConvertUuBlocks(std::size_t first) {
    const std::string boundary = BoundaryText(FMessage.NextRandom());
    const std::string quoted = "\"" + boundary + "\"";

    ParseSubPart(EncodeQuotedPrintable(FPart.BodyStream, false), false, boundary);
    TMailPart& text = *FPart.FSubParts.FItems.back();
    text.SetHeaderValue("Content-Type", "text/plain");
    text.SetHeaderParam("Content-Type", "charset", "\"" + FMessage.Charset + "\"");
    text.SetHeaderValue("Content-Transfer-Encoding", "quoted-printable");

    FPart.SetHeaderValue("Content-Type", "");
    FPart.SetHeaderValue("Content-Type", "multipart/mixed");
    FPart.SetHeaderParam("Content-Type", "boundary", quoted);

    std::size_t pos = first;
    while (pos < FData.size()) {
      std::size_t begin = FindLineStartingWith(pos, kUuBegin);
      if (begin >= FData.size()) break;  // text after the last block is dropped
      Line beginLine = ReadLine(FData, begin);
      std::string_view beginText = beginLine.Text(FData);
      std::string fileName =
          beginText.size() > 10 ? std::string(TrimBlanks(beginText.substr(10, 999))) : std::string();

      // The block's lines run to the CR LF before the end line; a block
      // without an end line runs to the end of the text.
      std::size_t contentStart = beginLine.next;
      std::size_t end = FindLineStartingWith(contentStart, kUuEnd);
      std::size_t contentEnd = end;
      if (end < FData.size()) {
        contentEnd = end >= contentStart + 2 ? end - 2 : contentStart;
        pos = ReadLine(FData, end).next;
      } else {
        pos = FData.size();
      }

      auto attachment = std::make_unique<TMailPart>(FPart.FOwnerMessage);
      attachment->FParentPart = &FPart;
      UUDecodeText(FData.substr(contentStart, contentEnd - contentStart),
                   attachment->ContentStream);
      EncodeBase64Stream(attachment->BodyStream, attachment->ContentStream);
      attachment->ParentBoundary = boundary;
      const std::string quotedName = "\"" + fileName + "\"";
      // The lines are written directly: a parse takes whatever name the text
      // holds, and a line too long to send is refused by FullText, not here.
      attachment->HeaderLines = {
          "Content-Transfer-Encoding: base64",
          ReplaceFieldParam("Content-Type: " + ContentTypeOfFile(fileName), "name", quotedName),
          ReplaceFieldParam("Content-Disposition: attachment", "filename", quotedName),
      };
      FPart.FSubParts.FItems.push_back(std::move(attachment));
    }
  }

  TMailPart& FPart;
  TMailMessage& FMessage;
  std::string_view FData;
  int FDepth;
  bool FNotify;
};

bool TMailPart::OwnsBuffer(const char* p) const {
  if (PointsInto(p, BodyStream) || PointsInto(p, ContentStream)) return true;
  for (const auto& line : HeaderLines) {
    if (PointsInto(p, line)) return true;
  }
  for (const TMailPart& sub : FSubParts) {
    if (sub.OwnsBuffer(p)) return true;
  }
  return false;
}

void TMailPart::ParseText(std::string_view data, bool hasHeaderBlock) {
  if (FOwnerMessage == nullptr) {
    throw std::runtime_error(Name + ": TMailPart must be owned by a TMailMessage");
  }
  if (FOwnerMessage->FInProgressHandler) {
    throw std::logic_error(Name + ": TMailPart cannot be parsed while its message is parsing");
  }
  // The text may be a view of this part's own storage, which is emptied
  // below: parse a copy then.
  std::string copy;
  if (!data.empty() && OwnsBuffer(data.data())) {
    copy.assign(data);
    data = copy;
  }
  int depth = 0;
  for (const TMailPart* p = FParentPart; p != nullptr; p = p->FParentPart) ++depth;
  ParseAt(data, hasHeaderBlock, depth);
}

void TMailPart::ParseAt(std::string_view data, bool hasHeaderBlock, int depth) {
  TMailMessage& message = *FOwnerMessage;
  ClearContent();
  message.FNeedsRebuild = true;
  Parser(*this, data, depth).Run(hasHeaderBlock);
}

void TMailPart::LoadText(std::string_view text) { ParseText(text, true); }

std::string TMailPart::FullText() const {
  std::string folded;
  try {
    folded = FoldHeaders(HeaderText());
  } catch (const std::length_error& e) {
    // A line that came in by a parse or straight into HeaderLines.
    throw std::length_error(Name + ": " + e.what());
  }
  std::string text;
  text.reserve(folded.size() + 2 + BodyStream.size());
  text += folded;
  text += "\r\n";
  text += BodyStream;
  return text;
}

namespace {

// Appends the parts of `part` (delimiter line, header lines, empty line, body
// or nested parts) and, after the last, the closing delimiter line.
void WriteParts(const TMailPart& part, std::string& out) {
  const TMailPartList& subs = part.SubParts();
  for (const TMailPart& sub : subs) {
    out += "\r\n--";
    out += sub.ParentBoundary;
    out += "\r\n";
    for (const auto& line : sub.HeaderLines) {
      if (line.empty()) continue;
      if (line.size() > kMaxHeaderLineBytes) {
        // Lines go out as they are, but none longer than a server takes.
        out += FoldHeaders(line);
        continue;
      }
      out += line;
      out += "\r\n";
    }
    out += "\r\n";
    if (sub.SubParts().Empty()) {
      out += sub.BodyStream;
    } else {
      WriteParts(sub, out);
    }
  }
  if (!subs.Empty()) {
    out += "\r\n--";
    out += subs[0].ParentBoundary;
    out += "--\r\n";
  }
}

std::size_t PartsSize(const TMailPart& part) {
  std::size_t n = 0;
  for (const TMailPart& sub : part.SubParts()) {
    n += sub.ParentBoundary.size() + 6 + sub.HeaderTextLength();
    n += sub.SubParts().Empty() ? sub.BodyStream.size() : PartsSize(sub);
  }
  return n + 64;
}

}  // namespace

void TMailMessage::Rebuild() {
  if (!FNeedsRebuild) return;
  if (!SubParts().Empty()) {
    // The body is written in place: a message that is parsed and rebuilt
    // again and again reuses its buffer.
    BodyStream.clear();
    BodyStream.reserve(kPreamble.size() + PartsSize(*this));
    BodyStream += kPreamble;
    try {
      WriteParts(*this, BodyStream);
    } catch (const std::length_error& e) {
      // NeedsRebuild stays set: the half-written body is never sent.
      BodyStream.clear();
      throw std::length_error(Name + ": " + e.what());
    }
  }
  SetHeaderValue("Content-Length", std::to_string(BodyStream.size()));
  FNeedsRebuild = false;
}

}  // namespace qw

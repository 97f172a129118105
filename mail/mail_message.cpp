// The message model: part tree, header storage, recipient lists and the
// message's header setters. Parsing and assembly are in mail_assembly.cpp.
#include "mail/mail_message.h"

#include <cstdio>
#include <limits>
#include <stdexcept>
#include <utility>

#include "common/comma_list.h"
#include "mail/encodings.h"
#include "mail/header_lines.h"
#include "platform/ascii_text.h"
#include "platform/message_loop.h"

namespace qw {

namespace {

std::string LinePrefix(std::string_view name) {
  std::string prefix;
  prefix.reserve(name.size() + 1);
  prefix.append(name);
  prefix.push_back(':');
  return prefix;
}

bool IsQuoteByte(char c) { return c == '"' || c == '\''; }

// Removes one enclosing pair of double quotes or apostrophes (in any
// combination) from a value longer than 2 bytes. Not StripQuotes: it is the
// rule HeaderValue and HeaderParam promise (mail_message.h), on top of theirs.
std::string StripQuotePair(std::string_view value) {
  if (value.size() > 2 && IsQuoteByte(value.front()) && IsQuoteByte(value.back())) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// Runs `make` (an encoding of header text); a value it refuses is reported
// with the component name in front, like every other usage error of a message.
template <typename Make>
std::string Encoded(const std::string& component, Make make) {
  try {
    return make();
  } catch (const std::length_error& e) {
    throw std::length_error(component + ": " + e.what());
  }
}

// Refuses a header line that no folding brings within the line limit of
// RFC 5322, before it is stored: a server would reject the whole message.
void CheckFoldable(const std::string& component, const std::string& line) {
  if (line.size() <= kMaxHeaderLineBytes) return;  // fits even unfolded
  Encoded(component, [&] { return FoldHeaders(line); });
}

// The entries of an address list (the value of a To, Cc, Bcc or From line):
// the text split at every ',' and ';' outside double quotes, the quotes kept.
// Both readers of such lists, TMailRecipients and HeaderAddress, split it so.
std::vector<std::string_view> AddressEntries(std::string_view value) {
  std::vector<std::string_view> entries;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && (value[i] == ',' || value[i] == ';')) {
      entries.push_back(value.substr(start, i - start));
      start = i + 1;
    }
  }
  entries.push_back(value.substr(start));
  return entries;
}

int32_t ClampToInt32(std::size_t n) {
  constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(n > kMax ? kMax : n);
}

}  // namespace

// ---------------------------------------------------------------------------
// TMailPartList

TMailPart& TMailPartList::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw std::out_of_range("TMailPartList: index out of range");
  }
  return *FItems[static_cast<std::size_t>(index)];
}

// ---------------------------------------------------------------------------
// TMailPart

TMailPart::TMailPart(TMailMessage* owner, std::string name)
    : Name(std::move(name)), FOwnerMessage(owner) {}

TMailPart::TMailPart(SelfOwned, std::string name) : Name(std::move(name)) {}

TMailPart::~TMailPart() {
  // Sub-parts go first, in list order; each takes its own sub-parts with it.
  for (auto& part : FSubParts.FItems) part.reset();
}

void TMailPart::ClearContent() {
  for (auto& part : FSubParts.FItems) part.reset();
  FSubParts.FItems.clear();
  HeaderLines.clear();
  BodyStream.clear();
  ContentStream.clear();
}

std::string TMailPart::HeaderValue(std::string_view name) const {
  int i = FindHeaderLine(HeaderLines, LinePrefix(name), 0);
  if (i < 0) return {};
  return StripQuotePair(TrimBlanks(FieldValue(HeaderLines[static_cast<std::size_t>(i)])));
}

std::string TMailPart::HeaderParam(std::string_view name, std::string_view param) const {
  int i = FindHeaderLine(HeaderLines, LinePrefix(name), 0);
  if (i < 0) return {};
  return StripQuotePair(
      TrimBlanks(FieldParam(HeaderLines[static_cast<std::size_t>(i)], param)));
}

void TMailPart::SetHeaderValue(std::string_view name, std::string_view valueView) {
  // The value may be a view of a header line, which appending may move.
  const std::string value(valueView);
  std::string prefix = LinePrefix(name);
  int i = FindHeaderLine(HeaderLines, prefix, 0);
  if (value.empty()) {
    if (i >= 0) HeaderLines.erase(HeaderLines.begin() + i);
    return;
  }
  std::string updated = ReplaceFieldValue(i < 0 ? prefix + " " : HeaderLines[static_cast<std::size_t>(i)], value);
  CheckFoldable(Name, updated);
  if (i < 0) {
    HeaderLines.push_back(std::move(updated));
  } else {
    HeaderLines[static_cast<std::size_t>(i)] = std::move(updated);
  }
}

void TMailPart::SetHeaderParam(std::string_view name, std::string_view paramView,
                               std::string_view valueView) {
  const std::string param(paramView);
  const std::string value(valueView);
  std::string prefix = LinePrefix(name);
  int i = FindHeaderLine(HeaderLines, prefix, 0);
  std::string updated = ReplaceFieldParam(i < 0 ? prefix + " " : HeaderLines[static_cast<std::size_t>(i)],
                                          param, value);
  CheckFoldable(Name, updated);
  if (i < 0) {
    HeaderLines.push_back(std::move(updated));
  } else {
    HeaderLines[static_cast<std::size_t>(i)] = std::move(updated);
  }
}

bool TMailPart::HasHeader(std::string_view name) const {
  return FindHeaderLine(HeaderLines, LinePrefix(name), 0) >= 0;
}

std::size_t TMailPart::HeaderTextLength() const {
  std::size_t n = 0;
  for (const auto& line : HeaderLines) n += line.size() + 2;
  return n;
}

std::string TMailPart::HeaderText() const {
  std::string text;
  text.reserve(HeaderTextLength());
  for (const auto& line : HeaderLines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string TMailPart::Boundary() const { return HeaderParam("Content-Type", "boundary"); }

void TMailPart::EncodeContent() {
  EncodeBase64Stream(BodyStream, ContentStream);
  SetHeaderValue("Content-Transfer-Encoding", "base64");
}

// ---------------------------------------------------------------------------
// TMailRecipients

TMailRecipients::TMailRecipients(TMailMessage& message, std::string headerName)
    : FMessage(message), FHeaderName(std::move(headerName)) {}

void TMailRecipients::AssignCommaLists(std::string_view namesText,
                                       std::string_view addressesText) {
  std::vector<std::string> addresses = ReadCommaList(addressesText);
  std::vector<std::string> names = ReadCommaList(namesText);
  names.resize(addresses.size());  // missing names empty, surplus dropped

  FNames.clear();
  FAddresses.clear();
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (addresses[i].empty()) continue;
    FNames.push_back(std::move(names[i]));
    FAddresses.push_back(std::move(addresses[i]));
  }
  FChangeMarker = -1;
  WriteHeader();
}

void TMailRecipients::WriteHeader() {
  if (FAddresses.empty()) {
    FMessage.SetHeaderValue(FHeaderName, "");
  } else {
    std::string value;
    for (std::size_t i = 0; i < FAddresses.size(); ++i) {
      if (i > 0) value += ", ";
      const std::string_view name = TrimBlanks(FNames[i]);
      if (!name.empty()) {
        // The first name shares its line with "To: ".
        const std::size_t lineStart = i == 0 ? FHeaderName.size() + 2 : 0;
        value += Encoded(FMessage.Name, [&] { return EncodeHeaderPhrase(name, FMessage.Charset, lineStart); });
        value += ' ';
      }
      value += '<';
      value += TrimBlanks(FAddresses[i]);
      value += '>';
    }
    FMessage.SetHeaderValue(FHeaderName, value);
  }
  FChangeMarker = ClampToInt32(FMessage.HeaderTextLength());
}

void TMailRecipients::RefreshFromHeader() {
  const int32_t length = ClampToInt32(FMessage.HeaderTextLength());
  if (length == FChangeMarker) return;

  const std::string value(TrimBlanks(FMessage.HeaderValue(FHeaderName)));
  FChangeMarker = length;
  FNames.clear();
  FAddresses.clear();

  auto isSeparator = [](char c) { return c == ',' || c == ';' || c == '<' || c == '>'; };
  for (std::string_view entry : AddressEntries(value)) {
    // Before a '<', everything but unquoted separators is the name (or, with
    // no '<' at all, the address); after it, the unquoted bytes but blanks.
    bool quoted = false;
    bool beforeAngle = true;
    std::string nameText;
    std::string addressText;
    for (char c : entry) {
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (beforeAngle) {
        if (quoted || !isSeparator(c)) nameText.push_back(c);
      } else if (!quoted && c != ' ' && !isSeparator(c)) {
        addressText.push_back(c);
      }
      if (c == '<' && !quoted) beforeAngle = false;
    }
    std::string name;
    std::string address;
    if (beforeAngle) {
      address = TrimBlanks(nameText);
    } else {
      name = TrimBlanks(DecodeHeaderWords(nameText));
      address = TrimBlanks(addressText);
    }
    if (!address.empty()) {
      FNames.push_back(std::move(name));
      FAddresses.push_back(std::move(address));
    }
  }
}

int TMailRecipients::Count() {
  RefreshFromHeader();
  return static_cast<int>(FAddresses.size());
}

std::string TMailRecipients::AddressText() {
  RefreshFromHeader();
  return WriteCommaList(FAddresses);
}

// ---------------------------------------------------------------------------
// TMailMessage

TMailMessage::TMailMessage(SystemInfo& system, std::string name)
    : TMailPart(SelfOwned{}, std::move(name)),
      FSystem(system),
      FToRecipients(*this, "To"),
      FCcRecipients(*this, "Cc"),
      FBccRecipients(*this, "Bcc") {
  FOwnerMessage = this;
}

TMailMessage::~TMailMessage() = default;

void TMailMessage::SetRandomSource(RandomSource source) { FRandom = std::move(source); }

void TMailMessage::SetMessagePump(std::function<void()> pump) {
  FMessagePump = std::move(pump);
}

uint32_t TMailMessage::NextRandom() { return FRandom ? FRandom() : NextMailRandom(); }

void TMailMessage::NotifyProgress(int64_t total, int64_t current) {
  if (!OnProgress) return;
  auto clamp = [](int64_t v) {
    return static_cast<int32_t>(v > std::numeric_limits<int32_t>::max()
                                    ? std::numeric_limits<int32_t>::max()
                                    : v);
  };
  // A handler (or a message it lets run) must not parse this message again
  // while the parse is under way: ParseText refuses it meanwhile.
  struct HandlerScope {
    bool& flag;
    explicit HandlerScope(bool& f) : flag(f) { flag = true; }
    ~HandlerScope() { flag = false; }
  } scope(FInProgressHandler);
  OnProgress(this, clamp(total), clamp(current));
  if (FMessagePump) {
    FMessagePump();
  } else {
    ThisThreadLoop().ProcessPending();
  }
}

void TMailMessage::SetSubjectHeader(std::string_view text) {
  constexpr std::size_t kLineStart = 9;  // "Subject: "
  SetHeaderValue("Subject", Encoded(Name, [&] { return EncodeHeaderWord(text, Charset, kLineStart); }));
}

void TMailMessage::SetSenderHeader(std::string_view displayName, std::string_view address) {
  if (address.empty()) {
    SetHeaderValue("From", "");
    return;
  }
  std::string value;
  if (!displayName.empty()) {
    constexpr std::size_t kLineStart = 6;  // "From: "
    value += Encoded(Name, [&] { return EncodeHeaderPhrase(displayName, Charset, kLineStart); });
    value += ' ';
  }
  value += '<';
  value.append(address);
  value += '>';
  SetHeaderValue("From", value);
}

void TMailMessage::SetDateHeader(const LocalDateTime& when) {
  SetHeaderValue("Date", DateHeaderText(when, FSystem));
}

void TMailMessage::SetMessageIdHeader(std::string_view host) {
  const LocalDateTime now = FSystem.Now();
  const uint32_t r1 = NextRandom();
  const uint32_t r2 = NextRandom();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d.%X.%X", now.year % 10000,
                now.month % 100, now.day % 100, now.hour % 100, now.minute % 100,
                now.second % 100, static_cast<unsigned>(r1), static_cast<unsigned>(r2));
  std::string value = "<";
  value += stamp;
  value += '@';
  value.append(host);
  value += '>';
  SetHeaderValue("Message-ID", value);
}

std::string TMailMessage::HeaderAddress(std::string_view name, int index) const {
  const std::string value(TrimBlanks(HeaderValue(name)));
  const std::vector<std::string_view> entries = AddressEntries(value);
  if (index < 0 || static_cast<std::size_t>(index) >= entries.size()) return {};
  // The unquoted bytes but blanks, from after the last '<' up to a '>'.
  bool quoted = false;
  std::string collected;
  for (char c : entries[static_cast<std::size_t>(index)]) {
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (quoted) continue;
    if (c == '<') {
      collected.clear();
    } else if (c == '>') {
      break;
    } else if (c != ' ') {
      collected.push_back(c);
    }
  }
  return std::string(TrimBlanks(collected));
}

std::string TMailMessage::SenderAddress() const { return HeaderAddress("From", 0); }

}  // namespace qw

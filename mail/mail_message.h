// An Internet mail message in memory: a tree of MIME parts, each with its
// header held as a list of unfolded lines ("Name: value; param=value") and its
// body as the bytes that follow the header block in the complete text.
//
// All text is a string of bytes (Japanese text stays Shift-JIS); lengths and
// positions count bytes; letter case is folded for ASCII letters only.
// "Trimmed" means leading and trailing blanks (byte 32) removed, nothing else.
//
// Ownership: a part owns its header lines, its streams and its sub-parts.
// Destroying a part destroys its sub-parts first, in order. Parts made by
// ParseText are owned by the part that parsed them and live until that part is
// parsed again or destroyed. The message owns its three recipient objects.
//
// The objects are not safe for use from more than one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_types.h"
#include "platform/system_info.h"

namespace qw {

class TMailMessage;
class TMailPart;

// The sub-parts of a part, in order, with typed access by index. The part that
// holds the list owns its items.
class TMailPartList {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  bool Empty() const { return FItems.empty(); }
  // `index` from 0 to Count() - 1; std::out_of_range otherwise.
  TMailPart& Items(int index) const;
  TMailPart& operator[](int index) const { return Items(index); }

  class Iterator {
   public:
    using Base = std::vector<std::unique_ptr<TMailPart>>::const_iterator;
    explicit Iterator(Base it) : FIt(it) {}
    TMailPart& operator*() const { return **FIt; }
    Iterator& operator++() { ++FIt; return *this; }
    bool operator==(const Iterator& other) const { return FIt == other.FIt; }
    bool operator!=(const Iterator& other) const { return FIt != other.FIt; }
   private:
    Base FIt;
  };
  Iterator begin() const { return Iterator(FItems.begin()); }
  Iterator end() const { return Iterator(FItems.end()); }

 private:
  friend class TMailPart;
  std::vector<std::unique_ptr<TMailPart>> FItems;
};

// One MIME part. A part that belongs to no message (OwnerMessage() null) can
// hold header lines and streams but cannot parse a text.
class TMailPart {
 public:
  // An empty part. `owner` becomes its OwnerMessage (may be null); `name` is
  // used in error texts.
  explicit TMailPart(TMailMessage* owner = nullptr, std::string name = {});
  virtual ~TMailPart();
  TMailPart(const TMailPart&) = delete;
  TMailPart& operator=(const TMailPart&) = delete;

  // Component name, used in error texts; empty for parts made at run time.
  std::string Name;
  // The header, one unfolded line per field, in order of first addition. A
  // caller may save a copy of this vector and put it back later (the SMTP
  // client does so to send a message without its "Bcc" line).
  std::vector<std::string> HeaderLines;
  // Body bytes exactly as they follow the header block (already
  // transfer-encoded).
  std::string BodyStream;
  // Decoded content of an attachment part.
  std::string ContentStream;
  // Boundary of the enclosing multipart, used for the delimiter line written
  // before this part.
  std::string ParentBoundary;

  TMailMessage* OwnerMessage() const { return FOwnerMessage; }
  TMailPart* ParentPart() const { return FParentPart; }
  const TMailPartList& SubParts() const { return FSubParts; }

  // Header storage. A line is found by its name followed at once by a colon,
  // ASCII case ignored; the first such line counts.
  //
  // Main value of the line, trimmed, without one enclosing pair of double
  // quotes or apostrophes (when longer than 2 bytes); empty when missing.
  std::string HeaderValue(std::string_view name) const;
  // Value of parameter `param` of the line, unquoted the same way.
  std::string HeaderParam(std::string_view name, std::string_view param) const;
  // Sets the main value (trimmed), appending "Name: " first when the line is
  // missing; parameters stay. An empty value deletes the line. A line that
  // FoldHeaders cannot bring into lines of at most 998 bytes is refused:
  // std::length_error ("Name: header line ..."), the header unchanged.
  void SetHeaderValue(std::string_view name, std::string_view value);
  // Sets a parameter (value written unchanged), appending the line first when
  // it is missing; refused like SetHeaderValue.
  void SetHeaderParam(std::string_view name, std::string_view param,
                      std::string_view value);
  bool HasHeader(std::string_view name) const;
  // Every header line followed by CR LF.
  std::string HeaderText() const;
  // Byte length of HeaderText(), computed without building it.
  std::size_t HeaderTextLength() const;

  // Replaces the whole content of the part (header lines, streams, sub-parts)
  // by what `data` holds: a header block (when `hasHeaderBlock`) up to the
  // first empty line, then the body; a multipart body becomes sub-parts;
  // uuencoded files in a body without "Content-Type" become a multipart with a
  // quoted-printable text part and base64 attachments. Sets NeedsRebuild of
  // the owning message. Throws std::runtime_error when the part belongs to no
  // message (nothing changes) and UUDecodeError on a bad uuencoded character
  // (what was parsed before stays). A progress handler of the message may not
  // parse the message or its parts again (std::logic_error).
  void ParseText(std::string_view data, bool hasHeaderBlock);
  // ParseText with a header block.
  void LoadText(std::string_view text);
  // The "boundary" parameter of "Content-Type".
  std::string Boundary() const;
  // Base64 of ContentStream into BodyStream; "Content-Transfer-Encoding" is
  // set to "base64".
  void EncodeContent();
  // Header lines folded for output, an empty line, the body. Does not
  // rebuild. Throws std::length_error ("Name: header line ...") when a header
  // line (parsed or put into HeaderLines directly) cannot be folded into
  // lines of at most 998 bytes.
  std::string FullText() const;

 protected:
  // Used by TMailMessage, whose OwnerMessage is itself.
  struct SelfOwned {};
  TMailPart(SelfOwned, std::string name);

 private:
  friend class TMailMessage;
  class Parser;

  void ClearContent();
  bool OwnsBuffer(const char* p) const;
  void ParseAt(std::string_view data, bool hasHeaderBlock, int depth);

  TMailMessage* FOwnerMessage = nullptr;
  TMailPart* FParentPart = nullptr;
  TMailPartList FSubParts;
};

// Mirrors one address header line ("To", "Cc" or "Bcc") of its message as two
// parallel lists: decoded display names (empty when absent) and bare
// addresses. Both lists always have the same count and no address is empty.
class TMailRecipients {
 public:
  TMailRecipients(TMailMessage& message, std::string headerName);
  TMailRecipients(const TMailRecipients&) = delete;
  TMailRecipients& operator=(const TMailRecipients&) = delete;

  const std::string& HeaderName() const { return FHeaderName; }
  // The lists as last read or assigned; call Count() first to catch up with
  // the header line.
  const std::vector<std::string>& Names() const { return FNames; }
  const std::vector<std::string>& Addresses() const { return FAddresses; }

  // Reads two comma lists, pairs names with addresses by position (missing
  // names empty, surplus names dropped), drops pairs without address and
  // rewrites the header line.
  void AssignCommaLists(std::string_view namesText, std::string_view addressesText);
  // Number of addresses, after re-reading the header line when it changed.
  int Count();
  // The addresses as one comma list, after re-reading the header line when
  // it changed.
  std::string AddressText();
  // Re-reads both lists from the header line when the length of the message's
  // header text differs from the one recorded at the last agreement.
  void RefreshFromHeader();
  // Writes both lists into the header line (deleting it when there is no
  // address).
  void WriteHeader();
  // Length of the message's header text when lists and line last agreed; -1
  // forces the next read.
  int32_t ChangeMarker() const { return FChangeMarker; }

 private:
  TMailMessage& FMessage;
  std::string FHeaderName;
  std::vector<std::string> FNames;
  std::vector<std::string> FAddresses;
  int32_t FChangeMarker = -1;
};

// The top of a message. Its OwnerMessage is itself.
class TMailMessage : public TMailPart {
 public:
  // Source of the 32-bit pseudo-random numbers of Message-ID and boundaries.
  using RandomSource = std::function<uint32_t()>;

  // `system` gives the local time (Message-ID) and the UTC offset (Date).
  // Random numbers come from NextMailRandom (see SetRandomSource).
  explicit TMailMessage(SystemInfo& system, std::string name = {});
  ~TMailMessage() override;

  // Charset label of encoded header words and of a generated text part.
  std::string Charset = "iso-8859-1";
  // Stored and settable; changes no byte of any text produced.
  TEncodingType TextEncoding = etQuotedPrintable;
  // Notified while the message itself parses a text.
  TProgressEvent OnProgress;

  TMailRecipients& ToRecipients() { return FToRecipients; }
  TMailRecipients& CcRecipients() { return FCcRecipients; }
  TMailRecipients& BccRecipients() { return FBccRecipients; }

  // Set by every ParseText on the message or any of its parts; cleared by
  // Rebuild. The SMTP client refuses to send while it is set.
  bool NeedsRebuild() const { return FNeedsRebuild; }

  // "Subject": the text unchanged when it is printable ASCII, otherwise
  // encoded words with Charset (EncodeHeaderWord: at most 75 bytes each,
  // separated by blanks, the first one short enough for "Subject: " and it
  // to stay within 76 bytes). An empty text deletes the line.
  void SetSubjectHeader(std::string_view text);
  // "From": the display name (EncodeHeaderPhrase: quoted printable ASCII, or
  // unquoted encoded words) + " <address>", or "<address>" without a name;
  // an empty address deletes the line. Encoding errors (a charset label too
  // long for a word) are std::length_error with the component name.
  void SetSenderHeader(std::string_view displayName, std::string_view address);
  // "Date" for a local date and time, zone from the system's current offset.
  void SetDateHeader(const LocalDateTime& when);
  // A new "Message-ID": "<" + 14 digits of the current local time + "." + R1
  // + "." + R2 + "@" + host + ">", R1 and R2 random, upper-case hex.
  void SetMessageIdHeader(std::string_view host);
  // Bare address of entry `index` (from 0) of the address line `name`; empty
  // when the line or the entry does not exist.
  std::string HeaderAddress(std::string_view name, int index) const;
  // HeaderAddress("From", 0).
  std::string SenderAddress() const;

  // When NeedsRebuild: writes a multipart body anew from the sub-parts (a
  // message without sub-parts keeps its body), sets "Content-Length" to the
  // body's size and clears NeedsRebuild. Sub-part header lines go out as they
  // are, except that one of more than 998 bytes is folded; one that cannot
  // be is refused (std::length_error "Name: header line ...", the body
  // emptied, NeedsRebuild still set).
  void Rebuild();

  // Test and embedding hooks. The random source defaults to NextMailRandom;
  // the message pump, called after each progress notification, defaults to
  // processing the calling thread's pending messages.
  void SetRandomSource(RandomSource source);
  void SetMessagePump(std::function<void()> pump);

  SystemInfo& System() const { return FSystem; }

 private:
  friend class TMailPart;
  friend class TMailPart::Parser;

  uint32_t NextRandom();
  void NotifyProgress(int64_t total, int64_t current);

  SystemInfo& FSystem;
  RandomSource FRandom;
  std::function<void()> FMessagePump;
  bool FNeedsRebuild = false;
  bool FInProgressHandler = false;
  TMailRecipients FToRecipients;
  TMailRecipients FCcRecipients;
  TMailRecipients FBccRecipients;
};

}  // namespace qw

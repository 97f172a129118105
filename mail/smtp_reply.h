// What the SMTP server says, read apart from the conversation: a reply cut
// out of the byte stream line by line (RFC 5321 4.2), the service
// extensions an EHLO reply lists, and the form in which a command line may
// be recorded.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace qw {

// One reply of the server: the code and the lines, CR LF removed. The final
// line is kept whole; earlier lines only up to kMaxKeptText bytes in all.
struct TSmtpReply {
  int code = 0;
  std::string finalLine;
  std::vector<std::string> lines;
};

// Cuts the bytes of the server into replies. A line ends with CR LF or with
// a bare LF (tolerated: some servers and proxies send it, and without
// pipelining no reply can be misread by it). A reply line is three digits
// followed by a blank (the final line), a hyphen (more lines follow) or
// nothing (final). Anything else, and a line longer than kMaxLine bytes,
// is a protocol error that stays until Clear. Bytes after a complete reply
// are kept for the next one.
class TSmtpReplyReader {
 public:
  static constexpr size_t kMaxLine = 65536;
  static constexpr size_t kMaxKeptText = 65536;
  static constexpr size_t kMaxQueued = 8;

  void Clear();
  void Feed(const char* bytes, size_t count);
  void Feed(const std::string& bytes) { Feed(bytes.data(), bytes.size()); }
  bool HasReply() const { return !FReplies.empty(); }
  bool Failed() const { return !FError.empty(); }
  // The protocol error: the offending line (or "empty reply line"), "reply
  // line longer than 65536 bytes", or "more replies than commands" (more
  // than kMaxQueued replies held at once).
  const std::string& ErrorText() const { return FError; }
  // Hands out the complete reply and goes on with the bytes kept.
  TSmtpReply TakeReply();
  // Bytes held (the partial line and what follows a complete reply).
  size_t Buffered() const { return FBuffer.size() - FStart; }

 private:
  void Parse();
  void TakeLine(std::string line);

  std::string FBuffer;
  size_t FStart = 0;    // first byte not yet cut into lines
  size_t FScanned = 0;  // no LF before this position
  TSmtpReply FReply;  // the reply being read
  size_t FKeptText = 0;
  std::deque<TSmtpReply> FReplies;  // complete replies not yet taken
  std::string FError;
};

// The service extensions of a 250 reply to EHLO (RFC 5321 4.1.1.1): every
// line after the first is a keyword and its parameters. Keywords and
// mechanisms are compared without regard to letter case; "AUTH=PLAIN LOGIN"
// (the old form some servers still send) counts as AUTH.
struct TSmtpExtensions {
  bool startTls = false;
  // The SASL mechanisms AUTH offers, as the server wrote them.
  std::vector<std::string> authMechanisms;
  bool OffersAuth(std::string_view mechanism) const;
  static TSmtpExtensions Parse(const TSmtpReply& reply);
};

// A command line as it may be recorded: an AUTH line keeps its verb and
// mechanism ("AUTH PLAIN ****"), an answer within the AUTH exchange becomes
// "****"; everything else is returned as it is.
std::string MaskedCommand(const std::string& line, bool inAuthExchange);

}  // namespace qw

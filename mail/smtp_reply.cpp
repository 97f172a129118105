#include "mail/smtp_reply.h"

#include <string>
#include <vector>

#include "platform/ascii_text.h"

namespace qw {

namespace {

// The three-digit code that begins a reply line, or -1.
int ReplyCodeOf(std::string_view line) {
  if (line.size() < 3) return -1;
  int code = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

// The words of `text` split at blanks and tabs.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    size_t end = at;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

}  // namespace

// ---- EHLO keywords and AUTH ----

TSmtpExtensions TSmtpExtensions::Parse(const TSmtpReply& reply) {
  TSmtpExtensions found;
  if (reply.code != 250) return found;
  // The first line greets; every later one is "keyword [params]".
  for (size_t i = 1; i < reply.lines.size(); ++i) {
    std::string_view line = reply.lines[i];
    if (line.size() <= 4) continue;
    line.remove_prefix(4);  // "250-" or "250 "
    std::vector<std::string_view> words = Words(line);
    if (words.empty()) continue;
    std::string_view keyword = words[0];
    std::vector<std::string_view> mechanisms(words.begin() + 1, words.end());
    if (keyword.size() > 5 && CompareCaseless(keyword.substr(0, 5), "AUTH=") == 0) {
      mechanisms.insert(mechanisms.begin(), keyword.substr(5));
      keyword = keyword.substr(0, 4);
    }
    if (CompareCaseless(keyword, "STARTTLS") == 0) {
      found.startTls = true;
    } else if (CompareCaseless(keyword, "AUTH") == 0) {
      for (std::string_view mechanism : mechanisms) found.authMechanisms.emplace_back(mechanism);
    }
  }
  return found;
}

bool TSmtpExtensions::OffersAuth(std::string_view mechanism) const {
  for (const std::string& offered : authMechanisms)
    if (CompareCaseless(offered, mechanism) == 0) return true;
  return false;
}

std::string MaskedCommand(const std::string& line, bool inAuthExchange) {
  std::vector<std::string_view> words = Words(line);
  bool auth = !words.empty() && CompareCaseless(words[0], "AUTH") == 0;
  if (!auth && !inAuthExchange) return line;
  std::string ending = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 ? "\r\n" : "";
  // An answer within the exchange is a credential whatever it looks like.
  if (auth && !inAuthExchange) {
    std::string masked = "AUTH";
    if (words.size() > 1) masked += " " + std::string(words[1].substr(0, words[1].find_first_of("\r\n")));
    if (words.size() > 2) masked += " ****";
    return masked + ending;
  }
  return "****" + ending;
}

// ---- reply reader ----

void TSmtpReplyReader::Clear() {
  FBuffer.clear();
  FStart = 0;
  FScanned = 0;
  FReply = TSmtpReply();
  FKeptText = 0;
  FReplies.clear();
  FError.clear();
}

void TSmtpReplyReader::Feed(const char* bytes, size_t count) {
  if (Failed()) return;  // nothing more is read after a protocol error
  FBuffer.append(bytes, count);
  Parse();
}

TSmtpReply TSmtpReplyReader::TakeReply() {
  TSmtpReply reply = std::move(FReplies.front());
  FReplies.pop_front();
  return reply;
}

void TSmtpReplyReader::Parse() {
  while (!Failed()) {
    size_t lf = FBuffer.find('\n', FScanned);
    if (lf == std::string::npos) {
      FScanned = FBuffer.size();
      // A CR may still wait for its LF.
      if (FBuffer.size() - FStart > kMaxLine + 1) {
        FError = "reply line longer than " + std::to_string(kMaxLine) + " bytes";
      }
      break;
    }
    size_t end = lf;
    if (end > FStart && FBuffer[end - 1] == '\r') --end;
    if (end - FStart > kMaxLine) {
      FError = "reply line longer than " + std::to_string(kMaxLine) + " bytes";
      break;
    }
    std::string line = FBuffer.substr(FStart, end - FStart);
    FStart = lf + 1;
    FScanned = FStart;
    TakeLine(std::move(line));
  }
  if (Failed()) {
    FBuffer.clear();
    FBuffer.shrink_to_fit();
    FStart = FScanned = 0;
    return;
  }
  if (FStart > 0) {  // keep only the partial line
    FBuffer.erase(0, FStart);
    FScanned -= FStart;
    FStart = 0;
  }
}

void TSmtpReplyReader::TakeLine(std::string line) {
  const int code = ReplyCodeOf(line);
  bool wellFormed = code >= 0 && (line.size() == 3 || line[3] == ' ' || line[3] == '-');
  if (!wellFormed) {
    FError = line.empty() ? "empty reply line" : line;
    return;
  }
  if (line.size() > 3 && line[3] == '-') {
    if (FKeptText + line.size() <= kMaxKeptText) {  // the rest of a huge reply is dropped
      FKeptText += line.size();
      FReply.lines.push_back(std::move(line));
    }
    return;
  }
  FReply.code = code;
  FReply.finalLine = line;
  FReply.lines.push_back(std::move(line));
  FReplies.push_back(std::move(FReply));
  FReply = TSmtpReply();
  FKeptText = 0;
  if (FReplies.size() > kMaxQueued) FError = "more replies than commands";
}

}  // namespace qw

// The reply reader cuts any bytes, in any split, into the same replies, never
// holds more than its bounds, and the EHLO keyword parsing and the masking
// of AUTH lines take whatever comes. The first byte chooses the split.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "mail/smtp_client.h"

namespace {

std::vector<qw::TSmtpReply> ReadAll(const std::string& bytes, size_t step, std::string* error) {
  qw::TSmtpReplyReader reader;
  std::vector<qw::TSmtpReply> replies;
  for (size_t at = 0; at < bytes.size(); at += step) {
    reader.Feed(bytes.substr(at, step));
    while (reader.HasReply()) replies.push_back(reader.TakeReply());
    if (reader.Buffered() > qw::TSmtpReplyReader::kMaxLine + 2) std::abort();
  }
  *error = reader.ErrorText();
  return replies;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t step = 1 + data[0] % 64;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string wholeError, splitError;
  std::vector<qw::TSmtpReply> whole = ReadAll(bytes, bytes.size() + 1, &wholeError);
  std::vector<qw::TSmtpReply> split = ReadAll(bytes, step, &splitError);
  if (wholeError.empty() && splitError.empty()) {
    if (whole.size() != split.size()) std::abort();
    for (size_t i = 0; i < whole.size(); ++i) {
      if (whole[i].code != split[i].code || whole[i].finalLine != split[i].finalLine) std::abort();
    }
  }
  for (const qw::TSmtpReply& reply : whole) {
    if (reply.code < 0 || reply.code > 999) std::abort();
    qw::TSmtpExtensions found = qw::TSmtpExtensions::Parse(reply);
    if (reply.code != 250 && (found.startTls || !found.authMechanisms.empty())) std::abort();
  }
  // A masked AUTH line keeps no word after the mechanism.
  std::string masked = qw::MaskedCommand("AUTH " + bytes, false);
  if (masked.size() > 5 + 1 + bytes.size() + 7) std::abort();
  if (bytes.find(' ') != std::string::npos && bytes.find_first_not_of(" \t") < bytes.find(' ') &&
      masked.find("****") == std::string::npos && bytes.find_first_not_of(" \t", bytes.find(' ')) != std::string::npos) {
    std::abort();
  }
  std::string answer = qw::MaskedCommand(bytes, true);
  if (answer != "****" && answer != "****\r\n") std::abort();
  return 0;
}

#include "mail/smtp_client.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "common/comma_list.h"

namespace qw {

namespace {

// Reads an integer as the program reads numbers everywhere: leading blanks,
// an optional sign, then decimal digits, or hexadecimal digits after "$",
// "x" or "0x"; nothing may follow. False when the text is no such number.
bool ReadInteger(const std::string& text, int64_t* value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return false;
  int64_t result = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    result = result * base + digit;
    if (result > (int64_t{1} << 32)) return false;
  }
  if (base == 16) {
    if (result > int64_t{UINT32_MAX}) return false;
    if (result > INT32_MAX) result -= int64_t{1} << 32;  // hexadecimal wraps into the negative
  } else if (result > int64_t{INT32_MAX} + (negative ? 1 : 0)) {
    return false;
  }
  result = negative ? -result : result;
  *value = result;
  return true;
}

int CompareCaseless(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

const char* ExpectedCode(TTalkStep step) {
  switch (step) {
    case tsGreeting: return "220";
    case tsHelo: return "250";
    case tsMailFrom: return "250";
    case tsRcptTo: return "250";
    case tsData: return "354";
    case tsMessageText: return "250";
    case tsQuit: return "221";
    case tsNone: break;
  }
  return nullptr;
}

constexpr int kQuitWaitSeconds = 5;

}  // namespace

TSMTPClient::TSMTPClient(std::string name, MessageLoop& loop, std::unique_ptr<ClientSocket> socket)
    : Name(std::move(name)), FTalk(std::make_unique<TSocketTalk>(this, loop, std::move(socket))) {
  FTalk->OnReplyComplete = [this](TSocketTalk&, TTalkStep step, bool& succeeded, const std::string& reply) {
    OnReplyComplete(step, succeeded, reply);
  };
  FTalk->OnPieceReceived = [this](TSocketTalk&, TTalkStep, bool& succeeded, const std::string& piece) {
    OnPieceReceived(succeeded, piece);
  };
  FTalk->OnFailure = [](TSocketTalk& talk, TTalkStep, TTalkError) { talk.CancelWait(); };
  FTalk->OnConnectionClosed = [this](TSocketTalk&) { FConnected = false; };
  FTalk->OnCheckComplete = [](TSocketTalk&, TTalkStep, const std::string& reply) { return IsCompleteReply(reply); };
}

TSMTPClient::~TSMTPClient() = default;

void TSMTPClient::Fail(const char* suffix) const { throw std::runtime_error(Name + suffix); }

void TSMTPClient::CheckText(const std::string& text) const {
  if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) Fail(": Invalid character in address");
}

bool TSMTPClient::IsNumericAddress(const std::string& text) {
  size_t start = 0;
  for (;;) {
    size_t dot = text.find('.', start);
    std::string piece = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    int64_t value;
    if (!ReadInteger(piece, &value) || value < 0) return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

std::string TSMTPClient::MakeTransparent(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 64 + 8);
  size_t lineStart = 0;
  while (lineStart <= text.size()) {
    size_t end = text.find("\r\n", lineStart);
    if (lineStart < text.size() && text[lineStart] == '.') out += '.';
    if (end == std::string::npos) {
      out.append(text, lineStart, std::string::npos);
      break;
    }
    out.append(text, lineStart, end + 2 - lineStart);
    lineStart = end + 2;
  }
  return out;
}

bool TSMTPClient::IsCompleteReply(const std::string& text) {
  if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return false;
  size_t end = text.size() - 2;  // end of the last line
  if (end == 0) return false;
  size_t previous = text.rfind("\r\n", end - 1);
  size_t start = previous == std::string::npos ? 0 : previous + 2;
  std::string line = text.substr(start, end - start);
  if (line.size() < 3) return false;
  for (int i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
  }
  return line.size() == 3 || line[3] == ' ';
}

void TSMTPClient::OnReplyComplete(TTalkStep step, bool& succeeded, const std::string& reply) {
  const char* code = ExpectedCode(step);
  if (!code) return;
  // RCPT TO also succeeds with 251 ("user not local; will forward").
  if (reply.compare(0, 3, code) == 0 || (step == tsRcptTo && reply.compare(0, 3, "251") == 0)) succeeded = true;
}

void TSMTPClient::OnPieceReceived(bool& succeeded, const std::string& piece) {
  int64_t code = 0;
  if (!ReadInteger(piece.substr(0, 3), &code)) code = 0;
  if (code >= 500 && piece.size() >= 2 && piece.compare(piece.size() - 2, 2, "\r\n") == 0) {
    succeeded = false;
    FTalk->CancelWait();
  }
}

bool TSMTPClient::Connect() {
  ClientSocket& socket = FTalk->Socket();
  if (FConnected || socket.Active()) return false;
  if (Host.empty()) return false;
  CheckText(Host);
  if (IsNumericAddress(Host)) {
    socket.SetHost("");
    socket.SetAddress(Host);
  } else {
    socket.SetHost(Host);
    socket.SetAddress("");
  }
  socket.SetPort(Port);

  FTalk->ExpectReply(tsGreeting);
  try {
    socket.Open();
  } catch (...) {
    FTalk->CancelWait();
    throw;
  }
  FTalk->WaitReply();
  if (FTalk->Succeeded()) {
    std::string hostName = socket.LocalHostName();
    if (hostName.empty()) hostName = "localhost";
    if (hostName.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      socket.Close();  // a host name that would break the command line
      Fail(": Invalid character in address");
    }
    FTalk->SendText("HELO " + hostName + "\r\n", "\r\n", tsHelo);
    FTalk->WaitReply();
  }
  FConnected = FTalk->Succeeded();
  if (!FConnected) socket.Close();  // nothing is left half open
  return FConnected;
}

bool TSMTPClient::Send() {
  if (!MailMessage) Fail(": MailMessage unassigned");
  std::string recipients;
  if (MailMessage->ToRecipients().Count() > 0) recipients = MailMessage->ToRecipients().AddressText();
  for (TMailRecipients* list : {&MailMessage->CcRecipients(), &MailMessage->BccRecipients()}) {
    if (list->Count() > 0) {
      if (!recipients.empty()) recipients += ",";
      recipients += list->AddressText();
    }
  }
  return SendTo(MailMessage->SenderAddress(), recipients);
}

bool TSMTPClient::SendTo(const std::string& fromAddress, const std::string& recipients) {
  if (!FConnected || !FTalk->Socket().Active()) return false;
  if (!MailMessage) Fail(": MailMessage unassigned");
  if (MailMessage->NeedsRebuild()) Fail(": MailMessage need rebuild");

  // Ascending order, letter case ignored; the first form of an address wins.
  std::vector<std::string> envelope;
  for (std::string& item : ReadCommaList(recipients)) {
    if (item.empty()) continue;  // "a,,b" or a trailing comma names no one
    auto at = std::lower_bound(envelope.begin(), envelope.end(), item,
                               [](const std::string& a, const std::string& b) { return CompareCaseless(a, b) < 0; });
    if (at != envelope.end() && CompareCaseless(*at, item) == 0) continue;
    envelope.insert(at, std::move(item));
  }
  if (envelope.empty()) Fail(": No recipients to send message");
  CheckText(fromAddress);
  for (const std::string& address : envelope) CheckText(address);

  FTalk->SendText("MAIL FROM:<" + fromAddress + ">\r\n", "\r\n", tsMailFrom);
  FTalk->WaitReply();
  if (!FTalk->Succeeded()) return false;
  for (const std::string& address : envelope) {
    FTalk->SendText("RCPT TO:<" + address + ">\r\n", "\r\n", tsRcptTo);
    FTalk->WaitReply();
    if (!FTalk->Succeeded()) return false;
  }

  MailMessage->SetMessageIdHeader(FTalk->Socket().LocalAddressText());
  std::vector<std::string> savedHeader = MailMessage->HeaderLines;
  bool result = false;
  try {
    MailMessage->SetHeaderValue("Bcc", "");  // the transmitted text names no Bcc recipient
    FTalk->SendText("DATA\r\n", "\r\n", tsData);
    FTalk->WaitReply();
    if (FTalk->Succeeded()) {
      FTalk->SetSendPacketSize(PacketSize);
      std::string text = MakeTransparent(MailMessage->FullText());
      text += "\r\n.\r\n";
      FDataOpen = true;
      FTalk->SendText(text, "\r\n", tsMessageText);
      FTalk->WaitReply();
      result = FTalk->Succeeded();
      // Without a reply the server may still be reading the text: a QUIT
      // would only be taken as more of it.
      if (IsCompleteReply(FTalk->ReplyText())) FDataOpen = false;
    }
  } catch (...) {
    MailMessage->HeaderLines = std::move(savedHeader);
    throw;
  }
  MailMessage->HeaderLines = std::move(savedHeader);
  return result;
}

void TSMTPClient::Disconnect() {
  ClientSocket& socket = FTalk->Socket();
  if (FConnected && socket.Active() && !FDataOpen) {
    int timeOut = FTalk->TimeOut();
    FTalk->SetTimeOut(std::min(timeOut, kQuitWaitSeconds));
    try {
      FTalk->SendText("QUIT\r\n", "\r\n", tsQuit);
      FTalk->WaitReply();
    } catch (...) {
      FTalk->SetTimeOut(timeOut);
      socket.Close();
      FConnected = false;
      throw;
    }
    FTalk->SetTimeOut(timeOut);
  }
  socket.Close();
  FConnected = false;
  FDataOpen = false;
}

}  // namespace qw

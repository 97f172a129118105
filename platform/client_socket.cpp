#include "platform/client_socket.h"

#include <cstring>

namespace qw {

bool ParseDottedQuad(const std::string& text, uint32_t* address) {
  uint32_t value = 0;
  size_t at = 0;
  for (int piece = 0; piece < 4; ++piece) {
    if (piece > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    size_t start = at;
    unsigned number = 0;
    while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9') {
      number = number * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
    }
    if (at == start || number > 255) return false;
    if (at < text.size() && text[at] >= '0' && text[at] <= '9') return false;  // a fourth digit
    value = (value << 8) | number;
  }
  if (at != text.size()) return false;
  if (address) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                                    static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    std::memcpy(address, bytes, 4);  // network byte order whatever the host's
  }
  return true;
}

bool LooksNumeric(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();
  size_t lastDot = name.rfind('.');
  std::string last = lastDot == std::string::npos ? name : name.substr(lastDot + 1);
  bool hex = last.size() > 2 && last[0] == '0' && (last[1] == 'x' || last[1] == 'X');
  if (hex) last.erase(0, 2);
  if (last.empty()) return false;
  for (char c : last) {
    bool digit = c >= '0' && c <= '9';
    bool hexDigit = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!digit && !(hex && hexDigit)) return false;
  }
  return true;
}

void ClientSocket::CheckInactive() const {
  if (Active()) throw ESocketError("ソケットを使用中は値を変更できません");
}

void ClientSocket::SetHost(const std::string& host) {
  if (host == FHost) return;
  CheckInactive();
  FHost = host;
}

void ClientSocket::SetAddress(const std::string& address) {
  if (address == FAddress) return;
  CheckInactive();
  FAddress = address;
}

void ClientSocket::SetPort(int port) {
  if (port == FPort) return;
  CheckInactive();
  FPort = port;
}

void ClientSocket::ReportAsyncError(TErrorEvent event, int code) {
  if (OnError) {
    std::function<void(TErrorEvent, int&)> handler = OnError;
    handler(event, code);
  }
  if (code != 0) ThrowAsyncError(code);
}

void ClientSocket::ThrowAsyncError(int code) {
  throw ESocketError("非同期ソケットエラー " + std::to_string(code));
}

std::string ClientSocket::ErrorDescription(int code) {
  return ErrorText(code) + " (" + std::to_string(code) + ")";
}

int ClientSocket::ReportCallError(TErrorEvent event, int code) {
  if (OnError) {
    std::function<void(TErrorEvent, int&)> handler = OnError;
    handler(event, code);
  }
  return code;
}

void ClientSocket::ThrowApiError(int code, const char* api) {
  throw ESocketError("Windows ソケットエラー： " + ErrorDescription(code) + " [API '" + api + "']");
}

}  // namespace qw

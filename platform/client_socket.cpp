#include "platform/client_socket.h"

#include <cstdio>

namespace qw {

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
  if (code != 0) {
    char text[64];
    std::snprintf(text, sizeof text, "非同期ソケットエラー %d", code);
    throw ESocketError(text);
  }
}

int ClientSocket::ReportCallError(TErrorEvent event, int code) {
  if (OnError) {
    std::function<void(TErrorEvent, int&)> handler = OnError;
    handler(event, code);
  }
  return code;
}

void ClientSocket::ThrowApiError(int code, const char* api) {
  std::string text = "Windows ソケットエラー： " + ErrorText(code) + " (" + std::to_string(code) + ") [API '" + api + "']";
  throw ESocketError(text);
}

}  // namespace qw

// tls_probe: drives the platform's TLS engine over a plain blocking socket to
// a loopback server that echoes what it receives, for the end-to-end tests of
// the engine under Wine.
//
//   tls_probe [--trust CAFILE] [--bytes N] [--chunk N] [--greeting] PORT SERVERNAME VERIFY
//
// Connects to 127.0.0.1:PORT, shakes hands with SERVERNAME as the name to
// check (VERIFY 1) or without any check (VERIFY 0), sends N bytes (default a
// short line), reads them back, closes with the closing alert and waits for
// the server's. --trust first adds the PEM certificate CAFILE to the local
// machine's trusted roots. --chunk feeds what arrives to the engine N bytes at
// a time, each piece followed by a handshake step or a decrypt, as a socket
// that reads little at a time would. --greeting reads the server's first line
// before sending (printed with the number of receives it took after the
// handshake: 0 when it came with the last handshake message).
//
// Prints "ok <protocol> verified=<0|1> peer-closed=<0|1>" and exits 0, or
// prints the failure (the engine's text as UTF-8) and exits 1; 2 for a wrong
// command line. Every receive is bounded (10 s).
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/text_codec.h"
#include "platform/tls_engine.h"

namespace {

int Fail(const std::string& sjis) {
  std::printf("%s\n", qw::SjisToUtf8(sjis).c_str());
  std::fflush(stdout);
  return 1;
}

bool Trust(const char* path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream pem;
  pem << file.rdbuf();
  const std::string text = pem.str();
  DWORD size = 0;
  if (text.empty() || !CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()),
                                            CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                            nullptr)) {
    std::printf("trust: cannot read a PEM certificate from %s\n", path);
    return false;
  }
  std::string der(size, '\0');
  CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                       reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr);
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!store) {
    std::printf("trust: CertOpenStore failed: %lu\n", GetLastError());
    return false;
  }
  const BOOL added = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), size,
      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = added ? 0 : GetLastError();
  CertCloseStore(store, 0);
  if (!added) std::printf("trust: CertAddEncodedCertificateToStore failed: 0x%08lX\n", error);
  return added;
}

bool SendAll(SOCKET s, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Receives some bytes: >0 the count, 0 the peer closed, <0 an error or the
// time-out.
int Receive(SOCKET s, std::string* into) {
  char buffer[16384];
  const int n = recv(s, buffer, sizeof buffer, 0);
  if (n > 0) into->append(buffer, static_cast<size_t>(n));
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const char* trust = nullptr;
  size_t bytes = 0;
  size_t chunk = 0;
  bool expectGreeting = false;
  int arg = 1;
  for (; arg < argc && std::strncmp(argv[arg], "--", 2) == 0; ++arg) {
    if (std::strcmp(argv[arg], "--trust") == 0 && arg + 1 < argc) {
      trust = argv[++arg];
    } else if (std::strcmp(argv[arg], "--greeting") == 0) {
      expectGreeting = true;
    } else if (std::strcmp(argv[arg], "--chunk") == 0 && arg + 1 < argc) {
      chunk = std::strtoul(argv[++arg], nullptr, 10);
    } else if (std::strcmp(argv[arg], "--bytes") == 0 && arg + 1 < argc) {
      bytes = std::strtoul(argv[++arg], nullptr, 10);
    } else {
      break;
    }
  }
  if (argc - arg != 3) {
    std::fprintf(stderr, "usage: tls_probe [--trust CAFILE] [--bytes N] [--chunk N] [--greeting] PORT SERVERNAME VERIFY\n");
    return 2;
  }
  const int port = std::atoi(argv[arg]);
  qw::TlsOptions options;
  options.serverName = argv[arg + 1];
  options.verify = std::strcmp(argv[arg + 2], "0") != 0;

  if (trust && !Trust(trust)) return 1;

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail("WSAStartup failed");
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  DWORD timeout = 10000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return Fail("connect failed: " + std::to_string(WSAGetLastError()));
  }

  auto engine = qw::NewTlsEngine(options);
  qw::Status status;
  qw::TlsEngine::Step step = engine->Handshake();
  std::string pending;  // received, not yet fed
  for (;;) {
    if (!SendAll(s, engine->TakeOutput())) return Fail("send failed during the handshake");
    if (step == qw::TlsEngine::Step::Done) break;
    if (step == qw::TlsEngine::Step::Failed) return Fail(engine->Error().Describe());
    if (pending.empty()) {
      const int n = Receive(s, &pending);
      if (n == 0) return Fail("TLS: サーバーがハンドシェイクの途中で接続を閉じました");
      if (n < 0) return Fail("TLS: ハンドシェイクの途中で受信に失敗しました (" +
                             std::to_string(WSAGetLastError()) + ")");
    }
    const size_t piece = chunk ? std::min(chunk, pending.size()) : pending.size();
    engine->Feed(std::string_view(pending).substr(0, piece));
    pending.erase(0, piece);
    step = engine->Handshake();
  }

  // A server that speaks first (SMTP over implicit TLS): its greeting may
  // have come with the last handshake message, so the engine is asked before
  // the socket.
  std::string greeting;
  int greetingReceives = 0;
  if (expectGreeting) {
    for (;;) {
      if (!pending.empty()) {
        const size_t piece = chunk ? std::min(chunk, pending.size()) : pending.size();
        engine->Feed(std::string_view(pending).substr(0, piece));
        pending.erase(0, piece);
      }
      status = engine->Decrypt(&greeting);
      if (!status) return Fail(status.Describe());
      if (greeting.find("\r\n") != std::string::npos) break;
      if (pending.empty()) {
        if (Receive(s, &pending) <= 0) return Fail("no greeting: " + greeting);
        ++greetingReceives;
      }
    }
    greeting.erase(greeting.find("\r\n"));
  }

  std::string payload;
  if (bytes == 0) {
    payload = "hello over TLS\r\n";
  } else {
    payload.reserve(bytes);
    for (size_t i = 0; i < bytes; ++i) payload.push_back(static_cast<char>('A' + (i * 7) % 26));
  }
  status = engine->Encrypt(payload);
  if (!status) return Fail(status.Describe());
  if (!SendAll(s, engine->TakeOutput())) return Fail("send failed");

  std::string echoed;
  while (echoed.size() < payload.size()) {
    if (pending.empty() && Receive(s, &pending) <= 0) {
      return Fail("the echo ended after " + std::to_string(echoed.size()) + " of " +
                  std::to_string(payload.size()) + " bytes");
    }
    const size_t piece = chunk ? std::min(chunk, pending.size()) : pending.size();
    engine->Feed(std::string_view(pending).substr(0, piece));
    pending.erase(0, piece);
    status = engine->Decrypt(&echoed);
    if (!status) return Fail(status.Describe());
    // A post-handshake message may need an answer.
    if (!SendAll(s, engine->TakeOutput())) return Fail("send failed");
    if (engine->PeerClosed()) break;
  }
  if (echoed != payload) {
    return Fail("the echo differs: " + std::to_string(echoed.size()) + " bytes back of " +
                std::to_string(payload.size()));
  }

  engine->Shutdown();
  const std::string alert = engine->TakeOutput();
  if (!SendAll(s, alert)) return Fail("send of the closing alert failed");
  // The server answers the closing alert with its own; a plain close counts
  // too (peer-closed=0), as some servers do not answer.
  while (!engine->PeerClosed()) {
    std::string received;
    if (Receive(s, &received) <= 0) break;
    engine->Feed(received);
    std::string rest;
    status = engine->Decrypt(&rest);
    if (!status) return Fail(status.Describe());
  }
  closesocket(s);
  WSACleanup();
  std::printf("ok %s verified=%d peer-closed=%d alert=%d", engine->Protocol().c_str(),
              engine->Verified() ? 1 : 0, engine->PeerClosed() ? 1 : 0, alert.empty() ? 0 : 1);
  if (expectGreeting) {
    std::printf(" greeting=\"%s\" greeting-receives=%d", greeting.c_str(), greetingReceives);
  }
  std::printf("\n");
  std::fflush(stdout);
  return 0;
}

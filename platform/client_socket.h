// A TCP client socket that never blocks: opening starts the name lookup and
// the connection and returns at once; the end of the lookup, the
// establishment of the connection, arriving data, the closing of the
// connection and errors come back as notifications, which are messages of
// the thread that opened the socket (they run while that thread dispatches
// its message loop). Windows delivers them with WSAAsyncSelect to a hidden
// window; POSIX watches the socket in the thread's poll loop. Both look names
// up on a helper thread whose answer comes back through that loop.
//
// A name may stand for several addresses of both families (IPv4, IPv6):
// they are tried one after the other, families interleaved in the order the
// resolver gave (RFC 8305, section 4). An attempt that fails (refused,
// unreachable) moves on to the next address at once; the owner moves on from
// an attempt that stays silent with TryNextAddress. The connect notification
// comes for the first attempt that succeeds; the error notification only
// when the last one has failed, with its error.
//
// Use a socket on one thread only: the one that opens it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/status.h"

namespace qw {

// Classes of socket errors reported by the error notification.
enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept, eeLookup };

// Errors raised by the socket itself (outside its notifications, or when a
// notification handler leaves the error code set).
class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A dotted-quad IPv4 address: exactly four decimal pieces of 0 to 255, one to
// three digits each ("192.0.2.5", "010.0.0.1" is 10.0.0.1). Nothing else
// counts: not "1.2.3.4.5", "127.1", "0x7f.0.0.1", " 1.2.3.4". `address`
// receives it in network byte order.
bool ParseDottedQuad(const std::string& text, uint32_t* address = nullptr);
// A host name that the resolver would take for a number in one of the old
// inet_aton forms: its last label (a final "." aside) is all digits or "0x"
// and hexadecimal digits. No DNS name ends so (top-level labels are never
// numeric); such a target is only valid as a dotted quad.
bool LooksNumeric(const std::string& host);

// An IPv4 or IPv6 address, its bytes in network order.
struct IpAddress {
  bool v6 = false;
  unsigned char bytes[16] = {};

  // "192.0.2.5"; "2001:db8::1" in the form of RFC 5952 (lower case, the
  // longest run of two or more zero groups shortened, "::ffff:192.0.2.5"
  // for a mapped IPv4 address).
  std::string Text() const;
  // Text() in brackets for IPv6, so that a port can follow: "[::1]".
  std::string BracketedText() const;
  bool operator==(const IpAddress& other) const;
};

// An IPv6 address in the text forms of RFC 4291 2.2: eight groups of one to
// four hexadecimal digits, one "::" for a run of zero groups, an IPv4 dotted
// quad in place of the last two groups. No zone ("%eth0"), no brackets.
bool ParseIpv6(const std::string& text, IpAddress* address = nullptr);
// A server given as an address: a dotted quad, an IPv6 address, or either
// in brackets ("[::1]", "[192.0.2.5]"). False for a name.
bool ParseHostLiteral(const std::string& host, IpAddress* address = nullptr);
// "[::1]" as "::1": the brackets of an address literal dropped; any other
// text as it is. The form for the certificate check and the lookup.
std::string HostWithoutBrackets(const std::string& host);
// "host:port" with an IPv6 address in brackets ("[2001:db8::1]:587"), a
// bracketed one as it is, a name or a dotted quad unchanged.
std::string HostPortText(const std::string& host, int port);
// The resolver's answer in the order of the attempts: the families
// alternate, beginning with the family of the first address; within a family
// the resolver's order stays. Repeated addresses are tried once.
std::vector<IpAddress> InterleaveFamilies(const std::vector<IpAddress>& resolved);

class ClientSocket {
 public:
  virtual ~ClientSocket() = default;

  // The target: a host name, looked up when the socket opens, or a numeric
  // address (the owner sets exactly one of them), and a port. Changing them
  // while Active raises ESocketError. Either may be an address literal
  // (ParseHostLiteral: a dotted quad, IPv6, bracketed or not), which is
  // dialled without a lookup. An address that is no literal, and a host name
  // that LooksNumeric without being a dotted quad, fail as an unknown host
  // (error 11001) through the notifications.
  void SetHost(const std::string& host);
  const std::string& Host() const { return FHost; }
  void SetAddress(const std::string& address);
  const std::string& Address() const { return FAddress; }
  void SetPort(int port);
  int Port() const { return FPort; }

  // Creates the socket and starts the lookup and the connection; returns at
  // once (success: the outcome comes as a notification). Does nothing while
  // a connection is open or being opened. A failure when the socket cannot
  // be created or the lookup cannot be started: What() the call, Code() its
  // error, Text() "Windows ソケットエラー： <ErrorDescription> [API '<call>']".
  [[nodiscard]] virtual Status Open() = 0;
  // Closes an established connection, raising OnDisconnect first. A lookup
  // or connection still in progress is abandoned without a notification.
  // Does nothing when there is no connection.
  virtual void Close() = 0;
  // True from the connect notification to the close notification.
  virtual bool Active() const = 0;

  // While an attempt to connect is in progress: abandons it and starts the
  // one to the next address, true; false when no address is left (the
  // attempt in progress goes on) or nothing is being connected.
  virtual bool TryNextAddress() = 0;
  // The address of the attempt in progress or of the last one (the
  // connected peer once connected); empty before the first.
  virtual std::string AttemptAddressText() = 0;
  // The attempts made since Open (0 while the name is looked up).
  virtual int AttemptCount() = 0;

  // Bytes accepted, 0 when the socket would block (OnWrite follows when it
  // takes data again). A failure when there is no connection (10057) or the
  // send failed (after the error notification with eeSend; the connection
  // is closed), worded as Open's.
  [[nodiscard]] virtual Result<int> SendBytes(const void* bytes, int count) = 0;
  // Bytes that can be read now.
  virtual int PendingLength() = 0;
  // Bytes read (0 when nothing was pending or not connected); a receive
  // failure reports eeReceive and closes the connection.
  virtual int ReceiveBytes(void* buffer, int count) = 0;

  // The computer's host name (at most 256 bytes; the fully qualified DNS name
  // when the system knows it) and the address of the local end (a dotted
  // quad, or IPv6 text as IpAddress::Text gives it); empty when no socket
  // exists.
  virtual std::string LocalHostName() = 0;
  virtual std::string LocalAddressText() = 0;

  // Notifications, on the thread that opened the socket.
  std::function<void()> OnConnect;
  std::function<void()> OnRead;
  std::function<void()> OnWrite;       // takes data again after a send would block
  std::function<void()> OnDisconnect;  // the connection is closing (still Active)
  // `errorCode` is the Windows Sockets error number (10000 and up; POSIX
  // errors are mapped to the same numbers). A handler that sets it to 0
  // consumes the error; otherwise the socket raises ESocketError.
  std::function<void(TErrorEvent event, int& errorCode)> OnError;

  // An error number of the notifications as messages show it: the system's
  // text, then the number in parentheses.
  std::string ErrorDescription(int code);

 protected:
  // Reports an error notification; throws ThrowAsyncError when the handler
  // leaves the code set.
  void ReportAsyncError(TErrorEvent event, int code);
  // Throws "非同期ソケットエラー <code>": an error of a notification that no
  // handler consumed.
  [[noreturn]] static void ThrowAsyncError(int code);
  // Reports a failed call; returns the code the handler left (0: consumed).
  int ReportCallError(TErrorEvent event, int code);
  // Throws "Windows ソケットエラー： <ErrorDescription> [API '<api>']".
  [[noreturn]] void ThrowApiError(int code, const char* api);
  // The same failure as a Status (What() the api, Code() the error).
  Status ApiFailure(int code, const char* api);
  // SendBytes without a connection.
  Status NotConnected() { return ApiFailure(10057, "send"); }
  // The system's text for a Windows Sockets error number.
  virtual std::string ErrorText(int code) = 0;

 private:
  void CheckInactive() const;

  std::string FHost;
  std::string FAddress;
  int FPort = 0;
};

std::unique_ptr<ClientSocket> NewClientSocket();

}  // namespace qw

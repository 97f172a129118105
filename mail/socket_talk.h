// TSocketTalk turns a non-blocking TCP connection into a series of
// synchronous exchanges: the owner sends a text and waits; the wait ends when
// the reply is complete, when one of the owner's hooks ends the exchange, on
// a socket error, when the connection closes, or after TimeOut seconds
// without data. It knows nothing of the protocol spoken: the owner's hooks
// judge the replies, and the owner's step code is handed to every hook.
//
// Waiting dispatches the messages of the calling thread's loop, so socket
// notifications and the time-out tick run inside the wait, on that thread.
// Everything happens on that one thread; no locks are taken here, except the
// cancel flag, which another thread may set (then Wake() ends the wait).
//
// Besides the silence time-out, an optional deadline bounds a whole series
// of exchanges, so that a peer that trickles a byte at a time cannot hold
// the conversation for ever.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mail/mail_types.h"
#include "platform/client_socket.h"
#include "platform/message_loop.h"

namespace qw {

// The TCP client under the conversation.
using TClientSocket = ClientSocket;

// The owner's code for the exchange in progress, handed back to its hooks;
// the talk gives no meaning to any code but tsNone (no exchange).
using TTalkStep = int;
inline constexpr TTalkStep tsNone = 0;

// What ended the last exchange when it failed: nothing, the time-out, the
// class of a socket error, the deadline, or the cancel flag.
enum TTalkError {
  teNone, teTimeOut, teGeneral, teSend, teReceive, teConnect, teDisconnect, teAccept, teLookup, teDeadline, teCancelled
};

// Largest piece read from the socket at once; a consumer that keeps no more
// than it needs has bounded memory whatever the peer sends.
constexpr int kTalkReadChunk = 65536;

TTalkError TalkErrorOf(TErrorEvent event);

class TSocketTalk {
 public:
  // `owner` is the Sender of progress notifications. The talk owns `socket`
  // and a time-out timer made by `loop`, whose messages it dispatches while
  // it waits.
  TSocketTalk(void* owner, MessageLoop& loop, std::unique_ptr<ClientSocket> socket);
  ~TSocketTalk();
  TSocketTalk(const TSocketTalk&) = delete;
  TSocketTalk& operator=(const TSocketTalk&) = delete;

  ClientSocket& Socket() { return *FSocket; }

  // Longest silence allowed while waiting, in seconds (1 and up; 60 at
  // creation).
  int TimeOut() const { return FTimeOut; }
  void SetTimeOut(int seconds) { FTimeOut = seconds; }
  // Packet size for the next SendText only (0 or less: one piece); back to 0
  // at the end of every SendText.
  int SendPacketSize() const { return FSendPacketSize; }
  void SetSendPacketSize(int bytes) { FSendPacketSize = bytes; }
  TProgressEvent OnProgress;

  const std::string& ReplyTerminator() const { return FReplyTerminator; }
  const std::string& ReplyText() const { return FReplyText; }
  TTalkStep Step() const { return FStep; }
  bool Waiting() const { return FWaiting; }
  bool Succeeded() const { return FSucceeded; }
  TTalkError LastError() const { return FLastError; }
  // The Windows Sockets error number of the last socket error (0: none).
  int LastErrorCode() const { return FLastErrorCode; }

  // With false, received bytes are only handed to the hooks and ReplyText
  // stays empty (the owner keeps what it needs).
  bool KeepReplyText = true;

  // Arms the deadline: `seconds` from now every wait ends as teDeadline
  // (0 or less: no deadline). StopDeadline disarms it and forgets that it
  // passed.
  void StartDeadline(int seconds);
  void StopDeadline();
  bool DeadlineRunning() const { return FDeadlineRunning; }
  bool DeadlinePassed() const { return FDeadlinePassed; }
  // The flag, owned by the caller, that ends every wait as teCancelled once
  // set (from any thread; then call Wake from that thread).
  void SetCancelFlag(const std::atomic<bool>* flag) { FCancelFlag = flag; }
  bool Cancelled() const { return FCancelFlag && FCancelFlag->load(); }
  // Wakes the waiting loop so that it looks at the cancel flag. Safe from any
  // thread.
  void Wake();

  // Hooks of the owner.
  std::function<void(TSocketTalk&, TTalkStep, bool& succeeded, const std::string& reply)> OnReplyComplete;
  std::function<void(TSocketTalk&, TTalkStep, bool& succeeded, const std::string& piece)> OnPieceReceived;
  std::function<void(TSocketTalk&, TTalkStep, TTalkError)> OnFailure;
  std::function<void(TSocketTalk&)> OnConnectionClosed;
  // Decides whether the text received so far is a complete reply, in place
  // of the plain terminator test (the reply ends with ReplyTerminator, or
  // any data when it is empty). Consulted while an exchange is waiting.
  std::function<bool(TSocketTalk&, TTalkStep, const std::string& replyText)> OnCheckComplete;

  // Arms a wait for the peer's first words (`step` is not tsNone); call just
  // before opening the socket. The time-out starts now and covers lookup, connection and the
  // first data. When it runs out while the socket is still connecting, the
  // socket moves on to its next address (TryNextAddress) with a new
  // time-out; with none left the wait ends as teTimeOut.
  void ExpectReply(TTalkStep step);
  // Sends `text` (in packets of SendPacketSize, dispatching the thread's
  // messages between them and reporting progress) and arms a wait for a reply
  // that ends with `terminator`. A reply arriving while the text is still
  // being sent is kept and judged. Sending stops early when the exchange has
  // ended meanwhile (error, close, time-out, a hook's CancelWait).
  void SendText(const std::string& text, const std::string& terminator, TTalkStep step);
  // Returns when the exchange has ended (or a hook has set it succeeded),
  // at the latest when the deadline passes or the cancel flag is set (both
  // end it as failed, teDeadline or teCancelled); the outcome is
  // Succeeded().
  void WaitReply();
  // Ends the current exchange as failed; for the owner's hooks.
  void CancelWait();

 private:
  void HandleRead();
  void HandlePiece(const std::string& piece);
  void HandleWrite();
  void HandleDisconnect();
  void HandleError(TErrorEvent event, int& code);
  void HandleTimeOut();
  void HandleDeadline();
  // Ends the exchange as failed with `error` and tells the owner.
  void EndWithError(TTalkError error);
  // Ends the wait at once when the deadline passed or a cancel came.
  bool CheckStop();
  // Offers bytes to the socket until all are taken; false when sending has
  // to stop (no connection, a send error, the exchange ended).
  bool HandOver(const char* bytes, size_t count, size_t* handedOver);
  int64_t TimeOutMs() const { return static_cast<int64_t>(FTimeOut) * 1000; }

  void* FOwner;
  MessageLoop& FLoop;
  std::unique_ptr<ClientSocket> FSocket;
  std::unique_ptr<Timer> FTimer;
  std::unique_ptr<Timer> FDeadlineTimer;
  bool FDeadlineRunning = false;
  bool FDeadlinePassed = false;
  const std::atomic<bool>* FCancelFlag = nullptr;
  int FLastErrorCode = 0;
  int FTimeOut = 60;
  int FSendPacketSize = 0;
  std::string FReplyTerminator;
  std::string FReplyText;
  TTalkStep FStep = tsNone;
  bool FWaiting = false;
  bool FFirstWords = false;  // the wait armed by ExpectReply, still connecting perhaps
  bool FSucceeded = false;
  TTalkError FLastError = teNone;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

// The deadline of a conversation as a scope: arms the talk's deadline for
// `seconds` unless one runs already (that one covers this part too), and
// disarms what it armed when it ends.
class TalkDeadline {
 public:
  TalkDeadline(TSocketTalk& talk, int seconds) : talk_(talk), owned_(!talk.DeadlineRunning()) {
    if (owned_) talk_.StartDeadline(seconds);
  }
  ~TalkDeadline() {
    if (owned_) talk_.StopDeadline();
  }
  TalkDeadline(const TalkDeadline&) = delete;
  TalkDeadline& operator=(const TalkDeadline&) = delete;

 private:
  TSocketTalk& talk_;
  bool owned_;
};

}  // namespace qw

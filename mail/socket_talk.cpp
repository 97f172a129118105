#include "mail/socket_talk.h"

#include <algorithm>
#include <climits>

namespace qw {

TTalkError TalkErrorOf(TErrorEvent event) {
  switch (event) {
    case eeGeneral: return teGeneral;
    case eeSend: return teSend;
    case eeReceive: return teReceive;
    case eeConnect: return teConnect;
    case eeDisconnect: return teDisconnect;
    case eeAccept: return teAccept;
    case eeLookup: return teLookup;
  }
  return teGeneral;
}

TSocketTalk::TSocketTalk(void* owner, MessageLoop& loop, std::unique_ptr<ClientSocket> socket)
    : FOwner(owner),
      FLoop(loop),
      FSocket(std::move(socket)),
      FTimer(loop.CreateTimer()),
      FDeadlineTimer(loop.CreateTimer()) {
  FSocket->OnRead = [this] { HandleRead(); };
  FSocket->OnWrite = [this] { HandleWrite(); };
  FSocket->OnDisconnect = [this] { HandleDisconnect(); };
  FSocket->OnError = [this](TErrorEvent event, int& code) { HandleError(event, code); };
  FTimer->SetEnabled(false);
  FTimer->OnTimer = [this] { HandleTimeOut(); };
  FDeadlineTimer->SetEnabled(false);
  FDeadlineTimer->OnTimer = [this] { HandleDeadline(); };
}

TSocketTalk::~TSocketTalk() {
  *FAlive = false;
  FSocket->OnRead = nullptr;
  FSocket->OnWrite = nullptr;
  FSocket->OnDisconnect = nullptr;
  FSocket->OnError = nullptr;
  FSocket.reset();  // closes an open connection
  FTimer.reset();
  FDeadlineTimer.reset();
}

void TSocketTalk::ExpectReply(TTalkStep step) {
  FReplyTerminator.clear();
  FReplyText.clear();
  FTimer->SetInterval(TimeOutMs());
  FTimer->SetEnabled(true);
  FLastError = teNone;
  FLastErrorCode = 0;
  FStep = step;
  FWaiting = true;
  FFirstWords = true;
  FSucceeded = false;
}

void TSocketTalk::StartDeadline(int seconds) {
  FDeadlinePassed = false;
  FDeadlineRunning = seconds > 0;
  FDeadlineTimer->SetEnabled(false);
  if (!FDeadlineRunning) return;
  FDeadlineTimer->SetInterval(static_cast<int64_t>(seconds) * 1000);
  FDeadlineTimer->SetEnabled(true);
}

void TSocketTalk::StopDeadline() {
  FDeadlineTimer->SetEnabled(false);
  FDeadlineRunning = false;
  FDeadlinePassed = false;
}

void TSocketTalk::Wake() {
  FLoop.Post([] {});
}

void TSocketTalk::SendText(const std::string& text, const std::string& terminator, TTalkStep step) {
  // All state is set before the first byte goes out, so that a reply that
  // arrives while the text is still being sent is kept and judged.
  FReplyTerminator = terminator;
  FStep = step;
  FReplyText.clear();
  FTimer->SetInterval(TimeOutMs());
  FLastError = teNone;
  FLastErrorCode = 0;
  FWaiting = true;
  FFirstWords = false;
  FSucceeded = false;

  std::weak_ptr<bool> alive = FAlive;
  const int packetSize = FSendPacketSize;
  const int32_t total = static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
  auto progress = [&](int32_t current) {
    if (OnProgress) {
      TProgressEvent handler = OnProgress;
      handler(FOwner, total, current);
    }
  };
  size_t handed = 0;
  if (packetSize > 0 && text.size() > static_cast<size_t>(packetSize)) {
    progress(0);
    for (size_t at = 0; at < text.size(); at += static_cast<size_t>(packetSize)) {
      FLoop.ProcessPending();
      if (alive.expired()) return;
      if (CheckStop()) break;
      size_t length = std::min(text.size() - at, static_cast<size_t>(packetSize));
      bool goOn = HandOver(text.data() + at, length, &handed);
      if (alive.expired()) return;
      if (!goOn) break;
      progress(static_cast<int32_t>(std::min<size_t>(handed, INT32_MAX)));
      if (alive.expired()) return;
    }
    if (handed == text.size()) progress(total);
  } else {
    HandOver(text.data(), text.size(), &handed);
  }
  if (alive.expired()) return;
  FSendPacketSize = 0;
}

bool TSocketTalk::HandOver(const char* bytes, size_t count, size_t* handedOver) {
  std::weak_ptr<bool> alive = FAlive;
  bool blocked = false;
  while (count > 0) {
    if (!FWaiting) return false;  // the exchange ended meanwhile
    int piece = static_cast<int>(std::min<size_t>(count, INT_MAX));
    Result<int> sent = FSocket->SendBytes(bytes, piece);
    if (alive.expired()) return false;
    // No connection, or a send error (notified: the exchange has ended).
    if (!sent) return false;
    if (*sent > 0) {
      bytes += *sent;
      count -= static_cast<size_t>(*sent);
      *handedOver += static_cast<size_t>(*sent);
      if (blocked) {
        FTimer->SetEnabled(false);  // progress: a refusal from now on gets a full time-out
        blocked = false;
      }
      continue;
    }
    // The socket would block. Wait until it takes data again, at most 10 ms,
    // dispatching messages; TimeOut seconds of refusals end the exchange.
    if (!FWaiting) return false;
    if (!blocked) {
      FTimer->SetEnabled(true);
      blocked = true;
    }
    FLoop.WaitAndProcess(10);
    if (alive.expired()) return false;
    if (CheckStop()) return false;
  }
  if (blocked) FTimer->SetEnabled(false);
  return true;
}

void TSocketTalk::WaitReply() {
  std::weak_ptr<bool> alive = FAlive;
  FTimer->SetInterval(TimeOutMs());
  while (FWaiting && !FSucceeded) {
    if (CheckStop()) break;
    FTimer->SetEnabled(true);
    FLoop.WaitAndProcess(-1);
    if (alive.expired()) return;
  }
  FTimer->SetEnabled(false);
}

void TSocketTalk::CancelWait() {
  FTimer->SetEnabled(false);
  FLastError = teNone;
  FStep = tsNone;
  FReplyTerminator.clear();
  FWaiting = false;
  FSucceeded = false;
}

void TSocketTalk::HandleRead() {
  // In pieces of at most kTalkReadChunk bytes, each judged on its own, so
  // that a flood of data never sits in one buffer; at most kReadRounds of
  // them per notification, so that a peer that never lets the socket drain
  // cannot keep the time-outs and a cancel from running (the socket
  // notifies again for what is left).
  constexpr int kReadRounds = 16;
  std::weak_ptr<bool> alive = FAlive;
  std::string piece;
  for (int round = 0; round < kReadRounds; ++round) {
    int pending = FSocket->PendingLength();
    if (pending <= 0) return;
    int want = std::min(pending, kTalkReadChunk);
    piece.assign(static_cast<size_t>(want), '\0');
    int got = FSocket->ReceiveBytes(piece.data(), want);
    if (alive.expired() || got <= 0) return;
    piece.resize(static_cast<size_t>(got));
    HandlePiece(piece);
    if (alive.expired()) return;
  }
}

void TSocketTalk::HandlePiece(const std::string& piece) {
  if (KeepReplyText) FReplyText += piece;
  FLastError = teNone;
  FTimer->SetEnabled(false);

  std::weak_ptr<bool> alive = FAlive;
  if (OnPieceReceived) {
    auto hook = OnPieceReceived;
    hook(*this, FStep, FSucceeded, piece);
    if (alive.expired()) return;
  }

  bool complete;
  if (FWaiting && FStep != tsNone && OnCheckComplete) {
    auto check = OnCheckComplete;
    complete = check(*this, FStep, FReplyText);
    if (alive.expired()) return;
  } else {
    complete = FReplyTerminator.empty() ||
               (FReplyText.size() >= FReplyTerminator.size() &&
                FReplyText.compare(FReplyText.size() - FReplyTerminator.size(), FReplyTerminator.size(),
                                   FReplyTerminator) == 0);
  }
  if (!complete) {
    FTimer->SetEnabled(true);  // a full new interval for the rest of the reply
    return;
  }
  FLastError = teNone;
  FReplyTerminator.clear();
  FWaiting = false;
  if (OnReplyComplete) {
    auto hook = OnReplyComplete;
    hook(*this, FStep, FSucceeded, FReplyText);
    if (alive.expired()) return;
  }
  FStep = tsNone;
}

// The socket takes data again; the notification itself ends the short wait
// of HandOver, which then offers the bytes once more.
void TSocketTalk::HandleWrite() {}

void TSocketTalk::HandleDisconnect() {
  std::weak_ptr<bool> alive = FAlive;
  if (OnConnectionClosed) {
    auto hook = OnConnectionClosed;
    hook(*this);
    if (alive.expired()) return;
  }
  FTimer->SetEnabled(false);
  FWaiting = false;
  FStep = tsNone;
  FReplyTerminator.clear();
  FSendPacketSize = 0;
}

void TSocketTalk::HandleError(TErrorEvent event, int& code) {
  FLastErrorCode = code;
  code = 0;  // consumed: the socket raises nothing
  EndWithError(TalkErrorOf(event));
}

void TSocketTalk::HandleTimeOut() {
  // Still connecting: an address that stays silent gives way to the next one
  // the name stands for, which gets a full time-out of its own (the deadline
  // bounds them all).
  if (FWaiting && FFirstWords && !FSocket->Active() && FSocket->TryNextAddress()) {
    FTimer->SetEnabled(false);
    FTimer->SetEnabled(true);
    return;
  }
  EndWithError(teTimeOut);
}

void TSocketTalk::HandleDeadline() {
  FDeadlineTimer->SetEnabled(false);
  FDeadlinePassed = true;
  if (FWaiting) EndWithError(teDeadline);
}

bool TSocketTalk::CheckStop() {
  if (!FWaiting) return false;
  if (Cancelled()) {
    EndWithError(teCancelled);
    return true;
  }
  if (FDeadlinePassed) {
    EndWithError(teDeadline);
    return true;
  }
  return false;
}

void TSocketTalk::EndWithError(TTalkError error) {
  FTimer->SetEnabled(false);
  FLastError = error;
  FReplyTerminator.clear();
  FWaiting = false;
  FSucceeded = false;
  std::weak_ptr<bool> alive = FAlive;
  if (OnFailure) {
    auto hook = OnFailure;
    hook(*this, FStep, error);
    if (alive.expired()) return;
  }
  FStep = tsNone;
}

}  // namespace qw

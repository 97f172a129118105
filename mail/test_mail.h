// The test mail: a short mail that tells an administrator whether the mail
// settings get a mail through, sent on request from the settings dialog and
// from the service program, whatever ISMAILSEND says.
#pragma once

#include <string>
#include <vector>

#include "mail/smtp_client.h"
#include "platform/system_info.h"

namespace qw {

inline constexpr const char* kTestMailSubject = "テストメール";
inline constexpr const char* kTestMailSent = "送信しました";
inline constexpr const char* kTestMailNoConnection = "接続できません";

// The mail settings the test mail is sent with (Shift-JIS where text).
struct TTestMailSettings {
  std::string host;
  int port = 25;
  TSmtpSecurity security = TSmtpSecurity::None;
  bool tlsVerify = true;
  std::string user;
  std::string password;
  std::string from;
  std::string to;  // comma list
  std::string cc;  // comma list, may be empty
  int timeOut = 60;
  int deadline = 300;
};

// Gives `client` the server, security, login and time-outs of `settings`
// (the alert mail and the test mail are sent alike).
void ApplyServerSettings(TSMTPClient& client, const TTestMailSettings& settings);

struct TTestMailOutcome {
  TDeliveryResult result;
  // The conversation: "> " and each command sent (AUTH masked), "< " and
  // each reply line received.
  std::vector<std::string> transcript;

  // The lines joined with `eol` (each line followed by it).
  std::string TranscriptText(const std::string& eol) const;
};

// The body: names the computer and the local time of sending.
std::string TestMailBody(SystemInfo& system);

// Builds the test mail and delivers it through `client`, which belongs to
// the calling thread (its loop is dispatched while waiting); another thread
// may end the conversation with client.RequestCancel(). Misuse (an empty
// host, no recipients, an address with a line break) raises
// std::runtime_error as TSMTPClient does, before anything is sent.
TTestMailOutcome SendTestMail(TSMTPClient& client, SystemInfo& system, const TTestMailSettings& settings);

// One line for the user: kTestMailSent (with the refused recipients, if
// any), kTestMailNoConnection and the reason for a connection that did not
// come about, else the step and the server's reply or the error as
// TDeliveryResult words it.
std::string TestMailOutcomeText(const TDeliveryResult& result, const TTestMailSettings& settings);

}  // namespace qw

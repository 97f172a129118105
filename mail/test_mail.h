// The test mail: a short mail that tells an administrator whether the mail
// settings get a mail through, sent on request from the settings dialog and
// from the service program, whatever ISMAILSEND says.
#pragma once

#include <string>
#include <vector>

#include "mail/smtp_client.h"
#include "mail/smtp_settings.h"
#include "mail/test_mail_texts.h"
#include "platform/system_info.h"

namespace qw {

struct TTestMailOutcome {
  TDeliveryResult result;
  // The conversation: "> " and each command sent (AUTH masked), "< " and
  // each reply line received.
  std::vector<std::string> transcript;

  // The lines joined with `eol` (each line followed by it).
  std::string TranscriptText(const std::string& eol) const;
};

// Builds the test mail and delivers it through `client`, which belongs to
// the calling thread (its loop is dispatched while waiting); another thread
// may end the conversation with client.RequestCancel(). Misuse (an empty
// host, no recipients, an address with a line break) raises
// std::runtime_error as TSMTPClient does, before anything is sent.
TTestMailOutcome SendTestMail(TSMTPClient& client, SystemInfo& system, const TTestMailSettings& settings);

}  // namespace qw

// The service program's test mail (/TESTMAIL, --test-mail): loads the saved
// settings as the service does and sends the test mail with them.
#pragma once

#include <string>

#include "service/drivewarden.h"

namespace qw {

struct TTestMailRun {
  // 0 when the server accepted the mail for every recipient, 1 otherwise
  // (a settings error, missing server or To, a failed or partial delivery).
  int exitCode = 1;
  // What to print, Shift-JIS, lines ending with LF: the transcript, then
  // the outcome ("送信しました" or the failure).
  std::string text;
};

// Runs on the calling thread, whose loop the SMTP client dispatches.
TTestMailRun RunTestMail(TDrivewarden& service, SystemInfo& system);

}  // namespace qw

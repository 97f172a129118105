// The service program's test mail (/TESTMAIL, --test-mail): loads the saved
// settings as the service does, sends the test mail with them and posts the
// test notification to every webhook target.
#pragma once

#include <string>

#include "service/drivewarden.h"

namespace qw {

struct TTestMailRun {
  // 0 when the server accepted the mail for every recipient (or there is
  // no SMTP server and at least one webhook target) and every webhook target
  // took its test notification; 1 otherwise (a settings error, missing
  // server or To, a failed or partial delivery, a target that failed).
  int exitCode = 1;
  // What to print, Shift-JIS, lines ending with LF: the transcript, then
  // the outcome ("送信しました" or the failure), then one line per webhook
  // target with its outcome.
  std::string text;
};

// Runs on the calling thread, whose loop the SMTP client dispatches.
TTestMailRun RunTestMail(TDrivewarden& service, SystemInfo& system);

}  // namespace qw

#include "service/test_mail_run.h"

#include <exception>

#include "common/exception_text.h"
#include "platform/message_loop.h"

namespace qw {

TTestMailRun RunTestMail(TDrivewarden& service, SystemInfo& system) {
  TTestMailRun run;
  try {
    service.LoadSettings(true);
  } catch (const std::exception& error) {
    run.text = std::string(error.what()) + "\n";
    return run;
  }
  const TTestMailSettings settings = service.TestMailSettings();
  if (settings.host.empty()) {
    run.text = std::string("設定ファイル ") + kIniFileName + " の [" + kSectionMail + "] " + kKeySmtp +
               " (SMTP サーバー) が空です。\n";
    return run;
  }
  if (settings.to.empty()) {
    run.text = std::string("設定ファイル ") + kIniFileName + " の [" + kSectionMail + "] " + kKeyMailTo +
               " (宛先) が空です。\n";
    return run;
  }
  try {
    TSMTPClient client("smtpClient", ThisThreadLoop());
    // The token step (OAuth 2.0) and each conversation, in order.
    TTestMailOutcome outcome;
    outcome.result = service.Login().Deliver(
        client, settings,
        [&](const TTestMailSettings& left) {
          const TTestMailOutcome one = SendTestMail(client, system, left);
          outcome.transcript.insert(outcome.transcript.end(), one.transcript.begin(), one.transcript.end());
          return one.result;
        },
        [&](const std::string& line) { outcome.transcript.push_back("* " + line); });
    run.text = outcome.TranscriptText("\n") + TestMailOutcomeText(outcome.result, settings) + "\n";
    run.exitCode = outcome.result.Complete() ? 0 : 1;
  } catch (...) {
    run.text = ExceptionText(std::current_exception()) + "\n";
  }
  return run;
}

}  // namespace qw

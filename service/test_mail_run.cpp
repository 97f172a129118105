#include "service/test_mail_run.h"

#include <exception>

#include "common/exception_text.h"
#include "platform/message_loop.h"
#include "service/webhook_test.h"

namespace qw {

namespace {

// The mail part of the run: true when every recipient took the mail, or
// when there is no SMTP server and the webhooks are all there is to test.
bool TestMailPart(TDrivewarden& service, SystemInfo& system, std::string& text) {
  const TTestMailSettings settings = service.TestMailSettings();
  if (settings.host.empty() && !service.WebhookTargets().empty()) {
    text += std::string("設定ファイル ") + kIniFileName + " の [" + kSectionMail + "] " + kKeySmtp +
            " (SMTP サーバー) が空なので、テストメールは送りません。\n";
    return true;
  }
  if (settings.host.empty()) {
    text += std::string("設定ファイル ") + kIniFileName + " の [" + kSectionMail + "] " + kKeySmtp +
            " (SMTP サーバー) が空です。\n";
    return false;
  }
  if (settings.to.empty()) {
    text += std::string("設定ファイル ") + kIniFileName + " の [" + kSectionMail + "] " + kKeyMailTo +
            " (宛先) が空です。\n";
    return false;
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
    text += outcome.TranscriptText("\n") + TestMailOutcomeText(outcome.result, settings) + "\n";
    return outcome.result.Complete();
  } catch (...) {
    text += ExceptionText(std::current_exception()) + "\n";
    return false;
  }
}

}  // namespace

TTestMailRun RunTestMail(TDrivewarden& service, SystemInfo& system) {
  TTestMailRun run;
  try {
    service.LoadSettings(true);
  } catch (const std::exception& error) {
    run.text = std::string(error.what()) + "\n";
    return run;
  }
  bool allWent = TestMailPart(service, system, run.text);
  // Then the test notification to every webhook target, one line each,
  // bounded as the mail conversation is.
  const int deadline = service.TestMailSettings().deadline;
  const int64_t timeoutMs = int64_t{deadline > 0 ? deadline : 300} * 1000;
  for (const WebhookTarget& target : service.WebhookTargets()) {
    const TestNotificationResult sent =
        SendTestNotification(target, system, service.WebhookSenderInUse(), timeoutMs);
    run.text += sent.text + "\n";
    allWent = allWent && sent.Delivered();
  }
  run.exitCode = allWent ? 0 : 1;
  return run;
}

}  // namespace qw

#include "service/webhook_test.h"

#include <exception>

#include "common/check_state.h"
#include "common/exception_text.h"

namespace qw {

std::string TestNotificationText(SystemInfo& system) {
  const LocalDateTime now = system.Now();
  std::string computer = system.ComputerName();
  if (computer.empty()) computer = system.HostName();
  return "これはドライブ番人サービスの設定から送ったテスト通知です。\r\n"
         "コンピュータ: " +
         computer + "\r\n" + "送信日時: " + system.FormatShortDate(now) + " " + system.FormatLongTime(now) + "\r\n";
}

AlertNotice TestNotificationNotice(SystemInfo& system) {
  AlertNotice notice;
  notice.kind = AlertNotice::Kind::kTest;
  notice.computer = system.ComputerName();
  if (notice.computer.empty()) notice.computer = system.HostName();
  const LocalDateTime now = system.Now();
  notice.utcOffsetMinutes = system.UtcOffsetMinutes();
  notice.localTime = LocalStamp(now);
  notice.utcTime = UtcStamp(now, notice.utcOffsetMinutes);
  notice.report = TestNotificationText(system);
  return notice;
}

std::string TestNotificationOutcomeText(const WebhookTarget& target, const WebhookResult& result) {
  std::string text = target.section + " (" + WebhookKindName(target.kind) + ") " + WebhookUrlShown(target.url) + ": ";
  if (result.Delivered()) return text + "送信しました (HTTP " + std::to_string(result.status) + ")";
  text += "送信できませんでした: " + result.step;
  if (result.status != 0) text += " " + std::to_string(result.status);
  if (!result.reason.empty()) text += ": " + result.reason;
  return WebhookMask(target).Apply(text);
}

TestNotificationResult SendTestNotification(const WebhookTarget& target, SystemInfo& system, WebhookSender& sender,
                                            int64_t timeoutMs) {
  TestNotificationResult out;
  out.result.outcome = WebhookResult::Outcome::kFinal;
  try {
    const Result<std::string> body = RenderWebhookBody(target.kind, TestNotificationNotice(system));
    if (!body) {
      out.result.step = "HTTP";
      out.result.reason = "通知を作れません: " + body.status().Describe();
    } else {
      out.result = sender.Send(target, *body, timeoutMs);
    }
  } catch (...) {
    out.result = WebhookResult{};
    out.result.outcome = WebhookResult::Outcome::kFinal;
    out.result.reason = ExceptionText(std::current_exception());
  }
  out.result.reason = WebhookMask(target).Apply(out.result.reason);
  out.text = TestNotificationOutcomeText(target, out.result);
  return out;
}

}  // namespace qw

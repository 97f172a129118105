#include "service/alert_sender.h"

#include "mail/iso2022jp.h"
#include "platform/message_loop.h"

namespace qw {
namespace {

const char kAlertSenderName[] = "ドライブ番人サービス";

}  // namespace

AlertSender::AlertSender(SystemInfo& system, CancellableHttp::Factory http)
    : system_(system), message_(system, "mailMsg"), login_(std::move(http)) {
  slot_.SetListener([this](bool cancelled) {
    if (cancelled)
      login_.Cancel();
    else
      login_.Resume();
  });
  message_.Charset = "iso-2022-jp";
  message_.TextEncoding = etQuotedPrintable;
}

TDeliveryResult AlertSender::Send(const std::string& report, bool recovery, const std::string& recipients,
                                  const TTestMailSettings& settings, bool forecast) {
  // The body travels as ISO-2022-JP (7 bit), not as raw Shift-JIS.
  message_.ParseText(ShiftJisToIso2022Jp(report), false);
  message_.SetSubjectHeader(recovery ? kRecoverySubject : forecast ? kForecastSubject : kAlertSubject);
  message_.TextEncoding = et7Bit;
  message_.ToRecipients().AssignCommaLists("", settings.to);
  if (!settings.cc.empty()) message_.CcRecipients().AssignCommaLists("", settings.cc);
  message_.SetSenderHeader(kAlertSenderName, settings.from);
  message_.SetHeaderValue("MIME-Version", "1.0");
  message_.SetHeaderValue("Content-Type", "text/plain");
  message_.SetHeaderParam("Content-Type", "charset", "ISO-2022-JP");
  message_.SetHeaderValue("Content-Transfer-Encoding", "7bit");

  if (message_.NeedsRebuild()) message_.Rebuild();
  message_.SetDateHeader(system_.Now());

  // The client and its socket belong to this thread: made here, destroyed
  // here, whichever thread ran the previous check.
  TSMTPClient client("smtpClient", ThisThreadLoop());
  client.PacketSize = 102400;
  client.MailMessage = &message_;
  client.EnvelopeRecipients = recipients;
  ClientSlot::Hold hold(slot_, client);
  TDeliveryResult result = login_.Deliver(client, settings, [&client](const TTestMailSettings& left) {
    ApplyServerSettings(client, left);
    return client.Deliver();
  });
  // A connection that failed names the server it tried, as the test mail
  // does: with several servers in use the entry tells which one.
  if (result.step == TSmtpStep::Connect) {
    const std::string server = HostPortText(client.Host, client.Port);
    result.status = Status::Failure("CONNECT " + server, result.status.Code(), result.status.Text());
  }
  return result;
}

std::string AlertFailureText(const TDeliveryResult& result) {
  if (result.Complete()) return "";
  const std::string reason = result.status.Describe();
  std::string text = result.Delivered() ? kAlertPartlySent : std::string(kAlertNotSent) + reason;
  // Every refused recipient is named, also when all were refused (the
  // status names the last of them).
  bool first = result.Delivered();
  for (const auto& [address, reply] : result.refused) {
    const std::string line = "RCPT <" + address + ">: " + reply;
    if (line == reason) continue;
    if (!first) text += "\r\n";
    text += line;
    first = false;
  }
  return text;
}

std::string AlertFailureEntry(const TDeliveryResult& result, bool recovery, const std::string& note) {
  std::string text = AlertFailureText(result);
  const std::string notSent = kAlertNotSent;
  if (recovery && text.compare(0, notSent.size(), notSent) == 0) text = kRecoveryNotSent + text.substr(notSent.size());
  if (!text.empty() && !note.empty()) text += "\r\n" + note;
  return text;
}

}  // namespace qw

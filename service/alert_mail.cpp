// The alert mail: the check's report sent to the To and Cc addresses of the
// settings, as an ISO-2022-JP mail that Japanese mail readers show as it is.
#include "mail/iso2022jp.h"
#include "mail/test_mail.h"
#include "service/drivewarden.h"

namespace qw {
namespace {

const char kAlertSubject[] = "ドライブ領域不足のお知らせ";
const char kRecoverySubject[] = "ドライブ領域回復のお知らせ";
const char kAlertSenderName[] = "ドライブ番人サービス";

}  // namespace

TDeliveryResult TDrivewarden::SendAlertMail(const std::string& report, bool recovery,
                                           const std::string& recipients) {
  TMailMessage& message = *FMailMsg;
  // The body travels as ISO-2022-JP (7 bit), not as raw Shift-JIS.
  message.ParseText(ShiftJisToIso2022Jp(report), false);
  message.SetSubjectHeader(recovery ? kRecoverySubject : kAlertSubject);
  message.TextEncoding = et7Bit;
  message.ToRecipients().AssignCommaLists("", FMailTo);
  if (!FMailCc.empty()) message.CcRecipients().AssignCommaLists("", FMailCc);
  message.SetSenderHeader(kAlertSenderName, FMailFrom);
  message.SetHeaderValue("MIME-Version", "1.0");
  message.SetHeaderValue("Content-Type", "text/plain");
  message.SetHeaderParam("Content-Type", "charset", "ISO-2022-JP");
  message.SetHeaderValue("Content-Transfer-Encoding", "7bit");

  if (message.NeedsRebuild()) message.Rebuild();
  message.SetDateHeader(platform_.system.Now());

  // The client and its socket belong to this thread: made here, destroyed
  // here, whichever thread ran the previous check.
  TSMTPClient client("smtpClient", ThisThreadLoop());
  ApplyServerSettings(client, TestMailSettings());
  client.PacketSize = 102400;
  client.MailMessage = &message;
  client.EnvelopeRecipients = recipients;
  {
    std::lock_guard<std::mutex> lock(FCheckMutex);
    if (FStopped) client.RequestCancel();
    FActiveClient = &client;
  }
  struct Unregister {
    TDrivewarden& self;
    ~Unregister() {
      std::lock_guard<std::mutex> lock(self.FCheckMutex);
      self.FActiveClient = nullptr;
    }
  } unregister{*this};
  TDeliveryResult result = client.Deliver();
  // A connection that failed names the server it tried, as the test mail
  // does: with several servers in use the entry tells which one.
  if (result.step == TSmtpStep::Connect) {
    const std::string server = HostPortText(client.Host, client.Port);
    result.status = Status::Failure("CONNECT " + server, result.status.Code(), result.status.Text());
  }
  return result;
}

}  // namespace qw

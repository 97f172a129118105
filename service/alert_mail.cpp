// The alert mail: the check's report sent to the To and Cc addresses of the
// settings, as an ISO-2022-JP mail that Japanese mail readers show as it is.
#include "mail/iso2022jp.h"
#include "service/drivewarden.h"

namespace qw {
namespace {

const char kAlertSubject[] = "ドライブ領域不足のお知らせ";
const char kAlertSenderName[] = "ドライブ番人サービス";

// Disconnects the client when the sending leaves, also by an error.
class DisconnectAtEnd {
 public:
  explicit DisconnectAtEnd(TSMTPClient& client) : client_(client) {}
  ~DisconnectAtEnd() { client_.Disconnect(); }

 private:
  TSMTPClient& client_;
};

}  // namespace

TSMTPClient& TDrivewarden::smtpClient() {
  const std::thread::id here = std::this_thread::get_id();
  if (!FSmtpClient || FSmtpThread != here) {
    auto client = std::make_unique<TSMTPClient>("smtpClient", ThisThreadLoop());
    if (FSmtpClient) {
      client->Host = FSmtpClient->Host;
      client->Port = FSmtpClient->Port;
    }
    client->SetTimeOut(60);
    client->PacketSize = 102400;
    client->MailMessage = FMailMsg.get();
    FSmtpClient = std::move(client);
    FSmtpThread = here;
  }
  return *FSmtpClient;
}

void TDrivewarden::SendAlertMail(const std::string& report) {
  TMailMessage& message = *FMailMsg;
  // The body travels as ISO-2022-JP (7 bit), not as raw Shift-JIS.
  message.ParseText(ShiftJisToIso2022Jp(report), false);
  message.SetSubjectHeader(kAlertSubject);
  message.TextEncoding = et7Bit;
  message.ToRecipients().AssignCommaLists("", FMailTo);
  if (!FMailCc.empty()) message.CcRecipients().AssignCommaLists("", FMailCc);
  message.SetSenderHeader(kAlertSenderName, FMailFrom);
  message.SetHeaderValue("MIME-Version", "1.0");
  message.SetHeaderValue("Content-Type", "text/plain");
  message.SetHeaderParam("Content-Type", "charset", "ISO-2022-JP");
  message.SetHeaderValue("Content-Transfer-Encoding", "7bit");

  TSMTPClient& client = smtpClient();
  if (!client.Connect()) return;
  DisconnectAtEnd disconnect(client);
  if (message.NeedsRebuild()) message.Rebuild();
  message.SetDateHeader(platform_.system.Now());
  client.Send();
}

}  // namespace qw

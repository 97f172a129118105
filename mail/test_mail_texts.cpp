#include "mail/test_mail_texts.h"

namespace qw {

std::string TestMailBody(SystemInfo& system) {
  const LocalDateTime now = system.Now();
  std::string computer = system.ComputerName();
  if (computer.empty()) computer = system.HostName();
  return "これはドライブ番人サービスの設定から送ったテストメールです。\r\n"
         "コンピュータ: " + computer + "\r\n" +
         "送信日時: " + system.FormatShortDate(now) + " " + system.FormatLongTime(now) + "\r\n";
}

std::string TestMailOutcomeText(const TDeliveryResult& result, const TTestMailSettings& settings) {
  std::string text;
  if (result.Delivered()) {
    text = kTestMailSent;
    for (const auto& [address, reply] : result.refused) text += "\r\nRCPT <" + address + ">: " + reply;
    return text;
  }
  if (result.step == TSmtpStep::Connect) {
    return std::string(kTestMailNoConnection) + ": " + HostPortText(settings.host, settings.port) + ": " +
           result.status.Text();
  }
  return result.status.Describe();
}

}  // namespace qw

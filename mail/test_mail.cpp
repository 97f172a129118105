#include "mail/test_mail.h"

#include <cstdio>

#include "mail/iso2022jp.h"
#include "mail/mail_message.h"

namespace qw {
namespace {

const char kSenderName[] = "ドライブ番人サービス";

std::string WithoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

}  // namespace

std::string TTestMailOutcome::TranscriptText(const std::string& eol) const {
  std::string text;
  for (const std::string& line : transcript) text += line + eol;
  return text;
}

std::string TestMailBody(SystemInfo& system) {
  const LocalDateTime now = system.Now();
  std::string computer = system.ComputerName();
  if (computer.empty()) computer = system.HostName();
  return "これはドライブ番人サービスの設定から送ったテストメールです。\r\n"
         "コンピュータ: " + computer + "\r\n" +
         "送信日時: " + system.FormatShortDate(now) + " " + system.FormatLongTime(now) + "\r\n";
}

void ApplyServerSettings(TSMTPClient& client, const TTestMailSettings& settings) {
  client.Host = settings.host;
  client.Port = settings.port;
  client.Security = settings.security;
  client.TlsVerify = settings.tlsVerify;
  client.User = settings.user;
  client.Password = settings.password;
  client.SetTimeOut(settings.timeOut);
  client.Deadline = settings.deadline;
}

TTestMailOutcome SendTestMail(TSMTPClient& client, SystemInfo& system, const TTestMailSettings& settings) {
  TMailMessage message(system, "testMailMsg");
  message.Charset = "iso-2022-jp";
  message.ParseText(ShiftJisToIso2022Jp(TestMailBody(system)), false);
  message.SetSubjectHeader(kTestMailSubject);
  message.TextEncoding = et7Bit;
  message.ToRecipients().AssignCommaLists("", settings.to);
  if (!settings.cc.empty()) message.CcRecipients().AssignCommaLists("", settings.cc);
  message.SetSenderHeader(kSenderName, settings.from);
  message.SetHeaderValue("MIME-Version", "1.0");
  message.SetHeaderValue("Content-Type", "text/plain");
  message.SetHeaderParam("Content-Type", "charset", "ISO-2022-JP");
  message.SetHeaderValue("Content-Transfer-Encoding", "7bit");
  if (message.NeedsRebuild()) message.Rebuild();
  message.SetDateHeader(system.Now());

  TTestMailOutcome outcome;
  ApplyServerSettings(client, settings);
  client.MailMessage = &message;
  client.OnCommand = [&outcome](const std::string& line) { outcome.transcript.push_back("> " + WithoutLineEnd(line)); };
  client.OnReply = [&outcome](const std::string& line) { outcome.transcript.push_back("< " + line); };
  struct Detach {
    TSMTPClient& client;
    ~Detach() {
      client.OnCommand = nullptr;
      client.OnReply = nullptr;
      client.MailMessage = nullptr;
    }
  } detach{client};
  outcome.result = client.Deliver();
  return outcome;
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

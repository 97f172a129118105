#include "mail/test_mail.h"

#include <cstdio>

#include "mail/iso2022jp.h"
#include "mail/mail_message.h"

namespace qw {
namespace {

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

TTestMailOutcome SendTestMail(TSMTPClient& client, SystemInfo& system, const TTestMailSettings& settings) {
  TMailMessage message(system, "testMailMsg");
  message.Charset = "iso-2022-jp";
  message.ParseText(ShiftJisToIso2022Jp(TestMailBody(system)), false);
  message.SetSubjectHeader(kTestMailSubject);
  message.TextEncoding = et7Bit;
  message.ToRecipients().AssignCommaLists("", settings.to);
  if (!settings.cc.empty()) message.CcRecipients().AssignCommaLists("", settings.cc);
  message.SetSenderHeader(kTestMailSenderName, settings.from);
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

}  // namespace qw

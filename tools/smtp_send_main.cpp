// smtp_send: sends one mail with the project's SMTP client, for end-to-end
// tests against real mail servers and for trying a server by hand.
//
//   smtp_send --host H [--port N] --from ADDR --to LIST [--cc LIST]
//             [--bcc LIST] [--subject TEXT] [--body-file FILE]
//             [--timeout SECONDS] [--packet BYTES] [--sent-file FILE]
//
// LIST is a comma list of bare addresses. The body file is sent as it is
// (lines should end with CR LF). --sent-file receives the message text as
// transmitted (without its "Bcc" line, before transparency). Exit status 0
// when the server accepted the message, 1 when the delivery failed, 2 on a
// usage error (a number that is not a decimal within its range included).
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "mail/mail_message.h"
#include "mail/smtp_client.h"
#include "platform/ascii_text.h"
#include "platform/system_info.h"

namespace {
int Usage() {
  std::fprintf(stderr,
               "usage: smtp_send --host H [--port N] --from ADDR --to LIST [--cc LIST] [--bcc LIST]\n"
               "                 [--subject TEXT] [--body-file FILE] [--timeout SECONDS] [--packet BYTES]\n"
               "                 [--sent-file FILE]\n");
  return 2;
}

// A decimal number within [min, max]; anything else is a usage error rather
// than a silent 0.
bool NumberArg(const std::string& value, int64_t min, int64_t max, int* number) {
  int64_t parsed = 0;
  if (!qw::ParseInteger(value, qw::kDecimal, min, max, &parsed)) return false;
  *number = static_cast<int>(parsed);
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  std::string host, from, to, cc, bcc, subject, bodyFile, sentFile;
  int port = 25, timeOut = 60, packet = 102400;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    std::string value = argv[++i];
    if (arg == "--host") host = value;
    else if (arg == "--port") {
      if (!NumberArg(value, 1, 65535, &port)) return Usage();
    }
    else if (arg == "--from") from = value;
    else if (arg == "--to") to = value;
    else if (arg == "--cc") cc = value;
    else if (arg == "--bcc") bcc = value;
    else if (arg == "--subject") subject = value;
    else if (arg == "--body-file") bodyFile = value;
    else if (arg == "--timeout") {
      if (!NumberArg(value, 1, 86400, &timeOut)) return Usage();
    } else if (arg == "--packet") {
      if (!NumberArg(value, 1, INT32_MAX, &packet)) return Usage();
    }
    else if (arg == "--sent-file") sentFile = value;
    else return Usage();
  }
  if (host.empty() || from.empty() || to.empty()) return Usage();

  try {
    std::unique_ptr<qw::SystemInfo> system = qw::NewSystemInfo();
    qw::TMailMessage message(*system, "mailMsg");
    message.Charset = "iso-2022-jp";
    message.SetSenderHeader("", from);
    message.ToRecipients().AssignCommaLists("", to);
    if (!cc.empty()) message.CcRecipients().AssignCommaLists("", cc);
    if (!bcc.empty()) message.BccRecipients().AssignCommaLists("", bcc);
    if (!subject.empty()) message.SetSubjectHeader(subject);
    if (!bodyFile.empty()) {
      std::ifstream in(bodyFile, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "smtp_send: cannot read %s\n", bodyFile.c_str());
        return 2;
      }
      std::ostringstream body;
      body << in.rdbuf();
      message.BodyStream = body.str();
    }

    qw::TSMTPClient client("smtpClient");
    client.Host = host;
    client.Port = port;
    client.SetTimeOut(timeOut);
    client.PacketSize = packet;
    client.MailMessage = &message;
    if (!client.Connect()) {
      std::fprintf(stderr, "smtp_send: cannot connect to %s:%d: %s\n", host.c_str(), port,
                   client.LastStatus().Describe().c_str());
      return 1;
    }
    if (message.NeedsRebuild()) message.Rebuild();
    message.SetDateHeader(system->Now());
    bool sent = client.Send();
    const std::string failure = client.LastStatus().Describe();
    client.Disconnect();
    if (!sent) {
      std::fprintf(stderr, "smtp_send: the server did not accept the message: %s\n", failure.c_str());
      return 1;
    }
    if (!sentFile.empty()) {
      std::vector<std::string> saved = message.HeaderLines;
      message.SetHeaderValue("Bcc", "");
      std::ofstream(sentFile, std::ios::binary) << message.FullText();
      message.HeaderLines = saved;
    }
    std::printf("sent\n");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "smtp_send: %s\n", e.what());
    return 2;
  }
}

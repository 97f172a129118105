// smtp_send: sends one mail with the project's SMTP client, for end-to-end
// tests against real mail servers and for trying a server by hand.
//
//   smtp_send --host H [--port N] --from ADDR --to LIST [--cc LIST]
//             [--bcc LIST] [--subject TEXT] [--body-file FILE]
//             [--timeout SECONDS] [--packet BYTES] [--sent-file FILE]
//             [--security NONE|STARTTLS|TLS] [--user NAME] [--password-env VAR]
//             [--verify 1|0] [--transcript 1]
//
// The password is taken from the environment variable VAR, never from the
// command line (which other users can read). --transcript 1 writes every
// command sent to stderr, AUTH lines masked.
// LIST is a comma list of bare addresses. The body file is sent as it is
// (lines should end with CR LF). --sent-file receives the message text as
// transmitted (without its "Bcc" line, before transparency). Exit status 0
// when the server accepted the message, 1 when the delivery failed, 2 on a
// usage error (a number that is not a decimal within its range included).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
               "                 [--sent-file FILE] [--security NONE|STARTTLS|TLS] [--user NAME]\n"
               "                 [--password-env VAR] [--verify 1|0] [--transcript 1]\n");
  return 2;
}

// A decimal number within [min, max]; anything else is a usage error rather
// than a silent 0.
bool NumberArg(const std::string& value, int64_t min, int64_t max, int* number) {
  const qw::Result<int64_t> parsed = qw::ParseInteger(value, qw::kDecimal, min, max);
  if (!parsed) return false;
  *number = static_cast<int>(*parsed);
  return true;
}
}  // namespace

int main(int argc, char** argv) {
  std::string host, from, to, cc, bcc, subject, bodyFile, sentFile;
  std::string user, passwordEnv;
  qw::TSmtpSecurity security = qw::TSmtpSecurity::None;
  bool verify = true, transcript = false;
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
    else if (arg == "--security") {
      std::string word = qw::AsciiUpperCase(value);
      if (word == "NONE") security = qw::TSmtpSecurity::None;
      else if (word == "STARTTLS") security = qw::TSmtpSecurity::StartTls;
      else if (word == "TLS") security = qw::TSmtpSecurity::Tls;
      else return Usage();
    }
    else if (arg == "--user") user = value;
    else if (arg == "--password-env") passwordEnv = value;
    else if (arg == "--verify" && (value == "0" || value == "1")) verify = value == "1";
    else if (arg == "--transcript" && (value == "0" || value == "1")) transcript = value == "1";
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
    client.Security = security;
    client.TlsVerify = verify;
    client.User = user;
    if (!passwordEnv.empty()) {
      const char* password = std::getenv(passwordEnv.c_str());
      if (!password) {
        std::fprintf(stderr, "smtp_send: %s is not set\n", passwordEnv.c_str());
        return 2;
      }
      client.Password = password;
    }
    if (transcript) client.OnCommand = [](const std::string& line) { std::fprintf(stderr, "> %s", line.c_str()); };
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

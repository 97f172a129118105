#include "mail/smtp_step.h"

namespace qw {

std::string SmtpStepWord(TSmtpStep step, const std::string& recipient) {
  switch (step) {
    case TSmtpStep::None: return "";
    case TSmtpStep::Connect: return "CONNECT";
    case TSmtpStep::Greeting: return "GREETING";
    case TSmtpStep::Tls: return "TLS";
    case TSmtpStep::Ehlo: return "EHLO";
    case TSmtpStep::Helo: return "HELO";
    case TSmtpStep::StartTls: return "STARTTLS";
    case TSmtpStep::Auth: return "AUTH";
    case TSmtpStep::Rset: return "RSET";
    case TSmtpStep::Mail: return "MAIL";
    case TSmtpStep::Rcpt: return recipient.empty() ? "RCPT" : "RCPT <" + recipient + ">";
    case TSmtpStep::Data: return "DATA";
    case TSmtpStep::EndOfData: return ".";
    case TSmtpStep::Quit: return "QUIT";
    case TSmtpStep::Token: return "TOKEN";
  }
  return "";
}

}  // namespace qw

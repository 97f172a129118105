// The steps of an SMTP conversation as an attempt's outcome names them.
#pragma once

#include <string>

namespace qw {

// The step of the conversation an attempt ended at. None: no step (the
// message was delivered, or the attempt failed before it began). Token: the
// OAuth 2.0 access token for the login could not be had, before the server
// was dialled.
enum class TSmtpStep { None, Connect, Greeting, Tls, Ehlo, Helo, StartTls, Auth, Rset, Mail, Rcpt, Data, EndOfData, Quit, Token };

// The step as the texts name it: "CONNECT", "GREETING", "TLS", "EHLO",
// "HELO", "STARTTLS", "AUTH", "TOKEN", "RSET", "MAIL", "RCPT", "DATA", "." (the end of
// the text), "QUIT"; "" for None. With a recipient, RCPT becomes
// "RCPT <address>".
std::string SmtpStepWord(TSmtpStep step, const std::string& recipient = "");

}  // namespace qw

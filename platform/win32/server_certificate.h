// The check of a TLS server's certificate that the platform makes itself,
// whatever the TLS stack below has already accepted: the chain is built by
// the local machine's chain engine (the roots a LocalSystem service trusts),
// any error in its trust status refuses it, and then the SSL chain policy
// checks the name (an address against the certificate's address entries).
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "platform/status.h"

namespace qw {

// Status("TLS") naming the chain's errors or the policy's, with the server's
// name; success when the certificate may be trusted for `serverName`.
Status VerifyServerCertificate(PCCERT_CONTEXT certificate, const std::string& serverName);

}  // namespace qw

// The certificates a person may pick for CLIENTCERT: those of the local
// computer's personal store (LocalMachine\My) on Windows, with what a picker
// shows of each. POSIX has no such store (CLIENTCERT names a PEM file there):
// the list fails as unsupported.
#pragma once

#include <string>
#include <vector>

#include "platform/status.h"

namespace qw {

struct StoreCertificate {
  std::string thumbprint;  // SHA-1 of the DER, 40 upper-case hexadecimal digits
  std::string subject;     // the simple display name of the subject (Shift-JIS)
  std::string issuer;      // the same of the issuer
  std::string notAfter;    // the end of its validity, local time, "YYYY/MM/DD"
  bool expired = false;    // notAfter lies in the past
  bool hasPrivateKey = false;  // the store names a key for it (only these can sign)
};

// Every certificate of LocalMachine\My in store order. A store that was
// never made is an empty list; one that cannot be opened fails with the
// system's words.
Result<std::vector<StoreCertificate>> ListMachineCertificates();

}  // namespace qw

// 選択…: the certificate picker of the OAuth 2.0 page. Lists the
// certificates of the local computer's personal store (subject, issuer, end
// of validity, thumbprint) and gives back the thumbprint of the one chosen.
// Only a certificate with a private key can sign; the others are listed
// (so that a person sees the certificate is there) but cannot be chosen.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "platform/message_box.h"

namespace qw {

// Shows the picker modally over `owner`, the list's first selection the
// certificate whose thumbprint is `current` (any form). The thumbprint
// chosen (40 upper-case hexadecimal digits), or nothing when cancelled. A
// store that cannot be read, or holds no certificate, is said in a message
// box and nothing is returned.
std::optional<std::string> PickMachineCertificate(HWND owner, MessageBoxes& boxes, const std::string& current);

}  // namespace qw

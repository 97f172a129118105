// What the SMTP client writes besides its command words: the envelope's
// recipient list and the message text in the form DATA carries
// (RFC 5321 4.5.2).
#pragma once

#include <string>
#include <vector>

namespace qw {

// Text with a "." doubled at the start of every line, so that no line of
// it can end the data.
std::string MakeTransparent(const std::string& text);

// The addresses of a comma list, one RCPT each: in ascending order, letter
// case ignored, the first form of an address kept; empty items name no one.
std::vector<std::string> EnvelopeAddresses(const std::string& recipients);

}  // namespace qw

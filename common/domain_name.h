// Domain names as DNS and SMTP write them (RFC 1035 2.3.1, RFC 5321 4.1.2):
// the names the mail client may say for this computer.
#pragma once

#include <cstddef>
#include <string>

namespace qw {

// Dot-separated labels of ASCII letters, digits and hyphens, 1 to 63 bytes
// each with no hyphen at either end, 253 bytes at most (a single final "."
// aside), at least `minLabels` of them, the last not all digits (no
// top-level label is numeric).
bool IsLdhDomain(const std::string& text, size_t minLabels = 1);

// A fully qualified domain: IsLdhDomain with at least two labels.
bool IsFullDomain(const std::string& text);

// The name this computer says with EHLO or HELO (RFC 5321 4.1.4): its DNS
// name `localName` when that is a fully qualified domain, else the address
// literal of `localAddress` ("[192.0.2.5]", "[IPv6:2001:db8::5]", 4.1.3),
// else `localName` when it is at least a domain, else "localhost".
std::string GreetingNameFor(std::string localName, const std::string& localAddress);

}  // namespace qw

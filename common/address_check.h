// Syntax checks of mail addresses and host names, shared by the settings
// dialog (sender box, server box, address dialog) and its key filters.
#pragma once

#include <string>

namespace qw {

// Address characters: ASCII letters, digits and ! # $ % & ' * + - . / = ? @
// ^ _ ` { | } ~. Not the space, the double quote, ( ) , : ; < > [ \ ], DEL,
// control characters or bytes of double-byte characters.
bool IsAddressChar(char c);

// Host-name characters: ASCII letters, digits, "-" and ".".
bool IsHostNameChar(char c);

// A mail address: at least 3 characters; a first "@" that is not the last
// character; only address characters before it (possibly none); and a text
// after it that IsDomainName accepts (so a second "@" is refused there).
bool IsMailAddress(const std::string& text);

// A host name: only host-name characters, no two dots in a row, at least one
// dot, not beginning or ending with a dot. Hyphens may stand anywhere and a
// dotted numeric address passes. The empty text is refused.
bool IsDomainName(const std::string& text);

// The SMTP server setting: a host name that IsDomainName accepts, or an
// address literal: an IPv6 address, bare or in brackets ("::1",
// "[2001:db8::1]"), or a dotted quad in brackets.
bool IsServerName(const std::string& text);

// Characters of the SMTP server box: host-name characters, and ":", "[" and
// "]" for IPv6 addresses.
bool IsServerNameChar(char c);

}  // namespace qw

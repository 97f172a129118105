// The settings file an installation writes from the public properties of its
// command line (msiexec ... SMTP=... MAILTO=... INTERVAL=24 THRESHOLD=10%),
// when the computer has none yet.
//
// The properties pass the settings dialog's own checks: the dialog model
// (SettingsModel) is loaded as for an empty file, given the properties as if
// typed, and saved into a text in memory, so a value the dialog refuses
// refuses the installation with the dialog's message, and an accepted one is
// written exactly as the dialog writes it. THRESHOLD goes to every fixed
// drive through the threshold dialog's decision; a list of addresses passes
// the address dialog's check one by one. ISMAILSEND=1 is written when SMTP
// and MAILTO are both given. TEXTFILEDIR is written as [METRICS]
// TEXTFILEDIR= when given, and must be an absolute path without control
// characters.
//
// The mail login: SECURITY (NONE, STARTTLS, TLS; the port follows the
// choice as in the dialog unless PORT is given), and the OAuth 2.0 login
// AUTH=OAUTH2 with USER (the mailbox), TENANT, CLIENTID, CLIENTCERT (a
// thumbprint in the machine's personal store), TOKENURL and SCOPE, read by
// the service's own reader. No secret is ever a property (a command line
// ends up in logs): without CLIENTCERT the client secret is set afterwards
// with QuotawardenService.exe /SETSECRET CLIENTSECRET, and the file is
// written without it and with ISMAILSEND=0 (a file whose mail is on without
// a credential does not load, and the service would not start): the note
// says to switch mail on once the secret is stored. USER is taken only with
// AUTH=OAUTH2 (a password login needs the password, which no property
// carries).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/drives.h"
#include "platform/status.h"

namespace qw {

// The property names the installer reads, in the order they are checked.
inline constexpr const char* kInstallPropertyNames[] = {
    "INTERVAL", "THRESHOLD", "SMTP", "PORT",     "MAILFROM", "MAILTO",     "MAILCC", "TEXTFILEDIR",
    "SECURITY", "AUTH",      "USER", "TENANT",   "CLIENTID", "CLIENTCERT", "TOKENURL", "SCOPE"};

// Property values (Shift-JIS), by name; a property not given is absent or
// empty, and takes the dialog's default.
using InstallProperties = std::vector<std::pair<std::string, std::string>>;

// Whether any settings property is given (not empty).
bool AnyInstallProperty(const InstallProperties& properties);

// The settings file's bytes (CR LF lines) made from `properties`, or a
// failure whose text names the property, its value and the dialog's message,
// e.g. "INTERVAL=0: インターバルには 1 以上の整数を入力してください。".
// `drives` gives the fixed drives THRESHOLD applies to.
// `note`, when given, receives what the installation log should tell
// besides (empty when nothing).
Status MakeInstallSettings(const InstallProperties& properties, Drives& drives, std::string* fileText,
                           std::string* note = nullptr);

// TEXTFILEDIR's rule: "X:\..." or "\\server\share...", no control
// characters nor < > " | ? * or a second colon, shorter than MAX_PATH.
// `path` is Shift-JIS.
bool IsAbsoluteWindowsPath(const std::string& path);

}  // namespace qw

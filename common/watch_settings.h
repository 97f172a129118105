// The watch's settings: what Drivewarden.ini says, read from one snapshot of
// the file into one struct, and the parsers of the single fields (port,
// addresses, security, TLS check, threshold) that the service, the applet
// and the installer hold to the same rules.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/drivewarden_common.h"
#include "common/oauth_settings.h"
#include "platform/profile.h"
#include "platform/status.h"

namespace qw {

// SECURITY: the connection's encryption, in the order of the applet's box.
enum class MailSecurity { None, StartTls, Tls };

// The field parsers. A failure's Text is the reason, worded for an entry
// or a dialog after "<key>=<value>: "; its What names the key.
// PORT: decimal digits or "0x" and hexadecimal digits, 1 to 65535; empty is 25.
Result<int> ParsePort(const std::string& text);
// One address, less one pair of enclosing angle brackets.
Result<std::string> ParseBareAddress(const std::string& text);
// A comma list of addresses as the bare comma list the mail is given: empty
// items are passed over, a list that names no address at all is refused.
// An empty text is an empty list.
Result<std::string> ParseAddressList(const std::string& text);
// SECURITY: NONE, STARTTLS or TLS in any case; empty is NONE.
Result<MailSecurity> ParseSecurity(const std::string& text);
// TLSVERIFY: 1 or 0; empty is 1.
Result<bool> ParseTlsVerify(const std::string& text);
// A [DRIVE] threshold ("500MB", "10%", "0") as bytes of a drive of
// `capacity` bytes (-1 unknown); Text of a failure is the conversion error.
Result<int64_t> ParseThreshold(const std::string& text, int64_t capacity, const std::string& decimalSeparator);
// True for a threshold that watches the drive (above zero, or a share of a
// drive whose size is unknown).
bool IsWatchingThreshold(const std::string& text, int64_t bytes);

struct WatchSettings {
  int32_t interval = 24;  // hours between checks
  int32_t remind = 0;     // hours between mails of a standing shortage
  bool recoveryMail = false;
  // ISMAILSEND=1 with a server and a To list (false when the mail keys were
  // read for the test mail with ISMAILSEND off).
  bool isMailSend = false;
  std::vector<A_Drive> drives;  // one per fixed drive, in letter order
  int thresholdCount = 0;       // drives with a watching threshold
  std::string absentLetters;    // [DRIVE] letters with a threshold that are no fixed drive
  std::string metricsFolder;

  std::string smtpHost;
  int smtpPort = 25;
  std::string mailFrom;  // bare addresses
  std::string mailTo;
  std::string mailCc;
  MailSecurity security = MailSecurity::None;
  bool tlsVerify = true;
  std::string user;
  std::string password;              // in clear
  bool passwordInFile = false;       // the file's PASSWORD is not empty
  std::string protectedPassword;     // the protected form of a clear PASSWORD, to store
  std::string protectFailure;        // why a clear PASSWORD could not be protected
  std::vector<std::string> mailProblems;  // bad mail keys while mail is off
  OAuthSettings oauth;                    // AUTH and the OAuth 2.0 keys
};

// What the reader needs besides the file.
struct WatchSettingsInputs {
  std::string fixedLetters;                // the fixed drives of the moment
  std::map<char, int64_t> capacities;      // total bytes; missing or -1: unknown
  std::string decimalSeparator = ".";
  // The mail keys must hold whatever ISMAILSEND says (the test mail).
  bool mailRequired = false;
  // A password from the host's own store; wins over the file's.
  std::string credentialPassword;
  // A CLIENTSECRET from the host's own store; wins over the file's.
  std::string credentialClientSecret;
  // See OAuthInputs::openClientCert.
  bool openClientCert = true;
};

// Reads every key of the snapshot. Throws EConvertError naming the file,
// section, key and value of the first value that does not hold. The mail
// keys are held to their rules only while mail is on (or required); with
// mail off a bad one is listed in mailProblems instead.
WatchSettings ReadWatchSettings(const ProfileSnapshot& ini, const WatchSettingsInputs& inputs);

}  // namespace qw

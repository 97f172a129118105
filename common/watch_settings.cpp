#include "common/watch_settings.h"

#include "common/address_check.h"
#include "common/comma_list.h"
#include "common/errors.h"
#include "common/threshold.h"
#include "platform/ascii_text.h"
#include "platform/files.h"
#include "platform/secret.h"

namespace qw {
namespace {

const char kNameForm[] =
    " (「名前 <アドレス>」の形式は使えません。アドレスだけを書いてください)";

Status Refusal(const std::string& reason) { return Status::Failure("", 0, reason); }

bool HasNameForm(const std::string& value) {
  return value.find('<') != std::string::npos || value.find('"') != std::string::npos;
}

// One item of an address value; `nameHint` adds how to write it when the
// whole value looks like "Name <address>".
Result<std::string> BareAddress(const std::string& item, bool nameHint) {
  const std::string shown = "'" + ShownValue(item) + "'";
  if (item.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    return Refusal(shown + " に改行文字または NUL 文字が含まれています");
  std::string address = item;
  if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
    address = address.substr(1, address.size() - 2);
  if (address.size() > 254) return Refusal(shown + " は 254 バイトを超えています");
  if (!IsMailAddress(address))
    return Refusal(shown + " はメールアドレスではありません" + (nameHint ? kNameForm : ""));
  return address;
}

}  // namespace

Result<int> ParsePort(const std::string& text) {
  const std::string bare(TrimControls(text));
  if (bare.empty()) return 25;
  int64_t value = -1;
  bool converts = TryStrToInt64(bare, &value);
  // "0x" and at most eight hexadecimal digits, no sign: never beyond 32 bits.
  constexpr IntegerRules kHex{false, true, false};
  const bool hex = bare.size() > 2 && bare.size() <= 10 && bare[0] == '0' && (bare[1] == 'x' || bare[1] == 'X');
  if (!converts && hex) {
    const Result<int64_t> hexValue = ParseInteger(bare, kHex, 0, UINT32_MAX);
    converts = hexValue.Ok();
    value = hexValue.value_or(value);
  }
  if (!converts) return Refusal(NotAnInteger(text).what());
  if (value < 1 || value > 65535) return Refusal(NotAPortNumber(text).what());
  return static_cast<int>(value);
}

Result<std::string> ParseBareAddress(const std::string& text) { return BareAddress(text, HasNameForm(text)); }

Result<std::string> ParseAddressList(const std::string& text) {
  const bool nameHint = HasNameForm(text);
  std::vector<std::string> addresses;
  for (const std::string& item : ReadCommaList(text)) {
    if (item.empty()) continue;
    Result<std::string> address = BareAddress(item, nameHint);
    if (!address) return address.status();
    addresses.push_back(*address);
  }
  if (addresses.empty() && !text.empty()) return Refusal("メールアドレスがありません");
  return WriteCommaList(addresses);
}

Result<MailSecurity> ParseSecurity(const std::string& text) {
  const std::string word = AsciiUpperCase(TrimControls(text));
  if (word.empty() || word == "NONE") return MailSecurity::None;
  if (word == "STARTTLS") return MailSecurity::StartTls;
  if (word == "TLS") return MailSecurity::Tls;
  return Refusal("NONE、STARTTLS、TLS のいずれかではありません");
}

Result<bool> ParseTlsVerify(const std::string& text) {
  const std::string word(TrimControls(text));
  if (word.empty() || word == "1") return true;
  if (word == "0") return false;
  return Refusal("1 か 0 ではありません");
}

Result<int64_t> ParseThreshold(const std::string& text, int64_t capacity, const std::string& decimalSeparator) {
  try {
    return ThresholdBytes(text, capacity, decimalSeparator);
  } catch (const EConvertError& e) {
    return Refusal(e.what());
  }
}

bool IsWatchingThreshold(const std::string& text, int64_t bytes) {
  // A share of a drive whose size is unknown is still a threshold.
  return bytes > 0 ||
         (text.find('%') != std::string::npos && text.find_first_of("123456789") != std::string::npos);
}

namespace {

void ReadMail(const ProfileSnapshot& ini, const WatchSettingsInputs& inputs, WatchSettings& next) {
  next.smtpHost = ini.ReadString(kSectionMail, kKeySmtp, "");
  const std::string portText = ini.ReadString(kSectionMail, kKeyPort, "");
  const std::string from = ini.ReadString(kSectionMail, kKeyMailFrom, kDefaultMailFrom);
  const std::string to = ini.ReadString(kSectionMail, kKeyMailTo, "");
  const std::string cc = ini.ReadString(kSectionMail, kKeyMailCc, "");
  next.mailFrom = from;
  next.mailTo = to;
  next.mailCc = cc;
  // Mail is on when it is switched on and has a server and a To list; only
  // then do the mail keys have to hold. With mail off a bad key is reported
  // and the watch goes on. The test mail holds them to the same rules
  // whatever ISMAILSEND says: the mail is asked for explicitly.
  const bool mailOn = (next.isMailSend || inputs.mailRequired) && !next.smtpHost.empty() && !to.empty();
  auto problem = [&](const char* key, const std::string& value, const Status& reason) {
    EConvertError error = SettingsValueError(kIniFileName, kSectionMail, key, value, reason.Text());
    if (mailOn) throw error;
    // An empty key is the normal state of mail that is off.
    if (!value.empty()) next.mailProblems.push_back(error.what());
  };
  if (Result<int> port = ParsePort(portText))
    next.smtpPort = *port;
  else
    problem(kKeyPort, portText, port.status());
  if (Result<std::string> bare = ParseBareAddress(from))
    next.mailFrom = *bare;
  else
    problem(kKeyMailFrom, from, bare.status());
  if (Result<std::string> bare = ParseAddressList(to))
    next.mailTo = *bare;
  else
    problem(kKeyMailTo, to, bare.status());
  if (Result<std::string> bare = ParseAddressList(cc))
    next.mailCc = *bare;
  else
    problem(kKeyMailCc, cc, bare.status());
  const std::string security = ini.ReadString(kSectionMail, kKeySecurity, "");
  if (Result<MailSecurity> parsed = ParseSecurity(security))
    next.security = *parsed;
  else
    problem(kKeySecurity, security, parsed.status());
  const std::string verify = ini.ReadString(kSectionMail, kKeyTlsVerify, "");
  if (Result<bool> parsed = ParseTlsVerify(verify))
    next.tlsVerify = *parsed;
  else
    problem(kKeyTlsVerify, verify, parsed.status());
  next.user = TrimControls(ini.ReadString(kSectionMail, kKeyUser, ""));
  const std::string stored = ini.ReadString(kSectionMail, kKeyPassword, "");
  next.passwordInFile = !stored.empty();
  // The host's own store wins: the file's value is then not even read.
  Status unprotected;
  if (inputs.credentialPassword.empty()) {
    Result<std::string> clear = UnprotectSecret(stored);
    unprotected = clear.status();
    next.password = clear.value_or("");
  }
  if (!inputs.credentialPassword.empty()) {
    next.password = inputs.credentialPassword;
  } else if (unprotected.Ok() && !stored.empty() && !IsProtectedSecret(stored)) {
    // A clear password typed into the file: its protected form, where the
    // platform has one, replaces it after the load.
    const Result<std::string> protectedForm = ProtectSecret(next.password);
    if (!protectedForm.Ok())
      next.protectFailure = protectedForm.status().Describe();
    else if (*protectedForm != stored)
      next.protectedPassword = *protectedForm;
  }
  if (!unprotected.Ok()) {
    // The stored value itself is never shown: it is (a form of) the password.
    EConvertError error(std::string("設定ファイル ") + kIniFileName + " の [" + kSectionMail + "] " + kKeyPassword +
                        " を読めません: " + unprotected.Text());
    if (mailOn) throw error;
    next.mailProblems.push_back(error.what());
    next.password.clear();
  }
  OAuthInputs oauthInputs;
  oauthInputs.tls = next.security != MailSecurity::None;
  oauthInputs.user = next.user;
  oauthInputs.credentialSecret = inputs.credentialClientSecret;
  oauthInputs.openClientCert = inputs.openClientCert;
  if (Result<OAuthSettings> oauth = ReadOAuthSettings(ini, oauthInputs)) {
    next.oauth = std::move(*oauth);
  } else {
    if (mailOn) throw EConvertError(oauth.status().Text());
    if (!TrimControls(ini.ReadString(kSectionMail, kKeyAuth, "")).empty())
      next.mailProblems.push_back(oauth.status().Text());
  }
  if (!mailOn) next.isMailSend = false;
}

}  // namespace

WatchSettings ReadWatchSettings(const ProfileSnapshot& ini, const WatchSettingsInputs& inputs) {
  WatchSettings next;
  const std::string intervalText = ini.ReadString(kSectionWarning, kKeyInterval, "24");
  if (!TryStrToInt(intervalText, &next.interval))
    throw SettingsValueError(kIniFileName, kSectionWarning, kKeyInterval, intervalText,
                             NotAnInteger(intervalText).what());
  // An interval below one hour would check (and mail) every second.
  if (next.interval < 1)
    throw SettingsValueError(kIniFileName, kSectionWarning, kKeyInterval, intervalText,
                             NotAPositiveInteger(intervalText).what());

  next.isMailSend = TrimControls(ini.ReadString(kSectionWarning, kKeyIsMailSend, "")) == "1";
  next.recoveryMail = TrimControls(ini.ReadString(kSectionWarning, kKeyRecoveryMail, "")) == "1";
  // Hours between mails of a standing shortage; 0 mails at every check.
  const std::string remindText = ini.ReadString(kSectionWarning, kKeyRemind, "0");
  if (!TryStrToInt(remindText, &next.remind) || next.remind < 0)
    throw SettingsValueError(kIniFileName, kSectionWarning, kKeyRemind, remindText,
                             NotANonNegativeInteger(remindText).what());

  next.volumeSettings = ReadVolumeSettings(ini, inputs.decimalSeparator);
  for (char letter : inputs.fixedLetters) {
    A_Drive drive;
    drive.Letter = letter;
    const std::string fallback = LetterThresholdDefault(next.volumeSettings, inputs.volumes, letter);
    drive.LimitText = ini.ReadString(kSectionDrive, std::string(1, letter), fallback);
    // The settings dialog writes an empty key for a letter it has no
    // threshold for: that is no threshold of the letter's own.
    if (TrimControls(drive.LimitText).empty() && fallback != "0") drive.LimitText = fallback;
    const auto capacity = inputs.capacities.find(letter);
    drive.Capacity = capacity == inputs.capacities.end() ? -1 : capacity->second;
    Result<int64_t> bytes = ParseThreshold(drive.LimitText, drive.Capacity, inputs.decimalSeparator);
    if (!bytes)
      throw SettingsValueError(kIniFileName, kSectionDrive, std::string(1, letter), drive.LimitText,
                               bytes.status().Text());
    drive.LimitBytes = *bytes;
    if (IsWatchingThreshold(drive.LimitText, drive.LimitBytes)) ++next.thresholdCount;
    next.drives.push_back(drive);
  }
  next.volumes = WatchedVolumes(next.volumeSettings, inputs.volumes, inputs.volumeListing, inputs.fixedLetters);
  // Thresholds of letters that are no fixed drive here are never checked;
  // the check says so.
  const std::string missing = "\x01";
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (inputs.fixedLetters.find(letter) != std::string::npos) continue;
    const std::string value(TrimControls(ini.ReadString(kSectionDrive, std::string(1, letter), missing)));
    if (value != missing && value.find_first_of("123456789") != std::string::npos) next.absentLetters += letter;
  }

  // The metrics folder: empty is off; a value must name one folder for every
  // process (the service's current folder is no one's choice).
  next.metricsFolder = ini.ReadString(kSectionMetrics, kKeyTextFileDir, "");
  if (!next.metricsFolder.empty()) {
    for (char c : next.metricsFolder)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
        throw SettingsValueError(kIniFileName, kSectionMetrics, kKeyTextFileDir, next.metricsFolder,
                                 "制御文字が含まれています");
    if (!IsAbsolutePath(next.metricsFolder))
      throw SettingsValueError(kIniFileName, kSectionMetrics, kKeyTextFileDir, next.metricsFolder,
                               "絶対パスではありません");
  }

  next.heartbeat = ReadHeartbeatSettings(ini);
  next.forecast = ReadForecastSettings(ini);
  ReadMail(ini, inputs, next);
  next.webhooks = ReadWebhookSettings(ini);
  return next;
}

}  // namespace qw

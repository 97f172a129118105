// The texts of the test mail: its subject and body, and the line that tells
// the user how the sending went.
#pragma once

#include <string>

#include "mail/smtp_client.h"
#include "mail/smtp_settings.h"
#include "platform/system_info.h"

namespace qw {

inline constexpr const char* kTestMailSubject = "テストメール";
inline constexpr const char* kTestMailSent = "送信しました";
inline constexpr const char* kTestMailNoConnection = "接続できません";
inline constexpr const char* kTestMailSenderName = "ドライブ番人サービス";

// The body: names the computer and the local time of sending.
std::string TestMailBody(SystemInfo& system);

// One line for the user: kTestMailSent (with the refused recipients, if
// any), kTestMailNoConnection and the reason for a connection that did not
// come about, else the step and the server's reply or the error as
// TDeliveryResult words it.
std::string TestMailOutcomeText(const TDeliveryResult& result, const TTestMailSettings& settings);

}  // namespace qw

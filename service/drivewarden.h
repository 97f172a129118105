// The drive watch: settings load, drive table and the check with its report
// and event log entries. The service hosts (Windows service, POSIX
// foreground and one-shot runs) drive it through ServiceStart, tmCheckTimer
// and ServiceStop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/drivewarden_common.h"
#include "mail/mail_message.h"
#include "mail/smtp_client.h"
#include "platform/drives.h"
#include "platform/event_log.h"
#include "platform/profile.h"
#include "platform/system_info.h"
#include "platform/timer.h"

namespace qw {

// The platform concerns the watch uses.
struct ServicePlatform {
  Profiles& profiles;
  Drives& drives;
  SystemInfo& system;
  EventLog& eventLog;
};

class TDrivewarden {
 public:
  // `checkTimer` is the check timer tmCheck; its ticks call tmCheckTimer.
  TDrivewarden(ServicePlatform platform, std::unique_ptr<Timer> checkTimer);
  virtual ~TDrivewarden();

  TDrivewarden(const TDrivewarden&) = delete;
  TDrivewarden& operator=(const TDrivewarden&) = delete;

  // Start handler: lists the fixed drives, loads the settings and runs the
  // first check. Errors propagate (the host stops the service).
  void ServiceStart();
  // Stop handler: stops the check timer, waits until a check running on
  // another thread has ended, then frees the drive table. No check runs
  // after it (a later tick does nothing) until the next ServiceStart.
  // Throws std::logic_error when called from inside a check on the same
  // thread, which could never end.
  void ServiceStop();

  // Reads the settings file when its stamp has changed since the last
  // complete load (or the fixed drives are not those of the table). All or
  // nothing: every value is read and converted first, and only a load whose
  // values all convert replaces the settings and records the stamp; a
  // failed one leaves the settings as they were and the file is read again
  // at the next load. Throws ESettingsError (EConvertError for a value,
  // naming its key and value; ESettingsFileError for a file that cannot be
  // read at all). The mail keys (PORT, MAILFROM, MAILTO, MAILCC) are held to
  // these rules only while mail is on (ISMAILSEND=1 with a server and a To
  // list); with mail off a bad one does not fail the load but is written as
  // one warning entry at the load of that file version.
  void LoadSettings();
  void FreeDriveList();

  // One check; `Sender` is ignored. A settings file that fails to load is
  // written as an error entry (event ID 5610) and the check goes on with the
  // last good settings. Other errors propagate after the check timer has
  // been started again. After ServiceStop it does nothing.
  void tmCheckTimer(void* Sender);

  // Collapses blank lines and writes one entry with event ID 5610 under the
  // service's source.
  void WriteEventLog(const std::string& text, EventType type);
  std::string LocalComputerName();
  // "#,###" with the system's thousands separator (0 gives "0"), then " バイト".
  std::string FormatBytes(int64_t count);

  // The last step of a check that wrote a warning entry while mail is on:
  // sends the full report as the alert mail. A test may put another step in
  // its place with OnSendAlert.
  void SendAlertMail(const std::string& report);
  std::function<void(const std::string& report)> OnSendAlert;

  // The alert mail and the client that sends it. The client waits for its
  // server by dispatching the messages of the thread that uses it; when a
  // check runs on another thread than the previous one, the client is made
  // anew for that thread with the same settings.
  TMailMessage& mailMsg() { return *FMailMsg; }
  TSMTPClient& smtpClient();

  Timer& tmCheck() { return *tmCheck_; }

  // Settings state, as the last load left it.
  int32_t Interval() const { return FInterval; }
  bool IsMailSend() const { return FIsMailSend; }
  const std::string& MailFrom() const { return FMailFrom; }
  const std::string& MailTo() const { return FMailTo; }
  const std::string& MailCc() const { return FMailCc; }
  int32_t IniFileDate() const { return FIniFileDate; }
  const std::vector<std::unique_ptr<A_Drive>>* DriveList() const { return FDriveList.get(); }
  // Host and port handed to the SMTP client by the last complete load.
  const std::string& SmtpHost() const { return FSmtpHost; }
  int SmtpPort() const { return FSmtpPort; }
  // Called by a load that sets the SMTP client's host and port.
  std::function<void(const std::string& host, int port)> OnSmtpServer;

  // Builds the report of a check (exposed for the mail step and tests).
  std::string ComposeReport(const std::string& driveLines, const std::string& thresholdLines);

 protected:
  ServicePlatform platform_;

 private:
  // The settings one load reads, before they replace the current ones.
  struct LoadedSettings {
    int32_t interval = 24;
    bool isMailSend = false;
    std::vector<std::unique_ptr<A_Drive>> drives;
    std::string smtpHost;
    int smtpPort = 25;
    std::string mailFrom;
    std::string mailTo;
    std::string mailCc;
    int thresholdCount = 0;          // fixed drives with a threshold above zero
    std::string absentLetters;       // [DRIVE] letters that are no fixed drive
    std::vector<std::string> mailProblems;  // bad mail keys while mail is off
  };
  LoadedSettings ReadSettings();
  void ReadMailSettings(LoadedSettings& next);
  // The lines a check adds after its drive lines: no threshold at all, and
  // thresholds of letters that are not fixed drives here.
  std::string SettingsNoteLines() const;

  int64_t ThresholdBytes(const std::string& limitText, int64_t capacity);
  int64_t Capacity(char letter);

  std::unique_ptr<Timer> tmCheck_;
  std::unique_ptr<TMailMessage> FMailMsg;
  std::unique_ptr<TSMTPClient> FSmtpClient;
  std::thread::id FSmtpThread;
  int32_t FInterval = 0;
  bool FIsMailSend = false;
  std::string FMailFrom;
  std::string FMailTo;
  std::string FMailCc;
  std::unique_ptr<std::vector<std::unique_ptr<A_Drive>>> FDriveList;
  int32_t FIniFileDate = 0;
  int FThresholdCount = 0;
  std::string FAbsentLetters;
  std::string FSmtpHost;
  int FSmtpPort = 25;

  // Keeps ServiceStop and a check apart: the stop waits while FChecking and
  // a check does not begin once FStopped.
  std::mutex FCheckMutex;
  std::condition_variable FCheckEnded;
  bool FChecking = false;
  bool FStopped = false;
  std::thread::id FCheckThread;
};

// The source name of the service's event log entries.
inline constexpr const char* kEventSource = "Drivewarden";

}  // namespace qw

// QuotawardenService on POSIX: runs the drive watch of the Windows service on
// a Linux machine, against a settings file in a folder that plays the Windows
// directory.
//
// --foreground hosts the service as the Windows program does, with the same
// threads: the main thread runs the message loop that owns the check timer,
// the service thread runs the start handler and then the controls, and a
// signal thread turns SIGTERM and SIGINT into the stop control (cancelling
// a mail conversation in progress first) and SIGHUP into a check on demand.
// Under systemd with Type=notify (NOTIFY_SOCKET set) it also tells the
// supervisor: READY=1 once the settings have loaded, WATCHDOG=1 from the
// main loop's own timer, STATUS= after each check, STOPPING=1 at the stop.
#include <pthread.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/drives.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/profile.h"
#include "platform/secure_file.h"
#include "platform/supervisor_notify.h"
#include "platform/system_info.h"
#include "platform/text_codec.h"
#include "service/drivewarden.h"
#include "service/service_control.h"
#include "service/supervisor_status.h"
#include "service/test_mail_run.h"

namespace {

const char kUsage[] =
    "Usage: QuotawardenService --foreground [--windir=DIR] [--state-dir=DIR] [--eventlog=FILE] [mail options]\n"
    "       QuotawardenService --once [--windir=DIR] [--state-dir=DIR] [--eventlog=FILE] [mail options]\n"
    "       QuotawardenService --test-mail [--windir=DIR] [--eventlog=FILE] [mail options]\n"
    "       QuotawardenService --set-secret PASSWORD|CLIENTSECRET [--windir=DIR] < file\n"
    "\n"
    "Watches the free space of the local fixed drives, as the Windows service\n"
    "Drivewarden does, and writes its report to the event log.\n"
    "\n"
    "  --foreground      run as the service: load the settings and check at\n"
    "                    once, then every INTERVAL hours counted from the end\n"
    "                    of the previous check, until SIGTERM or SIGINT (exit\n"
    "                    0); SIGHUP runs a check at once without moving the\n"
    "                    schedule. A failed start is written as the start failure\n"
    "                    entry and exits 78 when the settings do not load, 1\n"
    "                    for any other cause; a failed periodic check is\n"
    "                    written as an error entry and the service goes on.\n"
    "                    State changes are told on stderr, and to systemd\n"
    "                    when NOTIFY_SOCKET is set (READY=1 after the load,\n"
    "                    WATCHDOG=1 at half WATCHDOG_USEC from the main loop,\n"
    "                    STATUS= after each check, STOPPING=1).\n"
    "  --once            list the drives, load the settings and run one check,\n"
    "                    then exit: 0 when the check ran (information or\n"
    "                    warning entry) and its alert mail, if any, reached\n"
    "                    every recipient; 2 when the check ran but its alert\n"
    "                    mail failed or reached only some recipients (the\n"
    "                    reason on stderr and in an error entry); 1 with the\n"
    "                    error on stderr and in an error entry when the check\n"
    "                    could not run.\n"
    "  --test-mail       send the test mail (subject テストメール) with the saved\n"
    "                    mail settings, whatever ISMAILSEND says, and post the\n"
    "                    test notification to every [WEBHOOKn] target; print\n"
    "                    the conversation, the outcome and one line per target\n"
    "                    with its HTTP outcome (UTF-8) to stdout; exit 0 when\n"
    "                    every recipient was accepted and every target took the\n"
    "                    notification, 1 otherwise (a settings error included).\n"
    "                    With webhook targets and no SMTP server, only the\n"
    "                    targets are tested.\n"
    "  --set-secret PASSWORD\n"
    "                    read the SMTP password from standard input (one\n"
    "                    line) and store it in DIR/smtp-password, mode 0600,\n"
    "                    the file the shipped unit hands to the service as the\n"
    "                    systemd credential smtp-password; exit 0 when stored,\n"
    "                    1 with the reason (empty or unreadable input).\n"
    "                    Under systemd $CREDENTIALS_DIRECTORY/smtp-password,\n"
    "                    when not empty, is the password used, and a PASSWORD\n"
    "                    in the settings file is ignored (with a warning).\n"
    "  --set-secret CLIENTSECRET\n"
    "                    the same for the OAuth 2.0 client secret (AUTH=OAUTH2):\n"
    "                    DIR/oauth-client-secret, handed to the service as the\n"
    "                    credential oauth-client-secret, which then wins over\n"
    "                    CLIENTSECRET in the settings file.\n"
    "  --mail-timeout=S  longest silence of the mail server, in seconds\n"
    "                    (default 60).\n"
    "  --mail-deadline=S longest whole mail conversation, in seconds\n"
    "                    (default 300).\n"
    "  --retry-first=S   for tests: the first retry of a failed alert mail after\n"
    "                    S seconds (1 to 3600) instead of 5 minutes (--foreground).\n"
    "  --sample-every=S  for tests: the free-space history samples every S\n"
    "                    seconds (1 to 3600) instead of every hour (--foreground).\n"
    "  --windir=DIR      the folder that plays the Windows directory; it holds\n"
    "                    Drivewarden.ini (default /etc/quotawarden).\n"
    "  --state-dir=DIR   the folder of status.ini, the last check's state that\n"
    "                    every check (also --once) replaces (default: the\n"
    "                    --windir folder). A state that cannot be written is\n"
    "                    one error entry per run; the exit code stays that\n"
    "                    of the check.\n"
    "  --eventlog=FILE   also append each entry to FILE as one JSON line\n"
    "                    (the environment variable QUOTAWARDEN_EVENTLOG does\n"
    "                    the same). Entries always go to syslog.\n"
    "  --help            this text. A wrong command line exits 64.\n"
    "\n"
    "Drive letters: DIR/dosdevices/<letter>: symlinks map letters to folders\n"
    "(Wine's layout, lower-case letter and a colon, e.g. dosdevices/d: -> /srv).\n"
    "Without a dosdevices folder, C: is /. Free and total bytes are what statvfs\n"
    "gives to the caller.\n"
    "\n"
    "Metrics: with [METRICS] TEXTFILEDIR=/var/lib/prometheus/node-exporter (an\n"
    "absolute folder) every check, --once included, also replaces\n"
    "quotawarden.prom there for node_exporter's textfile collector. A folder\n"
    "that cannot take it is one error entry per run; the exit code stays that\n"
    "of the check.\n"
    "\n"
    "History and forecast: every hour (--foreground) and at every check (--once\n"
    "included) the free space of each drive is added to history.txt in the\n"
    "state folder. With [WARNING] FORECASTDAYS=N (1 to 365; 0 or none: off) a\n"
    "drive not yet short whose last 7 days of history reach its threshold\n"
    "within N days makes the check a warning with a forecast line and mails\n"
    "the alert under its own subject.\n";

// A command line that cannot be run (EX_USAGE); 2 is the one-shot run's
// failed alert mail.
constexpr int kExitUsage = 64;
// --foreground whose settings do not load at start (EX_CONFIG): the shipped
// unit does not restart on it (RestartPreventExitStatus=78), since the next
// start would fail the same way until someone mends the file.
constexpr int kExitConfig = 78;

// Test only: QUOTAWARDEN_TEST_LOOP_HANG=S (1 to 600) makes each SIGHUP block
// the main loop for S seconds before its check, so that a test sees the
// watchdog pings stop while the loop is stuck. Not for production use.
const char kTestLoopHang[] = "QUOTAWARDEN_TEST_LOOP_HANG";

bool TakeValue(const char* arg, const char* name, std::string* value) {
  size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  *value = arg + n + 1;
  return true;
}

// State changes go to stderr (the journal, under systemd).
class StderrStatus : public qw::ServiceStatusReporter {
 public:
  qw::Status SetStatus(const qw::ServiceStatus& status) override {
    std::fprintf(stderr, "QuotawardenService: %s\n", qw::ServiceStateName(status.state));
    std::fflush(stderr);
    return {};
  }
};

// The supervisor as the foreground host tells it. A failed notification is
// one error entry (and a line on stderr) per run of failures: the next one
// that goes through ends the run.
class Supervisor {
 public:
  Supervisor(qw::SupervisorNotifier& notifier, qw::EventLog& log) : notifier_(notifier), log_(log) {}

  bool Active() const { return notifier_.Active(); }

  void Notify(const std::string& lines) {
    if (!notifier_.Active()) return;
    const qw::Status sent = notifier_.Send(lines);
    std::lock_guard<std::mutex> lock(mutex_);
    if (sent.Ok()) {
      failing_ = false;
      return;
    }
    if (failing_) return;
    failing_ = true;
    const std::string text = "systemd への通知 (NOTIFY_SOCKET) が失敗しました: " + sent.Describe();
    log_.Report(qw::kServiceName, qw::EventType::Error, 0, 0, text);
    std::fprintf(stderr, "%s\n", qw::SjisToUtf8(text).c_str());
  }

 private:
  qw::SupervisorNotifier& notifier_;
  qw::EventLog& log_;
  std::mutex mutex_;
  bool failing_ = false;
};

// StderrStatus that also tells the supervisor: ready at the first running
// state (the settings have loaded), stopping at the stop, and why a start
// failed.
class SupervisedStatus : public StderrStatus {
 public:
  explicit SupervisedStatus(Supervisor& supervisor) : supervisor_(supervisor) {}

  qw::Status SetStatus(const qw::ServiceStatus& status) override {
    const qw::Status told = StderrStatus::SetStatus(status);
    switch (status.state) {
      case qw::ServiceState::Running:
        if (!ready_.exchange(true)) supervisor_.Notify("READY=1\nSTATUS=Settings loaded; the first check runs");
        break;
      case qw::ServiceState::StopPending:
        if (!stopping_.exchange(true)) supervisor_.Notify("STOPPING=1");
        break;
      case qw::ServiceState::Stopped:
        if (status.serviceSpecificExitCode == qw::kExitSettingsRefused)
          supervisor_.Notify("STATUS=Start refused: the settings file does not load (see the journal)");
        else if (status.win32ExitCode != 0)
          supervisor_.Notify("STATUS=Start failed (see the journal)");
        break;
      default:
        break;
    }
    return told;
  }

 private:
  Supervisor& supervisor_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> stopping_{false};
};

std::string BaseName(const char* path) {
  std::string name = path ? path : "";
  size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  return name.empty() ? "QuotawardenService" : name;
}

struct MailTimes {
  int timeOut = 60;
  int deadline = 300;
};

// A whole number of seconds from 1 to one day.
bool ParseSeconds(const std::string& text, int* seconds) {
  if (text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const qw::Result<int64_t> value = qw::ParseInteger(text, qw::kDecimal, 1, 86400);
  if (!value) return false;
  *seconds = static_cast<int>(*value);
  return true;
}

struct SecretSources {
  std::string settingsPath;
  std::string credential;
  std::string clientSecret;  // the credential oauth-client-secret
};

int RunForeground(qw::ServicePlatform platform, const std::string& exeSource, const MailTimes& mail,
                  const std::string& stateFolder, int firstRetrySeconds, int sampleSeconds,
                  const SecretSources& secrets) {
  // The signals are taken by the signal thread alone; every thread started
  // from here inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);  // ends the signal thread
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  qw::MessageLoop& loop = qw::ThisThreadLoop();
  std::unique_ptr<qw::TDrivewarden> service = qw::CreateDrivewarden(platform, loop);
  std::unique_ptr<qw::SupervisorNotifier> notifier = qw::NewSupervisorNotifier();
  Supervisor supervisor(*notifier, platform.eventLog);
  SupervisedStatus status(supervisor);
  // The pings come from a timer of the main loop, the loop that runs the
  // periodic checks: a loop that is stuck stops them, and systemd restarts
  // the service.
  std::unique_ptr<qw::Timer> watchdog;
  if (notifier->WatchdogUsec() > 0) {
    watchdog = loop.CreateTimer();
    watchdog->SetInterval(std::max<int64_t>(1, notifier->WatchdogUsec() / 2000));
    watchdog->OnTimer = [&supervisor] { supervisor.Notify("WATCHDOG=1"); };
    watchdog->SetEnabled(true);
  }
  if (supervisor.Active()) {
    qw::TDrivewarden* svc = service.get();
    service->SetCheckStateListener([&supervisor, svc](const qw::CheckState& state, bool succeeded) {
      supervisor.Notify("STATUS=" + qw::SupervisorStatusLine(state, succeeded, [svc](const std::string& text) {
                          return svc->Entries().Mask(text);
                        }));
    });
  }
  int hangSeconds = 0;
  if (const char* hang = std::getenv(kTestLoopHang); hang && *hang) {
    const qw::Result<int64_t> value = qw::ParseInteger(hang, qw::kDecimal, 1, 600);
    if (value) hangSeconds = static_cast<int>(*value);
    else std::fprintf(stderr, "QuotawardenService: %s='%s' is not 1 to 600 seconds; ignored\n", kTestLoopHang, hang);
  }
  service->SetMailTimeOuts(mail.timeOut, mail.deadline);
  service->SetStateFolder(stateFolder);
  service->SetSecretSources(secrets.settingsPath, secrets.credential);
  service->SetClientSecretCredential(secrets.clientSecret);
  if (firstRetrySeconds > 0) service->SetFirstRetryDelay(int64_t{firstRetrySeconds} * 1000);
  if (sampleSeconds > 0 && service->tmSample()) service->tmSample()->SetInterval(int64_t{sampleSeconds} * 1000);
  qw::ServiceHost host(*service, status, platform.eventLog, &loop);
  qw::ControlQueue controls;

  std::thread signalThread([&signals, &controls, &host, &loop, hangSeconds] {
    for (;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0 || signal == SIGUSR1) return;
      if (signal == SIGHUP) {
        if (hangSeconds > 0)
          loop.Post([hangSeconds] { std::this_thread::sleep_for(std::chrono::seconds(hangSeconds)); });
        controls.Push(qw::kControlCheckNow);
        continue;
      }
      host.CancelForStop();
      controls.Push(qw::kControlStop);
      return;
    }
  });

  bool started = false;
  std::thread serviceThread([&] {
    host.ReportStatus(qw::ServiceState::StartPending);
    started = qw::RunServiceThread(host, controls).Ok();
    host.ReportStopped();
    loop.Quit();
  });

  qw::RunMainLoop(loop, platform.eventLog, exeSource);
  serviceThread.join();
  pthread_kill(signalThread.native_handle(), SIGUSR1);
  signalThread.join();
  service->SetCheckStateListener(nullptr);
  if (started) return 0;
  return host.StartFailure() == qw::kExitSettingsRefused ? kExitConfig : 1;
}

// A secret from the systemd credential `name` (LoadCredential= of the
// shipped unit): $CREDENTIALS_DIRECTORY/<name>, UTF-8, one line (a final
// line end is dropped); smtp-password for the SMTP password,
// oauth-client-secret for the OAuth 2.0 client secret. Empty when there is
// none (no directory, no file, an empty file: the unit's SetCredential=
// default). A credential that cannot be read is an error entry and the
// file's value is used.
std::string CredentialSecret(qw::EventLog& log, const char* name) {
  const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
  if (!dir || !*dir) return "";
  const std::string path = qw::JoinPath(dir, name);
  qw::Result<std::string> read = qw::ReadWholeFile(path, 4096);
  if (!read) {
    if (read.status().IsNotFound()) return "";
    const std::string text = "資格情報 " + path + " を読めません: " + read.status().Describe();
    log.Report(qw::kServiceName, qw::EventType::Error, 0, 0, text);
    std::fprintf(stderr, "%s\n", qw::SjisToUtf8(text).c_str());
    return "";
  }
  std::string& bytes = *read;
  if (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();
  if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
  const std::string sjis = qw::Utf8ToSjis(bytes);
  if (qw::SjisToUtf8(sjis) != bytes || bytes.find_first_of("\r\n") != std::string::npos) {
    const std::string text = "資格情報 " + path + " の値は 1 行の UTF-8 で、Shift-JIS で表せる文字だけにしてください。使いません";
    log.Report(qw::kServiceName, qw::EventType::Error, 0, 0, text);
    std::fprintf(stderr, "%s\n", qw::SjisToUtf8(text).c_str());
    return "";
  }
  return sjis;
}

// Also on stderr at start (the load writes the entry): a settings file that
// others can read and that holds a password (unless the credential is used)
// or a webhook URL.
void WarnReadablePassword(qw::Profiles& profiles, const std::string& path, bool credential) {
  // A file that cannot be read fails the load, which says why.
  const qw::Result<qw::ProfileSnapshot> ini = profiles.ReadSnapshot(qw::kIniFileName);
  if (!ini.Ok()) return;
  const bool password = !credential && !ini->ReadString(qw::kSectionMail, qw::kKeyPassword, "").empty();
  bool webhook = false;
  for (int n = 1; n <= qw::kMaxWebhooks && !webhook; ++n)
    webhook = !ini->ReadString("WEBHOOK" + std::to_string(n), qw::kKeyWebhookUrl, "").empty();
  if (!password && !webhook) return;
  const qw::Result<std::vector<std::string>> readers = qw::SecretFileReaders(path);
  if (!readers || readers->empty()) return;
  const std::string what = password && webhook ? "パスワードと通知先の URL " : password ? "パスワード" : "通知先の URL ";
  const std::string text = "設定ファイル " + path + " は" + what + "を含み、他のユーザーも読めます。" +
                           (password ? qw::kReadableSecretAdvice : "") + (webhook ? qw::kReadableWebhookAdvice : "");
  std::fprintf(stderr, "%s\n", qw::SjisToUtf8(text).c_str());
}

// --set-secret PASSWORD|CLIENTSECRET: one line from standard input (never
// the command line, which other users see) into the credential file the
// shipped unit loads, <windir>/smtp-password or <windir>/oauth-client-secret,
// mode 0600, replaced in one step.
int SetSecret(const std::string& windir, const char* credentialName) {
  std::string line;
  int c = 0;
  while ((c = std::getchar()) != EOF && c != '\n') {
    line += static_cast<char>(c);
    if (line.size() > 1024) {
      std::fputs("QuotawardenService: the password is longer than 1024 bytes\n", stderr);
      return 1;
    }
  }
  if (std::ferror(stdin)) {
    std::fprintf(stderr, "QuotawardenService: standard input cannot be read: %s\n", std::strerror(errno));
    return 1;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    std::fputs("QuotawardenService: no password on standard input (one line is read)\n", stderr);
    return 1;
  }
  // A private temporary file (mkstemp makes it 0600) renamed over the old
  // one: the password is never in a file others can read, nor half written.
  const std::string path = qw::JoinPath(windir, credentialName);
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  auto failed = [&](const char* what) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    std::fprintf(stderr, "QuotawardenService: %s: %s: %s\n", path.c_str(), what, std::strerror(error));
    return 1;
  };
  if (fd < 0) {
    std::fprintf(stderr, "QuotawardenService: %s: mkstemp: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  const std::string bytes = line + "\n";
  if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return failed("write");
  if (::fsync(fd) != 0) return failed("fsync");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    std::fprintf(stderr, "QuotawardenService: %s: close: %s\n", path.c_str(), std::strerror(error));
    return 1;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    std::fprintf(stderr, "QuotawardenService: %s: rename: %s\n", path.c_str(), std::strerror(error));
    return 1;
  }
  std::fprintf(stderr, "QuotawardenService: the secret is stored in %s (mode 0600)\n", path.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool once = false;
  bool foreground = false;
  bool testMail = false;
  bool setSecret = false;
  const char* secretCredential = qw::kCredentialName;
  std::string windir = "/etc/quotawarden";
  std::string eventlog;
  std::string stateDir;
  std::string value;
  MailTimes mail;
  int firstRetrySeconds = 0;
  int sampleSeconds = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(arg, "--once") == 0) {
      once = true;
    } else if (std::strcmp(arg, "--foreground") == 0) {
      foreground = true;
    } else if (std::strcmp(arg, "--test-mail") == 0) {
      testMail = true;
    } else if (std::strcmp(arg, "--set-secret") == 0) {
      const bool clientSecret = i + 1 < argc && std::strcmp(argv[i + 1], "CLIENTSECRET") == 0;
      if (i + 1 >= argc || (std::strcmp(argv[i + 1], "PASSWORD") != 0 && !clientSecret)) {
        std::fprintf(stderr, "QuotawardenService: --set-secret takes the name PASSWORD or CLIENTSECRET (the value comes from standard input)\n");
        return kExitUsage;
      }
      if (clientSecret) secretCredential = qw::kClientSecretCredentialName;
      ++i;
      setSecret = true;
    } else if (TakeValue(arg, "--windir", &windir) || TakeValue(arg, "--eventlog", &eventlog) ||
               TakeValue(arg, "--state-dir", &stateDir)) {
    } else if (TakeValue(arg, "--retry-first", &value)) {
      if (!ParseSeconds(value, &firstRetrySeconds) || firstRetrySeconds > 3600) {
        std::fprintf(stderr, "QuotawardenService: '%s' is not a number of seconds from 1 to 3600\n", arg);
        return kExitUsage;
      }
    } else if (TakeValue(arg, "--sample-every", &value)) {
      if (!ParseSeconds(value, &sampleSeconds) || sampleSeconds > 3600) {
        std::fprintf(stderr, "QuotawardenService: '%s' is not a number of seconds from 1 to 3600\n", arg);
        return kExitUsage;
      }
    } else if (TakeValue(arg, "--mail-timeout", &value) || TakeValue(arg, "--mail-deadline", &value)) {
      int* target = std::strncmp(arg, "--mail-timeout", 14) == 0 ? &mail.timeOut : &mail.deadline;
      if (!ParseSeconds(value, target)) {
        std::fprintf(stderr, "QuotawardenService: '%s' is not a number of seconds from 1 to 86400\n", arg);
        return kExitUsage;
      }
    } else {
      std::fprintf(stderr, "QuotawardenService: unknown argument '%s'\n\n%s", arg, kUsage);
      return kExitUsage;
    }
  }
  if (int(once) + int(foreground) + int(testMail) + int(setSecret) != 1) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }

  auto profiles = qw::NewSystemProfiles(windir);
  auto drives = qw::NewSystemDrives(windir);
  auto system = qw::NewSystemInfo();
  if (setSecret) return SetSecret(windir, secretCredential);
  auto log = qw::NewSystemEventLog(eventlog);
  SecretSources secrets;
  secrets.settingsPath = qw::SettingsFilePath(windir, qw::kIniFileName);
  secrets.credential = CredentialSecret(*log, qw::kCredentialName);
  secrets.clientSecret = CredentialSecret(*log, qw::kClientSecretCredentialName);
  WarnReadablePassword(*profiles, secrets.settingsPath, !secrets.credential.empty());
  if (testMail) {
    qw::TDrivewarden service({*profiles, *drives, *system, *log}, std::make_unique<qw::IdleTimer>());
    service.SetMailTimeOuts(mail.timeOut, mail.deadline);
    service.SetSecretSources(secrets.settingsPath, secrets.credential);
    service.SetClientSecretCredential(secrets.clientSecret);
    const qw::TTestMailRun run = qw::RunTestMail(service, *system);
    std::fputs(qw::SjisToUtf8(run.text).c_str(), stdout);
    std::fflush(stdout);
    return run.exitCode;
  }
  const qw::Result<std::string> folder = qw::StateFolder(windir, stateDir);
  if (!folder.Ok())
    log->Report(qw::kEventSource, qw::EventType::Error, 0, qw::kCheckEventId,
                std::string(qw::kStateNotWritten) + folder.status().Describe());
  const std::string stateFolder = folder.value_or("");
  if (foreground)
    return RunForeground({*profiles, *drives, *system, *log}, BaseName(argv[0]), mail, stateFolder,
                         firstRetrySeconds, sampleSeconds, secrets);

  qw::TDrivewarden service({*profiles, *drives, *system, *log}, std::make_unique<qw::IdleTimer>());
  service.SetMailTimeOuts(mail.timeOut, mail.deadline);
  service.SetStateFolder(stateFolder);
  service.SetSecretSources(secrets.settingsPath, secrets.credential);
  service.SetClientSecretCredential(secrets.clientSecret);
  try {
    service.ServiceStart();
    service.ServiceStop();
  } catch (const std::exception& error) {
    // Also in the log, as the service writes a failed start: a scheduled
    // one-shot run may have nobody reading its stderr.
    log->Report(qw::kServiceName, qw::EventType::Error, 0, 0, qw::ServiceFailureText("開始", error.what()));
    std::fprintf(stderr, "%s\n", qw::SjisToUtf8(error.what()).c_str());
    return 1;
  }
  const qw::TDrivewarden::AlertOutcome alert = service.LastAlert();
  int code = 0;
  if (alert.attempted && !alert.result.Complete()) {
    std::fprintf(stderr, "%s\n", qw::SjisToUtf8(qw::AlertFailureText(alert.result)).c_str());
    code = 2;
  }
  // A webhook alert that did not go waits in the state for the next run, as
  // the mail does.
  for (const std::string& failed : service.WebhookFailures()) {
    std::fprintf(stderr, "%s\n", qw::SjisToUtf8(failed).c_str());
    code = 2;
  }
  return code;
}

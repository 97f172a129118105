// QuotawardenService on POSIX: runs the drive watch of the Windows service on
// a Linux machine, against a settings file in a folder that plays the Windows
// directory.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "platform/drives.h"
#include "platform/event_log.h"
#include "platform/profile.h"
#include "platform/system_info.h"
#include "platform/text_codec.h"
#include "service/drivewarden.h"

namespace {

const char kUsage[] =
    "Usage: QuotawardenService --once [--windir=DIR] [--eventlog=FILE]\n"
    "\n"
    "Watches the free space of the local fixed drives, as the Windows service\n"
    "Drivewarden does, and writes its report to the event log.\n"
    "\n"
    "  --once            list the drives, load the settings and run one check,\n"
    "                    then exit: 0 when the check ran (information or\n"
    "                    warning entry), 1 with the error on stderr otherwise.\n"
    "  --windir=DIR      the folder that plays the Windows directory; it holds\n"
    "                    Drivewarden.ini (default /etc/quotawarden).\n"
    "  --eventlog=FILE   also append each entry to FILE as one JSON line\n"
    "                    (the environment variable QUOTAWARDEN_EVENTLOG does\n"
    "                    the same). Entries always go to syslog.\n"
    "  --help            this text.\n"
    "\n"
    "Drive letters: DIR/dosdevices/<letter>: symlinks map letters to folders\n"
    "(Wine's layout, lower-case letter and a colon, e.g. dosdevices/d: -> /srv).\n"
    "Without a dosdevices folder, C: is /. Free and total bytes are what statvfs\n"
    "gives to the caller.\n";

// A check timer that no loop serves: a one-shot run never waits for a tick.
class IdleTimer : public qw::Timer {
 public:
  void SetEnabled(bool enabled) override { enabled_ = enabled; }
  bool Enabled() const override { return enabled_; }
  void SetInterval(int64_t milliseconds) override { interval_ = milliseconds; }
  int64_t Interval() const override { return interval_; }

 private:
  bool enabled_ = false;
  int64_t interval_ = 1000;
};

bool TakeValue(const char* arg, const char* name, std::string* value) {
  size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  *value = arg + n + 1;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool once = false;
  std::string windir = "/etc/quotawarden";
  std::string eventlog;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(arg, "--once") == 0) {
      once = true;
    } else if (TakeValue(arg, "--windir", &windir) || TakeValue(arg, "--eventlog", &eventlog)) {
    } else {
      std::fprintf(stderr, "QuotawardenService: unknown argument '%s'\n\n%s", arg, kUsage);
      return 2;
    }
  }
  if (!once) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  auto profiles = qw::NewSystemProfiles(windir);
  auto drives = qw::NewSystemDrives(windir);
  auto system = qw::NewSystemInfo();
  auto log = qw::NewSystemEventLog(eventlog);
  qw::TDrivewarden service({*profiles, *drives, *system, *log}, std::make_unique<IdleTimer>());
  try {
    service.ServiceStart();
    service.ServiceStop();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", qw::SjisToUtf8(error.what()).c_str());
    return 1;
  }
  return 0;
}

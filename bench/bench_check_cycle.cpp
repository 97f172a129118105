// The whole check cycle with its alert mail, 10,000 times in one process:
// fake drives (one below its threshold), the real SMTP client over loopback
// to the test server (run in a child process, so that its own records of
// the sessions are not counted here), the last-check state written after
// every check. Beside it, its peer in the same run: the same cycle with mail
// off, which shows what the mail adds to a check.
//
// Prints the time per check of both and the resident memory after check 100
// and after the last one; exits 1 when it grew by 64 KiB or more (a leak in
// the check, the mail or the retry bookkeeping), or when a mail failed.
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "platform/event_log.h"
#include "platform/message_loop.h"
#include "platform/profile.h"
#include "service/drivewarden.h"
#include "service/service_control.h"
#include "tests/fakes/fixed_system_info.h"
#include "tools/smtp_test_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChecks = 10000;
constexpr int kWarmUp = 100;
constexpr long kMaxGrowth = 64 * 1024;

// The settings file as a fixed text (the profile rules do not matter here).
class BenchProfiles : public qw::Profiles {
 public:
  qw::Result<qw::ProfileSnapshot> ReadSnapshot(const std::string&) override {
    return qw::ProfileSnapshot::OfBytes(
        std::string("[WARNING]\r\nINTERVAL=24\r\nISMAILSEND=") + (mailOn ? "1" : "0") +
        "\r\n[DRIVE]\r\nC=500MB\r\nD=10%\r\n[MAIL]\r\nSMTP=127.0.0.1\r\nPORT=" + std::to_string(port) +
        "\r\nMAILFROM=warden@example.jp\r\nMAILTO=admin@example.jp,ops@example.jp\r\n");
  }
  qw::Status WriteSnapshot(const std::string&, const qw::ProfileSnapshot&) override {
    return qw::Status::Failure("WriteSnapshot", 0, "the benchmark writes no settings");
  }
  bool mailOn = true;
  int port = 25;
};

class BenchDrives : public qw::Drives {
 public:
  unsigned DriveType(const std::string& root) override {
    if (root[0] == 'C' || root[0] == 'D') return qw::kDriveFixed;
    return qw::kDriveNoRootDir;
  }
  qw::Result<qw::DiskSpace> DiskFreeSpace(const std::string& root) override {
    qw::DiskSpace space;
    space.totalBytes = 100LL << 30;
    space.freeToCaller = root[0] == 'C' ? 100LL << 20 : 50LL << 30;  // C below 500MB, D above 10%
    return space;
  }
};

class CountingLog : public qw::EventLog {
 public:
  void Report(const std::string&, qw::EventType type, uint16_t, uint32_t, const std::string&) override {
    ++count;
    errors += type == qw::EventType::Error;
  }
  long count = 0;
  long errors = 0;
};

long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// The test server in a child process; its port comes back through a pipe.
pid_t StartServer(int* port) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    qw::SmtpTestServer server;
    server.SetKeepData(false);
    int p = server.Start() ? server.Port() : 0;
    if (write(fds[1], &p, sizeof p) != static_cast<ssize_t>(sizeof p)) _exit(1);
    close(fds[1]);
    for (;;) pause();
  }
  close(fds[1]);
  const bool read_ok = read(fds[0], port, sizeof *port) == static_cast<ssize_t>(sizeof *port) && *port > 0;
  close(fds[0]);
  return read_ok ? pid : -1;
}

struct Run {
  double microsPerCheck = 0;
  long rssAfterWarmUp = 0;
  long rssAtEnd = 0;
  long errors = 0;
};

Run RunChecks(bool mailOn, int port, const std::string& stateFolder, int checks) {
  BenchProfiles profiles;
  profiles.mailOn = mailOn;
  profiles.port = port;
  BenchDrives drives;
  qw::FixedSystemInfo system("BENCH");
  CountingLog log;
  qw::MessageLoop& loop = qw::ThisThreadLoop();
  Run run;
  {
    std::unique_ptr<qw::TDrivewarden> service = qw::CreateDrivewarden({profiles, drives, system, log}, loop);
    service->SetStateFolder(stateFolder);
    service->SetMailTimeOuts(10, 30);
    service->ServiceStart();  // check 1
    Clock::time_point start;
    for (int i = 2; i <= checks; ++i) {
      if (i == kWarmUp + 1) {
        loop.ProcessPending();
        run.rssAfterWarmUp = ResidentBytes();
        start = Clock::now();
      }
      service->CheckNow();
    }
    const auto took = Clock::now() - start;
    loop.ProcessPending();
    run.rssAtEnd = ResidentBytes();
    run.microsPerCheck =
        std::chrono::duration<double, std::micro>(took).count() / static_cast<double>(checks - kWarmUp);
    if (service->HasPendingAlert()) ++run.errors;
    service->ServiceStop();
  }
  run.errors += log.errors;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  int checks = kChecks;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--checks=", 0) == 0) checks = std::max(kWarmUp + 1, std::atoi(arg.c_str() + 9));
  }
  int port = 0;
  const pid_t server = StartServer(&port);
  if (server < 0) {
    std::fprintf(stderr, "bench_check_cycle: the test server did not start\n");
    return 1;
  }
  const std::string folder =
      (std::filesystem::temp_directory_path() / ("qw_bench_cycle_" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(folder);

  const Run peer = RunChecks(false, port, folder, std::min(checks, 2000));
  const Run mail = RunChecks(true, port, folder, checks);

  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);

  const long growth = mail.rssAtEnd - mail.rssAfterWarmUp;
  std::printf("check cycle, %d checks with the alert mail over loopback\n", checks);
  std::printf("  with mail     %9.1f us per check\n", mail.microsPerCheck);
  std::printf("  without mail  %9.1f us per check (peer: the same cycle, mail off)\n", peer.microsPerCheck);
  std::printf("  resident memory after check %d: %ld KiB, after check %d: %ld KiB, growth %ld bytes (limit %ld)\n",
              kWarmUp, mail.rssAfterWarmUp / 1024, checks, mail.rssAtEnd / 1024, growth, kMaxGrowth);
  if (mail.errors != 0 || peer.errors != 0) {
    std::printf("  FAILED: %ld error entries or pending mails\n", mail.errors + peer.errors);
    return 1;
  }
  if (growth >= kMaxGrowth) {
    std::printf("  FAILED: resident memory grew by %ld bytes\n", growth);
    return 1;
  }
  std::printf("  ok\n");
  return 0;
}

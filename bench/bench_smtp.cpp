// The SMTP client against the in-process test server, beside Python's
// smtplib and msmtp talking to the same server in the same run:
//  - one small mail, connect to QUIT (latency), ours and smtplib;
//  - one 10 MB mail, connect to QUIT, ours, smtplib and msmtp.
// Each benchmark sends a series of mails and reports the median time of one;
// the peers time themselves (smtplib inside Python, so starting the
// interpreter is not counted; msmtp as a whole process, which for 10 MB is
// dominated by the transfer). Prints the ratios at the end.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "mail/mail_message.h"
#include "mail/smtp_client.h"
#include "platform/system_info.h"
#include "tests/fakes/fixed_system_info.h"
#include "tools/smtp_test_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSmallMails = 200;
constexpr int kLargeMails = 5;
constexpr size_t kLargeSize = 10 * 1024 * 1024;

qw::SmtpTestServer& Server() {
  static qw::SmtpTestServer* server = [] {
    auto* s = new qw::SmtpTestServer();
    s->SetKeepData(false);
    if (!s->Start()) {
      std::fprintf(stderr, "bench_smtp: the test server cannot listen\n");
      std::exit(1);
    }
    return s;
  }();
  return *server;
}

qw::FixedSystemInfo gSystem;

// A message like the alert mail; the large one has a body of lines of
// report text up to `size` bytes, some of them beginning with a period.
std::unique_ptr<qw::TMailMessage> MakeMessage(size_t size) {
  auto msg = std::make_unique<qw::TMailMessage>(gSystem, "mailMsg");
  msg->SetSenderHeader("", "watch@example.jp");
  msg->ToRecipients().AssignCommaLists("", "admin@example.jp");
  msg->SetSubjectHeader("Low disk space on BENCH");
  std::string body = "Drive C: free 1,024 MB of 100,000 MB, below the threshold of 2,048 MB.\r\n";
  for (int i = 0; body.size() + 80 < size; ++i) {
    body += (i % 50 == 0 ? "." : "") + std::string("line ") + std::to_string(i) +
            " of the report: free space, capacity and threshold of each drive\r\n";
  }
  msg->BodyStream = body;
  msg->SetMessageIdHeader("127.0.0.1");
  return msg;
}

std::string TempFile(const std::string& name, const std::string& data) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/qw_bench_smtp_" + name;
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return path;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::map<std::string, double> gMedians;  // seconds per mail by benchmark name

void Report(benchmark::State& state, const std::string& name, const std::vector<double>& times) {
  double median = Median(times);
  gMedians[name] = median;
  state.SetIterationTime(median);
  state.counters["mails"] = static_cast<double>(times.size());
}

void Ours(benchmark::State& state, size_t size, int mails, const std::string& name) {
  auto msg = MakeMessage(size);
  qw::TSMTPClient client("smtpClient");
  client.Host = "127.0.0.1";
  client.Port = Server().Port();
  client.MailMessage = msg.get();
  for (auto _ : state) {
    std::vector<double> times;
    for (int i = 0; i < mails; ++i) {
      auto start = Clock::now();
      bool ok = client.Connect() && client.Send();
      client.Disconnect();
      times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      if (!ok) {
        state.SkipWithError("delivery failed");
        return;
      }
    }
    Report(state, name, times);
  }
}

void Python(benchmark::State& state, size_t size, int mails, const std::string& name) {
  auto msg = MakeMessage(size);
  std::string fileName = name;
  std::replace(fileName.begin(), fileName.end(), '/', '_');
  std::string path = TempFile(fileName + ".eml", msg->FullText());
  std::string timing = path + ".times";
  std::string command =
      "/usr/bin/python3 -c \"import smtplib,sys,time\n"
      "d=open(sys.argv[1],'rb').read(); out=[]\n"
      "for i in range(int(sys.argv[3])):\n"
      "  t=time.perf_counter(); s=smtplib.SMTP('127.0.0.1',int(sys.argv[2]))\n"
      "  s.sendmail('watch@example.jp',['admin@example.jp'],d); s.quit()\n"
      "  out.append(time.perf_counter()-t)\n"
      "open(sys.argv[4],'w').write(' '.join(repr(x) for x in out))\" '" +
      path + "' " + std::to_string(Server().Port()) + " " + std::to_string(mails) + " '" + timing + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("python3 smtplib failed");
      break;
    }
    std::vector<double> times;
    std::ifstream in(timing);
    for (double t; in >> t;) times.push_back(t);
    if (times.size() != static_cast<size_t>(mails)) {
      state.SkipWithError("no timing from python3");
      break;
    }
    Report(state, name, times);
  }
  std::remove(path.c_str());
  std::remove(timing.c_str());
}

void Msmtp(benchmark::State& state, size_t size, int mails, const std::string& name) {
  auto msg = MakeMessage(size);
  std::string fileName = name;
  std::replace(fileName.begin(), fileName.end(), '/', '_');
  std::string path = TempFile(fileName + ".eml", msg->FullText());
  std::string command = "/usr/bin/msmtp --host=127.0.0.1 --port=" + std::to_string(Server().Port()) +
                        " --auth=off --tls=off --from=watch@example.jp admin@example.jp < '" + path + "'";
  for (auto _ : state) {
    std::vector<double> times;
    for (int i = 0; i < mails; ++i) {
      auto start = Clock::now();
      if (std::system(command.c_str()) != 0) {
        state.SkipWithError("msmtp failed");
        return;
      }
      times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    Report(state, name, times);
  }
  std::remove(path.c_str());
}

void BM_SmallMail_Ours(benchmark::State& s) { Ours(s, 1000, kSmallMails, "small/ours"); }
void BM_SmallMail_PythonSmtplib(benchmark::State& s) { Python(s, 1000, kSmallMails, "small/python"); }
void BM_LargeMail_Ours(benchmark::State& s) { Ours(s, kLargeSize, kLargeMails, "large/ours"); }
void BM_LargeMail_PythonSmtplib(benchmark::State& s) { Python(s, kLargeSize, kLargeMails, "large/python"); }
void BM_LargeMail_Msmtp(benchmark::State& s) { Msmtp(s, kLargeSize, kLargeMails, "large/msmtp"); }

BENCHMARK(BM_SmallMail_Ours)->UseManualTime()->Iterations(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SmallMail_PythonSmtplib)->UseManualTime()->Iterations(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LargeMail_Ours)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeMail_PythonSmtplib)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeMail_Msmtp)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void PrintRatio(const char* label, const std::string& ours, const std::string& peer) {
  auto a = gMedians.find(ours), b = gMedians.find(peer);
  if (a == gMedians.end() || b == gMedians.end() || a->second <= 0) {
    std::printf("%-40s not measured\n", label);
    return;
  }
  std::printf("%-40s ours %9.3f ms   peer %9.3f ms   peer/ours %6.2f\n", label, a->second * 1e3,
              b->second * 1e3, b->second / a->second);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Server();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\nMedian time of one mail, connect to QUIT (peer/ours above 1: ours is faster)\n");
  PrintRatio("small mail vs Python smtplib", "small/ours", "small/python");
  PrintRatio("10 MB mail vs Python smtplib", "large/ours", "large/python");
  PrintRatio("10 MB mail vs msmtp", "large/ours", "large/msmtp");
  std::printf("messages received by the test server: %zu\n", Server().MessageCount());
  return 0;
}

// Base64 body encoding and body-mode quoted-printable over 50 MB, each beside
// a peer measured in the same run: coreutils `base64 -w 76` and Python's
// binascii.b2a_qp. Prints MB/s of each and the ratios at the end.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "mail/encodings.h"

namespace {

constexpr std::size_t kSize = 50 * 1000 * 1000;

const std::string& BinaryData() {
  static const std::string data = [] {
    std::string s(kSize, '\0');
    std::mt19937_64 gen(20090623);
    for (std::size_t i = 0; i + 8 <= s.size(); i += 8) {
      std::uint64_t v = gen();
      for (int k = 0; k < 8; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
    }
    return s;
  }();
  return data;
}

// A Japanese report as the service writes it: Shift-JIS lines with CR LF.
const std::string& ReportText() {
  static const std::string data = [] {
    const std::string lines[] = {
        "ドライブ C: の空き容量が不足しています。\r\n",
        "  空き容量 1,234 MB / 容量 476,937 MB (0.26%)\r\n",
        "  しきい値 2,048 MB\r\n",
        "Drive D: free 10,240 MB of 953,869 MB = OK; threshold 5%\r\n",
        "コンピュータ名: WATCHED-PC  確認日時: 2009/06/23 10:33:15\r\n",
    };
    std::string s;
    s.reserve(kSize + 200);
    for (std::size_t i = 0; s.size() < kSize; ++i) s += lines[i % 5];
    s.resize(kSize);
    return s;
  }();
  return data;
}

std::string TempFile(const char* name, const std::string& data) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/qw_bench_" + name;
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return path;
}

void BM_EncodeBase64Stream(benchmark::State& state) {
  const std::string& src = BinaryData();
  std::string dest;
  for (auto _ : state) {
    qw::EncodeBase64Stream(dest, src);
    benchmark::DoNotOptimize(dest.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_EncodeBase64Stream)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Reads the seconds a peer wrote to `path`; 0 when there is none.
double ReadSeconds(const std::string& path) {
  double user = 0, sys = 0;
  std::ifstream in(path);
  in >> user >> sys;
  return in || in.eof() ? user + sys : 0;
}

// coreutils base64 in a child process, reading the file and writing to
// /dev/null. Its CPU time (user + system, as bash's `time` reports it) is
// compared with ours, so that other load on the machine counts for neither.
void BM_Peer_Coreutils_Base64(benchmark::State& state) {
  std::string path = TempFile("base64.bin", BinaryData());
  std::string timing = path + ".time";
  std::string command = "bash -c 'TIMEFORMAT=\"%3U %3S\"; { time base64 -w 76 \"$0\" >/dev/null; } 2>\"$1\"' '" +
                        path + "' '" + timing + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("base64 failed");
      break;
    }
    double seconds = ReadSeconds(timing);
    if (!(seconds > 0)) {
      state.SkipWithError("no timing for base64");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSize));
  std::remove(path.c_str());
  std::remove(timing.c_str());
}
BENCHMARK(BM_Peer_Coreutils_Base64)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_EncodeQuotedPrintableBody(benchmark::State& state) {
  const std::string& src = ReportText();
  for (auto _ : state) {
    std::string out = qw::EncodeQuotedPrintable(src, false);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_EncodeQuotedPrintableBody)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The same into one destination whose memory is reused, as the base64 stream
// benchmark does: the encoder alone, without the kernel's first touch of
// fresh memory.
void BM_EncodeQuotedPrintableBodyReused(benchmark::State& state) {
  const std::string& src = ReportText();
  std::string out;
  for (auto _ : state) {
    qw::EncodeQuotedPrintableTo(out, src, false);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_EncodeQuotedPrintableBodyReused)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Python's binascii.b2a_qp over the same text; the child takes the CPU time
// of the call itself, so reading the file and starting Python are not
// counted.
void BM_Peer_Python_b2a_qp(benchmark::State& state) {
  std::string path = TempFile("qp.txt", ReportText());
  std::string timing = path + ".time";
  std::string command =
      "/usr/bin/python3 -c \"import binascii,sys,time; d=open(sys.argv[1],'rb').read(); "
      "t=time.process_time(); binascii.b2a_qp(d); "
      "open(sys.argv[2],'w').write(repr(time.process_time()-t)+' 0')\" '" + path + "' '" + timing + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("python3 failed");
      break;
    }
    double seconds = ReadSeconds(timing);
    if (!(seconds > 0)) {
      state.SkipWithError("no timing from python3");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSize));
  std::remove(path.c_str());
  std::remove(timing.c_str());
}
BENCHMARK(BM_Peer_Python_b2a_qp)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Remembers the throughput of every run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end() && !run.error_occurred) megabytesPerSecond[run.benchmark_name()] = it->second / 1e6;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> megabytesPerSecond;
};

void PrintRatio(const SummaryReporter& r, const char* label, const std::string& ours, const std::string& peer) {
  auto a = r.megabytesPerSecond.find(ours);
  auto b = r.megabytesPerSecond.find(peer);
  if (a == r.megabytesPerSecond.end() || b == r.megabytesPerSecond.end() || b->second <= 0) {
    std::printf("%-28s not measured\n", label);
    return;
  }
  std::printf("%-28s ours %9.1f MB/s   peer %9.1f MB/s   ratio %6.2f\n", label, a->second, b->second,
              a->second / b->second);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nSummary (50 MB, MB = 10^6 bytes, CPU time of ours and of the peers)\n");
  PrintRatio(reporter, "base64, 76-column lines", "BM_EncodeBase64Stream/min_time:2.000",
             "BM_Peer_Coreutils_Base64/iterations:5/manual_time");
  PrintRatio(reporter, "quoted-printable, body", "BM_EncodeQuotedPrintableBody/min_time:2.000",
             "BM_Peer_Python_b2a_qp/iterations:3/manual_time");
  PrintRatio(reporter, "quoted-printable, reused", "BM_EncodeQuotedPrintableBodyReused/min_time:2.000",
             "BM_Peer_Python_b2a_qp/iterations:3/manual_time");
  benchmark::Shutdown();
  return 0;
}

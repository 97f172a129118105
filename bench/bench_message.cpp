// Parsing a multipart message of 200 parts (LoadText) and producing its text
// again (Rebuild and FullText), at 1 MB and at 20 MB, beside Python's email
// package parsing and serialising the same bytes in the same run. Prints the
// time per byte at both sizes (the work must grow linearly) and the ratios.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "mail/mail_message.h"
#include "platform/system_info.h"
#include "tests/fakes/fixed_system_info.h"

namespace {

constexpr int kParts = 200;

// A multipart/mixed message of about `size` bytes: a text part and 199
// base64 attachments in lines of 76 characters.
std::string MakeMessage(std::size_t size) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::mt19937 gen(20090623);
  const std::string boundary = "=_qw_bench_0123456789";
  std::string s =
      "From: \"Bench\" <bench@example.jp>\r\n"
      "To: <a@example.jp>, <b@example.jp>\r\n"
      "Subject: benchmark message\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n"
      "\r\n"
      "This is a multipart message in mime format.\r\n";
  const std::size_t perPart = size / kParts;
  for (int p = 0; p < kParts; ++p) {
    s += "\r\n--" + boundary + "\r\n";
    if (p == 0) {
      s += "Content-Type: text/plain; charset=\"iso-2022-jp\"\r\n"
           "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
    } else {
      s += "Content-Type: application/octet-stream; name=\"file" + std::to_string(p) + ".bin\"\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"file" + std::to_string(p) + ".bin\"\r\n\r\n";
    }
    std::size_t target = s.size() + perPart;
    while (s.size() + 78 < target) {
      for (int i = 0; i < 76; ++i) s += kAlphabet[gen() % 64];
      s += "\r\n";
    }
  }
  s += "\r\n--" + boundary + "--\r\n";
  return s;
}

const std::string& Message(std::size_t size) {
  static std::map<std::size_t, std::string> cache;
  auto it = cache.find(size);
  if (it == cache.end()) it = cache.emplace(size, MakeMessage(size)).first;
  return it->second;
}

constexpr std::size_t kSmall = 1000 * 1000;
constexpr std::size_t kLarge = 20 * 1000 * 1000;

void BM_LoadText(benchmark::State& state) {
  const std::string& text = Message(static_cast<std::size_t>(state.range(0)));
  qw::FixedSystemInfo system;
  qw::TMailMessage msg(system);
  for (auto _ : state) {
    msg.LoadText(text);
    benchmark::DoNotOptimize(msg.SubParts().Count());
  }
  if (msg.SubParts().Count() != kParts) state.SkipWithError("wrong number of parts");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LoadText)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Parse, then produce the text: Rebuild writes the body from the parts,
// FullText adds the folded header.
void BM_LoadRebuildFullText(benchmark::State& state) {
  const std::string& text = Message(static_cast<std::size_t>(state.range(0)));
  qw::FixedSystemInfo system;
  qw::TMailMessage msg(system);
  std::size_t outSize = 0;
  for (auto _ : state) {
    msg.LoadText(text);
    msg.Rebuild();
    std::string out = msg.FullText();
    outSize = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  if (outSize < text.size()) state.SkipWithError("text lost");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LoadRebuildFullText)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Rebuild and FullText alone (the parse before each round is not timed).
void BM_RebuildFullText(benchmark::State& state) {
  const std::string& text = Message(static_cast<std::size_t>(state.range(0)));
  qw::FixedSystemInfo system;
  qw::TMailMessage msg(system);
  for (auto _ : state) {
    state.PauseTiming();
    msg.LoadText(text);
    state.ResumeTiming();
    msg.Rebuild();
    std::string out = msg.FullText();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_RebuildFullText)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The same two measurements with cold caches: before each timed round the
// caches are filled with other data, as when a message is parsed once from
// freshly received text. At 1 MB the warm runs above keep the whole message
// in the processor's caches, at 20 MB they cannot; cold runs compare like
// with like.
void EvictCaches() {
  static std::string other(64 * 1000 * 1000, 'x');
  for (std::size_t i = 0; i < other.size(); i += 64) other[i] = static_cast<char>(other[i] + 1);
  benchmark::DoNotOptimize(other.data());
}

void BM_LoadText_Cold(benchmark::State& state) {
  const std::string& text = Message(static_cast<std::size_t>(state.range(0)));
  qw::FixedSystemInfo system;
  qw::TMailMessage msg(system);
  for (auto _ : state) {
    state.PauseTiming();
    EvictCaches();
    state.ResumeTiming();
    msg.LoadText(text);
    benchmark::DoNotOptimize(msg.SubParts().Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LoadText_Cold)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_RebuildFullText_Cold(benchmark::State& state) {
  const std::string& text = Message(static_cast<std::size_t>(state.range(0)));
  qw::FixedSystemInfo system;
  qw::TMailMessage msg(system);
  for (auto _ : state) {
    state.PauseTiming();
    msg.LoadText(text);
    EvictCaches();
    state.ResumeTiming();
    msg.Rebuild();
    std::string out = msg.FullText();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_RebuildFullText_Cold)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond)->MinTime(1.0);

std::string TempFile(const std::string& name, const std::string& data) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/qw_bench_" + name;
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return path;
}

// Python's email package on the same bytes: message_from_bytes and, for the
// round trip, as_bytes. The child measures the CPU time of the calls itself
// (as the benchmarks above count CPU time), so starting Python and reading the
// file are not counted and the load of the machine does not blur the ratio.
void PythonPeer(benchmark::State& state, bool serialise) {
  const std::string& text = Message(static_cast<std::size_t>(state.range(0)));
  std::string path = TempFile("message_" + std::to_string(state.range(0)) + ".eml", text);
  std::string timing = path + ".time";
  std::string command =
      std::string("/usr/bin/python3 -c \"import email,sys,time; d=open(sys.argv[1],'rb').read(); "
                  "t=time.process_time(); m=email.message_from_bytes(d); ") +
      (serialise ? "b=m.as_bytes(); " : "") +
      "e=time.process_time()-t; "
      "assert len(m.get_payload())==" + std::to_string(kParts) + "; "
      "open(sys.argv[2],'w').write(repr(e))\" '" + path + "' '" + timing + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("python3 failed");
      break;
    }
    double seconds = 0;
    std::ifstream in(timing);
    in >> seconds;
    if (!(seconds > 0)) {
      state.SkipWithError("no timing from python3");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
  std::remove(path.c_str());
  std::remove(timing.c_str());
}

void BM_Peer_Python_Parse(benchmark::State& state) { PythonPeer(state, false); }
void BM_Peer_Python_ParseSerialise(benchmark::State& state) { PythonPeer(state, true); }
BENCHMARK(BM_Peer_Python_Parse)->Arg(kSmall)->Arg(kLarge)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Peer_Python_ParseSerialise)->Arg(kSmall)->Arg(kLarge)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Remembers the throughput of every run for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end() && !run.error_occurred) {
        megabytesPerSecond[run.run_name.function_name + "/" + run.run_name.args] = it->second / 1e6;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Get(const std::string& name) const {
    auto it = megabytesPerSecond.find(name);
    return it == megabytesPerSecond.end() ? 0 : it->second;
  }
  std::map<std::string, double> megabytesPerSecond;
};

void PrintLinearity(const SummaryReporter& r, const char* label, const std::string& base) {
  double small = r.Get(base + "/" + std::to_string(kSmall));
  double large = r.Get(base + "/" + std::to_string(kLarge));
  if (small <= 0 || large <= 0) {
    std::printf("%-34s not measured\n", label);
    return;
  }
  // Time per byte is the inverse of the throughput.
  std::printf("%-34s %8.1f MB/s at 1 MB, %8.1f MB/s at 20 MB: time per byte x%.2f (limit 1.50)\n",
              label, small, large, small / large);
}

void PrintRatio(const SummaryReporter& r, const char* label, const std::string& ours,
                const std::string& peer) {
  double a = r.Get(ours);
  double b = r.Get(peer);
  if (a <= 0 || b <= 0) {
    std::printf("%-34s not measured\n", label);
    return;
  }
  std::printf("%-34s ours %9.1f MB/s   Python %7.1f MB/s   ratio %7.1f\n", label, a, b, a / b);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nLinearity (20 MB against 1 MB):\n");
  PrintLinearity(reporter, "LoadText", "BM_LoadText");
  PrintLinearity(reporter, "Rebuild+FullText", "BM_RebuildFullText");
  PrintLinearity(reporter, "LoadText+Rebuild+FullText", "BM_LoadRebuildFullText");
  PrintLinearity(reporter, "LoadText, cold caches", "BM_LoadText_Cold");
  PrintLinearity(reporter, "Rebuild+FullText, cold caches", "BM_RebuildFullText_Cold");
  std::printf("\nAgainst Python's email package (same bytes, same run):\n");
  for (std::size_t size : {kSmall, kLarge}) {
    std::string arg = "/" + std::to_string(size);
    std::string label = size == kSmall ? "  1 MB" : " 20 MB";
    PrintRatio(reporter, ("parse" + label).c_str(), "BM_LoadText" + arg,
               "BM_Peer_Python_Parse" + arg);
    PrintRatio(reporter, ("parse+serialise" + label).c_str(), "BM_LoadRebuildFullText" + arg,
               "BM_Peer_Python_ParseSerialise" + arg);
  }
  return 0;
}

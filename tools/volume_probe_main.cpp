// volume_probe: the platform's volume listing as the watch sees it, for the
// end-to-end tests on both hosts (and a look at what a Wine prefix offers).
//
//   volume_probe [--measure MS]
//
// One line per volume, fields split by tabs, text as UTF-8:
//   volume <kind> <name> <label> <file system> <path>|<path>...
// kind: fixed, memory or other. With --measure, each volume is then measured
// through its first path (or its name), each call on a thread of its own and
// all of them waited for at most MS together:
//   space <path> <free bytes> <total bytes>
//   space <path> failed <what failed and why>
//   space <path> no-answer
// Exit 0 when the listing worked, 1 when it failed ("failed: ..." on stderr),
// 2 for a wrong command line.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/drives.h"
#include "platform/text_codec.h"

namespace {

const char* KindName(qw::VolumeKind kind) {
  switch (kind) {
    case qw::VolumeKind::kFixed:
      return "fixed";
    case qw::VolumeKind::kMemory:
      return "memory";
    default:
      return "other";
  }
}

std::string Shown(const std::string& sjis) { return qw::SjisToUtf8(sjis); }

struct Measurement {
  std::mutex lock;
  bool done = false;
  qw::Result<qw::DiskSpace> space = qw::Status::Failure("PathFreeSpace", 0, "not measured");
};

}  // namespace

int main(int argc, char** argv) {
  long boundMs = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--measure") == 0 && i + 1 < argc) {
      boundMs = std::strtol(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: volume_probe [--measure MS]\n");
      return 2;
    }
  }
  // Shared with the measuring threads, which may outlive main's wait.
  std::shared_ptr<qw::Drives> drives = qw::NewSystemDrives("");
  const qw::Result<std::vector<qw::VolumeInfo>> volumes = drives->ListVolumes();
  if (!volumes.Ok()) {
    std::fprintf(stderr, "failed: %s\n", Shown(volumes.status().Describe()).c_str());
    return 1;
  }
  for (const qw::VolumeInfo& v : *volumes) {
    std::string paths;
    for (const std::string& p : v.paths) paths += (paths.empty() ? "" : "|") + Shown(p);
    std::printf("volume\t%s\t%s\t%s\t%s\t%s\n", KindName(v.kind), Shown(v.name).c_str(), Shown(v.label).c_str(),
                Shown(v.fileSystem).c_str(), paths.c_str());
  }
  if (boundMs >= 0) {
    auto mutex = std::make_shared<std::mutex>();
    auto ended = std::make_shared<std::condition_variable>();
    std::vector<std::shared_ptr<Measurement>> all;
    for (const qw::VolumeInfo& v : *volumes) {
      auto m = std::make_shared<Measurement>();
      all.push_back(m);
      const std::string path = qw::MeasuredPath(v);
      std::thread([drives, m, path, mutex, ended] {
        qw::Result<qw::DiskSpace> space = drives->PathFreeSpace(path);
        std::lock_guard<std::mutex> hold(*mutex);
        m->space = std::move(space);
        m->done = true;
        ended->notify_all();
      }).detach();
    }
    std::unique_lock<std::mutex> hold(*mutex);
    ended->wait_for(hold, std::chrono::milliseconds(boundMs), [&] {
      for (const auto& m : all)
        if (!m->done) return false;
      return true;
    });
    for (size_t i = 0; i < all.size(); ++i) {
      const std::string path = Shown(qw::MeasuredPath((*volumes)[i]));
      if (!all[i]->done)
        std::printf("space\t%s\tno-answer\n", path.c_str());
      else if (!all[i]->space.Ok())
        std::printf("space\t%s\tfailed\t%s\n", path.c_str(), Shown(all[i]->space.status().Describe()).c_str());
      else
        std::printf("space\t%s\t%lld\t%lld\n", path.c_str(), static_cast<long long>(all[i]->space->freeToCaller),
                    static_cast<long long>(all[i]->space->totalBytes));
    }
  }
  std::fflush(stdout);
  // A thread may still wait in a call that never returns: leave without
  // waiting for it.
  std::_Exit(0);
}

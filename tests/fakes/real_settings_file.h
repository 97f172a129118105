// The real settings file of a test, for tests that go through the system's
// own file calls: in the Windows directory under Wine (the test prefix's),
// in a folder of the test's own on POSIX. A settings file already there is
// put back when the test ends; the POSIX folder is removed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/drivewarden_common.h"
#include "platform/files.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace qw::test {

class RealSettingsFile {
 public:
  // `name` tells the POSIX folders of tests running at once apart.
  explicit RealSettingsFile(const std::string& name) {
    namespace fs = std::filesystem;
#ifdef _WIN32
    (void)name;  // one Windows directory per prefix
    const char* windir = std::getenv("WINDIR");
    dir = windir ? windir : "C:\\windows";
#else
    dir = (fs::temp_directory_path() / ("qw_" + name + "_" + std::to_string(::getpid()))).string();
    fs::create_directories(dir);
#endif
    path = (fs::path(dir) / kIniFileName).string();
    const Result<std::string> kept = ReadWholeFile(path);
    kept_ = kept.Ok();
    keptBytes_ = kept.value_or("");
  }
  ~RealSettingsFile() {
    std::error_code ec;
    if (kept_)
      EXPECT_TRUE(ReplaceFileAtomically(path, keptBytes_).Ok());
    else
      std::filesystem::remove(path, ec);
#ifndef _WIN32
    std::filesystem::remove_all(dir, ec);
#endif
  }
  RealSettingsFile(const RealSettingsFile&) = delete;
  RealSettingsFile& operator=(const RealSettingsFile&) = delete;

  std::string dir;   // the Windows directory the profiles of the test use
  std::string path;  // dir\Drivewarden.ini

 private:
  bool kept_ = false;
  std::string keptBytes_;
};

}  // namespace qw::test

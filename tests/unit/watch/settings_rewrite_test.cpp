// The settings load against a settings file that another process replaces
// while the service reads it: every load gives the values of one whole
// version of the file, and a new version is taken whatever its time stamp.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/profile.h"
#include "common/drivewarden_common.h"
#include "service/drivewarden.h"
#include "tests/fakes/fake_message_loop.h"
#include "tests/fakes/fake_platform.h"
#include "tests/fakes/real_settings_file.h"

namespace qw {
namespace {

using test::FakeDrives;
using test::FakeEventLog;
using test::FakeSystemInfo;

constexpr int64_t kMiB = 1024 * 1024;

// One whole version of the settings file; every value differs between two
// versions, so a load that mixes them shows it in any key.
std::string Version(int n) {
  const std::string s = std::to_string(n);
  return "[WARNING]\r\nINTERVAL=" + std::to_string(2 + n) + "\r\nISMAILSEND=1\r\nREMIND=" + s +
         "\r\n[DRIVE]\r\nC=" + std::to_string(10 + n) + "MB\r\nD=" + std::to_string(20 + n) +
         "%\r\n[MAIL]\r\nSMTP=mx" + s + ".example.jp\r\nPORT=" + std::to_string(2500 + n) +
         "\r\nMAILFROM=from" + s + "@example.jp\r\nMAILTO=to" + s + "@example.jp\r\nMAILCC=cc" + s +
         "@example.jp\r\n";
}

// The values of the last load as the version number they all name; -1 when
// they name more than one version.
int LoadedVersion(const TDrivewarden& service) {
  const int n = service.Interval() - 2;
  const std::string s = std::to_string(n);
  const auto& drives = *service.DriveList();
  const bool whole = service.Remind() == n && drives.size() == 2 &&
                     drives[0]->LimitText == std::to_string(10 + n) + "MB" &&
                     drives[1]->LimitText == std::to_string(20 + n) + "%" &&
                     service.SmtpHost() == "mx" + s + ".example.jp" && service.SmtpPort() == 2500 + n &&
                     service.MailFrom() == "from" + s + "@example.jp" &&
                     service.MailTo() == "to" + s + "@example.jp" && service.MailCc() == "cc" + s + "@example.jp";
  return whole ? n : -1;
}

class SettingsRewriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drives.drives['C'] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
    drives.drives['D'] = {kDriveFixed, 900 * kMiB, 1000 * kMiB, true, nullptr};
  }

  // A service that reads the file of this test.
  std::unique_ptr<TDrivewarden> NewService() {
    return std::make_unique<TDrivewarden>(ServicePlatform{*profiles, drives, system, log}, loop.CreateTimer());
  }

  test::RealSettingsFile file{"rewrite"};
  const std::string& path = file.path;
  std::unique_ptr<Profiles> profiles = NewSystemProfiles(file.dir);
  FakeDrives drives;
  FakeSystemInfo system;
  FakeEventLog log;
  FakeMessageLoop loop;
};

int HammerRounds() {
  const char* rounds = std::getenv("QW_SETTINGS_HAMMER_ROUNDS");
  const int n = rounds ? std::atoi(rounds) : 0;
  return n > 0 ? n : 200;
}

// A writer replaces the file with version 1 and version 2 in turn, each in
// one step, as fast as it can; loads by new services and by one running
// service meanwhile each give one whole version. Once the writer has
// stopped, the running service takes the last version at its next load,
// however close to its previous load that version was written.
TEST_F(SettingsRewriteTest, LoadsDuringRewritesNeverMixTwoVersions) {
  ASSERT_TRUE(ReplaceFileAtomically(path, Version(1)).Ok());
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::atomic<int> writeFailures{0};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      if (ReplaceFileAtomically(path, Version(2 - i % 2)).Ok())
        ++written;
      else
        ++writeFailures;
    }
  });
  // The loads begin once the writer is writing, and go on until it has
  // written a number of versions beside them, however fast either is (a
  // machine under load, Wine's slower file calls).
  for (int spins = 0; written == 0 && writeFailures == 0 && spins < 1000000; ++spins) std::this_thread::yield();
  auto running = NewService();
  std::set<int> seen;
  int mixed = 0;
  const int rounds = HammerRounds();
  const int minWrites = 20;
  for (int round = 0; round < rounds || (written < minWrites && writeFailures == 0 && round < 100 * rounds);
       ++round) {
    auto fresh = NewService();
    try {
      fresh->LoadSettings();
      running->LoadSettings();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "round " << round << ": " << e.what();
      break;
    }
    for (const TDrivewarden* service : {fresh.get(), running.get()}) {
      const int version = LoadedVersion(*service);
      if (version < 0) ++mixed;
      seen.insert(version);
    }
  }
  stop = true;
  writer.join();
  EXPECT_EQ(mixed, 0) << "loads that mixed two versions; " << written << " writes";
  EXPECT_EQ(writeFailures, 0);
  EXPECT_GE(written, minWrites) << "the writer hardly ran beside the loads";

  // The last version, written within a second of the previous load.
  running->LoadSettings();
  ASSERT_TRUE(ReplaceFileAtomically(path, Version(3)).Ok());
  running->LoadSettings();
  EXPECT_EQ(LoadedVersion(*running), 3);
  ASSERT_TRUE(ReplaceFileAtomically(path, Version(4)).Ok());
  running->LoadSettings();
  EXPECT_EQ(LoadedVersion(*running), 4);
}

}  // namespace
}  // namespace qw

// Whole-file reads and the atomic replacement the state file relies on: the
// replaced file reads back whole, a reader never sees a part, nothing is
// left behind beside it, and the failures carry the system's reason.
#include "platform/files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace qw {
namespace {

namespace fs = std::filesystem;

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = (fs::temp_directory_path() / ("qw_files_" + std::to_string(getpid()))).string();
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  size_t EntriesInDir() const {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
      (void)entry;
      ++n;
    }
    return n;
  }
  std::string dir;
};

TEST_F(Files, ReplaceWritesThenReplacesAndLeavesNoTemporaryFile) {
  const std::string path = JoinPath(dir, "status.ini");
  std::string binary("a\0b\r\n\xff\x95\x5c", 8);
  ASSERT_TRUE(ReplaceFileAtomically(path, binary).Ok());
  Result<std::string> back = ReadWholeFile(path);
  ASSERT_TRUE(back.Ok());
  EXPECT_EQ(*back, binary);

  ASSERT_TRUE(ReplaceFileAtomically(path, "second").Ok());
  back = ReadWholeFile(path);
  ASSERT_TRUE(back.Ok());
  EXPECT_EQ(*back, "second") << "the old content is replaced, not appended to";
  ASSERT_TRUE(ReplaceFileAtomically(path, "").Ok());
  back = ReadWholeFile(path);
  ASSERT_TRUE(back.Ok());
  EXPECT_EQ(*back, "");
  EXPECT_EQ(EntriesInDir(), 1u) << "only status.ini remains";
}

TEST_F(Files, ReadRefusesAFileAboveTheLimitAndAMissingFile) {
  const std::string path = JoinPath(dir, "big");
  ASSERT_TRUE(ReplaceFileAtomically(path, std::string(100, 'x')).Ok());
  const Result<std::string> whole = ReadWholeFile(path, 100);
  EXPECT_TRUE(whole.Ok());
  EXPECT_EQ(whole.value_or("").size(), 100u);
  const Result<std::string> tooBig = ReadWholeFile(path, 99);
  EXPECT_FALSE(tooBig.Ok());
  EXPECT_NE(tooBig.status().Text().find("99"), std::string::npos) << tooBig.status().Describe();
  EXPECT_NE(tooBig.status().Kind(), StatusKind::kNotFound);

  // A missing file, and a missing folder on the way to it, are "not found"
  // on every system, whatever number the system gives them.
  for (const std::string& absent : {JoinPath(dir, "absent.ini"), JoinPath(JoinPath(dir, "absent"), "x.ini")}) {
    const Result<std::string> missing = ReadWholeFile(absent);
    EXPECT_FALSE(missing.Ok()) << absent;
    EXPECT_NE(missing.status().Code(), 0) << absent;
    EXPECT_FALSE(missing.status().Text().empty()) << absent;
    EXPECT_TRUE(missing.status().IsNotFound()) << absent << ": " << missing.status().Describe();
  }
}

TEST_F(Files, ReplaceInAMissingFolderFailsWithTheReasonAndCreatesNothing) {
  const std::string path = JoinPath(JoinPath(dir, "absent"), "status.ini");
  const Status status = ReplaceFileAtomically(path, "x");
  EXPECT_FALSE(status.Ok());
  EXPECT_NE(status.Code(), 0);
  EXPECT_FALSE(status.Text().empty());
  EXPECT_EQ(EntriesInDir(), 0u);
}

TEST_F(Files, AReaderSeesTheOldFileOrTheNewOneNeverAPart) {
  const std::string path = JoinPath(dir, "status.ini");
  const std::string a(200000, 'a'), b(300000, 'b');
  ASSERT_TRUE(ReplaceFileAtomically(path, a).Ok());
  // A reader like the status page's: one read for each replacement begun,
  // overlapping the writer's next one, and never holding the file between
  // reads (a reader that never lets go would fail the writer on Windows).
  std::mutex mutex;
  std::condition_variable wrote;
  int begun = 0;
  bool done = false;
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    int seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        wrote.wait(lock, [&] { return done || begun != seen; });
        if (done) return;
        seen = begun;
      }
      // An open may fail for a moment while the name is replaced (Windows);
      // what is read must be one whole version.
      const Result<std::string> read = ReadWholeFile(path);
      if (!read.Ok()) continue;
      const std::string& bytes = *read;
      ++reads;
      if (bytes != a && bytes != b) ++torn;
    }
  });
  int failedWrites = 0;
  for (int i = 0; i < 40; ++i) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++begun;
    }
    wrote.notify_one();
    if (!ReplaceFileAtomically(path, i % 2 ? a : b).Ok()) ++failedWrites;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  wrote.notify_one();
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(failedWrites, 0);
}

TEST(StateFolder, TheOverrideWinsAndJoinPathAddsOneSeparator) {
  Result<std::string> folder = StateFolder("/windir", "/elsewhere");
  ASSERT_TRUE(folder.Ok());
  EXPECT_EQ(*folder, "/elsewhere");
#ifdef _WIN32
  EXPECT_EQ(JoinPath("C:\\ProgramData\\Quotawarden", "status.ini"), "C:\\ProgramData\\Quotawarden\\status.ini");
  EXPECT_EQ(JoinPath("C:\\", "status.ini"), "C:\\status.ini");
  // "表" ends in the byte of "\": it is a character, not a separator.
  EXPECT_EQ(JoinPath("C:\\\x95\x5c", "s"), "C:\\\x95\x5c\\s");
  folder = StateFolder("", "");
  ASSERT_TRUE(folder.Ok());
  EXPECT_NE(folder->find("\\Quotawarden"), std::string::npos) << *folder;
  // Asking for the path makes nothing: a reader must not create the folder
  // whose rights only the service sets.
  if (!fs::exists(*folder)) {
    folder = StateFolder("", "");
    ASSERT_TRUE(folder.Ok());
    EXPECT_FALSE(fs::exists(*folder)) << *folder;
  }
#else
  EXPECT_EQ(JoinPath("/var/qw", "status.ini"), "/var/qw/status.ini");
  EXPECT_EQ(JoinPath("/var/qw/", "status.ini"), "/var/qw/status.ini");
  folder = StateFolder("/windir", "");
  ASSERT_TRUE(folder.Ok());
  EXPECT_EQ(*folder, "/windir");
#endif
}

}  // namespace
}  // namespace qw

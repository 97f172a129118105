// The cut of an entry's text before the event log's limit per string: the
// pure functions, and the system writer of this host with a text far over it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/event_log.h"
#include "platform/text_codec.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace qw {
namespace {

namespace fs = std::filesystem;

const std::u16string kMarker = kEventTextCutMarkerWide;

TEST(EventTextCut, Utf16TextFitsTheLimitAndNeverEndsInHalfASurrogatePair) {
  const char16_t high = 0xD83D, low = 0xDE00;  // U+1F600
  struct Case {
    std::u16string text;
    size_t limit;
    std::u16string expected;
  };
  const std::u16string a20(20, u'a');
  for (const Case& c : {
           Case{u"short", 20, u"short"},
           Case{a20, 20, a20},                                    // exactly the limit: whole
           Case{a20 + u"b", 20, std::u16string(11, u'a') + kMarker},
           // The pair would straddle the cut: both halves go.
           Case{std::u16string(10, u'a') + high + low + u"tail-tail-tail", 20, std::u16string(10, u'a') + kMarker},
           // The pair ends right at the cut: both halves stay.
           Case{std::u16string(9, u'a') + high + low + u"tail-tail-tail", 20,
                std::u16string(9, u'a') + high + low + kMarker},
       }) {
    const std::u16string cut = CutEventText(c.text, c.limit);
    EXPECT_EQ(cut, c.expected);
    EXPECT_LE(cut.size(), c.limit);
  }
}

TEST(EventTextCut, ShiftJisTextCountsCharactersAndNeverSplitsADoubleByteOne) {
  const std::string marker = kEventTextCutMarker;
  const size_t markerUnits = kMarker.size();
  struct Case {
    std::string text;
    size_t limit;
    std::string expected;
  };
  const std::string kana20 = std::string(10, 'a') + "アイウエオカキクケコ";  // 20 characters, 30 bytes
  for (const Case& c : {
           Case{"short", 20, "short"},
           Case{kana20, 20, kana20},  // 30 bytes, 20 characters: whole
           Case{kana20 + "x", 20, std::string(10, 'a') + "ア" + marker},
           Case{std::string(10, 'a') + "\x83" "A" "bcdefghijk", 20, std::string(10, 'a') + "\x83" "A" + marker},
           // A lead byte whose next byte cannot be a trail byte counts alone.
           Case{std::string(10, 'a') + "\x83\x0A" "bcdefghijk", 20, std::string(10, 'a') + "\x83" + marker},
       }) {
    const std::string cut = CutEventTextSjis(c.text, c.limit);
    EXPECT_EQ(cut, c.expected);
    EXPECT_LE(SjisToUtf16(cut).size(), c.limit);
  }
  // At the real limit, with a text of double-byte characters only.
  std::string japanese;
  for (int i = 0; i < 40000; ++i) japanese += "空";
  const std::string cut = CutEventTextSjis(japanese);
  EXPECT_EQ(SjisToUtf16(cut).size(), kEventTextLimit);
  EXPECT_EQ(cut.substr(cut.size() - marker.size()), marker);
  EXPECT_EQ(cut.substr(0, 2 * (kEventTextLimit - markerUnits)), japanese.substr(0, 2 * (kEventTextLimit - markerUnits)));
}

TEST(EventTextCut, TheSystemWriterTakesAnEntryOfAHundredThousandCharactersCut) {
  const fs::path file = fs::temp_directory_path() / ("qw_long_events_" + std::to_string(getpid()) + ".json");
  fs::remove(file);
  std::string text = "RCPT <admin@example.jp>: 550 ";
  while (text.size() < 100000) text += "長い応答 long reply ";
  {
    auto log = NewSystemEventLog(file.string());
    log->Report("Drivewarden", EventType::Error, 0, 5610, text);
    log->Report("Drivewarden", EventType::Information, 0, 5610, "next entry");
  }
  std::ifstream in(file, std::ios::binary);
  std::string first, second;
  std::getline(in, first);
  std::getline(in, second);
  in.close();
  fs::remove(file);
  const std::string head = "\"text\":\"";
  const size_t at = first.find(head);
  ASSERT_NE(at, std::string::npos) << first.substr(0, 200);
  ASSERT_GE(first.size(), at + head.size() + 2);
  const std::string utf8 = first.substr(at + head.size(), first.size() - at - head.size() - 2);  // "}
  const std::u16string written = SjisToUtf16(Utf8ToSjis(utf8));
  EXPECT_LE(written.size(), kEventTextLimit);
  EXPECT_GT(written.size(), kEventTextLimit - 20);
  EXPECT_EQ(written.substr(written.size() - kMarker.size()), kMarker);
  EXPECT_EQ(written.substr(0, 100), SjisToUtf16(text).substr(0, 100));
  EXPECT_NE(second.find("next entry"), std::string::npos);
}

// The events file: each entry appended whole, and a file that cannot be
// opened is a failure that says why (the writer then reports the loss).
TEST(EventsFile, AppendsWholeLinesAndAFolderThatIsNotThereFails) {
  const fs::path dir = fs::temp_directory_path() / ("qw_events_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = (dir / "events.jsonl").string();
  const std::string first = EventJsonLine("Drivewarden", EventType::Warning, 0, 5610, "一行目");
  const std::string second = EventJsonLine("Drivewarden", EventType::Error, 0, 0, "二行目");
  ASSERT_TRUE(AppendLineToFile(path, first).Ok());
  ASSERT_TRUE(AppendLineToFile(path, second).Ok());
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  EXPECT_EQ(all.str(), first + second);

  const std::string lost = (dir / "absent" / "events.jsonl").string();
  const Status failed = AppendLineToFile(lost, first);
  EXPECT_FALSE(failed.Ok());
  EXPECT_TRUE(failed.IsNotFound()) << failed.Describe();
  EXPECT_FALSE(failed.What().empty());
  EXPECT_FALSE(failed.Text().empty());
  EXPECT_FALSE(fs::exists(lost));
  in.close();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qw

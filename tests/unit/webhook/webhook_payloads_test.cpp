// The alert bodies of every kind, read back with the strict JSON reader: the
// facts arrive intact in UTF-8 whatever a name holds, and each kind keeps to
// the shape and limits of the service that takes it. Natively the Teams and
// Slack bodies also go through tests/e2e/adaptive_card_check.py (the
// published Adaptive Card 1.4.0 schema).
#include "service/webhook_payloads.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/json.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

AlertNotice Notice(const std::string& computer, const std::string& threshold, AlertNotice::Kind kind) {
  AlertNotice notice;
  notice.kind = kind;
  notice.computer = computer;
  notice.localTime = "2026-12-09 21:04:05";
  notice.utcTime = "2026-12-09T12:04:05Z";
  notice.utcOffsetMinutes = 540;
  notice.drives.push_back(DriveFacts{'C', 123456789, 1000000000, 200000000, threshold, true});
  notice.drives.push_back(DriveFacts{'D', -1, -1, 0, "0", false});
  notice.report = computer + " のローカルドライブ\r\n\"引用\" \\ \t end";
  return notice;
}

// Names as people and systems give them: quotes, backslashes, control
// characters, markup of the chat services, Japanese (Shift-JIS with a 0x5C
// trail byte: "表"), and a byte that is no Shift-JIS at all.
const char* const kHostileNames[] = {
    "SERVER01",
    "\"quoted\" \\back\\slash\\",
    "ctl\x01\x08\x1f\x7f\r\nnext",
    "<!channel> <@U123> &amp; *bold* _it_",
    "サーバー表示機能",
    "}]},\"injected\":true,{\"a\":\"",
    "bad\x81",
};

TEST(WebhookPayloads, EveryKindCarriesTheFactsIntact) {
  for (const char* name : kHostileNames) {
    for (auto kind : {AlertNotice::Kind::kAlert, AlertNotice::Kind::kRecovery}) {
      const AlertNotice notice = Notice(name, "20%\"\\", kind);
      const std::string computer = SjisToUtf8(name);

      const Result<std::string> json = RenderWebhookBody(WebhookKind::kJson, notice);
      ASSERT_TRUE(json.Ok()) << json.status().Describe();
      const Result<JsonValue> object = ParseJson(*json);
      ASSERT_TRUE(object.Ok()) << name << ": " << object.status().Describe() << "\n" << *json;
      EXPECT_EQ(object->FindString("computer").value_or("?"), computer);
      EXPECT_EQ(object->FindString("text").value_or("?"), SjisToUtf8(notice.report));
      EXPECT_EQ(object->FindString("kind").value_or("?"), kind == AlertNotice::Kind::kAlert ? "alert" : "recovery");
      EXPECT_EQ(object->FindString("schema").value_or("?"), kWebhookJsonSchema);
      EXPECT_EQ(object->Find("version")->AsInt64().value_or(0), kWebhookJsonVersion);
      EXPECT_EQ(object->Find("injected"), nullptr);
      const JsonValue* time = object->Find("time");
      ASSERT_NE(time, nullptr);
      EXPECT_EQ(time->FindString("utc").value_or("?"), "2026-12-09T12:04:05Z");
      EXPECT_EQ(time->FindString("local").value_or("?"), "2026-12-09T21:04:05+09:00");
      const JsonValue* drives = object->Find("drives");
      ASSERT_TRUE(drives && drives->IsArray());
      ASSERT_EQ(drives->Items().size(), 2u);
      EXPECT_EQ(drives->Items()[0].Find("freeBytes")->AsInt64().value_or(-5), 123456789);
      EXPECT_EQ(drives->Items()[0].FindString("threshold").value_or("?"), "20%\"\\");
      EXPECT_TRUE(drives->Items()[0].Find("below")->AsBool());
      EXPECT_TRUE(drives->Items()[1].Find("freeBytes")->IsNull());

      const Result<std::string> teams = RenderWebhookBody(WebhookKind::kTeams, notice);
      ASSERT_TRUE(teams.Ok());
      const Result<JsonValue> message = ParseJson(*teams);
      ASSERT_TRUE(message.Ok()) << name << ": " << message.status().Describe();
      const JsonValue* attachments = message->Find("attachments");
      ASSERT_TRUE(attachments && attachments->Items().size() == 1);
      const JsonValue* card = attachments->Items()[0].Find("content");
      ASSERT_NE(card, nullptr);
      EXPECT_EQ(card->FindString("version").value_or("?"), "1.4");
      const JsonValue* facts = card->Find("body")->Items()[1].Find("facts");
      ASSERT_TRUE(facts && facts->Items().size() == 2);
      EXPECT_EQ(facts->Items()[0].FindString("value").value_or("?"), computer);

      const Result<std::string> slack = RenderWebhookBody(WebhookKind::kSlack, notice);
      ASSERT_TRUE(slack.Ok());
      const Result<JsonValue> blocks = ParseJson(*slack);
      ASSERT_TRUE(blocks.Ok()) << name << ": " << blocks.status().Describe();
      const std::string fallback = blocks->FindString("text").value_or("");
      std::string escaped;
      for (char c : computer) escaped += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
      EXPECT_NE(fallback.find(escaped), std::string::npos) << fallback;
      EXPECT_EQ(fallback.find('<'), std::string::npos) << fallback;
      // In mrkdwn the name cannot open a mention or a link.
      const std::string section = blocks->Find("blocks")->Items()[1].Find("text")->FindString("text").value_or("");
      EXPECT_EQ(section.find('<'), std::string::npos) << section;
      EXPECT_EQ(section.find('>'), std::string::npos) << section;
    }
  }
}

TEST(WebhookPayloads, ShortageIsInTheWarningColourAndTheDrivesInRows) {
  AlertNotice notice = Notice("PC", "10%", AlertNotice::Kind::kAlert);
  const Result<JsonValue> alert = ParseJson(*RenderWebhookBody(WebhookKind::kTeams, notice));
  ASSERT_TRUE(alert.Ok());
  const JsonValue& body = *alert->Find("attachments")->Items()[0].Find("content")->Find("body");
  EXPECT_EQ(body.Items()[0].FindString("color").value_or("?"), "Attention");
  // The title, the facts, the heading row, one row per drive.
  ASSERT_EQ(body.Items().size(), 3u + notice.drives.size());
  const JsonValue& shortRow = body.Items()[3];
  EXPECT_EQ(shortRow.Find("columns")->Items()[0].Find("items")->Items()[0].FindString("color").value_or("?"),
            "Attention");
  const JsonValue& fineRow = body.Items()[4];
  EXPECT_EQ(fineRow.Find("columns")->Items()[0].Find("items")->Items()[0].Find("color"), nullptr);

  notice.kind = AlertNotice::Kind::kRecovery;
  for (DriveFacts& drive : notice.drives) drive.below = false;
  const Result<JsonValue> recovery = ParseJson(*RenderWebhookBody(WebhookKind::kTeams, notice));
  ASSERT_TRUE(recovery.Ok());
  EXPECT_EQ(recovery->Find("attachments")->Items()[0].Find("content")->Find("body")->Items()[0].FindString("color"),
            std::optional<std::string>("Good"));
}

// A forecast alert: C: forecast to fill, D: not answering, and a volume in
// a folder (named by its path, with a label); the report's forecast line.
AlertNotice ForecastNotice(const std::string& path, const std::string& label) {
  AlertNotice notice = Notice("PC", "10%", AlertNotice::Kind::kForecast);
  notice.drives[0].below = false;
  notice.drives[0].forecast = true;
  notice.drives[1].freeBytes = 7;
  DriveFacts volume{'?', 50000, 100000, 10000, "10%", false};
  volume.path = path;
  volume.label = label;
  notice.drives.push_back(volume);
  notice.forecastLines = "C ドライブ : 2026/12/20 ごろ (あと 10 日、1 日あたり 1,000,000 バイト減少)\r\n";
  return notice;
}

// Every string of a document, one a line.
std::string Strings(const JsonValue& value) {
  std::string out;
  if (value.IsString()) out += value.Text() + "\n";
  for (const JsonValue& item : value.Items()) out += Strings(item);
  for (const auto& member : value.Members()) out += Strings(member.second);
  return out;
}

TEST(WebhookPayloads, VolumesAndTheForecastAreFactsOfEveryKind) {
  const struct {
    const char* path;
    const char* label;
  } volumes[] = {
      {"/srv/data", ""},
      {"C:\\Mount\\共有\\表", "業務 \"A\""},
      {"/mnt/\"q\"\\ctl\x01\t<!here>", "ラベル\x1f&"},
  };
  for (const auto& v : volumes) {
    const AlertNotice notice = ForecastNotice(v.path, v.label);
    const std::string path = SjisToUtf8(v.path);
    const std::string label = SjisToUtf8(v.label);
    const std::string line = "C ドライブ : 2026/12/20 ごろ (あと 10 日、1 日あたり 1,000,000 バイト減少)";

    const Result<JsonValue> object = ParseJson(*RenderWebhookBody(WebhookKind::kJson, notice));
    ASSERT_TRUE(object.Ok()) << v.path;
    EXPECT_EQ(object->FindString("kind").value_or("?"), "forecast");
    EXPECT_EQ(object->FindString("outcome").value_or("?"), "warning");
    EXPECT_EQ(object->FindString("title").value_or("?"), SjisToUtf8("ドライブ領域不足の予測のお知らせ"));
    const JsonValue* forecast = object->Find("forecast");
    ASSERT_TRUE(forecast && forecast->IsArray());
    ASSERT_EQ(forecast->Items().size(), 1u);
    EXPECT_EQ(forecast->Items()[0].Text(), SjisToUtf8(line));
    const std::vector<JsonValue>& drives = object->Find("drives")->Items();
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_TRUE(drives[0].Find("forecast")->AsBool());
    EXPECT_FALSE(drives[0].Find("below")->AsBool());
    EXPECT_FALSE(drives[0].Find("volume")->AsBool());
    EXPECT_EQ(drives[0].Find("label"), nullptr);
    EXPECT_EQ(drives[2].FindString("drive").value_or("?"), path);
    EXPECT_TRUE(drives[2].Find("volume")->AsBool());
    EXPECT_EQ(drives[2].FindString("label").value_or("?"), label);
    EXPECT_FALSE(drives[2].Find("below")->AsBool());
    EXPECT_EQ(drives[2].Find("freeBytes")->AsInt64().value_or(-5), 50000);

    const Result<JsonValue> teams = ParseJson(*RenderWebhookBody(WebhookKind::kTeams, notice));
    ASSERT_TRUE(teams.Ok());
    const JsonValue& body = *teams->Find("attachments")->Items()[0].Find("content")->Find("body");
    EXPECT_EQ(body.Items()[0].FindString("color").value_or("?"), "Warning");  // a forecast, nothing short
    EXPECT_EQ(body.Items()[0].FindString("text").value_or("?"), SjisToUtf8("ドライブ領域不足の予測のお知らせ"));
    const JsonValue& forecastRow = body.Items()[3];
    EXPECT_EQ(forecastRow.Find("columns")->Items()[3].Find("items")->Items()[0].FindString("text").value_or("?"),
              SjisToUtf8("不足の予測"));
    const JsonValue& volumeRow = body.Items()[5];
    const std::string shown = volumeRow.Find("columns")->Items()[0].Find("items")->Items()[0].FindString("text").value_or("?");
    EXPECT_EQ(shown, label.empty() ? path : path + " (" + label + ")");
    EXPECT_NE(Strings(body).find(SjisToUtf8(line)), std::string::npos);

    const Result<JsonValue> slack = ParseJson(*RenderWebhookBody(WebhookKind::kSlack, notice));
    ASSERT_TRUE(slack.Ok());
    const std::string texts = Strings(*slack->Find("blocks"));
    EXPECT_NE(texts.find(SjisToUtf8(line)), std::string::npos) << texts;
    EXPECT_NE(texts.find(SjisToUtf8("不足の予測")), std::string::npos) << texts;
    // The path's own markup is written as entities, the rest as it is.
    std::string escaped;
    for (char c : path) escaped += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
    EXPECT_NE(texts.find(escaped), std::string::npos) << texts;
  }
}

TEST(WebhookPayloads, SlackKeepsWithinFiftyBlocksWhateverTheVolumes) {
  AlertNotice notice = ForecastNotice("/srv/v", "");
  for (int i = 0; i < 60; ++i) {
    DriveFacts volume{'?', 5000, 100000, 10000, "10%", i % 2 == 0};
    volume.path = "/srv/v" + std::to_string(i);
    notice.drives.push_back(volume);
  }
  const Result<JsonValue> slack = ParseJson(*RenderWebhookBody(WebhookKind::kSlack, notice), JsonLimits{1 << 20, 16});
  ASSERT_TRUE(slack.Ok());
  const std::vector<JsonValue>& blocks = slack->Find("blocks")->Items();
  EXPECT_LE(blocks.size(), 50u);
  // The drives that had no block of their own are counted in one.
  const std::string texts = Strings(*slack->Find("blocks"));
  EXPECT_NE(texts.find(SjisToUtf8("ほか 17 件")), std::string::npos) << texts;
  EXPECT_NE(texts.find("/srv/v42"), std::string::npos);
  EXPECT_EQ(texts.find("/srv/v43"), std::string::npos);
}

TEST(WebhookPayloads, SlackSectionsStayWithinTheirLimit) {
  // A name of 4,000 Japanese characters: the section is cut at 3,000
  // characters (not bytes), the header at 150.
  std::string longName;
  for (int i = 0; i < 4000; ++i) longName += "表";
  const Result<JsonValue> body = ParseJson(*RenderWebhookBody(WebhookKind::kSlack, Notice(longName, "1%", {})),
                                           JsonLimits{1 << 20, 16});
  ASSERT_TRUE(body.Ok()) << body.status().Describe();
  auto characters = [](const std::string& utf8) {
    size_t n = 0;
    for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
  };
  for (const JsonValue& block : body->Find("blocks")->Items()) {
    const std::string text = block.Find("text")->FindString("text").value_or("");
    const size_t limit = block.FindString("type") == std::optional<std::string>("header") ? kSlackHeaderLimit
                                                                                          : kSlackSectionLimit;
    EXPECT_LE(characters(text), limit);
  }
  EXPECT_EQ(characters(body->Find("blocks")->Items()[1].Find("text")->FindString("text").value_or("")),
            kSlackSectionLimit);
}

TEST(WebhookPayloads, CutCharactersCountsCharactersNotBytes) {
  const struct {
    std::string text;
    size_t limit;
    std::string cut;
  } cases[] = {
      {"abc", 3, "abc"},
      {"abcd", 3, "ab\xE2\x80\xA6"},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 3, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 2, "\xE6\x97\xA5\xE2\x80\xA6"},
      {"\xF0\x9F\x98\x80x", 1, "\xE2\x80\xA6"},
  };
  for (const auto& c : cases) EXPECT_EQ(CutCharacters(c.text, c.limit), c.cut) << c.text << " " << c.limit;
}

#ifndef _WIN32
// The bodies against the published schema and Slack's documented shape.
TEST(WebhookPayloads, ChatBodiesPassThePublishedChecks) {
  if (std::system("/usr/bin/python3 -c 'import jsonschema' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-jsonschema is not installed";
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qw-cards-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  std::string teamsFiles, slackFiles;
  int n = 0;
  for (const char* name : kHostileNames) {
    for (auto kind : {AlertNotice::Kind::kAlert, AlertNotice::Kind::kReminder, AlertNotice::Kind::kRecovery,
                      AlertNotice::Kind::kTest, AlertNotice::Kind::kForecast}) {
      AlertNotice notice = kind == AlertNotice::Kind::kForecast ? ForecastNotice(name, name) : Notice(name, "5%", kind);
      notice.computer = name;
      for (WebhookKind target : {WebhookKind::kTeams, WebhookKind::kSlack}) {
        const std::filesystem::path file = dir / (std::to_string(n++) + ".json");
        std::ofstream(file, std::ios::binary) << *RenderWebhookBody(target, notice);
        (target == WebhookKind::kTeams ? teamsFiles : slackFiles) += " " + file.string();
      }
    }
  }
  const std::string checker = std::string(QW_SOURCE_DIR) + "/tests/e2e/adaptive_card_check.py";
  EXPECT_EQ(std::system(("/usr/bin/python3 " + checker + " teams" + teamsFiles).c_str()), 0);
  EXPECT_EQ(std::system(("/usr/bin/python3 " + checker + " slack" + slackFiles).c_str()), 0);
  std::filesystem::remove_all(dir);
}
#endif

}  // namespace
}  // namespace qw

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
                      AlertNotice::Kind::kTest}) {
      const AlertNotice notice = Notice(name, "5%", kind);
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

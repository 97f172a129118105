#include "service/webhook_payloads.h"

#include <cstdlib>
#include <vector>

#include "common/json.h"
#include "platform/text_codec.h"
#include "service/report.h"

namespace qw {
namespace {

// Shift-JIS (a literal of this file or a text of the service) as UTF-8.
std::string U(const std::string& sjis) { return SjisToUtf8(sjis); }

std::string Title(const AlertNotice& notice) {
  switch (notice.kind) {
    case AlertNotice::Kind::kAlert: return U("ドライブの空き領域が不足しています");
    case AlertNotice::Kind::kReminder: return U("ドライブの空き領域の不足が続いています");
    case AlertNotice::Kind::kRecovery: return U("ドライブの空き領域は回復しました");
    case AlertNotice::Kind::kTest: return U("テスト通知");
    case AlertNotice::Kind::kForecast: return U("ドライブ領域不足の予測のお知らせ");
  }
  return "";
}

bool Short(const AlertNotice& notice) {
  for (const DriveFacts& drive : notice.drives)
    if (drive.below) return true;
  return false;
}

// A warning: a drive short (or not answering), or one forecast to fill.
bool Warning(const AlertNotice& notice) { return Short(notice) || !notice.forecastLines.empty(); }

// The forecast lines, one string each (UTF-8).
std::vector<std::string> ForecastLines(const AlertNotice& notice) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < notice.forecastLines.size()) {
    size_t end = notice.forecastLines.find_first_of("\r\n", at);
    if (end == std::string::npos) end = notice.forecastLines.size();
    if (end > at) lines.push_back(U(notice.forecastLines.substr(at, end - at)));
    at = end + 1;
  }
  return lines;
}

std::string Bytes(int64_t count) { return count < 0 ? U("不明") : U(ReportBytes(count, ",")); }

std::string DriveName(const DriveFacts& drive) {
  if (drive.path.empty()) return std::string(1, drive.letter) + ":";
  return drive.label.empty() ? U(drive.path) : U(drive.path) + " (" + U(drive.label) + ")";
}

std::string DriveState(const DriveFacts& drive) {
  if (drive.freeBytes < 0) return U("応答なし");
  if (drive.below) return U("しきい値以下");
  return drive.forecast ? U("不足の予測") : U("正常");
}

// The colour of a drive's row: a shortage in the warning colour, a
// forecast in the caution colour.
const char* RowColor(const DriveFacts& drive) {
  if (drive.below) return "Attention";
  return drive.forecast ? "Warning" : nullptr;
}

std::string ThresholdText(const DriveFacts& drive) {
  std::string text = U(drive.thresholdText);
  if (drive.thresholdText.find('%') != std::string::npos) text += " (" + Bytes(drive.thresholdBytes) + ")";
  return text;
}

// "2026-12-09T21:04:05+09:00" of the local stamp and its offset.
std::string LocalIso(const AlertNotice& notice) {
  std::string text = notice.localTime;
  if (text.size() > 10 && text[10] == ' ') text[10] = 'T';
  const int offset = std::abs(notice.utcOffsetMinutes);
  const int hours = offset / 60;
  const int minutes = offset % 60;
  text += notice.utcOffsetMinutes < 0 ? "-" : "+";
  text += std::string(1, static_cast<char>('0' + hours / 10 % 10)) + static_cast<char>('0' + hours % 10) + ":" +
          static_cast<char>('0' + minutes / 10) + static_cast<char>('0' + minutes % 10);
  return text;
}

// --- Teams -----------------------------------------------------------------

void TextBlock(JsonWriter& w, const std::string& text, const char* weight, const char* color) {
  w.BeginObject().Key("type").String("TextBlock").Key("text").String(text).Key("wrap").Bool(true);
  if (weight) w.Key("weight").String(weight);
  if (color) w.Key("color").String(color);
  w.EndObject();
}

void Column(JsonWriter& w, const char* width, const std::string& text, const char* weight, const char* color) {
  w.BeginObject().Key("type").String("Column").Key("width").String(width).Key("items").BeginArray();
  TextBlock(w, text, weight, color);
  w.EndArray().EndObject();
}

void Fact(JsonWriter& w, const std::string& title, const std::string& value) {
  w.BeginObject().Key("title").String(title).Key("value").String(value).EndObject();
}

Result<std::string> TeamsBody(const AlertNotice& notice) {
  const bool shortage = Short(notice);
  const char* titleColor = shortage ? "Attention" : Warning(notice) ? "Warning" : "Good";
  JsonWriter w;
  w.BeginObject().Key("type").String("message").Key("attachments").BeginArray();
  w.BeginObject().Key("contentType").String("application/vnd.microsoft.card.adaptive");
  w.Key("contentUrl").Null();
  w.Key("content").BeginObject();
  w.Key("$schema").String("http://adaptivecards.io/schemas/adaptive-card.json");
  w.Key("type").String("AdaptiveCard").Key("version").String("1.4");
  w.Key("body").BeginArray();
  TextBlock(w, Title(notice), "Bolder", titleColor);
  w.BeginObject().Key("type").String("FactSet").Key("facts").BeginArray();
  Fact(w, U("コンピューター"), U(notice.computer));
  Fact(w, U("日時"), notice.localTime + " (UTC " + notice.utcTime + ")");
  w.EndArray().EndObject();
  // One row per drive: the letter, free of capacity, the threshold, and
  // whether it is short (in the warning colour).
  w.BeginObject().Key("type").String("ColumnSet").Key("columns").BeginArray();
  Column(w, "auto", U("ドライブ"), "Bolder", nullptr);
  Column(w, "stretch", U("空き / 容量"), "Bolder", nullptr);
  Column(w, "auto", U("しきい値"), "Bolder", nullptr);
  Column(w, "auto", U("状態"), "Bolder", nullptr);
  w.EndArray().EndObject();
  for (const DriveFacts& drive : notice.drives) {
    const char* color = RowColor(drive);
    w.BeginObject().Key("type").String("ColumnSet").Key("columns").BeginArray();
    Column(w, "auto", DriveName(drive), "Bolder", color);
    Column(w, "stretch", Bytes(drive.freeBytes) + " / " + Bytes(drive.capacity), nullptr, color);
    Column(w, "auto", ThresholdText(drive), nullptr, color);
    Column(w, "auto", DriveState(drive), color ? "Bolder" : nullptr, color);
    w.EndArray().EndObject();
  }
  if (const std::vector<std::string> forecast = ForecastLines(notice); !forecast.empty()) {
    TextBlock(w, U("予測"), "Bolder", "Warning");
    for (const std::string& line : forecast) TextBlock(w, line, nullptr, nullptr);
  }
  if (notice.kind == AlertNotice::Kind::kTest && notice.drives.empty()) TextBlock(w, U(notice.report), nullptr, nullptr);
  w.EndArray();  // body
  w.EndObject();  // content
  w.EndObject().EndArray().EndObject();
  return w.Take();
}

// --- Slack -----------------------------------------------------------------

// mrkdwn gives &, < and > a meaning of their own: they are written as
// entities, so a label or a name cannot make a link or a mention.
std::string SlackEscape(const std::string& utf8) {
  std::string out;
  for (char c : utf8) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

void SlackSection(JsonWriter& w, const std::string& mrkdwn) {
  w.BeginObject().Key("type").String("section").Key("text").BeginObject();
  w.Key("type").String("mrkdwn").Key("text").String(CutCharacters(mrkdwn, kSlackSectionLimit));
  w.EndObject().EndObject();
}

Result<std::string> SlackBody(const AlertNotice& notice) {
  const std::string title = Title(notice);
  const std::string computer = SlackEscape(U(notice.computer));
  JsonWriter w;
  w.BeginObject();
  // The fallback is what notifications show: mrkdwn too.
  w.Key("text").String(CutCharacters(title + ": " + computer, kSlackSectionLimit));
  w.Key("blocks").BeginArray();
  w.BeginObject().Key("type").String("header").Key("text").BeginObject();
  w.Key("type").String("plain_text").Key("text").String(CutCharacters(title, kSlackHeaderLimit));
  w.EndObject().EndObject();
  SlackSection(w, "*" + U("コンピューター") + "*: " + computer + "\n*" + U("日時") + "*: " +
                      notice.localTime + " (UTC " + notice.utcTime + ")");
  // Slack takes at most 50 blocks: the header, the facts and the forecast
  // leave room for 47 drives and volumes; more are told in one line.
  constexpr size_t kDriveBlocks = 47;
  size_t shown = 0;
  for (const DriveFacts& drive : notice.drives) {
    if (++shown == kDriveBlocks && notice.drives.size() > kDriveBlocks) {
      SlackSection(w, U("ほか ") + std::to_string(notice.drives.size() - kDriveBlocks + 1) + U(" 件"));
      break;
    }
    std::string line = "*" + SlackEscape(DriveName(drive)) + "* " + U("空き ") + Bytes(drive.freeBytes) + " / " + U("容量 ") +
                       Bytes(drive.capacity) + " / " + U("しきい値 ") + SlackEscape(ThresholdText(drive)) + " / ";
    line += RowColor(drive) ? ":warning: *" + DriveState(drive) + "*" : DriveState(drive);
    SlackSection(w, line);
  }
  if (const std::vector<std::string> forecast = ForecastLines(notice); !forecast.empty()) {
    std::string text = "*" + U("予測") + "*";
    for (const std::string& line : forecast) text += "\n" + SlackEscape(line);
    SlackSection(w, text);
  }
  if (notice.kind == AlertNotice::Kind::kTest && notice.drives.empty()) SlackSection(w, SlackEscape(U(notice.report)));
  w.EndArray().EndObject();
  return w.Take();
}

// --- JSON ------------------------------------------------------------------

void IntOrNull(JsonWriter& w, int64_t value) {
  if (value < 0)
    w.Null();
  else
    w.Int(value);
}

Result<std::string> JsonBody(const AlertNotice& notice) {
  JsonWriter w;
  w.BeginObject();
  w.Key("schema").String(kWebhookJsonSchema).Key("version").Int(kWebhookJsonVersion);
  w.Key("kind").String(AlertNoticeKindName(notice.kind));
  w.Key("outcome").String(Warning(notice) ? "warning" : "information");
  w.Key("computer").String(U(notice.computer));
  w.Key("time").BeginObject().Key("utc").String(notice.utcTime).Key("local").String(LocalIso(notice)).EndObject();
  w.Key("title").String(Title(notice));
  w.Key("drives").BeginArray();
  for (const DriveFacts& drive : notice.drives) {
    w.BeginObject().Key("drive").String(drive.path.empty() ? DriveName(drive) : U(drive.path));
    w.Key("freeBytes");
    IntOrNull(w, drive.freeBytes);
    w.Key("capacityBytes");
    IntOrNull(w, drive.capacity);
    w.Key("threshold").String(U(drive.thresholdText));
    w.Key("thresholdBytes").Int(drive.thresholdBytes);
    w.Key("below").Bool(drive.below);
    w.Key("forecast").Bool(drive.forecast);
    w.Key("volume").Bool(!drive.path.empty());
    if (!drive.path.empty()) w.Key("label").String(U(drive.label));
    w.EndObject();
  }
  w.EndArray();
  w.Key("forecast").BeginArray();
  for (const std::string& line : ForecastLines(notice)) w.String(line);
  w.EndArray();
  w.Key("text").String(U(notice.report));
  w.EndObject();
  return w.Take();
}

}  // namespace

const char* AlertNoticeKindName(AlertNotice::Kind kind) {
  switch (kind) {
    case AlertNotice::Kind::kAlert: return "alert";
    case AlertNotice::Kind::kReminder: return "reminder";
    case AlertNotice::Kind::kRecovery: return "recovery";
    case AlertNotice::Kind::kTest: return "test";
    case AlertNotice::Kind::kForecast: return "forecast";
  }
  return "alert";
}

std::string CutCharacters(const std::string& utf8, size_t limit) {
  // Count the characters: every byte that does not continue one starts one.
  size_t count = 0;
  for (char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  if (count <= limit || limit == 0) return count <= limit ? utf8 : std::string();
  std::string out;
  size_t kept = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80 && ++kept == limit) break;
    out += utf8[i];
  }
  return out + "\xE2\x80\xA6";  // U+2026 in place of the last character kept
}

Result<std::string> RenderWebhookBody(WebhookKind kind, const AlertNotice& notice) {
  switch (kind) {
    case WebhookKind::kTeams: return TeamsBody(notice);
    case WebhookKind::kSlack: return SlackBody(notice);
    case WebhookKind::kJson: return JsonBody(notice);
  }
  return JsonBody(notice);
}

}  // namespace qw

#include "applet/webhook_targets_model.h"

#include <algorithm>
#include <utility>

#include "applet/settings_model.h"
#include "common/drivewarden_common.h"
#include "common/errors.h"
#include "platform/ascii_text.h"

namespace qw {
namespace {

// The value of a key that is not there, told apart from an empty one.
const char kMissing[] = "\x01";

constexpr const char* kMsgRetypeUrl =
    "URL の一部だけを書き換えることはできません。URL 全体を入力し直してください。";
constexpr const char* kMsgRetypeHeader =
    "ヘッダー %s の値を読み取れません。「名前: 値」の形で値も入力し直してください。";
constexpr const char* kMsgTooManyHeaders = "ヘッダーは 9 個までです。";
constexpr const char* kMsgKindChoice = "種類 (Teams、Slack、JSON) を選んでください。";
constexpr const char* kMsgTooManyTargets = "通知先は 9 個までです。";
constexpr const char* kMsgUnreadable = "保存されている値を読み取れません。入力し直してください: ";

std::string HeaderKey(size_t index) { return "HEADER" + std::to_string(index + 1); }

std::string Trimmed(const std::string& text) { return std::string(TrimControls(text)); }

bool EndsWithMark(const std::string& text) {
  const std::string mark = std::string("/") + kWebhookSecretMark;
  return text == kWebhookSecretMark ||
         (text.size() >= mark.size() && text.compare(text.size() - mark.size(), mark.size(), mark) == 0);
}

std::string HeaderValuePart(const std::string& line) {
  const size_t colon = line.find(':');
  return colon == std::string::npos ? std::string() : Trimmed(line.substr(colon + 1));
}

std::string HeaderNamePart(const std::string& line) {
  const size_t colon = line.find(':');
  return Trimmed(colon == std::string::npos ? line : line.substr(0, colon));
}

std::string Replace(std::string text, const std::string& placeholder, const std::string& value) {
  const size_t at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), value);
  return text;
}

Status Refusal(const std::string& text) { return Status::Failure("WebhookTargets", 0, text); }

}  // namespace

bool WebhookEntry::operator==(const WebhookEntry& other) const {
  return number == other.number && kindText == other.kindText && url == other.url && headers == other.headers &&
         proxy == other.proxy;
}

std::string MaskedWebhookUrl(const std::string& url) {
  const std::string shown = WebhookUrlShown(url);
  if (shown == "?") return kWebhookSecretMark;
  return shown + "/" + kWebhookSecretMark;
}

std::string MaskedWebhookHeader(const std::string& line) {
  if (line.find(':') == std::string::npos) return kWebhookSecretMark;
  return HeaderNamePart(line) + ": " + kWebhookSecretMark;
}

void WebhookTargetsModel::Load(const ProfileSnapshot& ini) {
  entries_.clear();
  fileNumbers_.clear();
  for (int n = 1; n <= kMaxWebhooks; ++n) {
    WebhookEntry entry;
    entry.number = n;
    const std::string section = entry.Section();
    bool any = false;
    auto read = [&](const std::string& key) {
      const std::string value = ini.ReadString(section, key, kMissing);
      if (value == kMissing) return std::string();
      any = any || !Trimmed(value).empty();
      return value;
    };
    auto readSecret = [&](const std::string& key) {
      const std::string stored = read(key);
      const Result<std::string> clear = secrets_.Unprotect(stored);
      if (clear) return *clear;
      if (!entry.loadError.empty()) entry.loadError += "\r";
      entry.loadError += "[" + section + "] " + key + ": " + clear.status().Describe();
      return std::string();
    };
    entry.kindText = Trimmed(read(kKeyWebhookKind));
    entry.url = Trimmed(readSecret(kKeyWebhookUrl));
    entry.proxy = Trimmed(read(kKeyWebhookProxy));
    for (size_t h = 0; h < static_cast<size_t>(kMaxWebhookHeaders); ++h) {
      const std::string key = HeaderKey(h);
      if (Trimmed(ini.ReadString(section, key, "")).empty()) continue;
      const std::string line = Trimmed(readSecret(key));
      if (!line.empty()) entry.headers.push_back(line);
    }
    if (!any) continue;
    fileNumbers_.push_back(n);
    entries_.push_back(std::move(entry));
  }
  saved_ = entries_;
}

std::vector<std::string> WebhookTargetsModel::LoadErrors() const {
  std::vector<std::string> errors;
  for (const WebhookEntry& entry : entries_) {
    if (!entry.loadError.empty()) errors.push_back(entry.loadError);
  }
  return errors;
}

std::vector<WebhookRow> WebhookTargetsModel::Rows() const {
  std::vector<WebhookRow> rows;
  for (const WebhookEntry& entry : entries_) {
    WebhookRow row;
    row.number = entry.number;
    row.kind = entry.kindText;
    const std::string kind = AsciiUpperCase(entry.kindText);
    for (int k = 0; k < 3; ++k) {
      if (kind == WebhookKindName(static_cast<WebhookKind>(k))) row.kind = kWebhookKindLabels[k];
    }
    row.url = entry.url.empty() ? std::string() : WebhookUrlShown(entry.url);
    rows.push_back(std::move(row));
  }
  return rows;
}

WebhookForm WebhookTargetsModel::FormFor(int index) const {
  WebhookForm form;
  if (index < 0 || index >= static_cast<int>(entries_.size())) {
    form.kindIndex = static_cast<int>(WebhookKind::kTeams);
    return form;
  }
  const WebhookEntry& entry = entries_[static_cast<size_t>(index)];
  const std::string kind = AsciiUpperCase(entry.kindText);
  for (int k = 0; k < 3; ++k) {
    if (kind == WebhookKindName(static_cast<WebhookKind>(k))) form.kindIndex = k;
  }
  form.url = entry.url.empty() ? std::string() : MaskedWebhookUrl(entry.url);
  for (const std::string& line : entry.headers) form.headers.push_back(MaskedWebhookHeader(line));
  form.proxy = entry.proxy;
  return form;
}

Result<int> WebhookTargetsModel::Apply(int index, const WebhookForm& form) {
  const bool adding = index < 0 || index >= static_cast<int>(entries_.size());
  if (adding && !CanAdd()) return Refusal(kMsgTooManyTargets);
  if (form.kindIndex < 0 || form.kindIndex > 2) return Refusal(kMsgKindChoice);
  WebhookEntry old;
  if (!adding) {
    old = entries_[static_cast<size_t>(index)];
  } else {
    // The lowest number that no target holds.
    old.number = 1;
    while (std::any_of(entries_.begin(), entries_.end(), [&](const WebhookEntry& e) { return e.number == old.number; }))
      ++old.number;
  }
  WebhookEntry entry;
  entry.number = old.number;
  // The kind as the file wrote it, while it is the one chosen.
  entry.kindText = WebhookKindName(static_cast<WebhookKind>(form.kindIndex));
  if (AsciiUpperCase(old.kindText) == entry.kindText) entry.kindText = old.kindText;
  entry.proxy = Trimmed(form.proxy);

  // The URL: its masked form keeps the stored one; a masked tail on
  // anything else would store the mark itself as the secret.
  const std::string url = Trimmed(form.url);
  if (!old.url.empty() && url == MaskedWebhookUrl(old.url)) {
    entry.url = old.url;
  } else if (EndsWithMark(url)) {
    return Refusal("[" + entry.Section() + "] " + kKeyWebhookUrl + ": " + kMsgRetypeUrl);
  } else {
    entry.url = url;
  }

  // The headers: a masked line takes the stored value of the header of its
  // name (each stored line once), so that lines may be reordered or dropped.
  std::vector<bool> used(old.headers.size(), false);
  for (const std::string& raw : form.headers) {
    const std::string line = Trimmed(raw);
    if (line.empty()) continue;
    if (entry.headers.size() >= static_cast<size_t>(kMaxWebhookHeaders)) return Refusal(kMsgTooManyHeaders);
    if (HeaderValuePart(line) != kWebhookSecretMark) {
      entry.headers.push_back(line);
      continue;
    }
    bool found = false;
    for (size_t i = 0; i < old.headers.size() && !found; ++i) {
      if (used[i] || MaskedWebhookHeader(old.headers[i]) != MaskedWebhookHeader(line)) continue;
      used[i] = true;
      found = true;
      entry.headers.push_back(old.headers[i]);
    }
    if (!found) {
      return Refusal("[" + entry.Section() + "] " + HeaderKey(entry.headers.size()) + ": " +
                     Replace(kMsgRetypeHeader, "%s", HeaderNamePart(line)));
    }
  }

  // Held to the service's reading of the section before it is taken.
  ProfileSnapshot one;
  PutClear(one, entry);
  try {
    const WebhookSettings read = ReadWebhookSettings(one);
    if (read.targets.size() != 1) return Refusal("[" + entry.Section() + "] " + kKeyWebhookUrl + ": URL がありません");
  } catch (const EConvertError& error) {
    return Refusal(error.what());
  }
  if (adding) {
    entries_.push_back(std::move(entry));
    std::sort(entries_.begin(), entries_.end(),
              [](const WebhookEntry& a, const WebhookEntry& b) { return a.number < b.number; });
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].number == old.number) return static_cast<int>(i);
    }
  }
  entries_[static_cast<size_t>(index)] = std::move(entry);
  return index;
}

bool WebhookTargetsModel::Remove(int index) {
  if (index < 0 || index >= static_cast<int>(entries_.size())) return false;
  entries_.erase(entries_.begin() + index);
  return true;
}

void WebhookTargetsModel::PutClear(ProfileSnapshot& ini, const WebhookEntry& entry) {
  const std::string section = entry.Section();
  ini.WriteString(section, kKeyWebhookKind, entry.kindText);
  ini.WriteString(section, kKeyWebhookUrl, entry.url);
  if (!entry.proxy.empty()) ini.WriteString(section, kKeyWebhookProxy, entry.proxy);
  for (size_t h = 0; h < entry.headers.size(); ++h) ini.WriteString(section, HeaderKey(h), entry.headers[h]);
}

Status WebhookTargetsModel::Check(int* badIndex) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    const WebhookEntry& entry = entries_[i];
    if (badIndex) *badIndex = static_cast<int>(i);
    // A secret that could not be read cannot be written back: the service
    // cannot read it either.
    if (!entry.loadError.empty()) return Refusal(kMsgUnreadable + entry.loadError);
    ProfileSnapshot one;
    PutClear(one, entry);
    try {
      ReadWebhookSettings(one);
    } catch (const EConvertError& error) {
      return Refusal(error.what());
    }
  }
  if (badIndex) *badIndex = -1;
  return Status();
}

Result<WebhookTarget> WebhookTargetsModel::TargetOf(int index) const {
  if (index < 0 || index >= static_cast<int>(entries_.size())) return Refusal("no such target");
  const WebhookEntry& entry = entries_[static_cast<size_t>(index)];
  if (!entry.loadError.empty()) return Refusal(kMsgUnreadable + entry.loadError);
  ProfileSnapshot one;
  PutClear(one, entry);
  try {
    WebhookSettings read = ReadWebhookSettings(one);
    if (read.targets.size() != 1) return Refusal("[" + entry.Section() + "] " + kKeyWebhookUrl + ": URL がありません");
    return std::move(read.targets.front());
  } catch (const EConvertError& error) {
    return Refusal(error.what());
  }
}

Result<WebhookTargetsModel::Stored> WebhookTargetsModel::Protect() const {
  Stored stored;
  for (const WebhookEntry& entry : entries_) {
    std::vector<std::pair<std::string, std::string>> keys;
    auto protect = [&](const std::string& key, const std::string& clear) -> Status {
      Result<std::string> sealed = secrets_.Protect(clear);
      if (!sealed) return Refusal("[" + entry.Section() + "] " + key + ": " + sealed.status().Describe());
      keys.emplace_back(key, std::move(*sealed));
      return Status();
    };
    keys.emplace_back(kKeyWebhookKind, entry.kindText);
    if (Status s = protect(kKeyWebhookUrl, entry.url); !s) return s;
    keys.emplace_back(kKeyWebhookProxy, entry.proxy);
    for (size_t h = 0; h < entry.headers.size(); ++h) {
      if (Status s = protect(HeaderKey(h), entry.headers[h]); !s) return s;
    }
    stored.sections.emplace_back(entry.Section(), std::move(keys));
  }
  return stored;
}

void WebhookTargetsModel::WriteTo(ProfileSnapshot& ini, const Stored& stored) const {
  // Every key the page knows, in every section it has seen: those not
  // written now are emptied (an empty section is no target).
  std::vector<std::string> sections;
  for (int n : fileNumbers_) sections.push_back("WEBHOOK" + std::to_string(n));
  for (const auto& [section, keys] : stored.sections) {
    if (std::find(sections.begin(), sections.end(), section) == sections.end()) sections.push_back(section);
  }
  for (const std::string& section : sections) {
    const auto written = std::find_if(stored.sections.begin(), stored.sections.end(),
                                      [&](const auto& s) { return s.first == section; });
    std::vector<std::string> known = {kKeyWebhookKind, kKeyWebhookUrl, kKeyWebhookProxy};
    for (size_t h = 0; h < static_cast<size_t>(kMaxWebhookHeaders); ++h) known.push_back(HeaderKey(h));
    for (const std::string& key : known) {
      std::string value;
      bool have = false;
      if (written != stored.sections.end()) {
        for (const auto& [k, v] : written->second) {
          if (k == key) {
            value = v;
            have = true;
          }
        }
      }
      // A key the file does not hold is not added empty.
      if (!have || value.empty()) {
        if (ini.ReadString(section, key, kMissing) == kMissing) continue;
        value.clear();
      }
      ini.WriteString(section, key, value);
    }
  }
}

void WebhookTargetsModel::MarkSaved() {
  for (const WebhookEntry& entry : entries_) {
    if (std::find(fileNumbers_.begin(), fileNumbers_.end(), entry.number) == fileNumbers_.end())
      fileNumbers_.push_back(entry.number);
  }
  saved_ = entries_;
}

WebhookTestJob::Send WebhookTestJob::TestNotification(SystemInfo& system, int64_t timeoutMs) {
  return [&system, timeoutMs](const WebhookTarget& target, WebhookSender& sender) {
    return SendTestNotification(target, system, sender, timeoutMs);
  };
}

WebhookTestJob::WebhookTestJob(WebhookTarget target, Send send, std::function<void()> onDone,
                               WebhookSender::ClientFactory http)
    : target_(std::move(target)), send_(std::move(send)), onDone_(std::move(onDone)), sender_(std::move(http)) {
  thread_ = std::thread([this] { Run(); });
}

WebhookTestJob::~WebhookTestJob() {
  Cancel();
  if (thread_.joinable()) thread_.join();
}

void WebhookTestJob::Run() {
  TestNotificationResult result;
  try {
    result = send_(target_, sender_);
  } catch (const std::exception& error) {
    result.result.outcome = WebhookResult::Outcome::kFinal;
    result.result.reason = error.what();
    result.text = TestNotificationOutcomeText(target_, result.result);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result_ = std::move(result);
    done_ = true;
  }
  doneChanged_.notify_all();
  if (onDone_) onDone_();
}

void WebhookTestJob::Cancel() { sender_.Cancel(); }

bool WebhookTestJob::Done() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_;
}

bool WebhookTestJob::WaitDone(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return doneChanged_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; });
}

WebhookResult WebhookTestJob::Result() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return result_.result;
}

std::string WebhookTestJob::OutcomeText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return result_.text;
}

}  // namespace qw

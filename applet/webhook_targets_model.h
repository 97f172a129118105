// The chat and webhook targets as the settings dialog's page 通知先 edits
// them: the [WEBHOOK1] .. [WEBHOOK9] sections loaded from the file, added,
// edited and removed, checked by the service's own reader
// (ReadWebhookSettings) and written back with the URL and the header lines
// in their stored (protected) form.
//
// The URL's path and query and the header values are secrets. What the page
// shows is their masked form: the URL's scheme, host and port followed by
// "/****", a header as "Name: ****". An edit form handed back with a masked
// text unchanged keeps the stored secret; anything else typed there replaces
// it. The clear secrets never reach a control.
//
// A target keeps the number of its section for as long as it exists (the
// service keeps each target's alert state under that name); a new target
// takes the lowest free number, and a removed one leaves its section empty.
//
// No window: the Win32 page and the tests drive it alike.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/webhook_settings.h"
#include "platform/profile.h"
#include "platform/status.h"
#include "service/webhook_sender.h"
#include "service/webhook_test.h"

namespace qw {

class SecretStore;

// What stands for a secret part in the masked view.
inline constexpr const char* kWebhookSecretMark = "****";

// The choices of the kind box, in WebhookKind's order.
inline constexpr const char* kWebhookKindLabels[3] = {"Teams", "Slack", "JSON"};

// One target as the page holds it: the values as they will be written, the
// secrets in clear.
struct WebhookEntry {
  int number = 0;        // n of [WEBHOOKn]
  std::string kindText;  // KIND as the file has it (TEAMS, SLACK, JSON when set by the page)
  std::string url;
  std::vector<std::string> headers;  // "Name: value" lines, HEADER1 first
  std::string proxy;
  std::string loadError;  // why a stored secret could not be read (empty: it was)

  std::string Section() const { return "WEBHOOK" + std::to_string(number); }
  bool operator==(const WebhookEntry& other) const;
};

// The edit form: what its boxes hold.
struct WebhookForm {
  int kindIndex = -1;  // a WebhookKind; -1: none chosen
  std::string url;     // masked (MaskedWebhookUrl) or typed
  std::vector<std::string> headers;  // "Name: value" lines, masked or typed; blank lines are none
  std::string proxy;
};

// One line of the target list.
struct WebhookRow {
  int number = 0;
  std::string kind;  // a kWebhookKindLabels entry, or KIND as the file has it
  std::string url;   // WebhookUrlShown: scheme, host and port only
};

// "https://host[:port]/****"; "****" alone for a URL that does not read.
std::string MaskedWebhookUrl(const std::string& url);
// "Name: ****"; a line without a colon is masked whole.
std::string MaskedWebhookHeader(const std::string& line);

class WebhookTargetsModel {
 public:
  explicit WebhookTargetsModel(SecretStore& secrets) : secrets_(secrets) {}

  // Every [WEBHOOKn] section that holds a value, as it stands (a value the
  // service would refuse is loaded all the same: the save names it). A
  // stored secret that cannot be read is left empty and its reason kept in
  // the entry's loadError. The loaded list is the one IsModified compares to.
  void Load(const ProfileSnapshot& ini);
  // Load errors, one line per secret that could not be read ("[WEBHOOK2] URL: ...").
  std::vector<std::string> LoadErrors() const;

  const std::vector<WebhookEntry>& Entries() const { return entries_; }
  std::vector<WebhookRow> Rows() const;
  bool CanAdd() const { return entries_.size() < static_cast<size_t>(kMaxWebhooks); }

  // The edit form of entry `index` (masked); index -1: the form of a new
  // target (Teams chosen, every box empty).
  WebhookForm FormFor(int index) const;
  // Takes the form into entry `index`, or appends a new target for -1. The
  // form is read as the service reads the section; a refusal's Text is the
  // message to show (naming the section and key) and nothing changes.
  // Returns the index of the entry.
  Result<int> Apply(int index, const WebhookForm& form);
  // Removes entry `index`; false when there is none.
  bool Remove(int index);

  // True when the list differs from the one loaded or last saved.
  bool IsModified() const { return entries_ != saved_; }

  // Reads every entry as the service will; a refusal's Text names the
  // section and key, `badIndex` (when given) the entry at fault.
  Status Check(int* badIndex = nullptr) const;
  // The target of entry `index` as the service reads it (for a test send).
  Result<WebhookTarget> TargetOf(int index) const;

  // The stored form of every secret, made before anything is written so
  // that a failure leaves the file alone; its Text says which key.
  struct Stored {
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections;
  };
  Result<Stored> Protect() const;
  // Writes the sections of `stored` into `ini`, and empties the sections
  // of removed targets (and keys no longer used) that the file holds.
  void WriteTo(ProfileSnapshot& ini, const Stored& stored) const;
  // After a save: the list written is the one IsModified compares to.
  void MarkSaved();

 private:
  // A one-section file of `entry` in clear, as the reader takes it.
  static void PutClear(ProfileSnapshot& ini, const WebhookEntry& entry);

  SecretStore& secrets_;
  std::vector<WebhookEntry> entries_;  // in number order
  std::vector<WebhookEntry> saved_;
  std::vector<int> fileNumbers_;  // sections the file held a value in, at load or since
};

// One test notification sent on a thread of its own so that the dialog's
// thread stays free. `send` does the work with the sender it is given (the
// sender's Cancel ends it); `onDone` is called on the job's thread when it
// has ended. The destructor cancels and waits, which the cancel bounds.
class WebhookTestJob {
 public:
  using Send = std::function<TestNotificationResult(const WebhookTarget&, WebhookSender&)>;
  // The service's test notification (SendTestNotification) of this computer,
  // bounded by `timeoutMs`.
  static Send TestNotification(SystemInfo& system, int64_t timeoutMs);
  WebhookTestJob(WebhookTarget target, Send send, std::function<void()> onDone = nullptr,
                 WebhookSender::ClientFactory http = nullptr);
  ~WebhookTestJob();
  WebhookTestJob(const WebhookTestJob&) = delete;
  WebhookTestJob& operator=(const WebhookTestJob&) = delete;

  void Cancel();
  bool Done() const;
  // Waits at most `milliseconds`; true when the job has ended.
  bool WaitDone(int milliseconds);
  // After Done: how the attempt ended, and its line for a person (the
  // target, its host, the step, the status and the answer's first line).
  WebhookResult Result() const;
  std::string OutcomeText() const;
  const std::string& Section() const { return target_.section; }

 private:
  void Run();

  WebhookTarget target_;
  Send send_;
  std::function<void()> onDone_;
  WebhookSender sender_;
  mutable std::mutex mutex_;
  std::condition_variable doneChanged_;
  bool done_ = false;
  TestNotificationResult result_;
  std::thread thread_;  // last: started once the rest exists
};

}  // namespace qw

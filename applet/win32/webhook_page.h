// The page 通知先 of the settings dialog: the chat and webhook targets in a
// list (番号, 種類, the URL's host only), 追加, 編集 and 削除 through a small
// edit dialog, and テスト送信 of the selected target. The targets live in the
// settings model (WebhookTargetsModel); this is their Win32 view.
//
// テスト送信 runs on a thread of its own (WebhookTestJob): the dialog stays
// live, the button turns into 中止 while the notification goes, and the
// outcome (the status and the answer's first line, or the step that failed)
// is shown on the page. Closing the dialog cancels a send in progress.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "applet/settings_model.h"
#include "applet/webhook_targets_model.h"
#include "platform/message_box.h"
#include "platform/system_info.h"

namespace qw {

class WebhookPage {
 public:
  // `page` is the page's child dialog; `doneMessage` is posted to `dialog`
  // when a test send has ended (the dialog then calls TestDone).
  WebhookPage(HWND dialog, HWND page, SettingsModel& model, MessageBoxes& boxes, SystemInfo& system,
              UINT doneMessage);
  ~WebhookPage();
  WebhookPage(const WebhookPage&) = delete;
  WebhookPage& operator=(const WebhookPage&) = delete;

  // Captions, the list's columns and the layout (before the model loads).
  void Create();
  // The list again from the model (after its load, and after each change).
  void Refresh(int select = -1);
  // WM_COMMAND and WM_NOTIFY of the page; true when handled.
  bool OnCommand(int id, int code);
  bool OnNotify(const NMHDR& header);
  // The test send has ended: its outcome is shown.
  void TestDone();
  // Ends a test send in progress and waits for it (bounded by the cancel).
  void Stop();

  HWND List() const;

 private:
  int Selected() const;
  void UpdateButtons();
  void Edit(int index);  // -1: a new target
  void Delete();
  void TestSend();

  HWND dialog_;
  HWND page_;
  SettingsModel& model_;
  MessageBoxes& boxes_;
  SystemInfo& system_;
  UINT doneMessage_;
  std::unique_ptr<WebhookTestJob> test_;
};

}  // namespace qw

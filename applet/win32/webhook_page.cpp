#include "applet/win32/webhook_page.h"

#include <commctrl.h>

#include <vector>

#include "applet/win32/dialog_util.h"
#include "applet/win32/resource.h"
#include "corelib/win32/ui_font.h"
#include "corelib/win32/win_text.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

constexpr const char* kMsgChars =
    "通知先の設定に、設定ファイルに保存できない文字が含まれています。\r"
    "シフト JIS で表せる文字だけを使ってください。";
constexpr const char* kMsgDeleteQuestion = "通知先 %s を削除しますか？";
constexpr const char* kMsgFull = "通知先は 9 個までです。";

// The text of a control as typed, and whether Shift-JIS holds all of it.
std::string ControlText(HWND control, bool* fits) {
  const int n = GetWindowTextLengthW(control);
  std::u16string text(static_cast<size_t>(n < 0 ? 0 : n) + 1, u'\0');
  const int got = GetWindowTextW(control, reinterpret_cast<LPWSTR>(text.data()), n + 1);
  text.resize(static_cast<size_t>(got < 0 ? 0 : got));
  if (!Utf16FitsSjis(text)) *fits = false;
  return Utf16ToSjis(text);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// The edit dialog of one target: the form in, the model's Apply on OK (a
// refusal is shown and the dialog stays open).
class WebhookEditForm {
 public:
  WebhookEditForm(WebhookTargetsModel& targets, MessageBoxes& boxes, int index)
      : targets_(targets), boxes_(boxes), index_(index), form_(targets.FormFor(index)) {}
  ~WebhookEditForm() {
    if (font_ != nullptr) DeleteObject(font_);
  }
  // IDOK with the entry's index in `applied`, or IDCANCEL.
  INT_PTR ShowModal(HWND parent) {
    return DialogBoxParamW(AppletInstance(), MAKEINTRESOURCEW(IDD_WEBHOOK_EDIT), parent,
                           &FormDialogProc<WebhookEditForm>, reinterpret_cast<LPARAM>(this));
  }
  int applied = -1;

  // For FormDialogProc (the class is this file's own).
  void FormInit() {
    SetText(window_, index_ < 0 ? "通知先の追加" : "通知先の編集");
    SetItemText(window_, IDC_WH_LBL_KIND, "種類");
    SetItemText(window_, IDC_WH_LBL_URL, "URL (https://…、保存済みの URL は末尾を **** で表示)");
    SetItemText(window_, IDC_WH_LBL_HEADERS, "ヘッダー (JSON のみ、1 行に「名前: 値」、9 個まで)");
    SetItemText(window_, IDC_WH_LBL_PROXY, "プロキシ (省略時はシステムの設定)");
    SetItemText(window_, IDC_WH_LBL_NOTE,
                "**** のままの URL やヘッダーの値は、保存されている値をそのまま使います。");
    SetItemText(window_, IDOK, "OK");
    SetItemText(window_, IDCANCEL, "キャンセル");
    HWND kind = GetDlgItem(window_, IDC_WH_CBX_KIND);
    for (const char* label : kWebhookKindLabels) {
      SendMessageW(kind, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(label).c_str()));
    }
    font_ = CreateDialogFont();
    ApplyFont(window_, font_);
    SetClientSizeCentred(window_, 420, 330);
    PlaceControls(window_, {
                               {IDC_WH_LBL_KIND, 12, 10, 120, 16},
                               {IDC_WH_CBX_KIND, 12, 28, 120, 120},
                               {IDC_WH_LBL_URL, 12, 60, 396, 16},
                               {IDC_WH_EDT_URL, 12, 78, 396, 21},
                               {IDC_WH_LBL_HEADERS, 12, 108, 396, 16},
                               {IDC_WH_EDT_HEADERS, 12, 126, 396, 90},
                               {IDC_WH_LBL_PROXY, 12, 224, 396, 16},
                               {IDC_WH_EDT_PROXY, 12, 242, 240, 21},
                               {IDC_WH_LBL_NOTE, 12, 270, 396, 30},
                               {IDOK, 246, 300, 78, 24},
                               {IDCANCEL, 330, 300, 78, 24},
                           });
    SendMessageW(kind, CB_SETCURSEL, static_cast<WPARAM>(form_.kindIndex), 0);
    SetItemText(window_, IDC_WH_EDT_URL, form_.url);
    std::string headers;
    for (const std::string& line : form_.headers) headers += line + "\r\n";
    SetItemText(window_, IDC_WH_EDT_HEADERS, headers);
    SetItemText(window_, IDC_WH_EDT_PROXY, form_.proxy);
    EnableHeaders();
    FocusDialogControl(window_, GetDlgItem(window_, form_.url.empty() ? IDC_WH_EDT_URL : IDC_WH_CBX_KIND));
  }

  // Headers are for the JSON kind only.
  void EnableHeaders() {
    const int kind = static_cast<int>(SendDlgItemMessageW(window_, IDC_WH_CBX_KIND, CB_GETCURSEL, 0, 0));
    EnableWindow(GetDlgItem(window_, IDC_WH_EDT_HEADERS), kind == static_cast<int>(WebhookKind::kJson));
  }

  void OkClick() {
    WebhookForm form;
    bool fits = true;
    form.kindIndex = static_cast<int>(SendDlgItemMessageW(window_, IDC_WH_CBX_KIND, CB_GETCURSEL, 0, 0));
    form.url = ControlText(GetDlgItem(window_, IDC_WH_EDT_URL), &fits);
    // Lines left in a disabled box are not the kind's: they go.
    if (form.kindIndex == static_cast<int>(WebhookKind::kJson))
      form.headers = SplitLines(ControlText(GetDlgItem(window_, IDC_WH_EDT_HEADERS), &fits));
    form.proxy = ControlText(GetDlgItem(window_, IDC_WH_EDT_PROXY), &fits);
    if (!fits) {
      boxes_.Show(kMsgChars, kAppletCaption, MessageBoxButtons::Ok, MessageBoxIcon::Exclamation);
      return;
    }
    const Result<int> taken = targets_.Apply(index_, form);
    if (!taken) {
      boxes_.Show(taken.status().Text(), kAppletCaption, MessageBoxButtons::Ok, MessageBoxIcon::Exclamation);
      const std::string& text = taken.status().Text();
      const int at = text.find("PROXY") != std::string::npos     ? IDC_WH_EDT_PROXY
                     : text.find("HEADER") != std::string::npos  ? IDC_WH_EDT_HEADERS
                     : text.find("KIND") != std::string::npos || form.kindIndex < 0 ? IDC_WH_CBX_KIND
                                                                 : IDC_WH_EDT_URL;
      FocusDialogControl(window_, GetDlgItem(window_, at));
      return;
    }
    applied = *taken;
    EndDialog(window_, IDOK);
  }

  bool FormCommand(int id, int code) {
    switch (id) {
      case IDOK:
        if (code == BN_CLICKED) OkClick();
        return true;
      case IDCANCEL:
        EndDialog(window_, IDCANCEL);
        return true;
      case IDC_WH_CBX_KIND:
        if (code == CBN_SELCHANGE) EnableHeaders();
        return true;
      default:
        return false;
    }
  }

  HWND window_ = nullptr;
  HFONT font_ = nullptr;

 private:
  WebhookTargetsModel& targets_;
  MessageBoxes& boxes_;
  int index_;
  WebhookForm form_;
};

}  // namespace

WebhookPage::WebhookPage(HWND dialog, HWND page, SettingsModel& model, MessageBoxes& boxes, SystemInfo& system,
                         UINT doneMessage)
    : dialog_(dialog), page_(page), model_(model), boxes_(boxes), system_(system), doneMessage_(doneMessage) {}

WebhookPage::~WebhookPage() { Stop(); }

void WebhookPage::Stop() { test_.reset(); }

HWND WebhookPage::List() const { return GetDlgItem(page_, IDC_LSV_WEBHOOKS); }

void WebhookPage::Create() {
  SetItemText(page_, IDC_LBL_WEBHOOKS, "アラートを送る Teams、Slack、Webhook (9 個まで)");
  SetItemText(page_, IDC_BTN_WEBHOOK_ADD, "追加");
  SetItemText(page_, IDC_BTN_WEBHOOK_EDIT, "編集");
  SetItemText(page_, IDC_BTN_WEBHOOK_DELETE, "削除");
  SetItemText(page_, IDC_BTN_WEBHOOK_TEST, "テスト送信");
  SetItemText(page_, IDC_LBL_WEBHOOK_NOTE,
              "メールと同じ警告・回復・再通知を、ここに登録した通知先にも送ります。URL とヘッダーの値は"
              "保護して保存され、画面には URL のホスト名までしか表示しません。");
  HWND list = List();
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  const struct {
    const char* caption;
    int width;
  } columns[] = {{"番号", 44}, {"種類", 70}, {"URL", 262}};
  for (int i = 0; i < 3; ++i) AddListColumn(list, i, columns[i].caption, columns[i].width);
  PlaceControls(page_, {
                           {IDC_LBL_WEBHOOKS, 10, 10, 382, 16},
                           {IDC_LSV_WEBHOOKS, 10, 30, 382, 180},
                           {IDC_BTN_WEBHOOK_ADD, 10, 218, 70, 23},
                           {IDC_BTN_WEBHOOK_EDIT, 86, 218, 70, 23},
                           {IDC_BTN_WEBHOOK_DELETE, 162, 218, 70, 23},
                           {IDC_BTN_WEBHOOK_TEST, 292, 218, 100, 23},
                           {IDC_LBL_WEBHOOK_OUTCOME, 10, 250, 382, 48},
                           {IDC_LBL_WEBHOOK_NOTE, 10, 306, 382, 60},
                       });
}

void WebhookPage::Refresh(int select) {
  HWND list = List();
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  const std::vector<WebhookRow> rows = model_.Webhooks().Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    std::wstring number = Wide(std::to_string(rows[i].number));
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    item.pszText = number.data();
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    SetListCell(list, static_cast<int>(i), 1, rows[i].kind);
    SetListCell(list, static_cast<int>(i), 2, rows[i].url);
  }
  if (select >= 0 && select < static_cast<int>(rows.size())) {
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(select), reinterpret_cast<LPARAM>(&state));
  }
  UpdateButtons();
}

int WebhookPage::Selected() const {
  return static_cast<int>(SendMessageW(List(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void WebhookPage::UpdateButtons() {
  const bool selected = Selected() >= 0;
  EnableWindow(GetDlgItem(page_, IDC_BTN_WEBHOOK_ADD), model_.Webhooks().CanAdd() ? TRUE : FALSE);
  EnableWindow(GetDlgItem(page_, IDC_BTN_WEBHOOK_EDIT), selected ? TRUE : FALSE);
  EnableWindow(GetDlgItem(page_, IDC_BTN_WEBHOOK_DELETE), selected ? TRUE : FALSE);
  // While a test goes, the button is its 中止.
  EnableWindow(GetDlgItem(page_, IDC_BTN_WEBHOOK_TEST), selected || test_ ? TRUE : FALSE);
}

void WebhookPage::Edit(int index) {
  if (index < 0 && !model_.Webhooks().CanAdd()) {
    boxes_.Show(kMsgFull, kAppletCaption, MessageBoxButtons::Ok, MessageBoxIcon::Exclamation);
    return;
  }
  WebhookEditForm form(model_.Webhooks(), boxes_, index);
  if (form.ShowModal(dialog_) == IDOK) {
    Refresh(form.applied);
    model_.Change();
  }
  FocusDialogControl(dialog_, List());
}

void WebhookPage::Delete() {
  const int index = Selected();
  if (index < 0) return;
  const std::vector<WebhookRow> rows = model_.Webhooks().Rows();
  std::string question = kMsgDeleteQuestion;
  question.replace(question.find("%s"), 2, std::to_string(rows[static_cast<size_t>(index)].number));
  if (boxes_.Show(question, kAppletCaption, MessageBoxButtons::YesNo, MessageBoxIcon::Question, 2) !=
      MessageBoxResult::Yes)
    return;
  model_.Webhooks().Remove(index);
  Refresh(-1);
  model_.Change();
}

void WebhookPage::TestSend() {
  if (test_) {
    // 中止: the send ends at once; its end comes back as doneMessage_.
    test_->Cancel();
    EnableWindow(GetDlgItem(page_, IDC_BTN_WEBHOOK_TEST), FALSE);
    SetItemText(page_, IDC_LBL_WEBHOOK_OUTCOME, "中止しています…");
    return;
  }
  const int index = Selected();
  if (index < 0) return;
  // The target as the page holds it, saved or not.
  const Result<WebhookTarget> target = model_.Webhooks().TargetOf(index);
  if (!target) {
    boxes_.Show(target.status().Text(), kAppletCaption, MessageBoxButtons::Ok, MessageBoxIcon::Exclamation);
    return;
  }
  HWND dialog = dialog_;
  const UINT done = doneMessage_;
  SetItemText(page_, IDC_LBL_WEBHOOK_OUTCOME, target->section + " に送信中…");
  test_ = std::make_unique<WebhookTestJob>(
      *target, WebhookTestJob::TestNotification(system_, static_cast<int64_t>(model_.TestMailDeadline()) * 1000),
      [dialog, done] { PostMessageW(dialog, done, 0, 0); });
  SetItemText(page_, IDC_BTN_WEBHOOK_TEST, "中止");
  UpdateButtons();
}

void WebhookPage::TestDone() {
  if (!test_ || !test_->Done()) return;
  const std::string outcome = test_->OutcomeText();
  test_.reset();
  SetItemText(page_, IDC_LBL_WEBHOOK_OUTCOME, outcome);
  SetItemText(page_, IDC_BTN_WEBHOOK_TEST, "テスト送信");
  UpdateButtons();
}

bool WebhookPage::OnCommand(int id, int code) {
  if (code != BN_CLICKED) return false;
  switch (id) {
    case IDC_BTN_WEBHOOK_ADD: Edit(-1); return true;
    case IDC_BTN_WEBHOOK_EDIT:
      if (Selected() >= 0) Edit(Selected());
      return true;
    case IDC_BTN_WEBHOOK_DELETE: Delete(); return true;
    case IDC_BTN_WEBHOOK_TEST: TestSend(); return true;
    default: return false;
  }
}

bool WebhookPage::OnNotify(const NMHDR& header) {
  if (header.idFrom != IDC_LSV_WEBHOOKS) return false;
  if (header.code == LVN_ITEMCHANGED) {
    UpdateButtons();
    return true;
  }
  if (header.code == NM_DBLCLK) {
    if (Selected() >= 0) Edit(Selected());
    return true;
  }
  return false;
}

}  // namespace qw

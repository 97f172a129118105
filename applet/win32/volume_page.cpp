#include "applet/win32/volume_page.h"

#include <commctrl.h>

#include "applet/win32/dialog_util.h"
#include "applet/win32/resource.h"
#include "corelib/win32/win_text.h"

namespace qw {
namespace {

enum Column { kPath, kLabel, kCapacity, kFree, kThreshold, kColumnCount };

std::string FreeText(const VolumeRow& row) {
  if (!row.listed) return "未マウント";
  if (!row.measured) return "不明";
  return VolumeSizeText(row.freeBytes);
}

}  // namespace

VolumePage::VolumePage(HWND page, SettingsModel& model, AskLimit askLimit)
    : page_(page), model_(model), askLimit_(std::move(askLimit)) {}

void VolumePage::Create() {
  SetItemText(page_, IDC_CKB_VOL_DEFAULT, "既定のしきい値で、すべての固定ボリュームを監視する");
  SetItemText(page_, IDC_BTN_VOL_DEFAULT, "変更…");
  SetItemText(page_, IDC_LBL_VOL_LIST, "このコンピューターのボリューム");
  SetItemText(page_, IDC_BTN_VOL_LIMIT, "しきい値…");
  SetItemText(page_, IDC_BTN_VOL_IGNORE, "監視しない");
  SetItemText(page_, IDC_BTN_VOL_CLEAR, "既定に戻す");
  SetItemText(page_, IDC_LBL_VOL_NOTE,
              "既定のしきい値は、しきい値を個別に設定していないすべての固定ボリュームに適用されます"
              " (あとから追加されたボリュームも含みます)。ドライブ文字のあるボリュームのしきい値は、"
              "警告設定ページの一覧と同じものです。");
  HWND view = GetDlgItem(page_, IDC_LV_VOLUMES);
  SendMessageW(view, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  AddListColumn(view, kPath, "マウント パス", 112);
  AddListColumn(view, kLabel, "ラベル", 60);
  AddListColumn(view, kCapacity, "容量", 58);
  AddListColumn(view, kFree, "空き", 76);
  AddListColumn(view, kThreshold, "しきい値", 72);
  PlaceControls(page_, {
                           {IDC_CKB_VOL_DEFAULT, 10, 10, 382, 20},
                           {IDC_LBL_VOL_DEFAULT, 28, 34, 280, 16},
                           {IDC_BTN_VOL_DEFAULT, 322, 30, 70, 23},
                           {IDC_LBL_VOL_LIST, 10, 64, 382, 16},
                           {IDC_LV_VOLUMES, 10, 82, 382, 186},
                           {IDC_BTN_VOL_LIMIT, 10, 274, 100, 23},
                           {IDC_BTN_VOL_IGNORE, 116, 274, 100, 23},
                           {IDC_BTN_VOL_CLEAR, 222, 274, 100, 23},
                           {IDC_LBL_VOL_NOTE, 10, 306, 382, 60},
                       });
}

void VolumePage::Show() {
  const VolumeSettingsModel& volumes = model_.Volumes();
  const bool on = !volumes.DefaultText().empty();
  CheckDlgButton(page_, IDC_CKB_VOL_DEFAULT, on ? BST_CHECKED : BST_UNCHECKED);
  SetItemText(page_, IDC_LBL_VOL_DEFAULT,
              on ? "既定のしきい値: " + volumes.DefaultText() : "既定のしきい値: なし (ドライブ文字の一覧だけを監視)");
  HWND view = GetDlgItem(page_, IDC_LV_VOLUMES);
  const int selected = Selected();
  SendMessageW(view, WM_SETREDRAW, FALSE, 0);
  SendMessageW(view, LVM_DELETEALLITEMS, 0, 0);
  const std::vector<VolumeRow>& rows = volumes.Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    const VolumeRow& row = rows[i];
    std::wstring path = Wide(row.path);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(i);
    item.pszText = path.data();
    const int at = static_cast<int>(SendMessageW(view, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    SetListCell(view, at, kLabel, row.label);
    SetListCell(view, at, kCapacity, row.measured ? VolumeSizeText(row.totalBytes) : "");
    SetListCell(view, at, kFree, FreeText(row));
    SetListCell(view, at, kThreshold, volumes.ChoiceText(row));
  }
  if (selected >= 0 && selected < static_cast<int>(rows.size())) {
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(view, LVM_SETITEMSTATE, static_cast<WPARAM>(selected), reinterpret_cast<LPARAM>(&item));
  }
  SendMessageW(view, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(view, nullptr, TRUE);
  if (!volumes.ListingError().empty())
    SetItemText(page_, IDC_LBL_VOL_LIST, "このコンピューターのボリューム (一覧を得られません: " +
                                             volumes.ListingError() + ")");
  UpdateButtons();
}

int VolumePage::Selected() const {
  return static_cast<int>(SendDlgItemMessageW(page_, IDC_LV_VOLUMES, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                              LVNI_SELECTED));
}

void VolumePage::UpdateButtons() {
  const int index = Selected();
  const std::vector<VolumeRow>& rows = model_.Volumes().Rows();
  const bool any = index >= 0 && index < static_cast<int>(rows.size());
  const bool keyable = any && rows[static_cast<size_t>(index)].keyable;
  EnableWindow(GetDlgItem(page_, IDC_BTN_VOL_LIMIT), keyable);
  EnableWindow(GetDlgItem(page_, IDC_BTN_VOL_IGNORE), keyable);
  EnableWindow(GetDlgItem(page_, IDC_BTN_VOL_CLEAR), any);
  EnableWindow(GetDlgItem(page_, IDC_BTN_VOL_DEFAULT), !model_.Volumes().DefaultText().empty());
}

void VolumePage::DefaultClicked() {
  if (IsDlgButtonChecked(page_, IDC_CKB_VOL_DEFAULT) == BST_CHECKED) {
    // Switched on: the threshold first; without one it stays off.
    EditDefault();
    if (model_.Volumes().DefaultText().empty()) Show();
  } else {
    model_.SetDefaultLimit("").Ignore();  // an empty DEFAULT is always taken
  }
}

void VolumePage::EditDefault() {
  std::string path, number;
  LimitUnit unit = LimitUnit::Percent;
  model_.VolumeLimitForEdit(-1, &path, &number, &unit);
  askLimit_("対象: 既定のしきい値", number, unit, [this](const std::string& text) {
    // A refusal has been shown by the model.
    model_.SetDefaultLimit(text).Ignore();
  });
}

void VolumePage::EditRow() {
  const int index = Selected();
  std::string path, number;
  LimitUnit unit = LimitUnit::Percent;
  if (!model_.VolumeLimitForEdit(index, &path, &number, &unit)) return;
  askLimit_("対象: " + path, number, unit, [this, index](const std::string& text) {
    model_.SetVolumeChoice(index, VolumeChoice::Own, text).Ignore();
  });
}

bool VolumePage::Command(int id, int notification) {
  switch (id) {
    case IDC_CKB_VOL_DEFAULT:
      if (notification == BN_CLICKED) DefaultClicked();
      return true;
    case IDC_BTN_VOL_DEFAULT:
      if (notification == BN_CLICKED) EditDefault();
      return true;
    case IDC_BTN_VOL_LIMIT:
      if (notification == BN_CLICKED) EditRow();
      return true;
    case IDC_BTN_VOL_IGNORE:
      if (notification == BN_CLICKED) model_.SetVolumeChoice(Selected(), VolumeChoice::Ignored, "").Ignore();
      return true;
    case IDC_BTN_VOL_CLEAR:
      if (notification == BN_CLICKED) model_.SetVolumeChoice(Selected(), VolumeChoice::Default, "").Ignore();
      return true;
    default:
      return false;
  }
}

bool VolumePage::Notify(const NMHDR& header) {
  if (header.idFrom != IDC_LV_VOLUMES) return false;
  if (header.code == LVN_ITEMCHANGED) {
    UpdateButtons();
    return true;
  }
  if (header.code == NM_DBLCLK) {
    const int index = Selected();
    const std::vector<VolumeRow>& rows = model_.Volumes().Rows();
    if (index >= 0 && index < static_cast<int>(rows.size()) && rows[static_cast<size_t>(index)].keyable) EditRow();
    return true;
  }
  return false;
}

}  // namespace qw

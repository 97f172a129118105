#include "applet/win32/cert_picker.h"

#include <commctrl.h>

#include <vector>

#include "applet/win32/dialog_util.h"
#include "applet/win32/resource.h"
#include "applet/restart_service.h"
#include "corelib/win32/win_text.h"
#include "platform/certificate_store.h"

namespace qw {
namespace {

constexpr const char* kMsgNoCertificate =
    "ローカル コンピューターの個人ストアに証明書がありません。\r"
    "証明書 (秘密鍵付き) をインポートしてから選んでください。";
constexpr const char* kMsgNoKey = "この証明書には秘密鍵がないため、署名に使えません。";
constexpr const char* kMsgStore = "証明書の一覧を読めません。\r\r";

struct PickerState {
  std::vector<StoreCertificate> list;
  std::string current;  // upper-case digits only
  std::string chosen;
  MessageBoxes* boxes = nullptr;
};

std::string DigitsOnly(const std::string& thumbprint) {
  std::string digits;
  for (char c : thumbprint) {
    if (c == ' ' || c == ':' || c == '-') continue;
    digits += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  return digits;
}

INT_PTR CALLBACK PickerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Guarded<INT_PTR>(TRUE, [&]() -> INT_PTR {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrW(window, DWLP_USER, lParam);
      auto* state = reinterpret_cast<PickerState*>(lParam);
      SetText(window, "証明書の選択 (ローカル コンピューター\\個人)");
      HWND view = GetDlgItem(window, IDC_LV_CERTS);
      SendMessageW(view, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
      AddListColumn(view, 0, "発行先", 130);
      AddListColumn(view, 1, "発行者", 110);
      AddListColumn(view, 2, "有効期限", 80);
      AddListColumn(view, 3, "秘密鍵", 50);
      AddListColumn(view, 4, "拇印", 300);
      int select = -1;
      for (size_t i = 0; i < state->list.size(); ++i) {
        const StoreCertificate& c = state->list[i];
        std::wstring subject = Wide(c.subject);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = subject.data();
        const int row = static_cast<int>(SendMessageW(view, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        SetListCell(view, row, 1, c.issuer);
        SetListCell(view, row, 2, c.notAfter + (c.expired ? " (期限切れ)" : ""));
        SetListCell(view, row, 3, c.hasPrivateKey ? "あり" : "なし");
        SetListCell(view, row, 4, c.thumbprint);
        if (c.thumbprint == state->current) select = row;
      }
      if (select >= 0) {
        LVITEMW item{};
        item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        item.state = LVIS_SELECTED | LVIS_FOCUSED;
        SendMessageW(view, LVM_SETITEMSTATE, static_cast<WPARAM>(select), reinterpret_cast<LPARAM>(&item));
        SendMessageW(view, LVM_ENSUREVISIBLE, static_cast<WPARAM>(select), FALSE);
      }
      return TRUE;
    }
    auto* state = reinterpret_cast<PickerState*>(GetWindowLongPtrW(window, DWLP_USER));
    if (state == nullptr) return FALSE;
    auto choose = [&]() {
      HWND view = GetDlgItem(window, IDC_LV_CERTS);
      const int row = static_cast<int>(SendMessageW(view, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
      if (row < 0 || static_cast<size_t>(row) >= state->list.size()) return;
      if (!state->list[static_cast<size_t>(row)].hasPrivateKey) {
        state->boxes->Show(kMsgNoKey, kAppletCaption, MessageBoxButtons::Ok, MessageBoxIcon::Exclamation);
        return;
      }
      state->chosen = state->list[static_cast<size_t>(row)].thumbprint;
      EndDialog(window, IDOK);
    };
    if (message == WM_NOTIFY) {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->idFrom == IDC_LV_CERTS && header->code == NM_DBLCLK) {
        choose();
        return TRUE;
      }
      return FALSE;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
      choose();
      return TRUE;
    }
    if ((message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) || message == WM_CLOSE) {
      EndDialog(window, IDCANCEL);
      return TRUE;
    }
    return FALSE;
  });
}

}  // namespace

std::optional<std::string> PickMachineCertificate(HWND owner, MessageBoxes& boxes, const std::string& current) {
  Result<std::vector<StoreCertificate>> list = ListMachineCertificates();
  if (!list) {
    boxes.Show(kMsgStore + list.status().Describe(), kAppletCaption, MessageBoxButtons::Ok, MessageBoxIcon::Error);
    return std::nullopt;
  }
  if (list->empty()) {
    boxes.Show(kMsgNoCertificate, kAppletCaption, MessageBoxButtons::Ok, MessageBoxIcon::Information);
    return std::nullopt;
  }
  PickerState state;
  state.list = std::move(*list);
  state.current = DigitsOnly(current);
  state.boxes = &boxes;
  if (DialogBoxParamW(AppletInstance(), MAKEINTRESOURCEW(IDD_CERTPICKER), owner, &PickerProc,
                      reinterpret_cast<LPARAM>(&state)) != IDOK)
    return std::nullopt;
  return state.chosen;
}

}  // namespace qw

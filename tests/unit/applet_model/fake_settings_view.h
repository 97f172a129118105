// A settings dialog without windows: the controls are plain values, and text
// changes notify the model as the real boxes do (EN_CHANGE on every set).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "applet/settings_model.h"
#include "platform/text_codec.h"

namespace qw::test {

class FakeSettingsView : public SettingsView {
 public:
  std::string FieldText(SettingsField field) override { return fields[field]; }
  bool FieldTextLost(SettingsField field) override { return lost[field]; }
  void SetFieldText(SettingsField field, const std::string& text) override {
    fields[field] = text;
    if (model) model->Change();
  }
  bool MailSendChecked() override { return mailSend; }
  void SetMailSendChecked(bool checked) override { mailSend = checked; }
  bool RecoveryMailChecked() override { return recoveryMail; }
  void SetRecoveryMailChecked(bool checked) override { recoveryMail = checked; }

  int SecurityIndex() override { return securityIndex; }
  void SetSecurityIndex(int index) override { securityIndex = index; }
  bool TlsVerifyChecked() override { return tlsVerify; }
  void SetTlsVerifyChecked(bool checked) override { tlsVerify = checked; }
  int AuthIndex() override { return authIndex; }
  void SetAuthIndex(int index) override { authIndex = index; }
  int CredentialIndex() override { return credentialIndex; }
  void SetCredentialIndex(int index) override { credentialIndex = index; }

  std::vector<std::string> ListLines(SettingsList list) override { return lists[list]; }
  void AddListLine(SettingsList list, const std::string& line) override {
    lists[list].push_back(line);
  }
  void SetListLine(SettingsList list, int index, const std::string& line) override {
    lists[list].at(static_cast<size_t>(index)) = line;
  }
  void DeleteListLine(SettingsList list, int index) override {
    auto& lines = lists[list];
    lines.erase(lines.begin() + index);
  }
  int SelectedIndex(SettingsList list) override {
    auto it = selected.find(list);
    return it == selected.end() ? -1 : it->second;
  }
  void SetSelectedIndex(SettingsList list, int index) override { selected[list] = index; }

  bool ApplyEnabled() override { return applyEnabled; }
  void SetApplyEnabled(bool enabled) override { applyEnabled = enabled; }
  void ShowPage(SettingsPage p) override { page = p; }
  void FocusControl(SettingsControl c) override { focus = c; }
  void RequestClose() override {
    ++closeRequests;
    if (model && model->FormCloseQuery()) closed = true;
  }
  void ProcessPendingMessages() override { ++pendingPasses; }
  bool HandleWriteFailure(const std::string& message) override {
    writeFailures.push_back(message);
    return handleWriteFailure;
  }

  // The user's side: typing into a box, clicking the check box.
  void Type(SettingsField field, const std::string& text) {
    lost[field] = false;
    SetFieldText(field, text);
  }
  // Typing Unicode text, as the Win32 boxes take it: the Shift-JIS text the
  // dialog reads back, and whether characters were lost on the way.
  void TypeWide(SettingsField field, const std::u16string& text) {
    lost[field] = !Utf16FitsSjis(text);
    SetFieldText(field, Utf16ToSjis(text));
  }
  void ClickMailSend() {
    mailSend = !mailSend;
    model->ckbIsMailSendClick();
  }
  void ChooseSecurity(SecurityChoice choice) {
    securityIndex = static_cast<int>(choice);
    model->cbxSecurityChange();
  }
  void ClickRecoveryMail() {
    recoveryMail = !recoveryMail;
    model->Change();
  }
  void ChooseAuth(AuthChoice choice) {
    authIndex = static_cast<int>(choice);
    model->Change();
  }
  void ChooseCredential(CredentialChoice choice) {
    credentialIndex = static_cast<int>(choice);
    model->Change();
  }
  void ClickTlsVerify() {
    tlsVerify = !tlsVerify;
    model->Change();
  }

  SettingsModel* model = nullptr;
  std::map<SettingsField, std::string> fields;
  std::map<SettingsField, bool> lost;
  bool mailSend = false;
  int securityIndex = -2;  // not set by the model yet
  bool tlsVerify = false;
  int authIndex = -2;        // not set by the model yet
  int credentialIndex = -2;
  bool recoveryMail = false;
  std::map<SettingsList, std::vector<std::string>> lists;
  std::map<SettingsList, int> selected;
  bool applyEnabled = true;
  SettingsPage page = SettingsPage::Warning;
  SettingsControl focus = SettingsControl::LimitList;
  int closeRequests = 0;
  bool closed = false;
  int pendingPasses = 0;
  std::vector<std::string> writeFailures;
  bool handleWriteFailure = false;
};

}  // namespace qw::test

#include "service/service_install.h"

#include "platform/ascii_text.h"
#include "platform/text_codec.h"
#include "service/drivewarden.h"

namespace qw {

std::string SystemErrorMessage(const Status& failure) {
  return "システムエラー。コード：" + std::to_string(failure.Code()) + ".\r\n" + failure.Text();
}

bool HasSwitch(const std::vector<std::string>& args, const std::string& name) {

  for (const std::string& arg : args) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) continue;
    if (EqualsCaseless(std::string_view(arg).substr(1), name)) return true;
  }
  return false;
}

HostSwitches ParseSwitches(const std::vector<std::string>& args) {
  HostSwitches switches;
  switches.install = HasSwitch(args, "INSTALL");
  switches.uninstall = !switches.install && HasSwitch(args, "UNINSTALL");
  switches.silent = HasSwitch(args, "SILENT");
  switches.testMail = !switches.install && !switches.uninstall && HasSwitch(args, "TESTMAIL");
  return switches;
}

std::u16string QuoteImagePath(const std::u16string& path) {
  if (path.find(u' ') == std::u16string::npos) return path;
  if (path.size() >= 2 && path.front() == u'"' && path.back() == u'"') return path;
  return u"\"" + path + u"\"";
}

ServiceRegistration DrivewardenRegistration(const std::u16string& exePath) {
  ServiceRegistration registration;
  registration.name = kServiceName;
  registration.displayName = kServiceDisplayName;
  registration.imagePath = QuoteImagePath(exePath);
  return registration;
}

ServiceRecovery DrivewardenRecovery() {
  ServiceRecovery recovery;
  recovery.actions = {{kFailureActionRestart, 60'000}, {kFailureActionRestart, 60'000},
                      {kFailureActionRestart, 300'000}};
  recovery.resetPeriodSeconds = 24 * 60 * 60;
  recovery.nonCrashFailures = true;
  return recovery;
}

Status RegisterRecovery(ServiceManager& manager, const std::string& name, std::string* note) {
  if (note) note->clear();
  const ServiceRecovery recovery = DrivewardenRecovery();
  std::unique_ptr<ServiceManagerHandle> scm;
  if (Status opened = manager.Open(&scm); !opened) return opened;
  std::unique_ptr<ServiceHandle> service;
  if (Status opened = scm->OpenNamedService(name, &service); !opened) return opened;
  if (Status set = service->SetFailureActions(recovery.actions, recovery.resetPeriodSeconds); !set) return set;
  const Status flag = service->SetFailureActionsFlag(recovery.nonCrashFailures);
  if (flag.Ok()) return {};
  if (flag.Code() != kErrorInvalidLevel) return flag;
  if (note) {
    *note = "このシステムはサービスの回復の設定 SERVICE_CONFIG_FAILURE_ACTIONS_FLAG を受け付けません (" +
            flag.Describe() + ")。サービスが異常終了したときだけ再起動されます。";
  }
  return {};
}

std::vector<std::string> EventSourceNames(const std::u16string& exePath) {
  const size_t slash = exePath.find_last_of(u"\\/");
  const std::u16string file = slash == std::u16string::npos ? exePath : exePath.substr(slash + 1);
  std::vector<std::string> names{kEventSource};
  const std::string exeName = Utf16ToSjis(file);
  if (!exeName.empty() && !EqualsCaseless(exeName, kEventSource)) names.push_back(exeName);
  return names;
}

std::u16string EventSourceKey(const std::string& source) {
  return u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + SjisToUtf16(source);
}

namespace {

const char kErrorCaption[] = "エラー";
const char kInformationCaption[] = "情報";

void ShowError(MessageBoxes& boxes, const std::string& text) {
  boxes.Show(text, kErrorCaption, MessageBoxButtons::Ok, MessageBoxIcon::Error);
}

}  // namespace

int InstallService(ServiceRegistry& registry, ServiceManager& manager, MessageBoxes& boxes,
                   const std::u16string& exePath, bool silent, std::string* note) {
  if (note) note->clear();
  const Status opened = registry.Open();
  if (!opened) {
    ShowError(boxes, SystemErrorMessage(opened));
    return 1;
  }
  const ServiceRegistration registration = DrivewardenRegistration(exePath);
  const Status created = registry.Create(registration);
  if (!created) {
    ShowError(boxes, "\"" + SystemErrorMessage(created) + "\" : サービス \"" + registration.displayName +
                         "\" の登録は失敗しました。");
    return 1;
  }
  std::string recoveryNote;
  const Status recovered = RegisterRecovery(manager, registration.name, &recoveryNote);
  if (!recovered) {
    (void)registry.Delete(registration.name);  // its failure would hide the cause
    ShowError(boxes, "\"" + SystemErrorMessage(recovered) + "\" : サービス \"" + registration.displayName +
                         "\" の回復の設定は失敗しました。");
    return 1;
  }
  const std::vector<std::string> sources = EventSourceNames(exePath);
  for (size_t i = 0; i < sources.size(); ++i) {
    const Status added = registry.AddEventSource(sources[i], exePath);
    if (added) continue;
    // Take back what this install made; their failures would hide the cause.
    for (size_t j = 0; j <= i; ++j) (void)registry.RemoveEventSource(sources[j]);
    (void)registry.Delete(registration.name);
    ShowError(boxes, "\"" + SystemErrorMessage(added) + "\" : イベント ソース \"" + sources[i] +
                         "\" の登録は失敗しました。");
    return 1;
  }
  if (note) *note = recoveryNote;
  if (!silent) {
    boxes.Show(recoveryNote.empty() ? "サービスを登録しました。" : "サービスを登録しました。\r\n" + recoveryNote,
               kInformationCaption, MessageBoxButtons::Ok,
               MessageBoxIcon::Information);
  }
  return 0;
}

int UninstallService(ServiceRegistry& registry, MessageBoxes& boxes, const std::u16string& exePath,
                     bool silent) {
  const Status opened = registry.Open();
  if (!opened) {
    ShowError(boxes, SystemErrorMessage(opened));
    return 1;
  }
  const Status deleted = registry.Delete(kServiceName);
  // The sources go whether or not the service was there: a registration
  // left half by hand is cleaned up as well.
  std::string sourceFailure;
  for (const std::string& source : EventSourceNames(exePath)) {
    const Status removed = registry.RemoveEventSource(source);
    if (!removed && sourceFailure.empty()) {
      sourceFailure = "\"" + SystemErrorMessage(removed) + "\" : イベント ソース \"" + source +
                      "\" の登録解除に失敗しました。";
    }
  }
  if (!deleted) {
    ShowError(boxes, "\"" + SystemErrorMessage(deleted) + "\" : サービス \"" +
                         std::string(kServiceDisplayName) + "\" の登録解除に失敗しました。");
    return 1;
  }
  if (!sourceFailure.empty()) {
    ShowError(boxes, sourceFailure);
    return 1;
  }
  if (!silent) {
    boxes.Show("サービスの登録を解除しました。", kInformationCaption, MessageBoxButtons::Ok,
               MessageBoxIcon::Information);
  }
  return 0;
}

}  // namespace qw

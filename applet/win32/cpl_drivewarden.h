// The program's applet module _cplDrivewarden: the Control Panel item
// "ドライブ番人", whose activation opens the settings dialog.
#pragma once

#include "applet/win32/applet_module.h"

namespace qw {

inline constexpr const char* kAppletName = "ドライブ番人";
inline constexpr const char* kAppletHelp = "定期的にハードディスクの空き領域をチェックします。";

class T_cplDrivewarden : public TAppletModule {
 public:
  explicit T_cplDrivewarden(TAppletApplication& application);
  ~T_cplDrivewarden() override;

  // The icon of the applet's resources (the settings dialog's icon), loaded
  // at the first request.
  void* AppletIcon() override;

  // Creates the settings dialog, shows it modally and frees it.
  void AppletModuleActivate(TAppletModule& sender, long long data);
};

// The library's application object (null outside the library's lifetime).
TAppletApplication* AppletApplication();

// The application's exception handling: shows the error's message (nothing
// for a SilentAbort). Window procedures use it, so that an error never
// unwinds through the system's frames.
void HandleAppletException(const std::exception& e);
void HandleUnknownAppletException();

}  // namespace qw

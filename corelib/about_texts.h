// The texts of the product's version information form.
#pragma once

#include "qw_version.h"

namespace qw {

inline constexpr const char* kAboutProductName = "NORVIKA ドライブ番人";
inline constexpr const char* kAboutProductVersion = "バージョン " QW_VERSION_TEXT;
inline constexpr const char* kAboutCompanyName = "NORVIKA システムズ";
inline constexpr const char* kAboutCopyright = "Copyright (C) 2026 NORVIKA Systems. All rights reserved.";
inline constexpr const char* kAboutBaseCaption = "ProgramName のバージョン情報";
inline constexpr const char* kAboutCloseCaption = "閉じる(&C)";
inline constexpr const char* kAboutProductSiteCaption = "製品情報のページへ(&W)";
inline constexpr const char* kAboutContactCaption = "お問い合せフォームへ(&T)";
inline constexpr const char* kAboutProductSiteAddress = "https://www.norvika.example/drivewarden/";
inline constexpr const char* kAboutContactAddress = "https://www.norvika.example/contact/";

}  // namespace qw

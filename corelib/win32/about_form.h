// The version information form: T_NVKBaseCommonAboutForm holds the layout and
// the handlers; T_QuotawardenAboutForm sets the product's texts and replaces
// the plain buttons by its own pair. Each is a top-level window (a form)
// owned by the given window, created hidden.
#pragma once

#include <windows.h>

#include <string>

namespace qw {

class T_NVKBaseCommonAboutForm {
 public:
  // Control identifiers (also the children's window ids).
  enum : int {
    kImgAppIcon = 2001,
    kLblProductName,
    kLblProductVersion,
    kLblCompanyName,
    kLblCopyright,
    kMemAppendix,
    kBtnClose,
    kBtnJumpToProductSite,
    kBtnContactSite,
    kBtnJumpToProductSiteCx,
    kBtnContactSiteCx,
  };

  explicit T_NVKBaseCommonAboutForm(HWND owner);
  virtual ~T_NVKBaseCommonAboutForm();
  T_NVKBaseCommonAboutForm(const T_NVKBaseCommonAboutForm&) = delete;
  T_NVKBaseCommonAboutForm& operator=(const T_NVKBaseCommonAboutForm&) = delete;

  HWND Handle() const { return form_; }
  HWND Control(int id) const { return GetDlgItem(form_, id); }

  // Shows the form (runs FormShow) when it is hidden.
  void Show();

  // Hands a web address to the shell (default action, shown); the result is
  // not looked at.
  void OpenSite(const std::string& address);

 protected:
  // Builds the window and its controls; descendants change them afterwards.
  void Build(const std::string& componentName);

  virtual void FormCreate();
  virtual void FormShow();
  virtual void btnCloseClick();
  virtual void btnJumpToProductSiteClick();
  virtual void btnContactSiteClick();
  virtual std::string ProductSiteAddress() const { return std::string(); }
  virtual std::string ContactSiteAddress() const { return std::string(); }

  HWND AddControl(int id, const wchar_t* cls, DWORD style, int x, int y, int w, int h,
                  bool anchorRight, bool anchorBottom);
  // Client height in pixels at 96 DPI, scaled to the screen.
  int Scale(int pixels) const;

  HWND owner_ = nullptr;
  HWND form_ = nullptr;
  HFONT font_ = nullptr;
  HFONT boldFont_ = nullptr;

 private:
  struct Anchor {
    int id;
    bool right, bottom;
    int rightGap, bottomGap;
  };
  static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
  void OnSize();
  Anchor anchors_[16] = {};
  int anchorCount_ = 0;
  int dpi_ = 96;
};

class T_QuotawardenAboutForm : public T_NVKBaseCommonAboutForm {
 public:
  explicit T_QuotawardenAboutForm(HWND owner);

 protected:
  std::string ProductSiteAddress() const override;
  std::string ContactSiteAddress() const override;
};

}  // namespace qw

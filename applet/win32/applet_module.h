// The applet application and its applet modules: the objects behind the
// Control Panel export CPlApplet. The application keeps the list of modules
// (the index in the list is the applet number of the protocol) and the
// Control Panel's window of the latest call; a module carries the item's
// name, description, icon and handlers. Portable: window and icon handles are
// opaque here, so the property rules are tested without Windows.
#pragma once

#include <algorithm>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace qw {

// Raised to end an operation without a message (the application's exception
// handling stays silent for it).
class SilentAbort : public std::exception {
 public:
  const char* what() const noexcept override { return "Operation aborted"; }
};

class TAppletModule;

class TAppletApplication {
 public:
  TAppletApplication() = default;
  ~TAppletApplication();  // frees the modules still registered, last first
  TAppletApplication(const TAppletApplication&) = delete;
  TAppletApplication& operator=(const TAppletApplication&) = delete;

  void Initialize() { initialized_ = true; }
  // Installs the application's exception handling as the library-wide handler.
  void Run() { running_ = true; }
  bool Running() const { return running_; }
  bool Initialized() const { return initialized_; }

  const std::vector<TAppletModule*>& Modules() const { return modules_; }
  void Register(TAppletModule* module) { modules_.push_back(module); }
  void Unregister(TAppletModule* module) {
    modules_.erase(std::remove(modules_.begin(), modules_.end(), module), modules_.end());
  }

  void* ControlPanelHandle = nullptr;

  // Optional hooks; none is assigned by this program.
  std::function<void(bool& success)> OnInit;
  std::function<void(int& count)> OnCount;
  std::function<void()> OnExit;
  std::function<void()> OnSetup;
  // When assigned, receives errors instead of the default display.
  std::function<void(const std::exception&)> OnException;

 private:
  std::vector<TAppletModule*> modules_;
  bool initialized_ = false;
  bool running_ = false;
};

class TAppletModule {
 public:
  // Registers the module in `application`'s list.
  TAppletModule(TAppletApplication& application, const std::string& componentName)
      : application_(application), name_(componentName), caption_(componentName) {
    application_.Register(this);
  }
  virtual ~TAppletModule() { application_.Unregister(this); }
  TAppletModule(const TAppletModule&) = delete;
  TAppletModule& operator=(const TAppletModule&) = delete;

  const std::string& Name() const { return name_; }
  TAppletApplication& Application() { return application_; }

  // The item's name; an empty text stores the component name. Changing it
  // clears ResidName.
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption) {
    std::string value = caption.empty() ? name_ : caption;
    if (value != caption_) {
      caption_ = value;
      residName_ = 0;
    }
  }
  // The item's description. Changing it clears ResidInfo.
  const std::string& Help() const { return help_; }
  void SetHelp(const std::string& help) {
    if (help != help_) {
      help_ = help;
      residInfo_ = 0;
    }
  }
  // Resource identifiers; 0 means Caption, Help and AppletIcon are used.
  // Changing ResidName empties Caption; changing ResidInfo empties Help.
  int ResidIcon() const { return residIcon_; }
  void SetResidIcon(int id) { residIcon_ = id; }
  int ResidName() const { return residName_; }
  void SetResidName(int id) {
    if (id != residName_) {
      residName_ = id;
      caption_.clear();
    }
  }
  int ResidInfo() const { return residInfo_; }
  void SetResidInfo(int id) {
    if (id != residInfo_) {
      residInfo_ = id;
      help_.clear();
    }
  }
  // The item's icon (an icon handle). Assigning a different one clears
  // ResidIcon.
  virtual void* AppletIcon() { return appletIcon_; }
  void SetAppletIcon(void* icon) {
    if (icon != appletIcon_) {
      appletIcon_ = icon;
      residIcon_ = 0;
    }
  }
  // The applet's private value handed to the Control Panel (lData).
  long long Data = 0;

  std::function<void(TAppletModule& sender, long long data)> OnActivate;
  std::function<void(TAppletModule& sender, long long data)> OnStop;
  std::function<void(TAppletModule& sender)> OnInquire;
  std::function<void(TAppletModule& sender)> OnNewInquire;
  std::function<void(TAppletModule& sender, const std::string& params)> OnStartWParms;

 protected:
  void* appletIcon_ = nullptr;

 private:
  TAppletApplication& application_;
  std::string name_;
  std::string caption_;
  std::string help_;
  int residIcon_ = 0;
  int residName_ = 0;
  int residInfo_ = 0;
};

inline TAppletApplication::~TAppletApplication() {
  while (!modules_.empty()) delete modules_.back();  // each destructor unregisters
}

// The first `maxUnits` UTF-16 units of `text`, one fewer when the cut would
// split a surrogate pair.
inline std::u16string CutUtf16(const std::u16string& text, size_t maxUnits) {
  if (text.size() <= maxUnits) return text;
  size_t n = maxUnits;
  if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  return text.substr(0, n);
}

}  // namespace qw

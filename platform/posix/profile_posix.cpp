// Profile files on POSIX: the Windows profile rules over a file in the
// configured Windows directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/ini_text.h"
#include "platform/profile.h"

namespace qw {
namespace {

class PosixProfiles : public Profiles {
 public:
  explicit PosixProfiles(std::string windowsDir) : dir_(std::move(windowsDir)) {}

  std::string ReadString(const std::string& file, const std::string& section,
                         const std::string& key, const std::string& def) override {
    std::string text;
    if (!Load(file, &text)) return def;
    auto value = IniLookup(text, section, key);
    return value ? *value : def;
  }

  bool WriteString(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) override {
    std::string text;
    Load(file, &text);
    std::string updated = IniAssign(text, section, key, value);
    // Write beside and rename, so that a reader never sees half a file.
    std::string path = PathOf(file);
    std::string temp = path + ".tmp" + std::to_string(getpid());
    {
      std::ofstream out(temp, std::ios::binary | std::ios::trunc);
      if (!out) return false;
      out << updated;
      out.flush();
      if (!out) {
        unlink(temp.c_str());
        return false;
      }
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
      unlink(temp.c_str());
      return false;
    }
    return true;
  }

  int32_t LastWriteDosStamp(const std::string& file) override {
    int fd = open(PathOf(file).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    int rc = fstat(fd, &st);
    close(fd);
    if (rc != 0) return -1;
    struct tm local {};
    time_t when = st.st_mtime;
    if (!localtime_r(&when, &local)) return -1;
    return PackDosStamp(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec);
  }

 private:
  std::string PathOf(const std::string& file) const {
    if (!file.empty() && file[0] == '/') return file;
    return dir_ + "/" + file;
  }

  bool Load(const std::string& file, std::string* text) const {
    std::ifstream in(PathOf(file), std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return true;
  }

  std::string dir_;
};

}  // namespace

std::unique_ptr<Profiles> NewSystemProfiles(const std::string& windowsDir) {
  return std::make_unique<PosixProfiles>(windowsDir);
}

}  // namespace qw

// Profile files on POSIX: the Windows profile rules over a file in the
// configured Windows directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/ini_text.h"
#include "platform/profile.h"
#include "platform/text_codec.h"

namespace qw {
namespace {

Status SystemFailure(const char* what, int error) {
  return Status::Failure(what, error, std::strerror(error));
}

// Closes a descriptor when it leaves.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

// The bytes of the regular file at `path`. `missing` is set when there is no
// file (nor a link that leads to one); the result is then a success. Never
// blocks on a FIFO or a device: the file is opened without waiting and must
// be a regular file of at most kMaxProfileBytes.
Status ReadBytes(const std::string& path, std::string* bytes, bool* missing) {
  *missing = false;
  bytes->clear();
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) {
      *missing = true;
      return Status();
    }
    if (error == EISDIR) return NotARegularProfileFile(true);
    return SystemFailure("open", error);
  }
  FileCloser closer(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0) return SystemFailure("fstat", errno);
  if (!S_ISREG(st.st_mode)) return NotARegularProfileFile(S_ISDIR(st.st_mode));
  if (st.st_size > kMaxProfileBytes) return ProfileTooLarge(st.st_size);
  // Read to the end, but never more than one byte past the limit: a file
  // that grows meanwhile is refused, not read without end.
  char buffer[65536];
  while (true) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return SystemFailure("read", errno);
    }
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
    if (static_cast<int64_t>(bytes->size()) > kMaxProfileBytes)
      return ProfileTooLarge(static_cast<int64_t>(bytes->size()));
  }
  return Status();
}

// Writes `bytes` to `temp`, a new file that is private until it has the
// mode and owner of `old` (when given) before any byte is written, so that
// no one may read more of the new file than of the old one; without `old`
// it is made with the mode a new file gets (0666 less the umask). The file
// is flushed to the disk before it is closed.
bool WriteNewFile(const std::string& temp, const std::string& bytes, const struct stat* old) {
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, old ? 0600 : 0666);
  if (fd < 0) return false;
  bool ok = true;
  if (old) {
    // The owner can be given back only by a privileged writer; anyone else
    // who may replace the file is its owner or keeps the file's group.
    if (fchown(fd, old->st_uid, old->st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old->st_gid) != 0) {
      // The new file keeps the writer's owner and group.
    }
    ok = fchmod(fd, old->st_mode & 07777) == 0;
  }
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (!ok) unlink(temp.c_str());
  return ok;
}

class PosixProfiles : public Profiles {
 public:
  explicit PosixProfiles(std::string windowsDir) : dir_(std::move(windowsDir)) {}

  std::string ReadString(const std::string& file, const std::string& section,
                         const std::string& key, const std::string& def) override {
    std::string bytes;
    bool missing = false;
    if (!ReadBytes(PathOf(file), &bytes, &missing).Ok() || missing) return def;
    ProfileEncoding encoding;
    const std::string text = DecodeProfileBytes(bytes, &encoding);
    auto value = IniLookup(text, section, key);
    if (!value) return def;
    // A file with a mark holds UTF-8 text here; the caller gets the ANSI code page.
    return encoding == ProfileEncoding::Ansi ? *value : Utf8ToSjis(*value);
  }

  // Writes a new file beside the target and renames it over the target, so
  // that a reader never sees half a file. The target is the file a symbolic
  // link leads to (the link stays), and the new file takes the old one's
  // mode and owner. A file that exists but cannot be read is not replaced.
  bool WriteString(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value) override {
    const std::string path = Target(PathOf(file));
    std::string bytes;
    bool missing = false;
    if (!ReadBytes(path, &bytes, &missing).Ok()) return false;
    ProfileEncoding encoding;
    const std::string text = DecodeProfileBytes(bytes, &encoding);
    const bool utf8 = encoding != ProfileEncoding::Ansi;
    const std::string updated = IniAssign(text, utf8 ? SjisToUtf8(section) : section,
                                          utf8 ? SjisToUtf8(key) : key,
                                          utf8 ? SjisToUtf8(value) : value);
    struct stat old {};
    const bool existed = !missing && stat(path.c_str(), &old) == 0;

    static std::atomic<unsigned> counter{0};
    const std::string temp = path + ".tmp" + std::to_string(getpid()) + "." +
                             std::to_string(counter.fetch_add(1));
    if (!WriteNewFile(temp, EncodeProfileText(updated, encoding), existed ? &old : nullptr)) return false;
    if (rename(temp.c_str(), path.c_str()) != 0) {
      unlink(temp.c_str());
      return false;
    }
    return true;
  }

  Status CheckFile(const std::string& file) override {
    std::string bytes;
    bool missing = false;
    Status read = ReadBytes(PathOf(file), &bytes, &missing);
    if (!read.Ok() || missing) return read;
    return CheckProfileBytes(bytes);
  }

  int32_t LastWriteDosStamp(const std::string& file) override {
    // stat, not open: opening a FIFO in the file's place would wait for a writer.
    struct stat st {};
    if (stat(PathOf(file).c_str(), &st) != 0) return -1;
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

  // The file that `path` names after its symbolic links are followed; `path`
  // itself when it names no link or a link that leads nowhere (the write
  // then puts a file in the link's place).
  static std::string Target(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
  }

  std::string dir_;
};

}  // namespace

std::unique_ptr<Profiles> NewSystemProfiles(const std::string& windowsDir) {
  return std::make_unique<PosixProfiles>(windowsDir);
}

}  // namespace qw

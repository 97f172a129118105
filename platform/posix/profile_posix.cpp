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

#include "platform/ini_text.h"
#include "platform/profile.h"
#include "platform/system_error.h"

namespace qw {
namespace {

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
    return ErrnoFailure("open", error);
  }
  FileCloser closer(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0) return ErrnoFailure("fstat", errno);
  if (!S_ISREG(st.st_mode)) return NotARegularProfileFile(S_ISDIR(st.st_mode));
  if (st.st_size > kMaxProfileBytes) return ProfileTooLarge(st.st_size);
  // Read to the end, but never more than one byte past the limit: a file
  // that grows meanwhile is refused, not read without end.
  char buffer[65536];
  while (true) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoFailure("read", errno);
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
Status WriteNewFile(const std::string& temp, const std::string& bytes, const struct stat* old) {
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, old ? 0600 : 0666);
  if (fd < 0) return ErrnoFailure("open", errno);
  Status status;
  auto fail = [&status](const char* what) {
    if (status.Ok()) status = ErrnoFailure(what, errno);
  };
  if (old) {
    // The owner can be given back only by a privileged writer; anyone else
    // who may replace the file is its owner or keeps the file's group.
    if (fchown(fd, old->st_uid, old->st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old->st_gid) != 0) {
      // The new file keeps the writer's owner and group.
    }
    if (fchmod(fd, old->st_mode & 07777) != 0) fail("fchmod");
  }
  size_t done = 0;
  while (status.Ok() && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write");
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (status.Ok() && fsync(fd) != 0) fail("fsync");
  if (close(fd) != 0) fail("close");
  if (!status.Ok()) unlink(temp.c_str());
  return status;
}

// The file that `path` names after its symbolic links are followed; `path`
// itself when it names no link or a link that leads nowhere (the write then
// puts a file in the link's place).
std::string Target(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return path;
  std::string target(resolved);
  std::free(resolved);
  return target;
}

class PosixProfiles : public Profiles {
 public:
  explicit PosixProfiles(std::string windowsDir) : dir_(std::move(windowsDir)) {}

  Result<ProfileSnapshot> ReadSnapshot(const std::string& file) override {
    std::string bytes;
    bool missing = false;
    Status read = ReadBytes(PathOf(file), &bytes, &missing);
    if (!read.Ok()) return read;
    if (missing) return ProfileSnapshot();
    Status checked = CheckProfileBytes(bytes);
    if (!checked.Ok()) return checked;
    return ProfileSnapshot::OfBytes(std::move(bytes));
  }

  Status WriteSnapshot(const std::string& file, const ProfileSnapshot& snapshot) override {
    return WriteProfileFile(PathOf(file), snapshot.Bytes());
  }

 private:
  std::string PathOf(const std::string& file) const {
    if (!file.empty() && file[0] == '/') return file;
    return dir_ + "/" + file;
  }

  std::string dir_;
};

}  // namespace

Status WriteProfileFile(const std::string& given, const std::string& bytes, bool createOnly) {
  const std::string path = Target(given);
  struct stat old {};
  bool existed = false;
  if (lstat(path.c_str(), &old) == 0) {
    existed = true;
    // Only a regular file is replaced: a folder, a FIFO or a device in its
    // place is no settings file, and is left alone.
    if (!S_ISREG(old.st_mode)) return NotARegularProfileFile(S_ISDIR(old.st_mode));
    if (createOnly) return Status::Failure("create", EEXIST, path + " exists already", StatusKind::kAlreadyExists);
  } else if (errno != ENOENT) {
    return ErrnoFailure("lstat", errno);
  }

  static std::atomic<unsigned> counter{0};
  const std::string temp =
      path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(counter.fetch_add(1));
  Status written = WriteNewFile(temp, bytes, existed ? &old : nullptr);
  if (!written.Ok()) return written;
  if (createOnly) {
    // A link to the new file appears only where no file is: one that came
    // meanwhile stays as it is.
    const int linked = link(temp.c_str(), path.c_str());
    const int error = errno;
    unlink(temp.c_str());
    if (linked != 0) {
      if (error == EEXIST) return Status::Failure("link", EEXIST, path + " exists already", StatusKind::kAlreadyExists);
      return ErrnoFailure("link", error);
    }
    return Status();
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    return ErrnoFailure("rename", error);
  }
  return Status();
}

std::unique_ptr<Profiles> NewSystemProfiles(const std::string& windowsDir) {
  return std::make_unique<PosixProfiles>(windowsDir);
}

}  // namespace qw

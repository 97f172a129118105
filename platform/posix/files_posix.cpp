#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/files.h"
#include "platform/system_error.h"

namespace qw {

Result<std::string> ReadWholeFile(const std::string& path, size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrnoFailure("open", errno);
  std::string data;
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return ErrnoFailure("read", error);
    }
    if (got == 0) break;
    data.append(buffer, static_cast<size_t>(got));
    if (data.size() > limit) {
      ::close(fd);
      return Status::Failure("read", EFBIG, "the file is larger than " + std::to_string(limit) + " bytes");
    }
  }
  ::close(fd);
  return data;
}

Status ReplaceFileAtomically(const std::string& path, const std::string& bytes) {
  std::string temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return ErrnoFailure("mkstemp", errno);
  auto fail = [&](const char* what, int error) {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return ErrnoFailure(what, error);
  };
  // mkstemp makes the file private; the state is for every local reader.
  if (::fchmod(fd, 0644) != 0) return fail("fchmod", errno);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return fail("write", errno);
    }
    done += static_cast<size_t>(put);
  }
  if (::fsync(fd) != 0) return fail("fsync", errno);
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return ErrnoFailure("close", error);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    return ErrnoFailure("rename", error);
  }
  // The rename itself reaches the disk with the folder's entry; a folder
  // that cannot be synced (some file systems refuse) leaves the file whole.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return Status();
}

Status RemoveFileIfPresent(const std::string& path) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return {};
  return ErrnoFailure("unlink", errno);
}

Result<std::string> StateFolder(const std::string& windowsDir, const std::string& override) {
  std::string folder = override.empty() ? windowsDir : override;
  if (folder.empty()) return Status::Failure("StateFolder", 0, "no folder for the state");
  return folder;
}

bool IsAbsolutePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace qw

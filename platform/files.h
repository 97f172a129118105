// Whole-file reads and atomic replacement, for the small state files the
// service writes and the applet reads.
#pragma once

#include <string>

#include "platform/status.h"

namespace qw {

// Reads the whole file (at most `limit` bytes; a larger file fails). A file
// or folder that is not there fails with StatusKind::kNotFound.
Result<std::string> ReadWholeFile(const std::string& path, size_t limit = 1 << 20);
// Writes `bytes` to a temporary file in the same folder, flushes it and
// renames it over `path`, so that a reader sees the old file or the new one,
// never a part. Creates nothing but the file (the folder must exist).
Status ReplaceFileAtomically(const std::string& path, const std::string& bytes);
// Removes the file; a file that is not there is no failure.
Status RemoveFileIfPresent(const std::string& path);
// The folder of the service's state: Windows %ProgramData%\Quotawarden
// (only the path: nothing is created; the service prepares it with
// PrepareStateFolder of platform/secure_file.h); POSIX `windowsDir` (the
// settings folder). `override`, when not empty, wins.
Result<std::string> StateFolder(const std::string& windowsDir, const std::string& override);
// True for a path that starts at a root and so means the same folder to
// every process: POSIX a leading "/"; Windows a drive letter, a colon and a
// separator (C:\x) or a UNC path (\\server\share).
bool IsAbsolutePath(const std::string& path);
// `folder` joined with `name` by the platform's separator.
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace qw

// Rows to a file descriptor with write(2): no user-space buffer to lose, every error seen. Files
// are opened in binary: each line ends in \n on every platform.
#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/platform.h"

namespace kavro::tool {

std::string Output::Refusal(const std::string& path, bool append, bool force) {
  if (path.empty() || append || force || !platform::IsRegularFile(path)) return "";
  return path + " exists: give --append to add to it or --force to replace it";
}

std::optional<std::string> Output::FirstLine(const std::string& path, bool past_comments) {
  if (path.empty() || !platform::IsRegularFile(path)) return std::nullopt;
  const int fd = platform::OpenDescriptor(path, O_RDONLY, 0);
  if (fd < 0) return std::nullopt;  // opening it to write says why
  if (platform::Describe(fd).size == 0) {
    close(fd);
    return std::nullopt;
  }
  std::string text;
  std::size_t line = 0;  // where the line looked at starts
  for (;;) {
    const std::size_t end = text.find('\n', line);
    if (end != std::string::npos && past_comments && text.compare(line, 1, "#") == 0) {
      line = end + 1;
      continue;
    }
    if (end != std::string::npos || text.size() >= (1u << 20)) break;
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  close(fd);
  if (line >= text.size() || (past_comments && text.compare(line, 1, "#") == 0)) return "";
  return text.substr(line, text.find('\n', line) - line);
}

Output::~Output() {
  if (owned_ && fd_ >= 0) close(fd_);
}

bool Output::Failed(const std::string& what) {
  failed_ = true;
  error_ = what + " " + name_ + ": " + std::strerror(errno);
  return false;
}

bool Output::Open(const std::string& path, bool append, bool force) {
  if (path.empty()) {
    fd_ = STDOUT_FILENO;
  } else {
    name_ = path;
    int flags = O_WRONLY | O_CREAT;
    std::error_code ignored;
    const auto found = std::filesystem::status(platform::PathFromUtf8(path), ignored);
    if (std::filesystem::exists(found) && !std::filesystem::is_regular_file(found)) {
      flags &= ~O_CREAT;  // a device or a pipe: written to, never replaced
    } else if (append) {
      flags |= O_APPEND;
    } else if (force) {
      flags |= O_TRUNC;
    } else {
      flags |= O_EXCL;  // made after the check: still never replaces a file
    }
    fd_ = platform::OpenDescriptor(path, flags, 0644);
    if (fd_ < 0) return Failed("cannot open");
    owned_ = true;
  }
  if (const platform::DescriptorInfo file = platform::Describe(fd_); file.regular) {
    regular_ = true;
    fresh_ = !owned_ || file.size == 0;  // standard output always gets its header
    // Where the next row starts: the end when appending, else where the descriptor stands.
    whole_ = owned_ && append ? file.size : file.next_write;
    if (whole_ < 0) regular_ = false;  // cannot tell where rows end: nothing is cut off
  }
  return true;
}

bool Output::Write(const std::string& text) {
  if (failed_) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;  // a signal: the row is still written whole
    if (n <= 0) {
      const int why = n < 0 ? errno : ENOSPC;
      // The part of the row that got out is cut off again: the file ends with a whole row.
      if (regular_ && done > 0 && !platform::TruncateDescriptor(fd_, whole_)) done = 0;
      errno = why;
      return Failed("writing");
    }
    done += static_cast<std::size_t>(n);
  }
  whole_ += static_cast<std::int64_t>(done);
  return true;
}

bool Output::Close() {
  bool ok = !failed_;
  if (regular_ && owned_ && !platform::SyncDescriptor(fd_) && ok) ok = Failed("flushing");
  if (owned_) {
    const int closed = close(fd_);
    fd_ = -1;
    if (closed != 0 && ok) ok = Failed("closing");
  }
  return ok;
}

}  // namespace kavro::tool

#include "files/local_file.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kNotAFileText = "Not a regular file";

}  // namespace

bool LocalFile::Open(const std::string& path, std::string* error) {
  Close();
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused just below anyway.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : kNotAFileText;
    close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

long LocalFile::Read(char* buffer, std::size_t size, std::string* error) {
  if (size > static_cast<std::size_t>(LONG_MAX)) size = static_cast<std::size_t>(LONG_MAX);
  for (;;) {
    const ssize_t got = read(static_cast<int>(handle_), buffer, size);
    if (got >= 0) return static_cast<long>(got);
    if (errno == EINTR) continue;
    *error = std::strerror(errno);
    return -1;
  }
}

void LocalFile::Close() {
  if (handle_ == kClosed) return;
  close(static_cast<int>(handle_));
  handle_ = kClosed;
}

#include "server/RecordWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace palvexd {

int OpenAppendOnly(const std::string& path) {
  // O_NONBLOCK: opening a FIFO must not hang the service; it is refused below anyway.
  int fd =
      open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0)
    return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0)
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

RecordWriter::~RecordWriter() {
  if (fd_ > 2)
    close(fd_);
}

bool RecordWriter::Open(const std::string& path, std::string* error) {
  if (path.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_.clear();
    return true;
  }
  int fd = OpenAppendOnly(path);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ > 2)
    close(fd_);
  fd_ = fd;
  path_ = path;
  return true;
}

bool RecordWriter::Reopen(std::string* error) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path = path_;
  }
  if (path.empty())
    return true;
  return Open(path, error);
}

void RecordWriter::Write(const std::string& lines) {
  std::lock_guard<std::mutex> lock(mutex_);
  const char* p = lines.data();
  size_t left = lines.size();
  while (left > 0) {
    ssize_t n = write(fd_, p, left);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      failures_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace palvexd

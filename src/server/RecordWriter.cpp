#include "server/RecordWriter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tovali/util/file_util.h"

namespace palvexd {

RecordWriter::~RecordWriter() {
  if (own_fd_)
    close(fd_);
}

bool RecordWriter::Open(const std::string& path, std::string* error) {
  if (path.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_.clear();
    return true;
  }
  int fd = tovali::OpenAppendFile(path);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (own_fd_)
    close(fd_);
  fd_ = fd;
  own_fd_ = true;
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
  const size_t done = tovali::WriteAll(fd_, lines.data(), lines.size());
  if (done < lines.size()) {
    // A batch holds many records: count each one lost (a part already written counts too).
    failures_.fetch_add(static_cast<uint64_t>(std::count(lines.begin() + done, lines.end(), '\n')),
                        std::memory_order_relaxed);
  }
}

}  // namespace palvexd

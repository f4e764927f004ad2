#include "tovali/util/file_util.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace tovali {
namespace {

constexpr mode_t kFileMode = 0644;

// Closes `fd` without disturbing the errno that explains why.
int CloseFailed(int fd, int error) {
  close(fd);
  errno = error;
  return -1;
}

// `fd` when it is a regular file, made blocking again; closed otherwise.
int KeepRegular(int fd) {
  if (fd < 0)
    return -1;
  struct stat st;
  if (fstat(fd, &st) != 0)
    return CloseFailed(fd, errno);
  if (!S_ISREG(st.st_mode))
    return CloseFailed(fd, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    return CloseFailed(fd, errno);
  return fd;
}

// O_NONBLOCK only for the open itself: a FIFO at the path must not hold the caller.
int OpenNoFollow(const std::string& path, int flags) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode);
  } while (fd < 0 && errno == EINTR);
  return KeepRegular(fd);
}

uint64_t RandomBits(unsigned attempt) {
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof(bits), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(bits)))
    return bits;
  // Early at boot the pool may not be ready yet. O_EXCL keeps even a guessed name safe, so the
  // clock, the process and the attempt only have to make a clash unlikely (splitmix64 mix).
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  bits = static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
  bits ^= (static_cast<uint64_t>(getpid()) << 32) ^ attempt;
  bits += 0x9e3779b97f4a7c15u;
  bits = (bits ^ (bits >> 30)) * 0xbf58476d1ce4e5b9u;
  bits = (bits ^ (bits >> 27)) * 0x94d049bb133111ebu;
  return bits ^ (bits >> 31);
}

}  // namespace

size_t WriteAll(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += static_cast<size_t>(n);
  }
  return done;
}

int OpenAppendFile(const std::string& path) {
  return OpenNoFollow(path, O_WRONLY | O_APPEND | O_CREAT);
}

int OpenReadFile(const std::string& path) {
  return OpenNoFollow(path, O_RDONLY);
}

bool ReplaceFile(const std::string& path, const char* data, size_t size) {
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) {
    errno = EISDIR;
    return false;
  }
  // Hidden, next to the target, and short enough for the suffix to fit a 255-byte name.
  const std::string prefix = directory + "." + name.substr(0, 200) + ".";
  for (unsigned attempt = 0; attempt < 16; ++attempt) {
    char suffix[17];
    std::snprintf(suffix, sizeof(suffix), "%016llx",
                  static_cast<unsigned long long>(RandomBits(attempt)));
    const std::string temp = prefix + suffix;
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd < 0) {
      if (errno == EEXIST || errno == EINTR)
        continue;  // someone holds that name: draw another
      return false;
    }
    bool ok = WriteAll(fd, data, size) == size;
    int error = errno;
    if (close(fd) != 0 && ok && errno != EINTR) {
      ok = false;
      error = errno;
    }
    if (ok) {
      if (std::rename(temp.c_str(), path.c_str()) == 0)
        return true;
      error = errno;
    }
    unlink(temp.c_str());
    errno = error;
    return false;
  }
  errno = EEXIST;
  return false;
}

}  // namespace tovali

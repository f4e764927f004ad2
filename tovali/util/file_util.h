// Files at paths that other users may control (a shared /tmp). A symbolic link at the last
// component is never followed, only regular files are used, and a FIFO planted at a path cannot
// block the caller. Descriptors are close-on-exec. Any thread may call these; none of them logs.
#pragma once

#include <cstddef>
#include <string>

namespace tovali {

// Opens `path` for appending (O_APPEND), creating it with mode 0644 (less the umask) when it is
// missing. Returns a blocking descriptor for the caller to close, or -1 with errno set: ELOOP
// when `path` is a symbolic link; EISDIR, EINVAL or ENXIO when it is something other than a
// regular file (a directory; a FIFO, socket or device); otherwise the errno of open.
int OpenAppendFile(const std::string& path);

// Opens an existing `path` for reading on the same terms: a descriptor, or -1 with errno set as
// for OpenAppendFile.
int OpenReadFile(const std::string& path);

// Writes the `size` bytes at `data` to `fd`, going on after interruptions and partial writes.
// Returns how many were written: all of them, or fewer (errno set) when a write failed.
size_t WriteAll(int fd, const char* data, size_t size);

// Replaces the content of `path` with the `size` bytes at `data`: writes them whole into a new
// file (mode 0644 less the umask, unpredictable name, same directory) and renames it over
// `path`. A reader sees the old content or the new, never a part; a link at `path` is replaced,
// not followed. Not flushed to storage (no fsync). True when done; false, with errno set, leaves
// `path` as it was and removes the new file.
bool ReplaceFile(const std::string& path, const char* data, size_t size);

}  // namespace tovali

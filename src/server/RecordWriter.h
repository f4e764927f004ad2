// Writes the record lines of every worker to one destination: standard output, or a file
// opened for appending (never through a symbolic link, regular files only) that SIGHUP reopens
// for log rotation. Each batch of lines goes out whole under a lock, so lines from different
// threads never mix. Every method may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace palvexd {

class RecordWriter {
 public:
  RecordWriter() = default;
  ~RecordWriter();

  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Empty path: standard output (never closed here). False with a reason in *error when the
  // file cannot be opened.
  bool Open(const std::string& path, std::string* error);
  // Opens the path again and switches to the new file; on failure keeps writing to the old one.
  // True without doing anything for standard output.
  bool Reopen(std::string* error);
  // Appends `lines`: one or more whole lines, each ending in a line feed.
  void Write(const std::string& lines);

  // Record lines that could not be written whole.
  uint64_t failures() const { return failures_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::string path_;
  int fd_ = 1;  // standard output until a file is opened
  bool own_fd_ = false;
  std::atomic<uint64_t> failures_{0};
};

}  // namespace palvexd

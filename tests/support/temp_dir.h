// A private directory for one test, removed with everything in it when the object goes away.
// Created under $TMPDIR (or /tmp) with a unique name, so it never meets the fixed paths the
// program itself uses there.
#pragma once

#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tovali_test {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/palvex-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
      path_ = pattern;
  }
  ~TempDir() {
    if (!path_.empty())
      nftw(path_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
  }

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when the directory could not be created.
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  static int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
    std::remove(path);
    return 0;
  }

  std::string path_;
};

}  // namespace tovali_test

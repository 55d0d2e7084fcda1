// A fresh directory under the system's temporary directory, removed with its
// contents when the owner goes.
//
// Thread safety: none; one owner.
#pragma once

#include <string>

namespace storage::test {

class TempDir {
 public:
  TempDir();
  // Under /dev/shm when it is there (files that are synced often), else as above.
  static TempDir in_memory();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  explicit TempDir(std::string path);
  std::string path_;
};

}  // namespace storage::test

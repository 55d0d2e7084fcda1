#include "storage/tests/support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace storage::test {

namespace {

std::string make_dir(const std::filesystem::path& parent) {
  std::string pattern = (parent / "storage-test-XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return buf.data();
}

}  // namespace

TempDir::TempDir() : path_(make_dir(std::filesystem::temp_directory_path())) {}

TempDir::TempDir(std::string path) : path_(std::move(path)) {}

TempDir TempDir::in_memory() {
  std::error_code ec;
  if (std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) {
    return TempDir(make_dir("/dev/shm"));
  }
  return TempDir();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace storage::test

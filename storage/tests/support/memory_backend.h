// Test backends shared by the storage tests: an in-memory file.
//
// MemoryFile holds the bytes; a test keeps a reference to it while the page
// store owns the MemoryBackend over it, and reopens a "file" by building a new
// backend over the same MemoryFile.
//
// Thread safety: all calls are serialised by the file's own mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "storage/src/tree_store/page_store/backends.h"

namespace storage::test {

class MemoryFile {
 public:
  MemoryFile() = default;
  explicit MemoryFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::vector<uint8_t> snapshot() const;
  uint64_t size() const;

  // A read running past the end fails with "failed to fill whole buffer".
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const;
  // Writes past the end extend the file with zeros up to `offset`.
  void write(uint64_t offset, std::span<const uint8_t> data);
  void set_len(uint64_t len);

 private:
  mutable std::mutex mu_;
  std::vector<uint8_t> bytes_;
};

class MemoryBackend final : public StorageBackend {
 public:
  MemoryBackend() : file_(std::make_shared<MemoryFile>()) {}
  explicit MemoryBackend(std::shared_ptr<MemoryFile> file) : file_(std::move(file)) {}

  const std::shared_ptr<MemoryFile>& file() const { return file_; }

  std::string debug() const override { return "MemoryBackend"; }
  Result<uint64_t, IoError> len() const override { return file_->size(); }
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override {
    return file_->read(offset, out);
  }
  Result<void, IoError> set_len(uint64_t len) const override {
    file_->set_len(len);
    return {};
  }
  Result<void, IoError> sync_data() const override { return {}; }
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override {
    file_->write(offset, data);
    return {};
  }
  Result<void, IoError> close() const override { return {}; }

 private:
  std::shared_ptr<MemoryFile> file_;
};

}  // namespace storage::test

#include "storage/tests/support/memory_backend.h"

#include <algorithm>
#include <cstring>

namespace storage::test {

std::vector<uint8_t> MemoryFile::snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return bytes_;
}

uint64_t MemoryFile::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return bytes_.size();
}

Result<void, IoError> MemoryFile::read(uint64_t offset, std::span<uint8_t> out) const {
  if (out.empty()) return {};
  std::lock_guard<std::mutex> lock(mu_);
  if (offset >= bytes_.size() || out.size() > bytes_.size() - offset) {
    return Err{IoError::other("failed to fill whole buffer")};
  }
  std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return {};
}

void MemoryFile::write(uint64_t offset, std::span<const uint8_t> data) {
  std::lock_guard<std::mutex> lock(mu_);
  if (offset + data.size() > bytes_.size()) bytes_.resize(offset + data.size());
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<ptrdiff_t>(offset));
}

void MemoryFile::set_len(uint64_t len) {
  std::lock_guard<std::mutex> lock(mu_);
  bytes_.resize(len);
}

}  // namespace storage::test

#include "storage/src/tree_store/page_store/backends.h"

#include <utility>

#include "storage/src/panic.h"

namespace storage {

namespace {
[[noreturn]] void unreachable() { panic("internal error: entered unreachable code"); }
}  // namespace

Result<void, IoError> StorageBackend::write_gathered(
    uint64_t offset, std::span<const std::span<const uint8_t>> parts) const {
  for (std::span<const uint8_t> part : parts) {
    TRY(write(offset, part));
    offset += part.size();
  }
  return {};
}

void StorageBackend::prefetch(uint64_t, uint64_t) const {}

bool StorageBackend::read_if_cached(uint64_t, std::span<uint8_t>) const { return false; }

ReadOnlyBackend::ReadOnlyBackend(std::unique_ptr<StorageBackend> inner)
    : inner_(std::move(inner)) {
  STORAGE_ASSERT(inner_ != nullptr);
}

std::string ReadOnlyBackend::debug() const {
  return "ReadOnlyBackend { inner: " + inner_->debug() + " }";
}
Result<uint64_t, IoError> ReadOnlyBackend::len() const { return inner_->len(); }
Result<void, IoError> ReadOnlyBackend::read(uint64_t offset, std::span<uint8_t> out) const {
  return inner_->read(offset, out);
}
Result<void, IoError> ReadOnlyBackend::close() const { return inner_->close(); }
void ReadOnlyBackend::prefetch(uint64_t offset, uint64_t len) const {
  inner_->prefetch(offset, len);
}
bool ReadOnlyBackend::read_if_cached(uint64_t offset, std::span<uint8_t> out) const {
  return inner_->read_if_cached(offset, out);
}
Result<void, IoError> ReadOnlyBackend::set_len(uint64_t) const { unreachable(); }
Result<void, IoError> ReadOnlyBackend::sync_data() const { unreachable(); }
Result<void, IoError> ReadOnlyBackend::write(uint64_t, std::span<const uint8_t>) const {
  unreachable();
}

}  // namespace storage

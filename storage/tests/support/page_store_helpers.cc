#include "storage/tests/support/page_store_helpers.h"

#include <algorithm>
#include <bit>

#include "storage/src/tree_store/page_store/header.h"
#include "storage/src/tree_store/page_store/xxh3.h"

namespace storage::test {

Result<Store, DatabaseError> open_store(std::unique_ptr<StorageBackend> backend,
                                        const StoreOptions& options) {
  if (options.read_only) backend = std::make_unique<ReadOnlyBackend>(std::move(backend));
  return TransactionalMemory::open(std::move(backend), options.allow_initialize,
                                   options.page_size, options.region_size, options.cache_bytes,
                                   options.read_only);
}

std::vector<uint8_t> file_with_layout(const DatabaseLayout& layout, bool two_phase,
                                      bool recovery_required) {
  DatabaseHeader header(layout, TransactionHeader(std::nullopt, std::nullopt, TransactionId(0)));
  header.set_two_phase_commit(two_phase);
  header.set_recovery_required(recovery_required);
  std::vector<uint8_t> image(layout.len(), 0);
  const auto bytes = header.to_bytes(true);
  std::copy(bytes.begin(), bytes.end(), image.begin());
  return image;
}

void mark_range(TransactionalMemory& mem, uint32_t region, uint32_t start, uint32_t count) {
  uint32_t p = start;
  const uint32_t end = start + count;
  while (p < end) {
    uint8_t order = 0;
    while (order < 20 && (p & ((2u << order) - 1)) == 0 && p + (2u << order) <= end) ++order;
    auto r = mem.mark_page_allocated(PageNumber(region, p >> order, order));
    if (!r.ok()) panic("mark_range: " + r.error().to_string());
    p += 1u << order;
  }
}

namespace {
uint8_t pattern_byte(uint64_t seed, size_t i) {
  const uint64_t x = (seed + 1) * 0x9E3779B97F4A7C15ULL + i * 0xBF58476D1CE4E5B9ULL;
  return static_cast<uint8_t>(x >> 56);
}
}  // namespace

void fill_page(PageMut& page, uint64_t seed) {
  auto bytes = page.memory_mut();
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = pattern_byte(seed, i);
}

bool page_holds(std::span<const uint8_t> bytes, uint64_t seed) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != pattern_byte(seed, i)) return false;
  }
  return true;
}

BtreeHeader root_of(const PageView& page, uint64_t length) {
  return BtreeHeader{page.get_page_number(), xxh3::hash128_with_seed(page.memory(), 0), length};
}

bool root_verifies(const TransactionalMemory& mem, const BtreeHeader& root) {
  auto page = mem.get_page(root.root, PageReadHint::kMayBeDirty);
  return page.ok() && xxh3::hash128_with_seed(page.value().memory(), 0) == root.checksum;
}

void Observer::record(std::string entry) {
  std::lock_guard<std::mutex> lock(mu_);
  trace_.push_back(std::move(entry));
}

std::vector<std::string> Observer::trace() const {
  std::lock_guard<std::mutex> lock(mu_);
  return trace_;
}

void Observer::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  trace_.clear();
}

Result<void, IoError> ObservedBackend::read(uint64_t offset, std::span<uint8_t> out) const {
  observer_->record("R");
  return inner_->read(offset, out);
}

Result<void, IoError> ObservedBackend::set_len(uint64_t len) const {
  observer_->record("L " + std::to_string(len));
  return inner_->set_len(len);
}

Result<void, IoError> ObservedBackend::sync_data() const {
  if (observer_->before_sync) observer_->before_sync();
  observer_->record("S");
  return inner_->sync_data();
}

Result<void, IoError> ObservedBackend::write(uint64_t offset,
                                             std::span<const uint8_t> data) const {
  observer_->record("W " + std::to_string(offset) + " " + std::to_string(data.size()));
  return inner_->write(offset, data);
}

Result<void, IoError> ObservedBackend::close() const {
  observer_->record("C");
  return inner_->close();
}

}  // namespace storage::test

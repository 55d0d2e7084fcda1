// Helpers of the page-store tests: opening a store over a test backend, files
// with a chosen region layout, patterned page contents, tree roots whose
// checksum covers their page, and a backend that traces every call and lets a
// test look at the file just before each sync.
//
// Thread safety: Observer is mutex-guarded; the rest are plain functions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/src/tree_store/page_store/backends.h"
#include "storage/src/tree_store/page_store/layout.h"
#include "storage/src/tree_store/page_store/page_manager.h"

namespace storage::test {

inline constexpr size_t kTestPageSize = 4096;
inline constexpr size_t kTestCacheBytes = size_t{16} << 20;

struct StoreOptions {
  bool allow_initialize = true;
  bool read_only = false;
  size_t page_size = kTestPageSize;
  std::optional<uint64_t> region_size;
  size_t cache_bytes = kTestCacheBytes;
};

using Store = std::shared_ptr<TransactionalMemory>;

Result<Store, DatabaseError> open_store(std::unique_ptr<StorageBackend> backend,
                                        const StoreOptions& options = {});

// A database file image with `layout`, both slots empty at transaction 0, slot 0
// primary, and the given flag bits set besides.
std::vector<uint8_t> file_with_layout(const DatabaseLayout& layout, bool two_phase = true,
                                      bool recovery_required = false);

// Marks pages [start, start + count) of a region allocated, in aligned blocks.
void mark_range(TransactionalMemory& mem, uint32_t region, uint32_t start, uint32_t count);

// Fills a page with bytes derived from `seed`; checks them.
void fill_page(PageMut& page, uint64_t seed);
bool page_holds(std::span<const uint8_t> bytes, uint64_t seed);
// A root whose checksum is the page's XXH3-128 and whose length is `length`.
BtreeHeader root_of(const PageView& page, uint64_t length);
// Whether the page the root names still has the checksum the root records.
bool root_verifies(const TransactionalMemory& mem, const BtreeHeader& root);

// Records every backend call ("W <offset> <len>", "S", "L <len>", "R", "C") and
// runs an optional hook just before each sync reaches the inner backend.
class Observer {
 public:
  void record(std::string entry);
  std::vector<std::string> trace() const;
  void clear();
  std::function<void()> before_sync;

 private:
  mutable std::mutex mu_;
  std::vector<std::string> trace_;
};

class ObservedBackend final : public StorageBackend {
 public:
  ObservedBackend(std::unique_ptr<StorageBackend> inner, std::shared_ptr<Observer> observer)
      : inner_(std::move(inner)), observer_(std::move(observer)) {}

  std::string debug() const override { return "ObservedBackend { " + inner_->debug() + " }"; }
  Result<uint64_t, IoError> len() const override { return inner_->len(); }
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override;
  Result<void, IoError> set_len(uint64_t len) const override;
  Result<void, IoError> sync_data() const override;
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override;
  Result<void, IoError> close() const override;

 private:
  std::unique_ptr<StorageBackend> inner_;
  std::shared_ptr<Observer> observer_;
};

}  // namespace storage::test

// Stand-ins for the page handles and the page allocator, for testing page code
// on its own: pages are reference-counted byte buffers pre-filled with garbage,
// so a test sees every byte a builder forgets to write.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_store/base.h"

namespace storage {
inline void PrintTo(const StorageError& e, std::ostream* os) { *os << e.debug(); }
}  // namespace storage

namespace storage::testing {

inline constexpr uint8_t kGarbage = 0xCC;

// A page: shared bytes and an address. Copies share the bytes.
struct FakePage {
  std::shared_ptr<std::vector<uint8_t>> bytes;
  PageNumber number;

  static FakePage of(std::vector<uint8_t> b, PageNumber n = PageNumber()) {
    return FakePage{std::make_shared<std::vector<uint8_t>>(std::move(b)), n};
  }
  std::span<const uint8_t> memory() const { return *bytes; }
  std::span<uint8_t> memory_mut() { return *bytes; }
  PageNumber get_page_number() const { return number; }
};

struct FakeTracker {};

// The shared bytes of a freed page: any reference-counted owner and a view.
struct FakeSharedBytes {
  std::shared_ptr<const void> owner;
  std::span<const uint8_t> view;
  std::span<const uint8_t> bytes() const { return view; }
};

// Allocates runs of 2^order pages, each at least the requested size; fails every
// allocation after `fail_after` successful ones when that is set.
struct FakeAllocator {
  size_t page_size = 4096;
  std::optional<size_t> fail_after;
  std::vector<size_t> requested;
  std::vector<FakePage> allocated;

  size_t get_page_size() const { return page_size; }
  Result<FakePage, StorageError> allocate(size_t len, const FakeTracker&) {
    requested.push_back(len);
    if (fail_after && allocated.size() >= *fail_after) {
      return Err{StorageError::Io(IoError::other("no space"))};
    }
    uint8_t order = 0;
    while ((page_size << order) < len) ++order;
    FakePage page = FakePage::of(std::vector<uint8_t>(page_size << order, kGarbage),
                                 PageNumber(0, static_cast<uint32_t>(allocated.size()), order));
    allocated.push_back(page);
    return page;
  }
};

}  // namespace storage::testing

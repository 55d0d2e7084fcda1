// FastHasher64: the hash of every hash map and set keyed by a file offset or a
// PageNumber. One multiplication and one rotation; no seed, so equal keys hash
// equally in every map of every thread.
//
// Thread safety: stateless.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <unordered_set>

#include "storage/src/tree_store/page_store/base.h"

namespace storage {

struct FastHasher64 {
  static constexpr uint64_t hash(uint64_t key) {
    return std::rotl(key * 0xf1357aea2e62a9c5ULL, 26);
  }
  size_t operator()(uint64_t key) const noexcept { return static_cast<size_t>(hash(key)); }
  // A page number hashes as its stored u64 form.
  size_t operator()(const PageNumber& page) const noexcept {
    return static_cast<size_t>(hash(page.packed()));
  }
};

using PageNumberSet = std::unordered_set<PageNumber, FastHasher64>;

}  // namespace storage

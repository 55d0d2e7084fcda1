#include "storage/src/transactions/page_census.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string>
#include <utility>

#include "storage/src/system_types.h"
#include "storage/src/transactions/page_lists.h"
#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_mutator.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/tree_store/table_definition.h"

namespace storage {

namespace {

// Damage stops the walk where it lies; anything else is the caller's.
Result<void, StorageError> unless_corrupted(const StorageError& error) {
  if (error.is(StorageError::Kind::kCorrupted)) return {};
  return Err{error};
}

struct NamedTable {
  std::string name;
  InternalTableDefinition definition;
};

// Calls `use` with every entry of a leaf; damage skips the entry, or the
// leaf when its header does not read.
Result<void, StorageError> for_each_entry(
    ByteView leaf, PageNumber page, std::optional<size_t> fixed_key_width,
    const std::function<Result<void, StorageError>(const LeafEntry&)>& use) {
  auto accessor = LeafAccessor::create(leaf, page, fixed_key_width, std::nullopt);
  if (!accessor.ok()) return unless_corrupted(accessor.error());
  for (size_t i = 0; i < accessor->num_pairs(); ++i) {
    auto entry = accessor->entry(i);
    if (!entry.ok()) {
      TRY(unless_corrupted(entry.error()));
      continue;
    }
    if (entry.value()) TRY(use(*entry.value()));
  }
  return {};
}

bool is_page_list(const NamedTable& table) {
  if (table.name != kDataPagesUnreachable && table.name != kSystemPagesUnreachable) return false;
  return table.definition
      .check_match<TransactionIdWithPagination, PageList>(TableKind::kNormal, table.name)
      .ok();
}

}  // namespace

// Walks one tree at a time, adding every page it reaches to the census.
class PageCensus::Walker {
 public:
  // Gets every leaf of a tree whose leaves are read; returns only
  // non-corruption failures.
  using LeafReader = std::function<Result<void, StorageError>(ByteView leaf, PageNumber page)>;

  explicit Walker(PageCensus& census) : census_(census) {}

  Result<void, StorageError> tree(uint32_t user, PageNumber root,
                                  std::optional<size_t> fixed_key_width,
                                  const LeafReader* leaves) {
    user_ = user;
    fixed_key_width_ = fixed_key_width;
    leaves_ = leaves;
    leaf_depth_.reset();
    branches_.clear();
    return visit(root, 0);
  }

 private:
  Result<void, StorageError> visit(PageNumber page_number, size_t depth) {
    census_.add(page_number, user_);
    // Below the first leaf's depth lie only leaves, known by their number.
    if (leaves_ == nullptr && leaf_depth_ && depth >= *leaf_depth_) return {};
    auto read = census_.mem_->read_page_uncached(page_number);
    if (!read.ok()) return unless_corrupted(read.error());
    const std::vector<uint8_t> page = std::move(read).value();
    const ByteView bytes(page);
    if (bytes.empty()) return {};
    if (bytes[0] == kLeafPageType) {
      if (!leaf_depth_) leaf_depth_ = depth;
      if (leaves_ != nullptr) return (*leaves_)(bytes, page_number);
      return {};
    }
    // Descents stop at these too: nothing past them is reached.
    if (bytes[0] != kBranchPageType || depth + 1 >= kMaxTreeDepth) return {};
    // Counted again above, so the check reports the shared page; walked once.
    if (!branches_.insert(page_number).second) return {};
    auto accessor = BranchAccessor::create(bytes, page_number, fixed_key_width_);
    if (!accessor.ok()) return unless_corrupted(accessor.error());
    const size_t children = accessor->count_children();
    size_t i = 0;
    // The first child tells the leaf depth when it is not known yet.
    if (!leaf_depth_) TRY(visit(accessor->child_page(i++), depth + 1));
    if (leaves_ == nullptr && leaf_depth_ && depth + 1 >= *leaf_depth_) {
      // Leaves below: known by their numbers alone (most of a tree's pages).
      for (; i < children; ++i) census_.add(accessor->child_page(i), user_);
      return {};
    }
    // Branches below: their reads may overlap.
    std::vector<PageNumber> rest;
    rest.reserve(children - i);
    for (size_t j = i; j < children; ++j) rest.push_back(accessor->child_page(j));
    census_.mem_->prefetch_pages(rest);
    for (PageNumber child : rest) TRY(visit(child, depth + 1));
    return {};
  }

  PageCensus& census_;
  uint32_t user_ = 0;
  std::optional<size_t> fixed_key_width_;
  const LeafReader* leaves_ = nullptr;
  std::optional<size_t> leaf_depth_;
  PageNumberSet branches_;
};

uint32_t PageCensus::add_user(std::string name) {
  users_.push_back(std::move(name));
  return static_cast<uint32_t>(users_.size() - 1);
}

std::string PageCensus::describe(const Use& use) const {
  return "page " + use.page.debug() + " of " + users_[use.user];
}

Result<PageCensus, StorageError> PageCensus::of_newest_commit(
    const std::shared_ptr<TransactionalMemory>& mem) {
  PageCensus census(mem);
  Walker walker(census);

  // A directory's leaves hold the definitions of its tables.
  auto walk_directory = [&](std::optional<BtreeHeader> root, const std::string& user)
      -> Result<std::vector<NamedTable>, StorageError> {
    std::vector<NamedTable> tables;
    if (!root) return tables;
    const Walker::LeafReader read_definitions = [&](ByteView leaf,
                                                    PageNumber page) -> Result<void, StorageError> {
      return for_each_entry(leaf, page, std::nullopt,
                            [&](const LeafEntry& entry) -> Result<void, StorageError> {
                              auto definition = InternalTableDefinition::from_bytes(entry.value);
                              if (!definition.ok()) return unless_corrupted(definition.error());
                              tables.push_back(
                                  NamedTable{std::string(entry.key.begin(), entry.key.end()),
                                             std::move(definition).value()});
                              return {};
                            });
    };
    TRY(walker.tree(census.add_user(user), root->root, std::nullopt, &read_definitions));
    return tables;
  };

  auto walk_table = [&](const NamedTable& table, const std::string& user,
                        const Walker::LeafReader* leaves) -> Result<void, StorageError> {
    const std::optional<BtreeHeader> root = table.definition.table_root();
    if (!root) return {};
    const uint32_t id = census.add_user(user);
    if (table.definition.table_kind() == TableKind::kMultimap) {
      // Its leaves name subtrees: walked in full.
      auto walked = table.definition.visit_all_pages(
          mem, PageReadHint::kMayBeDirty,
          [&](std::span<const PageNumber> path) -> Result<void, StorageError> {
            census.add(path.back(), id);
            return {};
          });
      if (!walked.ok()) return unless_corrupted(walked.error());
      return {};
    }
    return walker.tree(id, root->root, table.definition.fixed_key_width(), leaves);
  };

  TRY_ASSIGN(std::vector<NamedTable> data_tables,
             walk_directory(mem->get_data_root(), "the data directory"));
  for (const NamedTable& table : data_tables) {
    TRY(walk_table(table, "table '" + table.name + "'", nullptr));
  }

  TRY_ASSIGN(std::vector<NamedTable> system_tables,
             walk_directory(mem->get_system_root(), "the system directory"));
  for (const NamedTable& table : system_tables) {
    if (!is_page_list(table)) {
      TRY(walk_table(table, "system table '" + table.name + "'", nullptr));
      continue;
    }
    // A listed page stays allocated until the freed-page processing releases it.
    const uint32_t listed = census.add_user("the list '" + table.name + "'");
    const Walker::LeafReader read_list = [&](ByteView leaf,
                                             PageNumber page) -> Result<void, StorageError> {
      return for_each_entry(leaf, page, TransactionIdWithPagination::kWidth,
                            [&](const LeafEntry& entry) -> Result<void, StorageError> {
                              auto pages = read_page_list(entry.value);
                              if (!pages.ok()) return unless_corrupted(pages.error());
                              for (PageNumber p : pages.value()) census.add(p, listed);
                              return {};
                            });
    };
    TRY(walk_table(table, "system table '" + table.name + "'", &read_list));
  }
  return census;
}

namespace {

// One bit per page of a region, in 64-bit words.
class PageBits {
 public:
  explicit PageBits(uint32_t pages, bool set) : words_((pages + 63) / 64, set ? ~uint64_t{0} : 0) {}

  bool get(uint32_t page) const { return (words_[page / 64] >> (page % 64)) & 1; }
  void assign(uint32_t start, uint32_t end, bool value) {
    for (uint32_t p = start; p < end; ++p) {
      if (value) {
        words_[p / 64] |= uint64_t{1} << (p % 64);
      } else {
        words_[p / 64] &= ~(uint64_t{1} << (p % 64));
      }
    }
  }
  // Whether every page of [start, end) is `value`.
  bool all(uint32_t start, uint32_t end, bool value) const {
    for (uint32_t p = start; p < end; ++p) {
      if (get(p) != value) return false;
    }
    return true;
  }

 private:
  std::vector<uint64_t> words_;
};

// The pages a region's allocator holds allocated: all but those of its free
// blocks (a block of order k is free when its entry in the order-k bitmap is
// clear; the loaded images were checked to hold no page in two free blocks).
PageBits allocated_pages(const BuddyAllocator& buddy) {
  PageBits out(buddy.len(), true);
  for (uint8_t order = 0; order <= buddy.max_order(); ++order) {
    const BtreeBitmap& blocks = buddy.order_bitmap(order);
    const U64GroupedBitmap& entries = blocks.level(blocks.height() - 1);
    for (size_t w = 0; w < entries.num_words(); ++w) {
      // Bits beyond the length are set, so only free blocks come out here.
      for (uint64_t clear = ~entries.word(w); clear != 0; clear &= clear - 1) {
        const uint64_t block = w * 64 + static_cast<uint64_t>(std::countr_zero(clear));
        const uint64_t start = block << order;
        const uint64_t end = std::min<uint64_t>((block + 1) << order, buddy.len());
        if (start < end) {
          out.assign(static_cast<uint32_t>(start), static_cast<uint32_t>(end), false);
        }
      }
    }
  }
  return out;
}

}  // namespace

std::optional<std::string> PageCensus::conflict_with(const Allocators& allocators,
                                                     const DatabaseLayout& layout) const {
  const std::vector<BuddyAllocator>& buddies = allocators.buddies();
  const uint32_t regions = std::min<uint32_t>(layout.num_regions(),
                                              static_cast<uint32_t>(buddies.size()));
  std::vector<PageBits> allocated;
  std::vector<PageBits> used;
  for (uint32_t r = 0; r < regions; ++r) {
    allocated.push_back(allocated_pages(buddies[r]));
    used.emplace_back(buddies[r].len(), false);
  }
  for (const Use& use : uses_) {
    const PageNumber& p = use.page;
    if (p.region >= regions) {
      return describe(use) + " lies outside the file's " + std::to_string(regions) + " regions";
    }
    const uint32_t pages = buddies[p.region].len();
    const uint64_t start = uint64_t{p.page_index} << std::min<uint8_t>(p.page_order, 32);
    const uint64_t end = (uint64_t{p.page_index} + 1) << std::min<uint8_t>(p.page_order, 32);
    if (p.page_order > kMaxPageOrder || end > pages) {
      return describe(use) + " lies outside its region of " + std::to_string(pages) + " pages";
    }
    const auto s = static_cast<uint32_t>(start);
    const auto e = static_cast<uint32_t>(end);
    if (!allocated[p.region].all(s, e, true)) {
      return describe(use) + " is free in the allocator state";
    }
    if (!used[p.region].all(s, e, false)) {
      // The first use it overlaps, for the report.
      for (const Use& other : uses_) {
        if (&other == &use) break;
        if (other.page.region != p.region) continue;
        const uint64_t other_start = uint64_t{other.page.page_index} << other.page.page_order;
        const uint64_t other_end = (uint64_t{other.page.page_index} + 1)
                                   << other.page.page_order;
        if (other_start < end && start < other_end) {
          return describe(use) + " overlaps " + describe(other);
        }
      }
      return describe(use) + " overlaps an earlier use";
    }
    used[p.region].assign(s, e, true);
  }
  return std::nullopt;
}

Result<std::optional<std::string>, StorageError> check_loaded_allocator_state(
    const std::shared_ptr<TransactionalMemory>& mem) {
  TRY_ASSIGN(PageCensus census, PageCensus::of_newest_commit(mem));
  return mem->with_allocators([&](const Allocators& allocators, const DatabaseLayout& layout) {
    return census.conflict_with(allocators, layout);
  });
}

}  // namespace storage

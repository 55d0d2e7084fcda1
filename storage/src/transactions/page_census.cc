#include "storage/src/transactions/page_census.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <exception>
#include <limits>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "storage/src/system_types.h"
#include "storage/src/transactions/page_lists.h"
#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_mutator.h"
#include "storage/src/tree_store/multimap_tree.h"
#include "storage/src/tree_store/page_store/buddy_allocator.h"
#include "storage/src/tree_store/page_store/region.h"
#include "storage/src/tree_store/table_definition.h"

namespace storage {

namespace {

// One bit per page of a region, in 64-bit words.
class PageBits {
 public:
  PageBits(uint32_t pages, bool set) : words_((size_t{pages} + 63) / 64, set ? ~uint64_t{0} : 0) {}

  // Sets (or clears) every bit of [start, end).
  void assign(uint32_t start, uint32_t end, bool value) {
    for_words(start, end, [&](uint64_t& word, uint64_t mask) {
      word = value ? word | mask : word & ~mask;
      return true;
    });
  }
  bool all_set(uint32_t start, uint32_t end) const {
    return const_cast<PageBits*>(this)->for_words(
        start, end, [](uint64_t& word, uint64_t mask) { return (word & mask) == mask; });
  }
  bool any_set(uint32_t start, uint32_t end) const {
    return !const_cast<PageBits*>(this)->for_words(
        start, end, [](uint64_t& word, uint64_t mask) { return (word & mask) == 0; });
  }

 private:
  // Calls `f(word, mask)` for each word [start, end) touches, while it
  // returns true; whether every call did.
  template <typename F>
  bool for_words(uint32_t start, uint32_t end, F&& f) {
    for (uint32_t at = start; at < end;) {
      const uint32_t bit = at % 64;
      const uint32_t n = std::min<uint32_t>(64 - bit, end - at);
      const uint64_t mask = (n == 64 ? ~uint64_t{0} : ((uint64_t{1} << n) - 1)) << bit;
      if (!f(words_[at / 64], mask)) return false;
      at += n;
    }
    return true;
  }

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

// What the loaded allocators hold allocated, per region.
struct AllocatedState {
  std::vector<uint32_t> region_pages;
  std::vector<PageBits> allocated;
};

AllocatedState snapshot(const Allocators& allocators, const DatabaseLayout& layout) {
  const std::vector<BuddyAllocator>& buddies = allocators.buddies();
  const uint32_t regions =
      std::min<uint32_t>(layout.num_regions(), static_cast<uint32_t>(buddies.size()));
  AllocatedState out;
  for (uint32_t r = 0; r < regions; ++r) {
    out.region_pages.push_back(buddies[r].len());
    out.allocated.push_back(allocated_pages(buddies[r]));
  }
  return out;
}

bool is_page_list(std::string_view name, const InternalTableDefinition& definition) {
  if (name != kDataPagesUnreachable && name != kSystemPagesUnreachable) return false;
  return definition
      .check_match<TransactionIdWithPagination, PageList>(TableKind::kNormal, std::string(name))
      .ok();
}

constexpr uint8_t kUnknownDepth = std::numeric_limits<uint8_t>::max();
// The bytes of a round held at once: a round is read and walked a chunk at a
// time, so that memory follows this, not the number of tables.
constexpr size_t kChunkBytes = size_t{1} << 20;
constexpr size_t kChunkPages = 2048;
constexpr unsigned kMaxReaders = 4;
// What is read first of a page of a tree whose leaves name nothing: of a
// leaf only the type byte counts, and a branch of few children ends well
// within it; a branch that does not is read again in full. Most of the cost
// of a read the system has cached is the copy.
constexpr size_t kHeadBytes = 128;
static_assert(kMaxTreeDepth < kUnknownDepth);

// One census walk of the newest commit. The naming walk is the same walk
// again, watching for the first use of one page run before a given count.
class CensusWalk {
 public:
  // A page found in use twice: the run and the count at which it was met.
  struct Overlap {
    PageNumber page;
    std::string user;
    uint64_t ordinal = 0;
  };

  CensusWalk(const std::shared_ptr<TransactionalMemory>& mem, const AllocatedState& state,
             const CensusOptions& options, const Overlap* naming)
      : mem_(mem), state_(state), options_(options), naming_(naming) {
    for (uint32_t pages : state_.region_pages) seen_.emplace_back(pages, false);
  }

  Result<void, StorageError> run();

  // The first reason not to trust the state: its text, or a page used twice
  // whose earlier user the naming walk finds.
  const std::optional<std::string>& problem() const { return problem_; }
  const std::optional<Overlap>& overlap() const { return overlap_; }
  // For the naming walk: the first earlier use of the run.
  const std::optional<std::string>& named() const { return named_; }

 private:
  // What the leaves of a tree hold that the census follows.
  enum class Leaves : uint8_t { kNothing, kDefinitions, kPageList, kSubtreeRoots };

  // A user of pages: a directory, a table, the subtrees of a multimap table,
  // the pages a list names.
  struct Owner {
    std::string name;
    Leaves leaves = Leaves::kNothing;
    bool system = false;  // for kDefinitions: the system directory
    std::optional<size_t> key_width;
    std::optional<size_t> value_width;
    // kPageList: the owner of the listed pages; kSubtreeRoots: of the subtrees.
    uint32_t next = 0;
  };
  // One tree being walked. Trees whose leaves are all read know no depths.
  struct Tree {
    uint32_t owner = 0;
    // The depth of the leftmost leaf, once read.
    uint8_t leaf_depth = kUnknownDepth;
    // Levels 0 .. branch_levels - 1 are branches (their leftmost page is).
    uint8_t branch_levels = 0;
  };
  struct Item {
    PageNumber page;
    uint32_t tree = 0;
    uint8_t depth = 0;
    bool leftmost = false;
  };

  bool reads_all_leaves(const Tree& tree) const {
    return owners_[tree.owner].leaves != Leaves::kNothing;
  }
  uint32_t add_owner(Owner owner) {
    owners_.push_back(std::move(owner));
    return static_cast<uint32_t>(owners_.size() - 1);
  }
  std::string describe(PageNumber page, uint32_t owner) const {
    return "page " + page.debug() + " of " + owners_[owner].name;
  }
  void distrust(std::string why) {
    if (!problem_ && !overlap_) problem_ = std::move(why);
  }

  // Counts a use of `page` by `owner`; true when the walk may follow it (a
  // page in the file, met for the first time).
  bool count(PageNumber page, uint32_t owner);
  // Starts a tree at `root`, for the next round.
  void start_tree(PageNumber root, uint32_t owner);
  // How far the read of a chunk's page got.
  enum class Status : uint8_t { kUnread, kRead, kFailed };
  // Reads the chunk's unread pages into buffer_ (only those in the system's
  // cache when `only_if_cached`), its slices on several threads when large.
  void read_chunk(std::span<const Item> chunk, bool only_if_cached);
  void read_slice(std::span<const Item> chunk, size_t begin, size_t end, bool only_if_cached);
  // Runs `read(begin, end)` over slices of [0, n), joined before it returns.
  template <typename F>
  void in_slices(size_t n, const F& read);
  Result<void, StorageError> walk(const Item& item, size_t index);
  // The bytes of `item` read into the chunk.
  size_t read_len(const Item& item) const {
    const size_t len = size_t{mem_->get_page_size()} << item.page.page_order;
    return reads_all_leaves(trees_[item.tree]) ? len : std::min(len, kHeadBytes);
  }
  void read_branch(const Item& item, ByteView bytes);
  void read_leaf(const Item& item, ByteView bytes);
  void add_table(std::string name, const InternalTableDefinition& definition, bool system);

  std::shared_ptr<TransactionalMemory> mem_;
  const AllocatedState& state_;
  const CensusOptions& options_;
  const Overlap* naming_;
  // The chunk being read: its bytes, where each page's start, how far each got.
  std::vector<uint8_t> buffer_;
  std::vector<size_t> at_;
  std::vector<Status> status_;
  std::vector<std::optional<StorageError>> errors_;
  std::vector<PageBits> seen_;
  std::vector<Owner> owners_;
  std::vector<Tree> trees_;
  // Pages to read in the next round; pages of a level not yet known to be
  // branches or leaves.
  std::vector<Item> next_;
  std::vector<Item> parked_;
  uint64_t ordinal_ = 0;
  std::optional<std::string> problem_;
  std::optional<Overlap> overlap_;
  std::optional<std::string> named_;
};

bool CensusWalk::count(PageNumber page, uint32_t owner) {
  ++ordinal_;
  const uint32_t regions = static_cast<uint32_t>(state_.region_pages.size());
  if (page.region >= regions) {
    distrust(describe(page, owner) + " lies outside the file's " + std::to_string(regions) +
             " regions");
    return false;
  }
  const uint32_t pages = state_.region_pages[page.region];
  const uint64_t start = uint64_t{page.page_index} << std::min<uint8_t>(page.page_order, 32);
  const uint64_t end = (uint64_t{page.page_index} + 1) << std::min<uint8_t>(page.page_order, 32);
  if (page.page_order > kMaxPageOrder || end > pages) {
    distrust(describe(page, owner) + " lies outside its region of " + std::to_string(pages) +
             " pages");
    return false;
  }
  const auto s = static_cast<uint32_t>(start);
  const auto e = static_cast<uint32_t>(end);
  PageBits& seen = seen_[page.region];
  if (naming_ != nullptr && !named_ && ordinal_ < naming_->ordinal &&
      page.region == naming_->page.region) {
    const uint64_t order = naming_->page.page_order;
    const uint64_t target_start = uint64_t{naming_->page.page_index} << order;
    const uint64_t target_end = (uint64_t{naming_->page.page_index} + 1) << order;
    if (start < target_end && target_start < end) named_ = describe(page, owner);
  }
  if (!state_.allocated[page.region].all_set(s, e)) {
    distrust(describe(page, owner) + " is free in the allocator state");
  }
  if (seen.any_set(s, e)) {
    if (!problem_ && !overlap_) overlap_ = Overlap{page, describe(page, owner), ordinal_};
    return false;
  }
  seen.assign(s, e, true);
  return true;
}

void CensusWalk::start_tree(PageNumber root, uint32_t owner) {
  if (!count(root, owner)) return;
  trees_.push_back(Tree{owner});
  next_.push_back(Item{root, static_cast<uint32_t>(trees_.size() - 1), 0, true});
}

void CensusWalk::add_table(std::string name, const InternalTableDefinition& definition,
                           bool system) {
  const std::optional<BtreeHeader> root = definition.table_root();
  if (!root) return;
  const std::string user = (system ? "system table '" : "table '") + name + "'";
  Owner table{user, Leaves::kNothing, false, definition.fixed_key_width(),
              definition.fixed_value_width()};
  if (definition.table_kind() == TableKind::kMultimap) {
    // Its leaves name subtrees, trees of the collection's values.
    table.leaves = Leaves::kSubtreeRoots;
    table.value_width = std::nullopt;
    table.next = add_owner(Owner{"a subtree of " + user, Leaves::kNothing, false,
                                 definition.fixed_value_width(), 0});
  } else if (system && is_page_list(name, definition)) {
    // A listed page stays allocated until the freed-page processing releases it.
    table.leaves = Leaves::kPageList;
    table.value_width = std::nullopt;
    table.next = add_owner(Owner{"the list '" + name + "'"});
  }
  start_tree(root->root, add_owner(std::move(table)));
}

template <typename F>
void CensusWalk::in_slices(size_t n, const F& read) {
  unsigned readers = options_.readers != 0
                         ? options_.readers
                         : std::min(kMaxReaders, std::max(1u, std::thread::hardware_concurrency()));
  const size_t per_reader = std::max<size_t>(1, options_.min_pages_per_reader);
  readers = static_cast<unsigned>(std::min<size_t>(readers, std::max<size_t>(1, n / per_reader)));
  if (readers <= 1) {
    read(size_t{0}, n);
    return;
  }
  const auto bound = [&](unsigned k) { return n * k / readers; };
  std::vector<std::exception_ptr> failures(readers);
  std::vector<unsigned> refused;
  {
    // jthreads: joined as they go out of scope, on every path.
    std::vector<std::jthread> helpers;
    helpers.reserve(readers - 1);
    for (unsigned k = 1; k < readers; ++k) {
      if (options_.refuse_thread && options_.refuse_thread()) {
        refused.push_back(k);
        continue;
      }
      try {
        helpers.emplace_back([&, k] {
          try {
            read(bound(k), bound(k + 1));
          } catch (...) {
            failures[k] = std::current_exception();
          }
        });
      } catch (const std::system_error&) {
        refused.push_back(k);  // the opener reads that slice itself
      }
    }
    try {
      read(bound(0), bound(1));
      for (unsigned k : refused) read(bound(k), bound(k + 1));
    } catch (...) {
      failures[0] = std::current_exception();
    }
  }
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

void CensusWalk::read_slice(std::span<const Item> chunk, size_t begin, size_t end,
                            bool only_if_cached) {
  for (size_t i = begin; i < end; ++i) {
    if (status_[i] != Status::kUnread) continue;
    const std::span<uint8_t> out(buffer_.data() + at_[i], read_len(chunk[i]));
    auto read = mem_->read_page_uncached_into(chunk[i].page, out, only_if_cached);
    if (!read.ok()) {
      status_[i] = Status::kFailed;
      errors_[i] = std::move(read).error();
    } else if (read.value()) {
      status_[i] = Status::kRead;
    }
  }
}

void CensusWalk::read_chunk(std::span<const Item> chunk, bool only_if_cached) {
  in_slices(chunk.size(), [&](size_t begin, size_t end) {
    read_slice(chunk, begin, end, only_if_cached);
  });
}

Result<void, StorageError> CensusWalk::walk(const Item& item, size_t index) {
  const uint32_t owner = trees_[item.tree].owner;
  if (status_[index] != Status::kRead) {
    StorageError error = std::move(*errors_[index]);
    if (!error.is(StorageError::Kind::kCorrupted)) return Err{std::move(error)};
    distrust(describe(item.page, owner) + " cannot be read: " + error.to_string());
    return {};
  }
  ByteView bytes(buffer_.data() + at_[index], read_len(item));
  std::vector<uint8_t> full;
  const size_t len = size_t{mem_->get_page_size()} << item.page.page_order;
  if (bytes.size() < len && bytes[0] == kBranchPageType &&
      !BranchAccessor::create(bytes, item.page, owners_[owner].key_width).ok()) {
    // Its children lie beyond the head read (the checks only bound offsets by
    // the length, so what the head gives the whole page gives too).
    auto read = mem_->read_page_uncached(item.page);
    if (!read.ok()) {
      if (!read.error().is(StorageError::Kind::kCorrupted)) return Err{std::move(read).error()};
      distrust(describe(item.page, owner) + " cannot be read: " + read.error().to_string());
      return {};
    }
    full = std::move(read).value();
    bytes = ByteView(full);
  }
  if (!bytes.empty() && bytes[0] == kLeafPageType) {
    read_leaf(item, bytes);
  } else if (!bytes.empty() && bytes[0] == kBranchPageType) {
    read_branch(item, bytes);
  } else {
    distrust(describe(item.page, owner) + " is not a tree page" +
             (bytes.empty() ? std::string() : " (type " + std::to_string(bytes[0]) + ")"));
  }
  return {};
}

void CensusWalk::read_branch(const Item& item, ByteView bytes) {
  Tree& tree = trees_[item.tree];
  const uint32_t owner = tree.owner;
  if (size_t{item.depth} + 1 >= kMaxTreeDepth) {
    distrust(describe(item.page, owner) + " lies deeper than any tree reaches");
    return;
  }
  auto accessor = BranchAccessor::create(bytes, item.page, owners_[owner].key_width);
  if (!accessor.ok()) {
    distrust(describe(item.page, owner) + " cannot be read: " + accessor.error().to_string());
    return;
  }
  const bool all_leaves = reads_all_leaves(tree);
  if (item.leftmost) tree.branch_levels = static_cast<uint8_t>(item.depth + 1);
  const auto depth = static_cast<uint8_t>(item.depth + 1);
  for (size_t i = 0; i < accessor->count_children(); ++i) {
    const PageNumber child = accessor->child_page(i);
    if (!count(child, owner)) continue;
    const bool leftmost = item.leftmost && i == 0;
    // Below the first leaf's depth lie only leaves, known by their numbers.
    if (!all_leaves && !leftmost && tree.leaf_depth == depth) continue;
    if (all_leaves || leftmost || tree.branch_levels > depth) {
      next_.push_back(Item{child, item.tree, depth, leftmost});
    } else {
      parked_.push_back(Item{child, item.tree, depth, false});
    }
  }
}

void CensusWalk::read_leaf(const Item& item, ByteView bytes) {
  Tree& tree = trees_[item.tree];
  const Owner& owner = owners_[tree.owner];
  if (owner.leaves == Leaves::kNothing) {
    if (item.leftmost) {
      tree.leaf_depth = item.depth;
    } else {
      // Its level's leftmost page is a branch.
      distrust(describe(item.page, tree.owner) + " is a leaf among branches");
    }
    return;
  }
  auto accessor = LeafAccessor::create(bytes, item.page, owner.key_width, owner.value_width);
  if (!accessor.ok()) {
    distrust(describe(item.page, tree.owner) + " cannot be read: " +
             accessor.error().to_string());
    return;
  }
  const uint32_t owner_index = tree.owner;
  for (size_t i = 0; i < accessor->num_pairs(); ++i) {
    auto entry = accessor->entry(i);
    if (!entry.ok()) {
      distrust(describe(item.page, owner_index) + " cannot be read: " + entry.error().to_string());
      continue;
    }
    const LeafEntry& e = *entry.value();
    // owners_ grows below: no reference into it is held across these.
    const Owner& o = owners_[owner_index];
    switch (o.leaves) {
      case Leaves::kDefinitions: {
        auto definition = InternalTableDefinition::from_bytes(e.value);
        if (!definition.ok()) {
          distrust("a table definition on " + describe(item.page, owner_index) +
                   " cannot be read: " + definition.error().to_string());
          continue;
        }
        add_table(std::string(e.key.begin(), e.key.end()), definition.value(), o.system);
        break;
      }
      case Leaves::kPageList: {
        auto pages = read_page_list(e.value);
        if (!pages.ok()) {
          distrust("a page list on " + describe(item.page, owner_index) +
                   " cannot be read: " + pages.error().to_string());
          continue;
        }
        const uint32_t listed = o.next;
        for (PageNumber p : pages.value()) count(p, listed);
        break;
      }
      case Leaves::kSubtreeRoots: {
        auto subtree = DynamicCollection::subtree_of(e.value);
        if (!subtree.ok()) {
          distrust("a value on " + describe(item.page, owner_index) +
                   " cannot be followed: " + subtree.error().to_string());
          continue;
        }
        if (subtree.value()) start_tree(subtree.value()->root, o.next);
        break;
      }
      case Leaves::kNothing:
        break;
    }
  }
}

Result<void, StorageError> CensusWalk::run() {
  const std::optional<BtreeHeader> data_root = mem_->get_data_root();
  const std::optional<BtreeHeader> system_root = mem_->get_system_root();
  const uint32_t data = add_owner(Owner{"the data directory", Leaves::kDefinitions, false});
  const uint32_t system = add_owner(Owner{"the system directory", Leaves::kDefinitions, true});
  if (data_root) start_tree(data_root->root, data);
  if (system_root) start_tree(system_root->root, system);
  std::vector<Item> round;
  std::vector<PageNumber> announced_pages;
  while (!next_.empty()) {
    round.swap(next_);
    next_.clear();
    // In file order: neighbouring pages are read together.
    std::sort(round.begin(), round.end(), [](const Item& a, const Item& b) {
      return std::pair(a.page.region, a.page.page_index) <
             std::pair(b.page.region, b.page.page_index);
    });
    // Pages the system holds in its cache are read at once; the first chunk
    // that meets one it does not hold announces the rest of the round, so
    // that their reads overlap, and a warm file is announced nothing.
    bool announced = false;
    for (size_t begin = 0; begin < round.size();) {
      at_.clear();
      size_t bytes = 0;
      size_t end = begin;
      for (; end < round.size(); ++end) {
        const size_t len = read_len(round[end]);
        if (end > begin && (bytes + len > kChunkBytes || end - begin == kChunkPages)) break;
        at_.push_back(bytes);
        bytes += len;
      }
      if (buffer_.size() < bytes) buffer_.resize(bytes);
      const std::span<const Item> chunk(round.data() + begin, end - begin);
      status_.assign(chunk.size(), Status::kUnread);
      errors_.assign(chunk.size(), std::nullopt);
      if (!announced) {
        read_chunk(chunk, /*only_if_cached=*/true);
        if (std::find(status_.begin(), status_.end(), Status::kUnread) != status_.end()) {
          announced = true;
          announced_pages.clear();
          for (size_t i = 0; i < chunk.size(); ++i) {
            if (status_[i] == Status::kUnread) announced_pages.push_back(chunk[i].page);
          }
          for (size_t i = end; i < round.size(); ++i) announced_pages.push_back(round[i].page);
          // An announcement submits its reads before it returns: a large one
          // is split over the readers as reads are.
          const std::span<const PageNumber> all(announced_pages);
          in_slices(all.size(), [&](size_t from, size_t to) {
            mem_->prefetch_pages(all.subspan(from, to - from));
          });
        }
      }
      if (announced) read_chunk(chunk, /*only_if_cached=*/false);
      for (size_t i = 0; i < chunk.size(); ++i) TRY(walk(chunk[i], i));
      begin = end;
    }
    // The pages whose level this round told.
    std::erase_if(parked_, [&](const Item& item) {
      const Tree& tree = trees_[item.tree];
      if (tree.leaf_depth == item.depth) return true;
      if (tree.branch_levels > item.depth) {
        next_.push_back(item);
        return true;
      }
      return false;
    });
  }
  // What stays parked lies below a page that could not be read (distrusted).
  return {};
}

}  // namespace

Result<std::optional<std::string>, StorageError> check_loaded_allocator_state(
    const std::shared_ptr<TransactionalMemory>& mem, const CensusOptions& options) {
  // Nothing else uses the page store during the open, so the allocators stay
  // as read here while the census runs.
  const AllocatedState state =
      mem->with_allocators([](const Allocators& allocators, const DatabaseLayout& layout) {
        return snapshot(allocators, layout);
      });
  std::optional<CensusWalk::Overlap> overlap;
  {
    CensusWalk census(mem, state, options, nullptr);
    TRY(census.run());
    if (census.problem()) return census.problem();
    if (!census.overlap()) return std::optional<std::string>();
    overlap = census.overlap();
  }
  // Walked again to name the page's earlier user.
  CensusWalk naming(mem, state, options, &*overlap);
  TRY(naming.run());
  return std::optional<std::string>(overlap->user + " overlaps " +
                                    naming.named().value_or("an earlier use"));
}

}  // namespace storage

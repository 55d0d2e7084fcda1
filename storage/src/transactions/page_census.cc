#include "storage/src/transactions/page_census.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cxxabi.h>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "storage/src/panic.h"
#include "storage/src/system_types.h"
#include "storage/src/transactions/page_lists.h"
#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_mutator.h"
#include "storage/src/tree_store/multimap_tree.h"
#include "storage/src/tree_store/page_store/buddy_allocator.h"
#include "storage/src/tree_store/page_store/page_buffer.h"
#include "storage/src/tree_store/page_store/region.h"
#include "storage/src/tree_store/table_definition.h"

namespace storage {

namespace {

// One bit per page of a region, in 64-bit words.
class PageBits {
 public:
  PageBits(uint32_t pages, bool set) : words_((size_t{pages} + 63) / 64, set ? ~uint64_t{0} : 0) {}

  bool test(uint32_t page) const { return (words_[page / 64] >> (page % 64)) & 1; }
  void set(uint32_t page) { words_[page / 64] |= uint64_t{1} << (page % 64); }

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

// The threads that help one census read: started when a round first asks
// for them and joined when the census ends, on every path. They run the tasks
// the opener posts (reads and announcements of slices of a round), taken in
// the order posted; the opener runs posted tasks too while it waits for a
// group of them, so a task is never left without a thread. Tasks only read or
// announce pages through the backend, never Python.
//
// Thread safety: ask_for, post and wait are the opener's; the queue and the
// groups' counts are guarded by the mutex. A group's task is called on several
// threads at once.
class CensusHelpers {
 public:
  // `count` calls of one task, task(0) .. task(count - 1), waited for
  // together; the first failure among them is kept.
  struct Group {
    std::function<void(size_t)> task;
    size_t count = 0;
    size_t next = 0;  // the next call to start
    size_t pending = 0;  // calls not yet ended
    std::exception_ptr failure;
  };

  CensusHelpers() = default;
  CensusHelpers(const CensusHelpers&) = delete;
  CensusHelpers& operator=(const CensusHelpers&) = delete;
  ~CensusHelpers() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
      queue_.clear();
    }
    work_.notify_all();
    threads_.clear();  // joins; a call under way ends first
  }

  // Asks for threads until `count` have been asked for in all; one that
  // `refuse` or the system refuses is not asked for again (the opener runs
  // its share).
  void ask_for(unsigned count, const std::function<bool()>& refuse) {
    for (; asked_ < count; ++asked_) {
      if (refuse && refuse()) continue;
      try {
        threads_.emplace_back([this] { serve(); });
      } catch (const std::system_error&) {
      }
    }
  }
  size_t threads() const { return threads_.size(); }

  // Queues `count` calls of `task` as `group`, which has none pending.
  void post(Group& group, size_t count, std::function<void(size_t)> task) {
    if (count == 0) return;
    size_t wake = 0;
    bool wake_all = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      STORAGE_ASSERT(group.pending == 0);
      group.task = std::move(task);
      group.count = count;
      group.next = 0;
      group.pending = count;
      queue_.push_back(&group);
      // Waking a thread is a system call: only threads asleep, and no more
      // than the calls they may run.
      wake = std::min<size_t>(idle_, count);
      wake_all = wake == idle_;
    }
    if (wake == 0) return;
    if (wake_all) {
      work_.notify_all();
    } else {
      for (size_t i = 0; i < wake; ++i) work_.notify_one();
    }
  }

  // Runs calls of `group` until none is pending (the opener takes no other
  // group's calls: its own work waits for this group); rethrows its first
  // failure.
  void wait(Group& group) {
    std::unique_lock<std::mutex> lock(mu_);
    while (group.pending > 0) {
      if (group.next < group.count) {
        run_next(lock, group);
      } else {
        waiting_ = true;
        done_.wait(lock);
        waiting_ = false;
      }
    }
    if (group.failure) std::rethrow_exception(std::exchange(group.failure, nullptr));
  }

 private:
  void serve() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      ++idle_;
      work_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      --idle_;
      if (stopping_) return;
      run_next(lock, *queue_.front());
    }
  }
  // Runs the next call of `group`, a queued group, without the lock.
  void run_next(std::unique_lock<std::mutex>& lock, Group& queued) {
    Group* group = &queued;
    const size_t index = group->next++;
    if (group->next == group->count) std::erase(queue_, group);
    lock.unlock();
    std::exception_ptr failure;
    try {
      group->task(index);
    } catch (abi::__forced_unwind&) {
      throw;  // a thread being ended must unwind
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    if (failure && !group->failure) group->failure = failure;
    if (--group->pending == 0 && waiting_) done_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable work_;  // a group posted, or the end
  std::condition_variable done_;  // a group's last call ended
  std::deque<Group*> queue_;
  bool stopping_ = false;
  unsigned idle_ = 0;  // threads waiting for work
  bool waiting_ = false;  // the opener waits for a group
  unsigned asked_ = 0;
  std::vector<std::jthread> threads_;
};

constexpr uint8_t kUnknownDepth = std::numeric_limits<uint8_t>::max();
// The bytes of a round held at once: a round is read and walked a chunk at a
// time, so that memory follows this, not the number of tables.
constexpr size_t kChunkBytes = size_t{256} << 10;
constexpr size_t kChunkPages = 512;
// Chunks being read at once: the walk of one overlaps the reads of the next.
constexpr size_t kSlots = 8;
// The pages of a task; a chunk's reads are shared among the threads in such
// slices, small enough that all finish together.
constexpr size_t kSlicePages = 64;
// Pages of a round first read only if cached, to tell a warm file from one
// whose round must be announced.
constexpr size_t kProbePages = 16;
// A round is taken to be out of the cache when this share (one in so many)
// of a chunk's pages, or of the probed pages, is missing: pages under
// writeback, or a few the system let go, are announced alone.
constexpr size_t kMissingShare = 4;
constexpr unsigned kMaxReaders = 6;
// At most this many pages of the next round are read ahead while a round is
// walked (their heads are kept until that round is walked).
constexpr uint32_t kMaxReadAhead = 24 * 1024;
// The pages of one read-ahead task.
constexpr uint32_t kReadAheadBatch = 256;
constexpr uint32_t kNotReadAhead = std::numeric_limits<uint32_t>::max();
// What is read first of a page of a tree whose leaves name nothing: of a
// leaf only the type byte counts, and a branch of few children ends well
// within it; a branch that does not is read again in full. Most of the cost
// of a read the system has cached is the copy.
constexpr size_t kHeadBytes = 128;
// Bytes whose copy costs about one read of a head (the call itself).
constexpr size_t kWholePageCost = 1024;
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
  // the pages a list names. Its name is spelled out only for a report.
  enum class Role : uint8_t { kDirectory, kTable, kSubtrees, kList };
  struct Owner {
    Role role = Role::kDirectory;
    Leaves leaves = Leaves::kNothing;
    // The system directory, or a table of it (or that table's subtrees).
    bool system = false;
    std::optional<size_t> key_width;
    std::optional<size_t> value_width;
    // kPageList: the owner of the listed pages; kSubtreeRoots: of the subtrees.
    uint32_t next = 0;
    // The table's name, in names_ (all but directories).
    uint32_t name_at = 0;
    uint32_t name_len = 0;
  };
  // One tree being walked. Trees whose leaves are all read know no depths.
  struct Tree {
    uint32_t owner = 0;
    // The depth of the leftmost leaf, once read.
    uint8_t leaf_depth = kUnknownDepth;
    // Levels 0 .. branch_levels - 1 are branches (their leftmost page is).
    uint8_t branch_levels = 0;
    // A branch of it held more than a head: its later pages are read whole.
    bool wide = false;
  };
  struct Item {
    PageNumber page;
    uint32_t tree = 0;
    uint8_t depth = 0;
    bool leftmost = false;
    // Where its head was read ahead (ReadAhead), if it was.
    uint32_t ahead = kNotReadAhead;
  };

  bool reads_all_leaves(const Tree& tree) const {
    return owners_[tree.owner].leaves != Leaves::kNothing;
  }
  uint32_t add_owner(Owner owner) {
    owners_.push_back(std::move(owner));
    return static_cast<uint32_t>(owners_.size() - 1);
  }
  std::string name_of(uint32_t owner) const;
  std::string describe(PageNumber page, uint32_t owner) const {
    return "page " + page.debug() + " of " + name_of(owner);
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
  // A chunk of a round: its pages, read into its buffer, each at its offset.
  // Its memory is reused from chunk to chunk: fresh memory costs a fault per
  // page, more than the reads it holds.
  struct Slot {
    std::span<const Item> items;
    PageBuffer buffer;  // not zeroed: only read pages are looked at
    // Each page's bytes: in the buffer, or where they were read ahead, and
    // how many were read (fixed when the chunk is started: the readers never
    // look at the trees).
    std::vector<uint8_t*> at;
    std::vector<size_t> len;
    std::vector<Status> status;
    // The reads that failed (few): by index, guarded by errors_mutex.
    std::mutex errors_mutex;
    std::vector<std::pair<size_t, StorageError>> errors;
    CensusHelpers::Group reads;
  };
  // The threads that read, the opener among them, for a round of `pages`.
  unsigned readers_for(size_t pages) const;
  // Readies `slot` for `items` and queues its reads.
  void start_chunk(Slot& slot, std::span<const Item> items, CensusHelpers& helpers);
  // Reads the slot's unread pages [begin, end) (only those in the system's
  // cache while nothing of the round was announced).
  void read_slice(Slot& slot, size_t begin, size_t end, bool only_if_cached);
  // Whether the system holds the first pages of the round in its cache.
  bool round_looks_cached(std::span<const Item> round);
  // Announces `pages`, shared among the helpers.
  void announce(std::span<const Item> pages, CensusHelpers& helpers);
  Result<void, StorageError> walk(const Item& item, Slot& slot, size_t index);
  // The bytes of `item` read into its chunk.
  size_t read_len(const Item& item) const {
    const size_t len = size_t{mem_->get_page_size()} << item.page.page_order;
    const Tree& tree = trees_[item.tree];
    return reads_all_leaves(tree) || tree.wide ? len : std::min(len, kHeadBytes);
  }
  void read_branch(const Item& item, const BranchAccessor& accessor);
  void read_leaf(const Item& item, ByteView bytes);
  void add_table(std::string_view name, const InternalTableDefinition& definition, bool system);

  std::shared_ptr<TransactionalMemory> mem_;
  const AllocatedState& state_;
  const CensusOptions& options_;
  const Overlap* naming_;
  // The chunks being read, a ring; what the helpers write into outlives them.
  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
  // Heads of the next round's pages, read on the helpers while a round of a
  // warm file is walked, so that the next round's reads overlap this walk:
  // batches of kReadAheadBatch pages. Those of the round being read are
  // only read while it is.
  struct ReadAhead {
    std::vector<PageNumber> pages;
    PageBuffer heads;
    std::vector<uint8_t> read;  // 1 where a page's head was read
    CensusHelpers::Group reads;
  };
  // Queues `item` for the next round, read ahead when it may be.
  void queue_next(Item item);
  void post_read_ahead();
  CensusHelpers* helpers_ = nullptr;  // while run() runs
  std::vector<std::unique_ptr<ReadAhead>> ahead_next_;
  std::vector<std::unique_ptr<ReadAhead>> ahead_;
  // Batches no round uses any more, for reuse: fresh memory costs a fault
  // per page.
  std::vector<std::unique_ptr<ReadAhead>> ahead_free_;
  std::vector<PageNumber> ahead_pending_;
  uint32_t ahead_count_ = 0;
  // Set once a page of the round is announced: later reads wait for the
  // device rather than skip what the system does not hold.
  std::atomic<bool> announced_{false};
  std::vector<PageNumber> announced_pages_;
  std::vector<PageBits> seen_;
  std::vector<Owner> owners_;
  std::string names_;
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
  // One page (most are) is one bit.
  const bool one = e == s + 1;
  const PageBits& allocated = state_.allocated[page.region];
  if (!(one ? allocated.test(s) : allocated.all_set(s, e))) {
    distrust(describe(page, owner) + " is free in the allocator state");
  }
  if (one ? seen.test(s) : seen.any_set(s, e)) {
    if (!problem_ && !overlap_) overlap_ = Overlap{page, describe(page, owner), ordinal_};
    return false;
  }
  if (one) {
    seen.set(s);
  } else {
    seen.assign(s, e, true);
  }
  return true;
}

void CensusWalk::start_tree(PageNumber root, uint32_t owner) {
  if (!count(root, owner)) return;
  trees_.push_back(Tree{owner});
  queue_next(Item{root, static_cast<uint32_t>(trees_.size() - 1), 0, true});
}

std::string CensusWalk::name_of(uint32_t owner) const {
  const Owner& o = owners_[owner];
  if (o.role == Role::kDirectory) return o.system ? "the system directory" : "the data directory";
  const std::string name = "'" + names_.substr(o.name_at, o.name_len) + "'";
  if (o.role == Role::kList) return "the list " + name;
  const std::string table = (o.system ? "system table " : "table ") + name;
  return o.role == Role::kSubtrees ? "a subtree of " + table : table;
}

void CensusWalk::add_table(std::string_view name, const InternalTableDefinition& definition,
                           bool system) {
  const std::optional<BtreeHeader> root = definition.table_root();
  if (!root) return;
  Owner table{Role::kTable, Leaves::kNothing, system, definition.fixed_key_width(),
              definition.fixed_value_width()};
  constexpr size_t kMaxName = std::numeric_limits<uint32_t>::max();
  table.name_at = static_cast<uint32_t>(std::min(names_.size(), kMaxName));
  table.name_len = static_cast<uint32_t>(std::min(name.size(), kMaxName));
  names_.append(name.substr(0, table.name_len));
  if (definition.table_kind() == TableKind::kMultimap) {
    // Its leaves name subtrees, trees of the collection's values.
    table.leaves = Leaves::kSubtreeRoots;
    table.value_width = std::nullopt;
    Owner subtrees{Role::kSubtrees, Leaves::kNothing, system, definition.fixed_value_width(), 0};
    subtrees.name_at = table.name_at;
    subtrees.name_len = table.name_len;
    table.next = add_owner(subtrees);
  } else if (system && is_page_list(name, definition)) {
    // A listed page stays allocated until the freed-page processing releases it.
    table.leaves = Leaves::kPageList;
    table.value_width = std::nullopt;
    Owner list{Role::kList};
    list.name_at = table.name_at;
    list.name_len = table.name_len;
    table.next = add_owner(list);
  }
  start_tree(root->root, add_owner(table));
}

void CensusWalk::queue_next(Item item) {
  // Only while a warm round is read (a cold one is read in file order, after
  // its announcement), and only heads.
  if (helpers_ != nullptr && helpers_->threads() > 0 &&
      !announced_.load(std::memory_order_relaxed) && ahead_count_ < kMaxReadAhead &&
      read_len(item) <= kHeadBytes) {
    item.ahead = ahead_count_++;
    ahead_pending_.push_back(item.page);
    if (ahead_pending_.size() == kReadAheadBatch) post_read_ahead();
  }
  next_.push_back(item);
}

void CensusWalk::post_read_ahead() {
  if (ahead_pending_.empty()) return;
  std::unique_ptr<ReadAhead> batch;
  if (ahead_free_.empty()) {
    batch = std::make_unique<ReadAhead>();
    batch->heads = PageBuffer::uninitialized(kReadAheadBatch * kHeadBytes);
  } else {
    batch = std::move(ahead_free_.back());
    ahead_free_.pop_back();
  }
  batch->pages.swap(ahead_pending_);
  ahead_pending_.clear();
  batch->read.assign(batch->pages.size(), 0);
  ReadAhead* b = batch.get();
  ahead_next_.push_back(std::move(batch));
  helpers_->post(b->reads, 1, [this, b](size_t) {
    const size_t page_size = mem_->get_page_size();
    for (size_t i = 0; i < b->pages.size(); ++i) {
      const size_t len = std::min(page_size << std::min<uint8_t>(b->pages[i].page_order, 32),
                                  kHeadBytes);
      // Anything but a read from the cache is left to the round itself.
      auto read = mem_->read_page_uncached_into(
          b->pages[i], std::span<uint8_t>(b->heads.mutable_data() + i * kHeadBytes, len),
          /*only_if_cached=*/true);
      b->read[i] = read.ok() && read.value() ? 1 : 0;
    }
  });
}

unsigned CensusWalk::readers_for(size_t pages) const {
  const unsigned most =
      options_.readers != 0
          ? options_.readers
          : std::min(kMaxReaders, std::max(1u, std::thread::hardware_concurrency()));
  const size_t per_reader = std::max<size_t>(1, options_.min_pages_per_reader);
  return static_cast<unsigned>(std::clamp<size_t>(pages / per_reader, 1, most));
}

void CensusWalk::read_slice(Slot& slot, size_t begin, size_t end, bool only_if_cached) {
  for (size_t i = begin; i < end; ++i) {
    if (slot.status[i] != Status::kUnread) continue;
    const std::span<uint8_t> out(slot.at[i], slot.len[i]);
    auto read = mem_->read_page_uncached_into(slot.items[i].page, out, only_if_cached);
    if (!read.ok()) {
      slot.status[i] = Status::kFailed;
      std::lock_guard<std::mutex> lock(slot.errors_mutex);
      slot.errors.emplace_back(i, std::move(read).error());
    } else if (read.value()) {
      slot.status[i] = Status::kRead;
    }
  }
}

void CensusWalk::start_chunk(Slot& slot, std::span<const Item> items, CensusHelpers& helpers) {
  slot.items = items;
  slot.len.clear();
  size_t bytes = 0;
  for (const Item& item : items) {
    slot.len.push_back(read_len(item));
    bytes += slot.len.back();
  }
  if (slot.buffer.size() < bytes) slot.buffer = PageBuffer::uninitialized(bytes);
  slot.at.clear();
  bytes = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    slot.at.push_back(slot.buffer.mutable_data() + bytes);
    bytes += slot.len[i];
  }
  slot.status.assign(items.size(), Status::kUnread);
  slot.errors.clear();
  // Pages read ahead need no read: the chunk's reads are posted only for
  // the others.
  bool all_read = true;
  for (size_t i = 0; i < items.size(); ++i) {
    const uint32_t ahead = items[i].ahead;
    // (A page of a tree found wide since is read whole, not taken from its head.)
    if (ahead != kNotReadAhead && slot.len[i] <= kHeadBytes &&
        ahead_[ahead / kReadAheadBatch]->read[ahead % kReadAheadBatch]) {
      slot.at[i] = ahead_[ahead / kReadAheadBatch]->heads.mutable_data() +
                   (ahead % kReadAheadBatch) * kHeadBytes;
      slot.status[i] = Status::kRead;
    } else {
      all_read = false;
    }
  }
  if (all_read) return;
  const size_t slice = helpers.threads() == 0 ? items.size() : kSlicePages;
  helpers.post(slot.reads, (items.size() + slice - 1) / slice, [this, &slot, slice](size_t k) {
    read_slice(slot, k * slice, std::min(slot.items.size(), (k + 1) * slice),
               !announced_.load(std::memory_order_relaxed));
  });
}

bool CensusWalk::round_looks_cached(std::span<const Item> round) {
  std::vector<uint8_t> scratch;
  const std::span<const Item> probe = round.first(std::min(round.size(), kProbePages));
  size_t missing = 0;
  for (const Item& item : probe) {
    scratch.resize(read_len(item));
    auto read = mem_->read_page_uncached_into(item.page, scratch, /*only_if_cached=*/true);
    // A page number the file cannot hold is the walk's to report.
    if (read.ok() && !read.value()) ++missing;
  }
  return missing == 0 || missing < probe.size() / kMissingShare;
}

void CensusWalk::announce(std::span<const Item> pages, CensusHelpers& helpers) {
  announced_pages_.clear();
  for (const Item& item : pages) announced_pages_.push_back(item.page);
  // An announcement submits its reads before it returns: a large one is
  // shared among the threads as reads are.
  const std::span<const PageNumber> all(announced_pages_);
  const size_t parts = std::min<size_t>(helpers.threads() + 1, readers_for(all.size()));
  CensusHelpers::Group group;
  helpers.post(group, parts, [this, all, parts](size_t k) {
    const size_t from = all.size() * k / parts;
    mem_->prefetch_pages(all.subspan(from, all.size() * (k + 1) / parts - from));
  });
  helpers.wait(group);
  announced_.store(true, std::memory_order_relaxed);
}

Result<void, StorageError> CensusWalk::walk(const Item& item, Slot& slot, size_t index) {
  const uint32_t owner = trees_[item.tree].owner;
  if (slot.status[index] != Status::kRead) {
    auto failed = std::find_if(slot.errors.begin(), slot.errors.end(),
                               [&](const auto& e) { return e.first == index; });
    STORAGE_ASSERT(failed != slot.errors.end());
    StorageError error = std::move(failed->second);
    if (!error.is(StorageError::Kind::kCorrupted)) return Err{std::move(error)};
    distrust(describe(item.page, owner) + " cannot be read: " + error.to_string());
    return {};
  }
  ByteView bytes(slot.at[index], slot.len[index]);
  if (bytes.empty() || (bytes[0] != kLeafPageType && bytes[0] != kBranchPageType)) {
    distrust(describe(item.page, owner) + " is not a tree page" +
             (bytes.empty() ? std::string() : " (type " + std::to_string(bytes[0]) + ")"));
    return {};
  }
  if (bytes[0] == kLeafPageType) {
    read_leaf(item, bytes);
    return {};
  }
  if (size_t{item.depth} + 1 >= kMaxTreeDepth) {
    distrust(describe(item.page, owner) + " lies deeper than any tree reaches");
    return {};
  }
  const std::optional<size_t> key_width = owners_[owner].key_width;
  auto accessor = BranchAccessor::create(bytes, item.page, key_width);
  std::vector<uint8_t> full;
  const size_t len = size_t{mem_->get_page_size()} << item.page.page_order;
  if (!accessor.ok() && bytes.size() < len) {
    // Its children lie beyond the head read (the checks only bound offsets by
    // the length, so what the head gives the whole page gives too). Its
    // tree's later pages are read whole: they are likely as wide.
    trees_[item.tree].wide = true;
    auto read = mem_->read_page_uncached(item.page);
    if (!read.ok()) {
      if (!read.error().is(StorageError::Kind::kCorrupted)) return Err{std::move(read).error()};
      distrust(describe(item.page, owner) + " cannot be read: " + read.error().to_string());
      return {};
    }
    full = std::move(read).value();
    accessor = BranchAccessor::create(ByteView(full), item.page, key_width);
  }
  if (!accessor.ok()) {
    distrust(describe(item.page, owner) + " cannot be read: " + accessor.error().to_string());
    return {};
  }
  read_branch(item, accessor.value());
  return {};
}

void CensusWalk::read_branch(const Item& item, const BranchAccessor& accessor) {
  Tree& tree = trees_[item.tree];
  const uint32_t owner = tree.owner;
  const bool all_leaves = reads_all_leaves(tree);
  if (item.leftmost) tree.branch_levels = static_cast<uint8_t>(item.depth + 1);
  const auto depth = static_cast<uint8_t>(item.depth + 1);
  for (size_t i = 0; i < accessor.count_children(); ++i) {
    const PageNumber child = accessor.child_page(i);
    if (!count(child, owner)) continue;
    const bool leftmost = item.leftmost && i == 0;
    // Below the first leaf's depth lie only leaves, known by their numbers.
    if (!all_leaves && !leftmost && tree.leaf_depth == depth) continue;
    if (all_leaves || leftmost || tree.branch_levels > depth) {
      queue_next(Item{child, item.tree, depth, leftmost});
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
        add_table(std::string_view(reinterpret_cast<const char*>(e.key.data()), e.key.size()),
                  definition.value(), o.system);
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
  const uint32_t data = add_owner(Owner{Role::kDirectory, Leaves::kDefinitions, false});
  const uint32_t system = add_owner(Owner{Role::kDirectory, Leaves::kDefinitions, true});
  // Room for the tables the directories say they hold: growing these one
  // table at a time costs more than the walk. The count is read from the
  // file, so a damaged one reserves no more than a few MiB; beyond that the
  // vectors grow.
  const uint64_t tables = std::min<uint64_t>(
      (data_root ? data_root->length : 0) + (system_root ? system_root->length : 0),
      uint64_t{1} << 16);
  owners_.reserve(tables + 2);
  trees_.reserve(tables + 2);
  next_.reserve(tables + 2);
  std::vector<Item> round;
  std::vector<size_t> chunk_begins;
  // Last: its threads are joined before anything they read into goes.
  CensusHelpers helpers;
  helpers_ = &helpers;
  struct Forget {
    CensusHelpers*& helpers;
    ~Forget() { helpers = nullptr; }
  } forget{helpers_};
  if (data_root) start_tree(data_root->root, data);
  if (system_root) start_tree(system_root->root, system);
  while (!next_.empty()) {
    round.swap(next_);
    next_.clear();
    // What was read ahead of this round is the round's to use.
    post_read_ahead();
    for (const auto& batch : ahead_next_) helpers.wait(batch->reads);
    for (auto& batch : ahead_) ahead_free_.push_back(std::move(batch));
    ahead_.swap(ahead_next_);
    ahead_next_.clear();
    ahead_count_ = 0;
    // In file order: neighbouring pages are read together.
    std::sort(round.begin(), round.end(), [](const Item& a, const Item& b) {
      return std::pair(a.page.region, a.page.page_index) <
             std::pair(b.page.region, b.page.page_index);
    });
    // Threads are asked for once a round is large enough to share, and kept.
    // A whole page costs about as much to read as a few heads.
    size_t reads = 0;
    for (const Item& item : round) reads += 1 + read_len(item) / kWholePageCost;
    helpers.ask_for(readers_for(reads) - 1, options_.refuse_thread);
    // A round is read a chunk at a time, a few chunks ahead of the walk, so
    // that memory follows the chunk, not the number of tables.
    chunk_begins.assign(1, 0);
    for (size_t bytes = 0, i = 0; i < round.size(); ++i) {
      const size_t len = read_len(round[i]);
      if (i > chunk_begins.back() &&
          (bytes + len > kChunkBytes || i - chunk_begins.back() == kChunkPages)) {
        chunk_begins.push_back(i);
        bytes = 0;
      }
      bytes += len;
    }
    chunk_begins.push_back(round.size());
    const size_t chunks = chunk_begins.size() - 1;
    const auto chunk = [&](size_t k) {
      return std::span<const Item>(round).subspan(chunk_begins[k],
                                                  chunk_begins[k + 1] - chunk_begins[k]);
    };
    // Pages the system holds in its cache are read at once, without a word:
    // announcing a cached page costs about as much as reading it. A round
    // that does not start in the cache is announced whole, so that its reads
    // overlap; one that starts there is announced from the first chunk that
    // misses a good share of its pages on.
    announced_.store(false, std::memory_order_relaxed);
    if (!round_looks_cached(round)) announce(round, helpers);
    for (size_t k = 0; k < std::min(kSlots, chunks); ++k) {
      start_chunk(slots_[k % kSlots], chunk(k), helpers);
    }
    for (size_t k = 0; k < chunks; ++k) {
      Slot& slot = slots_[k % kSlots];
      helpers.wait(slot.reads);
      const size_t missing =
          static_cast<size_t>(std::count(slot.status.begin(), slot.status.end(), Status::kUnread));
      if (missing > 0) {
        if (!announced_.load(std::memory_order_relaxed)) {
          if (missing >= slot.items.size() / kMissingShare) {
            // The file is not (or no longer) in the cache: the rest of the round is announced.
            announce(std::span<const Item>(round).subspan(chunk_begins[k]), helpers);
          } else {
            // A few pages the system is writing back or has let go: those alone.
            announced_pages_.clear();
            for (size_t i = 0; i < slot.items.size(); ++i) {
              if (slot.status[i] == Status::kUnread) announced_pages_.push_back(slot.items[i].page);
            }
            mem_->prefetch_pages(announced_pages_);
          }
        }
        read_slice(slot, 0, slot.items.size(), /*only_if_cached=*/false);
      }
      for (size_t i = 0; i < slot.items.size(); ++i) TRY(walk(slot.items[i], slot, i));
      if (k + kSlots < chunks) start_chunk(slot, chunk(k + kSlots), helpers);
    }
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

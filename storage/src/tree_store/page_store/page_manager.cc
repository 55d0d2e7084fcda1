#include "storage/src/tree_store/page_store/page_manager.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <string>

namespace storage {
namespace {

constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value";
constexpr const char* kAllocatorsNotLoaded = "allocators have not been loaded yet";

// A page lent for writing whose bytes someone else holds.
StorageError held_elsewhere(const PageNumber& page) {
  return StorageError::Corrupted("Page " + page.debug() +
                                 " is lent for writing while it is in use elsewhere");
}

// Page-store mutexes: a lock whose holder panicked is a broken invariant.
template <typename T>
typename Mutex<T>::Guard lock_unwrap(Mutex<T>& mutex) {
  auto r = mutex.lock();
  if (!r.ok()) panic(kUnwrapErr);
  return std::move(r).value();
}

// Lends bytes 0..320 from the write buffer and fills them with the header.
Result<void, StorageError> write_header_bytes(const PagedCachedFile& storage,
                                              const DatabaseHeader& header, bool include_magic) {
  TRY_ASSIGN(WritablePage page, storage.write(0, kDbHeaderSize, /*overwrite=*/true));
  uint8_t* data = page.mutable_data_if_unique();
  if (data == nullptr) panic("called `Option::unwrap()` on a `None` value");
  const auto bytes = header.to_bytes(include_magic);
  std::memcpy(data, bytes.data(), bytes.size());
  return {};
}

// Writes the header of a new, empty file: first without the magic, then with
// it, each synced, so that a crash in between leaves a file that no open
// mistakes for a database.
Result<void, StorageError> initialize(const PagedCachedFile& storage, uint64_t page_size,
                                      uint64_t region_size) {
  const uint64_t tracker_bytes =
      RegionTracker(kInitialRegionTrackerCapacity, RegionTracker::kOrders).to_vec().size();
  const uint64_t tracker_room = (tracker_bytes + page_size - 1) / page_size * page_size;
  const uint64_t desired = std::max(10 * page_size, kMinDesiredUsableBytes) + tracker_room;
  const DatabaseLayout layout = DatabaseLayout::calculate(
      desired, static_cast<uint32_t>(region_size / page_size), 0,
      static_cast<uint32_t>(page_size));
  TRY_ASSIGN(const uint64_t len, storage.file_len());
  if (len < layout.len()) TRY(storage.resize(layout.len()));

  DatabaseHeader header(layout, TransactionHeader(std::nullopt, std::nullopt, TransactionId(0)));
  header.set_recovery_required(false);
  header.set_two_phase_commit(true);
  TRY(write_header_bytes(storage, header, /*include_magic=*/false));
  TRY(storage.flush());
  TRY(write_header_bytes(storage, header, /*include_magic=*/true));
  TRY(storage.flush());
  return {};
}

}  // namespace

uint8_t page_order_for(uint64_t size, uint64_t page_size) {
  const uint64_t pages = (size + page_size - 1) / page_size;
  if (pages <= 1) return 0;
  const int order = std::bit_width(pages - 1);
  if (order > kMaxPageOrder) {
    panic("assertion failed: order < self.order_trackers.len(): allocation of " +
          std::to_string(size) + " bytes needs order " + std::to_string(order));
  }
  return static_cast<uint8_t>(order);
}

AllocatorLayout allocator_layout_of(const DatabaseLayout& layout) {
  AllocatorLayout out;
  out.full_region_pages = layout.full_region_layout().num_pages();
  out.full_regions = layout.num_full_regions();
  const auto& trailing = layout.trailing_region_layout();
  out.trailing_region_pages = trailing ? trailing->num_pages() : 0;
  return out;
}

// ---- TransactionalMemory: open, repair state and close ---------------------------------

TransactionalMemory::TransactionalMemory(std::unique_ptr<PagedCachedFile> storage,
                                         DatabaseHeader header)
    : storage_(std::move(storage)),
      state_(InMemoryState{header, std::nullopt}),
      page_size_(header.page_size()),
      region_size_((uint64_t{header.region_header_pages()} + header.region_max_data_pages()) *
                   header.page_size()),
      region_header_size_(uint64_t{header.region_header_pages()} * header.page_size()),
      region_max_data_pages_(header.region_max_data_pages()),
      layout_len_(header.layout().len()) {}

Result<std::shared_ptr<TransactionalMemory>, DatabaseError> TransactionalMemory::open(
    std::unique_ptr<StorageBackend> backend, bool allow_initialize, size_t page_size,
    std::optional<uint64_t> requested_region_size, size_t cache_bytes, bool read_only) {
  if (!(std::has_single_bit(page_size) && page_size >= kDbHeaderSize &&
        page_size <= (size_t{1} << 31))) {
    panic("assertion failed: page_size.is_power_of_two() && page_size >= DB_HEADER_SIZE");
  }
  const uint64_t region_size = std::min<uint64_t>(
      uint64_t{page_size} << kMaxPageIndexBits, requested_region_size.value_or(kDefaultRegionSize));
  if (!std::has_single_bit(region_size)) panic("assertion failed: region_size.is_power_of_two()");

  auto storage = std::make_unique<PagedCachedFile>(std::move(backend), page_size, cache_bytes);
  TRY_ASSIGN(const uint64_t len, storage->file_len());
  if (len == 0 && allow_initialize) {
    TRY(initialize(*storage, page_size, region_size));
  } else {
    bool magic = false;
    if (len >= kMagicNumber.size()) {
      TRY_ASSIGN(const std::vector<uint8_t> bytes, storage->read_direct(0, kMagicNumber.size()));
      magic = std::equal(kMagicNumber.begin(), kMagicNumber.end(), bytes.begin());
    }
    // Never initialised, even when allowed: it holds something else.
    if (!magic) return Err{DatabaseError(StorageError::Io(IoError::other("invalid data")))};
  }

  TRY_ASSIGN(const std::vector<uint8_t> bytes, storage->read_direct(0, kDbHeaderSize));
  TRY_ASSIGN(UnrepairedDatabaseHeader unrepaired,
             UnrepairedDatabaseHeader::from_bytes(bytes, static_cast<uint32_t>(page_size)));
  TRY_ASSIGN(const uint64_t file_len, storage->file_len());
  const bool recovery = unrepaired.recovery_required(file_len);
  if (read_only && recovery) return Err{DatabaseError::RepairCancelled()};
  TRY_ASSIGN(DatabaseHeader header, std::move(unrepaired).finalize(file_len));
  if (recovery) {
    // The repaired geometry and primary slot reach the disk before anything else.
    TRY(write_header_bytes(*storage, header, /*include_magic=*/true));
    TRY(storage->flush());
  }
  if (header.layout().len() != file_len) {
    panic("assertion failed: header.layout().len() == file_len");
  }
  return std::shared_ptr<TransactionalMemory>(
      new TransactionalMemory(std::move(storage), std::move(header)));
}

Mutex<TransactionalMemory::InMemoryState>::Guard TransactionalMemory::lock_state() {
  return lock_unwrap(state_);
}

Result<void, StorageError> TransactionalMemory::write_header(const DatabaseHeader& header) const {
  return write_header_bytes(*storage_, header, /*include_magic=*/true);
}

Result<void, StorageError> TransactionalMemory::begin_writable() {
  auto state = lock_state();
  if (state->header.recovery_required()) {
    panic("assertion failed: !state.header.recovery_required");
  }
  state->header.set_recovery_required(true);
  TRY(write_header(state->header));
  TRY(storage_->flush());
  return {};
}

Result<void, StorageError> TransactionalMemory::clear_recovery_required() {
  auto state = lock_state();
  state->header.set_recovery_required(false);
  TRY(write_header(state->header));
  TRY(storage_->flush());
  return {};
}

void TransactionalMemory::repair_primary_corrupted() {
  auto state = lock_state();
  state->header.swap_primary_slot();
}

Result<void, StorageError> TransactionalMemory::reset_allocator_state() {
  auto state = lock_state();
  state->allocators.emplace(allocator_layout_of(state->header.layout()));
  return {};
}

Result<void, StorageError> TransactionalMemory::mark_page_allocated(PageNumber page) {
  auto state = lock_state();
  if (!state->allocators) panic(kAllocatorsNotLoaded);
  auto& buddies = state->allocators->buddies();
  if (page.region >= buddies.size()) {
    return Err{StorageError::Corrupted("Cannot mark page " + page.debug() +
                                       " allocated: the file has " +
                                       std::to_string(buddies.size()) + " regions")};
  }
  // Orders above the region's maximum and blocks outside it are Corrupted there.
  return buddies[page.region].record_alloc(page.page_index, page.page_order);
}

void TransactionalMemory::invalidate_allocator_state() {
  auto state = state_.lock_ignoring_poison();
  state->allocators.reset();
}

bool TransactionalMemory::allocator_state_loaded() {
  return lock_state()->allocators.has_value();
}

Result<void, StorageError> TransactionalMemory::install_allocators(
    RegionTracker tracker, std::vector<BuddyAllocator> buddies) {
  auto state = lock_state();
  TRY_ASSIGN(Allocators allocators,
             Allocators::from_parts(std::move(tracker), std::move(buddies),
                                    allocator_layout_of(state->header.layout())));
  state->allocators.emplace(std::move(allocators));
  state->header.set_recovery_required(false);
  return {};
}

void TransactionalMemory::invalidate_cache_all() const { storage_->invalidate_cache_all(); }

std::optional<BtreeHeader> TransactionalMemory::get_data_root() {
  auto state = lock_state();
  if (read_from_secondary_.load(std::memory_order_acquire)) {
    return state->header.secondary_slot().data_root;
  }
  return state->header.primary_slot().data_root;
}

std::optional<BtreeHeader> TransactionalMemory::get_system_root() {
  auto state = lock_state();
  if (read_from_secondary_.load(std::memory_order_acquire)) {
    return state->header.secondary_slot().system_root;
  }
  return state->header.primary_slot().system_root;
}

Result<TransactionId, StorageError> TransactionalMemory::get_last_committed_transaction_id() {
  TRY_ASSIGN(auto state, state_.lock_storage());
  if (read_from_secondary_.load(std::memory_order_acquire)) {
    return state->header.secondary_slot().transaction_id;
  }
  return state->header.primary_slot().transaction_id;
}

Result<TransactionId, StorageError> TransactionalMemory::get_last_durable_transaction_id() {
  TRY_ASSIGN(auto state, state_.lock_storage());
  return state->header.primary_slot().transaction_id;
}

bool TransactionalMemory::used_two_phase_commit() {
  return lock_state()->header.two_phase_commit();
}

Result<void, StorageError> TransactionalMemory::close() {
  std::optional<StorageError> failure;
  if (!storage_->io_failed() && std::uncaught_exceptions() == 0) {
    auto locked = state_.lock();
    if (!locked.ok()) {
      failure = StorageError::LockPoisoned();
    } else {
      auto state = std::move(locked).value();
      if (state->allocators) {
        // Everything written so far must be durable before the header says the
        // file is clean; a failure here leaves the recovery bit set and is the
        // caller's to know.
        auto written = [&]() -> Result<void, StorageError> {
          // A file left longer by a failed truncation would need a repair at
          // the next open; one more try, which may fail as before.
          if (truncation_pending_) {
            truncation_pending_ = !storage_->truncate(state->header.layout().len()).ok();
          }
          TRY(storage_->flush());
          state->header.set_recovery_required(false);
          TRY(write_header(state->header));
          TRY(storage_->flush());
          return {};
        }();
        if (!written.ok()) failure = std::move(written).error();
      }
    }
  }
  auto closed = storage_->close();
  if (failure) return Err{std::move(*failure)};
  return closed;
}

// ---- TransactionalMemory: pages ---------------------------------------------------------

uint64_t TransactionalMemory::page_offset(PageNumber page) const {
  return page_size_ + page.region * region_size_ + region_header_size_ +
         uint64_t{page.page_index} * (uint64_t{page_size_} << page.page_order);
}

Result<std::pair<uint64_t, size_t>, StorageError> TransactionalMemory::checked_address(
    const PageNumber& page) const {
  if (page.page_order > kMaxPageOrder) {
    return Err{StorageError::Corrupted("Page " + page.debug() + " has order " +
                                       std::to_string(page.page_order) + ", above the maximum " +
                                       std::to_string(kMaxPageOrder))};
  }
  using u128 = unsigned __int128;
  const u128 end_in_region = (u128{page.page_index} + 1) << page.page_order;
  const u128 end = u128{page_size_} + u128{page.region} * region_size_ + region_header_size_ +
                   (end_in_region * page_size_);
  const uint64_t layout_len = layout_len_.load(std::memory_order_acquire);
  if (end_in_region > region_max_data_pages_ || end > layout_len) {
    return Err{StorageError::Corrupted("Page " + page.debug() +
                                       " lies outside the file's region layout of " +
                                       std::to_string(layout_len) + " bytes")};
  }
  return std::pair<uint64_t, size_t>(page_offset(page), page_len(page));
}

Result<PageImpl, StorageError> TransactionalMemory::get_page(PageNumber page,
                                                             PageReadHint hint) const {
  TRY_ASSIGN(const auto address, checked_address(page));
  TRY_ASSIGN(PageBuffer bytes, storage_->read(address.first, address.second, hint));
  return PageImpl(std::move(bytes), page);
}

Result<std::vector<uint8_t>, StorageError> TransactionalMemory::read_page_uncached(
    PageNumber page) const {
  TRY_ASSIGN(const auto address, checked_address(page));
  return storage_->read_direct(address.first, address.second);
}

Result<bool, StorageError> TransactionalMemory::read_page_uncached_into(
    PageNumber page, std::span<uint8_t> out, bool only_if_cached) const {
  TRY_ASSIGN(const auto address, checked_address(page));
  STORAGE_ASSERT(out.size() <= address.second);
  if (only_if_cached) return storage_->read_direct_if_cached(address.first, out);
  TRY(storage_->read_direct_into(address.first, out));
  return true;
}

void TransactionalMemory::prefetch_pages(std::span<const PageNumber> pages) const {
  std::vector<std::pair<uint64_t, uint64_t>> runs;  // [start, end) in the file
  runs.reserve(pages.size());
  for (const PageNumber& page : pages) {
    auto address = checked_address(page);
    if (address.ok()) {
      runs.emplace_back(address.value().first, address.value().first + address.value().second);
    }
  }
  // Runs that touch, or lie no more than a few pages apart, are announced
  // together: a device reads a few pages more in one request far sooner than
  // it serves several requests, and the pages one level of many small trees
  // needs often lie a few apart (the next level's among them). The system
  // reads no more than its read-ahead window of one announcement, so a long
  // stretch is announced in pieces that fit the smallest common window.
  const uint64_t bridged = uint64_t{kMaxAnnouncedHolePages} * page_size_;
  std::sort(runs.begin(), runs.end());
  for (size_t i = 0; i < runs.size();) {
    const uint64_t start = runs[i].first;
    uint64_t end = runs[i].second;
    for (++i; i < runs.size() && runs[i].first <= end + bridged; ++i) {
      end = std::max(end, runs[i].second);
    }
    for (uint64_t at = start; at < end; at += kMaxAnnouncedBytes) {
      storage_->prefetch(at, std::min(end - at, kMaxAnnouncedBytes));
    }
  }
}

Result<PinnedPage, StorageError> TransactionalMemory::pin_page(const PageNumber& page,
                                                               PageReadHint hint) const {
  TRY_ASSIGN(const auto address, checked_address(page));
  TRY_ASSIGN(PinnedRun run, storage_->read_pinned(address.first, address.second, hint));
  return PinnedPage(std::move(run), page);
}

Result<PageMut, StorageError> TransactionalMemory::get_page_mut(PageNumber page) const {
  TRY_ASSIGN(const auto address, checked_address(page));
  TRY_ASSIGN(WritablePage lent,
             storage_->write(address.first, address.second, /*overwrite=*/false));
  // Only the write transaction's own pages are lent, and nothing else holds
  // them: another holder reached the page through a damaged page number.
  if (!lent.unique()) return Err{held_elsewhere(page)};
  return PageMut(std::move(lent), page);
}

// ---- TransactionalMemory: allocation and freeing ----------------------------------------

void TransactionalMemory::set_layout(InMemoryState& state, const DatabaseLayout& layout) {
  state.header.set_layout(layout);
  layout_len_.store(layout.len(), std::memory_order_release);
}

std::optional<PageNumber> TransactionalMemory::allocate_helper_retry(InMemoryState& state,
                                                                     uint8_t order, bool lowest) {
  if (!state.allocators) panic(kAllocatorsNotLoaded);
  Allocators& allocators = *state.allocators;
  while (true) {
    const std::optional<uint32_t> candidate = allocators.tracker().first_candidate(order);
    if (!candidate) return std::nullopt;
    const uint32_t region = *candidate;
    if (region >= allocators.buddies().size()) {
      panic("region " + std::to_string(region) + " has no allocator");
    }
    BuddyAllocator& buddy = allocators.buddies()[region];
    const std::optional<uint32_t> index = lowest ? buddy.alloc_lowest(order)
                                                 : buddy.alloc_inner(order);
    if (index) return PageNumber(region, *index, order);
    allocators.tracker().mark_exhausted(order, region);
  }
}

Result<void, StorageError> TransactionalMemory::grow(InMemoryState& state, uint8_t order) {
  const DatabaseHeader& h = state.header;
  const uint64_t p = page_size_;
  const uint64_t m = h.region_max_data_pages();
  const uint64_t f = h.full_regions();
  const uint64_t t = h.trailing_region_data_pages();
  const uint64_t request = p << order;
  uint64_t desired;
  if (f == 0) {
    desired = std::max(2 * t * p, t * p + 2 * request);
  } else if (t == 0) {
    desired = (f + 1) * m * p;
  } else if (2 * request >= (m - t) * p) {
    // The request would not fit twice into what the trailing region can still grow by.
    desired = (f + 2) * m * p;
  } else {
    desired = (f + 1) * m * p;
  }
  const DatabaseLayout layout = h.layout();
  const DatabaseLayout grown =
      DatabaseLayout::calculate(desired, h.region_max_data_pages(), h.region_header_pages(),
                                h.page_size());
  if (grown.len() < layout.len()) panic("assertion failed: new_layout.len() >= layout.len()");
  if (grown.num_regions() > kMaxRegions) {
    panic("assertion failed: the file would need more than " + std::to_string(kMaxRegions) +
          " regions");
  }
  // The new length is durable before any page in it is handed out.
  TRY(storage_->resize(grown.len()));
  truncation_pending_ = false;
  TRY(storage_->sync_data());
  state.allocators->resize_to(allocator_layout_of(grown));
  set_layout(state, grown);
  return {};
}

Result<PageMut, StorageError> TransactionalMemory::allocate_helper(size_t size, bool lowest) {
  const uint8_t order = page_order_for(size, page_size_);
  // A closed or failed store hands out no more pages, even from free space.
  TRY(storage_->check_io());
  auto state = lock_state();
  std::optional<PageNumber> page = allocate_helper_retry(*state, order, lowest);
  if (!page) {
    TRY(grow(*state, order));
    page = allocate_helper_retry(*state, order, lowest);
    if (!page) panic("no page of order " + std::to_string(order) + " after growing the file");
  }
  // Lent while still holding the state lock, so that no free of the same run
  // can slip in between.
  auto lent = storage_->write(page_offset(*page), page_len(*page), /*overwrite=*/true);
  if (!lent.ok()) {
    // The run stays out of the allocator's hands only while someone owns it.
    const uint8_t merged =
        state->allocators->buddies()[page->region].free_inner(page->page_index, order);
    state->allocators->tracker().mark_available(merged, page->region);
    return std::move(lent).take_err();
  }
  // Nobody reaches a free run, so nobody holds its bytes. A holder means that
  // damage made the allocators hold a page in use free: it stays allocated,
  // and no second owner overwrites it. The lent bytes go back unchanged.
  if (!lent.value().unique()) return Err{held_elsewhere(*page)};
  return PageMut(std::move(lent).value(), *page);
}

void TransactionalMemory::free_helper(PageNumber page, PageTracker& tracker) {
  tracker.remove(page);
  auto state = lock_state();
  if (!state->allocators) panic(kAllocatorsNotLoaded);
  auto& buddies = state->allocators->buddies();
  if (page.region >= buddies.size()) {
    panic("free of " + page.debug() + ": region " + std::to_string(page.region) +
          " has no allocator");
  }
  const uint8_t merged = buddies[page.region].free_inner(page.page_index, page.page_order);
  state->allocators->tracker().mark_available(merged, page.region);
  // The freed contents are never read again nor written. The buffered copy
  // goes first: a write-back writing it moves it to the read cache when done.
  const uint64_t offset = page_offset(page);
  storage_->cancel_pending_write(offset);
  storage_->invalidate_cache(offset, page_len(page));
}

// ---- TransactionalMemory: commit ----------------------------------------------------------

bool TransactionalMemory::trim(InMemoryState& state, TrimPolicy policy) {
  if (policy == TrimPolicy::kNever) return false;
  if (!state.allocators) panic(kAllocatorsNotLoaded);
  const auto& buddies = state.allocators->buddies();
  const BuddyAllocator& last = buddies.back();
  const uint32_t pages = last.len();
  const uint32_t free = last.trailing_free_pages();
  if (free == 0) return false;
  // Only a region that is not the file's only one may go entirely.
  const bool whole_region = buddies.size() >= 2 && free == pages;
  uint32_t give_back = 0;
  if (policy == TrimPolicy::kHalf) {
    if (free < pages / 2) return false;
    give_back = whole_region ? free : free / 2;
  } else {
    give_back = whole_region ? free : std::min(free, pages - 1);
  }
  if (give_back == 0) return false;
  DatabaseLayout layout = state.header.layout();
  const uint64_t old_len = layout.len();
  layout.reduce_last_region(give_back);
  state.allocators->resize_to(allocator_layout_of(layout));
  if (layout.len() > old_len) panic("assertion failed: new_layout.len() <= layout.len()");
  set_layout(state, layout);
  return true;
}

Result<void, StorageError> TransactionalMemory::commit(std::optional<BtreeHeader> data_root,
                                                       std::optional<BtreeHeader> system_root,
                                                       TransactionId transaction_id,
                                                       bool two_phase, TrimPolicy trim_policy) {
  TRY(storage_->check_io());
  std::optional<DatabaseHeader> header;
  bool trimmed = false;
  TransactionId secondary_before;
  {
    auto state = lock_state();
    trimmed = trim(*state, trim_policy);
    header.emplace(state->header);
    secondary_before = state->header.secondary_slot().transaction_id;
  }

  header->secondary_slot_mut() = TransactionHeader(data_root, system_root, transaction_id);
  TRY(write_header(*header));
  if (two_phase) {
    // The new commit is durable in the secondary slot; the primary still names
    // the previous one.
    TRY(storage_->flush());
  }
  header->swap_primary_slot();
  header->set_two_phase_commit(two_phase);
  TRY(write_header(*header));
  TRY(storage_->flush());

  // Durable: from here on the commit has happened, whatever else fails.
  auto pages = lock_unwrap(unpersisted_pages_);
  PageNumberSet().swap(*pages);
  lock_unwrap(unpersisted_allocations_)->clear();
  lock_unwrap(unpersisted_allocation_txn_)->clear();
  auto state = lock_state();
  if (state->header.secondary_slot().transaction_id != secondary_before) {
    panic("assertion failed: the secondary slot changed during a commit: " +
          secondary_before.debug() + " != " +
          state->header.secondary_slot().transaction_id.debug());
  }
  state->header = std::move(*header);
  read_from_secondary_.store(false, std::memory_order_release);
  if (trimmed || truncation_pending_) {
    // Under the state lock, so that no growth of the file slips in between.
    truncation_pending_ = !storage_->truncate(state->header.layout().len()).ok();
  }
  return {};
}

Result<void, StorageError> TransactionalMemory::non_durable_commit(
    std::optional<BtreeHeader> data_root, std::optional<BtreeHeader> system_root,
    TransactionId transaction_id, PageNumberSet allocated_pages) {
  TRY(storage_->check_io());
  {
    auto pages = lock_unwrap(unpersisted_pages_);
    pages->insert(allocated_pages.begin(), allocated_pages.end());
  }
  TRY(storage_->flush_write_buffer());
  auto state = lock_state();
  state->header.secondary_slot_mut() = TransactionHeader(data_root, system_root, transaction_id);
  read_from_secondary_.store(true, std::memory_order_release);
  return {};
}

void TransactionalMemory::record_unpersisted_allocations(TransactionId transaction_id,
                                                         const std::vector<PageNumber>& pages) {
  if (pages.empty()) return;
  auto allocations = lock_unwrap(unpersisted_allocations_);
  auto owners = lock_unwrap(unpersisted_allocation_txn_);
  PageNumberSet& filed = (*allocations)[transaction_id];
  for (const PageNumber& page : pages) {
    if (filed.insert(page).second) (*owners)[page] = transaction_id;
  }
}

bool TransactionalMemory::unpersisted(PageNumber page) {
  return lock_unwrap(unpersisted_pages_)->contains(page);
}

bool TransactionalMemory::free_if_unpersisted(PageNumber page, PageTracker& tracker) {
  if (lock_unwrap(unpersisted_pages_)->erase(page) == 0) return false;
  std::optional<TransactionId> owner;
  {
    auto owners = lock_unwrap(unpersisted_allocation_txn_);
    auto it = owners->find(page);
    if (it != owners->end()) {
      owner = it->second;
      owners->erase(it);
    }
  }
  if (owner) {
    auto allocations = lock_unwrap(unpersisted_allocations_);
    auto it = allocations->find(*owner);
    if (it == allocations->end()) panic("unpersisted_allocation_txn points to a missing entry");
    it->second.erase(page);
    if (it->second.empty()) allocations->erase(it);
  }
  free_helper(page, tracker);
  return true;
}

UnpersistedAllocations TransactionalMemory::take_unpersisted_allocations() {
  lock_unwrap(unpersisted_allocation_txn_)->clear();
  UnpersistedAllocations out;
  out.swap(*lock_unwrap(unpersisted_allocations_));
  return out;
}

// ---- UncommittedPages -----------------------------------------------------------------------

Mutex<FlatPageNumberSet>::Guard UncommittedPages::shard(PageNumber page) const {
  return lock_unwrap(shards_[page.page_index % kShards].pages);
}

bool UncommittedPages::insert(PageNumber page) { return shard(page)->insert(page); }

bool UncommittedPages::remove(PageNumber page) { return shard(page)->erase(page); }

bool UncommittedPages::contains(PageNumber page) const { return shard(page)->contains(page); }

PageNumberSet UncommittedPages::take_all() {
  PageNumberSet out;
  for (Shard& s : shards_) {
    FlatPageNumberSet taken;
    std::swap(taken, *lock_unwrap(s.pages));
    out.reserve(out.size() + taken.size());
    taken.for_each([&](PageNumber page) { out.insert(page); });
  }
  return out;
}

// ---- PageAllocator --------------------------------------------------------------------------

PageAllocator::PageAllocator(std::shared_ptr<TransactionalMemory> mem, AllocationPolicy policy)
    : mem_(std::move(mem)), uncommitted_(std::make_shared<UncommittedPages>()), policy_(policy) {}

Result<PageMut, StorageError> PageAllocator::allocate(size_t size, PageTracker& tracker) const {
  TRY_ASSIGN(PageMut page, mem_->allocate_helper(size, policy_ == AllocationPolicy::kLowest));
  tracker.insert(page.get_page_number());
  if (!uncommitted_->insert(page.get_page_number())) {
    panic("assertion failed: self.shard(page).lock().unwrap().insert(page)");
  }
  return page;
}

void PageAllocator::free(PageNumber page, PageTracker& tracker) const {
  (void)uncommitted_->remove(page);
  mem_->free_helper(page, tracker);
}

void PageAllocator::conditional_free(PageNumber page, PageTracker& tracker,
                                     std::vector<PageNumber>& freed) const {
  if (uncommitted_->remove(page)) {
    mem_->free_helper(page, tracker);
  } else {
    freed.push_back(page);
  }
}

bool PageAllocator::free_if_uncommitted(PageNumber page, PageTracker& tracker) const {
  if (!uncommitted_->remove(page)) return false;
  mem_->free_helper(page, tracker);
  return true;
}

void PageAllocator::rollback_all() const {
  for (const PageNumber& page : take_allocated_since_commit()) {
    auto tracker = PageTracker::create_disabled();
    mem_->free_helper(page, *tracker);
  }
}

}  // namespace storage

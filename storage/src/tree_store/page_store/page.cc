#include "storage/src/tree_store/page_store/page.h"

#include "storage/src/panic.h"

namespace storage {

std::span<uint8_t> PageMut::memory_mut() {
  uint8_t* data = mem_.mutable_data_if_unique();
  if (data == nullptr) panic("called `Option::unwrap()` on a `None` value");
  return {data, mem_.mem().size()};
}

std::shared_ptr<PageTracker> PageTracker::create_recording() {
  return std::shared_ptr<PageTracker>(new PageTracker(Recording{}, true));
}

std::shared_ptr<PageTracker> PageTracker::create_disabled() {
  return std::shared_ptr<PageTracker>(new PageTracker(NotRecording{}, false));
}

Mutex<PageTracker::Policy>::Guard PageTracker::lock_or_unwrap_panic() const {
  auto r = policy_.lock();
  if (!r.ok()) panic("called `Result::unwrap()` on an `Err` value");
  return std::move(r).value();
}

void PageTracker::insert(PageNumber page) {
  if (!enabled_.load(std::memory_order_relaxed)) return;
  auto guard = lock_or_unwrap_panic();
  if (auto* rec = std::get_if<Recording>(&*guard)) {
    if (!rec->pages.insert(page).second) panic("assertion failed: x.insert(page)");
  } else if (std::holds_alternative<Closed>(*guard)) {
    panic("Page tracker is closed");
  }
}

void PageTracker::remove(PageNumber page) {
  if (!enabled_.load(std::memory_order_relaxed)) return;
  auto guard = lock_or_unwrap_panic();
  if (auto* rec = std::get_if<Recording>(&*guard)) {
    if (rec->pages.erase(page) == 0) panic("assertion failed: x.remove(&page)");
  } else if (std::holds_alternative<Closed>(*guard)) {
    panic("Page tracker is closed");
  }
}

Result<PageNumberSet, StorageError> PageTracker::close() {
  // Enabled, so that any later insert or remove reaches the closed state.
  enabled_.store(true, std::memory_order_relaxed);
  TRY_ASSIGN(auto guard, policy_.lock_storage());
  if (std::holds_alternative<Closed>(*guard)) panic("Page tracker is closed");
  PageNumberSet out;
  if (auto* rec = std::get_if<Recording>(&*guard)) out = std::move(rec->pages);
  *guard = Closed{};
  return out;
}

PageNumberSet PageTracker::close_ignoring_poison() noexcept {
  enabled_.store(true, std::memory_order_relaxed);
  auto guard = policy_.lock_ignoring_poison();
  PageNumberSet out;
  if (auto* rec = std::get_if<Recording>(&*guard)) out = std::move(rec->pages);
  *guard = Closed{};
  return out;
}

bool PageTracker::is_closed() const noexcept {
  auto guard = policy_.lock_ignoring_poison();
  return std::holds_alternative<Closed>(*guard);
}

void PageTracker::disable() {
  {
    auto guard = lock_or_unwrap_panic();
    *guard = NotRecording{};
  }
  enabled_.store(false, std::memory_order_relaxed);
}

bool PageTracker::is_empty() const {
  auto guard = lock_or_unwrap_panic();
  if (const auto* rec = std::get_if<Recording>(&*guard)) return rec->pages.empty();
  return true;
}

}  // namespace storage

// Page allocation throughput: one million order-0 pages allocated in a file
// that starts small and grows, then all freed again, through the buddy
// allocator alone and through the region tracker and allocators as the page
// store drives them. Baseline: an ordered set of free page numbers (lowest
// first), the naive model the tests check the allocators against.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "storage/src/tree_store/page_store/buddy_allocator.h"
#include "storage/src/tree_store/page_store/region.h"

namespace {

using storage::AllocatorLayout;
using storage::Allocators;
using storage::BuddyAllocator;

constexpr uint32_t kPages = 1'000'000;
constexpr uint32_t kRegionPages = uint32_t{1} << 20;
constexpr uint32_t kInitialPages = 257;  // a new file's single trailing region
constexpr int kRounds = 3;

struct Figures {
  double alloc_ns = 1e30;
  double free_ns = 1e30;
  uint64_t sink = 0;
};

double ns_per_page(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::nano>(d).count() / kPages;
}

// Runs `alloc` (returning a page) kPages times, then `free` over the pages in
// `order` (a permutation of 0..kPages-1); keeps the best of kRounds.
template <typename State>
Figures measure(const std::function<State()>& make,
                const std::function<uint32_t(State&)>& alloc,
                const std::function<void(State&, uint32_t)>& free,
                const std::vector<uint32_t>& order) {
  Figures f;
  std::vector<uint32_t> pages(kPages);
  for (int round = 0; round < kRounds; ++round) {
    State s = make();
    auto t0 = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < kPages; ++i) pages[i] = alloc(s);
    auto t1 = std::chrono::steady_clock::now();
    for (uint32_t i : order) free(s, pages[i]);
    auto t2 = std::chrono::steady_clock::now();
    f.alloc_ns = std::min(f.alloc_ns, ns_per_page(t1 - t0));
    f.free_ns = std::min(f.free_ns, ns_per_page(t2 - t1));
    f.sink += std::accumulate(pages.begin(), pages.end(), uint64_t{0});
  }
  return f;
}

// The page store's growth for an order-0 request while the file is a single
// trailing region: at least double, then whole regions.
AllocatorLayout grown(const AllocatorLayout& l) {
  uint64_t m = l.full_region_pages;
  uint64_t f = l.full_regions;
  uint64_t t = l.trailing_region_pages;
  uint64_t wanted = f == 0 ? std::max(2 * t, t + 2) : (t == 0 ? (f + 1) * m : (f + 2) * m);
  AllocatorLayout next{l.full_region_pages, 0, 0};
  if (wanted <= m) {
    next.trailing_region_pages = static_cast<uint32_t>(wanted);
  } else {
    next.full_regions = static_cast<uint32_t>(wanted / m);
    next.trailing_region_pages = static_cast<uint32_t>(wanted % m);
  }
  return next;
}

struct Buddy {
  BuddyAllocator a{kInitialPages, kRegionPages};
};

uint32_t buddy_alloc(Buddy& s, bool lowest) {
  while (true) {
    std::optional<uint32_t> p = lowest ? s.a.alloc_lowest(0) : s.a.alloc_inner(0);
    if (p) return *p;
    s.a.resize(std::min<uint32_t>(2 * s.a.len(), kRegionPages));
  }
}

struct Store {
  AllocatorLayout layout{kRegionPages, 0, kInitialPages};
  Allocators a{layout};
};

// Region choice through the tracker, as the page store makes it; the page is
// returned as region * 2^20 + index.
uint32_t store_alloc(Store& s, bool lowest) {
  while (true) {
    while (std::optional<uint32_t> r = s.a.tracker().first_candidate(0)) {
      BuddyAllocator& b = s.a.buddies()[*r];
      std::optional<uint32_t> p = lowest ? b.alloc_lowest(0) : b.alloc_inner(0);
      if (p) return *r * kRegionPages + *p;
      s.a.tracker().mark_exhausted(0, *r);
    }
    s.layout = grown(s.layout);
    s.a.resize_to(s.layout);
  }
}

void store_free(Store& s, uint32_t page) {
  uint32_t region = page / kRegionPages;
  uint8_t order = s.a.buddies()[region].free_inner(page % kRegionPages, 0);
  s.a.tracker().mark_available(order, region);
}

struct FreeSet {
  std::set<uint32_t> free;
  uint32_t len = 0;
};

uint32_t set_alloc(FreeSet& s) {
  if (s.free.empty()) {
    uint32_t n = std::max<uint32_t>(2 * s.len, kInitialPages);
    for (uint32_t p = s.len; p < n; ++p) s.free.insert(s.free.end(), p);
    s.len = n;
  }
  uint32_t p = *s.free.begin();
  s.free.erase(s.free.begin());
  return p;
}

void print(const char* name, const Figures& f, const Figures& base) {
  std::printf("%-44s alloc %7.1f ns/page (%5.2fx)   free %7.1f ns/page (%5.2fx)\n", name,
              f.alloc_ns, f.alloc_ns / base.alloc_ns, f.free_ns, f.free_ns / base.free_ns);
}

}  // namespace

int main() {
  std::vector<uint32_t> in_order(kPages);
  std::iota(in_order.begin(), in_order.end(), 0);
  std::vector<uint32_t> shuffled = in_order;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(42));

  std::printf("%u order-0 pages, file grown from %u pages; best of %d; ratio to the baseline\n",
              kPages, kInitialPages, kRounds);
  uint64_t sink = 0;
  for (const auto& [label, order] : {std::pair{"freed in allocation order", &in_order},
                                     std::pair{"freed at random", &shuffled}}) {
    std::printf("-- %s\n", label);
    Figures base = measure<FreeSet>([] { return FreeSet{}; }, set_alloc,
                                    [](FreeSet& s, uint32_t p) { s.free.insert(p); }, *order);
    print("baseline: ordered set of free pages", base, base);
    for (bool lowest : {false, true}) {
      Figures buddy = measure<Buddy>(
          [] { return Buddy{}; }, [lowest](Buddy& s) { return buddy_alloc(s, lowest); },
          [](Buddy& s, uint32_t p) { s.a.free_inner(p, 0); }, *order);
      print(lowest ? "buddy allocator, lowest policy" : "buddy allocator, any policy", buddy, base);
      Figures store = measure<Store>(
          [] { return Store{}; }, [lowest](Store& s) { return store_alloc(s, lowest); },
          store_free, *order);
      print(lowest ? "tracker + allocators, lowest policy" : "tracker + allocators, any policy",
            store, base);
      sink += buddy.sink + store.sink;
    }
    sink += base.sink;
  }
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sink));
  return 0;
}

#include "storage/src/tree_store/page_store/cached_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/panic_text.h"

namespace storage {
namespace {

using test::BackendOp;
using test::panic_text;

constexpr size_t kPage = 4096;
constexpr const char* kPreviousIo =
    "Previous I/O error occurred. Please close and re-open the database.";
constexpr const char* kClosed = "Database has been closed";
constexpr const char* kEio = "I/O error: Input/output error (os error 5)";

uint8_t pattern(size_t page, size_t i) { return static_cast<uint8_t>(page * 31 + i % 251); }

std::vector<uint8_t> pattern_page(size_t page) {
  std::vector<uint8_t> out(kPage);
  for (size_t i = 0; i < kPage; ++i) out[i] = pattern(page, i);
  return out;
}

std::vector<uint8_t> bytes_of(const PageBuffer& b) { return {b.data(), b.data() + b.size()}; }

template <typename R>
std::string error_text(const R& r) {
  return r.ok() ? "<ok>" : r.error().to_string();
}

// A cache over an in-memory file of `pages` patterned pages, through a
// fault-injecting backend that also counts the calls.
class CachedFileTest : public ::testing::Test {
 protected:
  void open(size_t budget, size_t pages = 16) {
    std::vector<uint8_t> image;
    for (size_t p = 0; p < pages; ++p) {
      auto page = pattern_page(p);
      image.insert(image.end(), page.begin(), page.end());
    }
    file_ = std::make_shared<test::MemoryFile>(std::move(image));
    plan_ = std::make_shared<test::FaultPlan>();
    cache_ = std::make_unique<PagedCachedFile>(
        std::make_unique<test::FaultInjectingBackend>(
            std::make_unique<test::MemoryBackend>(file_), plan_),
        kPage, budget);
  }

  std::vector<uint8_t> file_page(size_t page) const {
    auto all = file_->snapshot();
    auto begin = all.begin() + static_cast<ptrdiff_t>(page * kPage);
    return {begin, begin + kPage};
  }
  PageBuffer read(size_t page, PageReadHint hint = PageReadHint::kMayBeDirty) {
    auto r = cache_->read(page * kPage, kPage, hint);
    EXPECT_TRUE(r.ok()) << error_text(r);
    return r.ok() ? r.value() : PageBuffer();
  }
  // Lends `page`, stores `stamp` in its first byte and gives it back.
  void stamp(size_t page, uint8_t stamp, bool overwrite = false) {
    auto lent = cache_->write(page * kPage, kPage, overwrite);
    ASSERT_TRUE(lent.ok()) << error_text(lent);
    lent.value().mutable_data_if_unique()[0] = stamp;
  }
  uint64_t calls(BackendOp op) const { return plan_->calls(op); }

  std::shared_ptr<test::MemoryFile> file_;
  std::shared_ptr<test::FaultPlan> plan_;
  std::unique_ptr<PagedCachedFile> cache_;
};

TEST_F(CachedFileTest, ReadMissThenHitCostsOneBackendRead) {
  open(1 << 20);
  PageBuffer first = read(3, PageReadHint::kCommitted);
  EXPECT_EQ(bytes_of(first), pattern_page(3));
  EXPECT_EQ(calls(BackendOp::kRead), 1u);
  EXPECT_EQ(cache_->read_cache_bytes(), kPage);

  PageBuffer again = read(3, PageReadHint::kCommitted);
  PageBuffer dirty = read(3, PageReadHint::kMayBeDirty);
  EXPECT_EQ(calls(BackendOp::kRead), 1u);
  EXPECT_TRUE(again.same_bytes(first));
  EXPECT_TRUE(dirty.same_bytes(first));

  auto direct = cache_->read_direct(3 * kPage, kPage);
  ASSERT_TRUE(direct.ok());
  EXPECT_EQ(direct.value(), pattern_page(3));
  EXPECT_EQ(calls(BackendOp::kRead), 2u);
  EXPECT_EQ(cache_->read_cache_bytes(), kPage);  // read_direct fills no cache
}

TEST_F(CachedFileTest, LendingTakesCachedBytesZerosOrFileBytes) {
  open(1 << 20);
  // A cached page moves into the write buffer, even with overwrite.
  PageBuffer cached = read(1);
  {
    auto lent = cache_->write(kPage, kPage, true);
    ASSERT_TRUE(lent.ok());
    EXPECT_TRUE(lent.value().buffer().same_bytes(cached));
    EXPECT_EQ(cache_->read_cache_bytes(), 0u);
    EXPECT_EQ(cache_->write_buffer_bytes(), kPage);
  }
  cached = PageBuffer();
  // An uncached page with overwrite is zeros, without a file read.
  {
    auto lent = cache_->write(2 * kPage, kPage, true);
    ASSERT_TRUE(lent.ok());
    EXPECT_EQ(bytes_of(lent.value().buffer()), std::vector<uint8_t>(kPage, 0));
  }
  EXPECT_EQ(calls(BackendOp::kRead), 1u);
  // Without overwrite, the file's bytes.
  {
    auto lent = cache_->write(4 * kPage, kPage, false);
    ASSERT_TRUE(lent.ok());
    EXPECT_EQ(bytes_of(lent.value().buffer()), pattern_page(4));
    lent.value().mutable_data_if_unique()[0] = 0xEE;
  }
  EXPECT_EQ(calls(BackendOp::kRead), 2u);

  // A buffered page is lent again, same bytes, without touching the file.
  {
    auto again = cache_->write(4 * kPage, kPage, true);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value().mem()[0], 0xEE);
  }
  EXPECT_EQ(calls(BackendOp::kRead), 2u);
  EXPECT_EQ(calls(BackendOp::kWrite), 0u);
  EXPECT_EQ(cache_->write_buffer_bytes(), 3 * kPage);

  // Only readers that may see dirty pages look in the write buffer.
  EXPECT_EQ(read(4, PageReadHint::kMayBeDirty).data()[0], 0xEE);
  EXPECT_EQ(read(4, PageReadHint::kCommitted).data()[0], pattern(4, 0));

  ASSERT_TRUE(cache_->flush().ok());
  EXPECT_EQ(calls(BackendOp::kWrite), 3u);
  EXPECT_EQ(calls(BackendOp::kSync), 1u);
  EXPECT_EQ(file_page(4)[0], 0xEE);
  EXPECT_EQ(file_page(2), std::vector<uint8_t>(kPage, 0));
  EXPECT_EQ(cache_->write_buffer_bytes(), 0u);
  // Written-back pages moved into the read cache, replacing the stale copy.
  EXPECT_EQ(cache_->read_cache_bytes(), 3 * kPage);
  const uint64_t reads = calls(BackendOp::kRead);
  EXPECT_EQ(read(4, PageReadHint::kCommitted).data()[0], 0xEE);
  EXPECT_EQ(calls(BackendOp::kRead), reads);
}

TEST_F(CachedFileTest, ZeroBudgetStillGivesCorrectBytes) {
  open(0);
  for (size_t p : {0, 5, 0, 5}) EXPECT_EQ(bytes_of(read(p)), pattern_page(p));
  EXPECT_EQ(calls(BackendOp::kRead), 4u);
  EXPECT_EQ(cache_->read_cache_bytes(), 0u);

  stamp(1, 0xA1);
  stamp(2, 0xA2);  // writes page 1 back first
  EXPECT_EQ(calls(BackendOp::kWrite), 1u);
  EXPECT_EQ(file_page(1)[0], 0xA1);
  EXPECT_EQ(cache_->write_buffer_bytes(), kPage);
  EXPECT_EQ(read(1).data()[0], 0xA1);
  EXPECT_EQ(read(2).data()[0], 0xA2);

  ASSERT_TRUE(cache_->flush_write_buffer().ok());
  EXPECT_EQ(file_page(2)[0], 0xA2);
  EXPECT_EQ(cache_->write_buffer_bytes(), 0u);
  EXPECT_EQ(cache_->read_cache_bytes(), 0u);
  EXPECT_EQ(read(2).data()[0], 0xA2);
}

TEST_F(CachedFileTest, WriteBufferIsCutBackToHalfTheBudgetButNeverLentPages) {
  open(8 * kPage);
  for (size_t p = 0; p < 12; ++p) {
    stamp(p, static_cast<uint8_t>(0xB0 + p), true);
    EXPECT_LE(cache_->write_buffer_bytes(), 4 * kPage) << "after page " << p;
  }
  // Eight pages went back to the file, oldest first; four remain buffered.
  EXPECT_EQ(calls(BackendOp::kWrite), 8u);
  for (size_t p = 0; p < 8; ++p) EXPECT_EQ(file_page(p)[0], 0xB0 + p);
  for (size_t p = 0; p < 12; ++p) EXPECT_EQ(read(p).data()[0], 0xB0 + p);
  ASSERT_TRUE(cache_->flush_write_buffer().ok());

  const uint64_t writes = calls(BackendOp::kWrite);
  std::vector<WritablePage> held;
  for (size_t p = 0; p < 6; ++p) {
    auto lent = cache_->write(p * kPage, kPage, false);
    ASSERT_TRUE(lent.ok());
    held.push_back(std::move(lent).value());
  }
  EXPECT_EQ(calls(BackendOp::kWrite), writes);
  EXPECT_EQ(cache_->write_buffer_bytes(), 6 * kPage);
  held.clear();
  // Once they are back, the next lending writes the excess out.
  stamp(7, 1);
  EXPECT_EQ(cache_->write_buffer_bytes(), 4 * kPage);
  EXPECT_EQ(calls(BackendOp::kWrite), writes + 3);
}

TEST_F(CachedFileTest, FlushOfEmptyBufferOnlySyncs) {
  open(1 << 20);
  ASSERT_TRUE(cache_->flush_write_buffer().ok());
  EXPECT_EQ(plan_->data_calls(), 0u);
  ASSERT_TRUE(cache_->flush().ok());
  EXPECT_EQ(calls(BackendOp::kSync), 1u);
  EXPECT_EQ(plan_->data_calls(), 1u);
}

TEST_F(CachedFileTest, ResizeDropsCachedCopiesAtOrPastTheNewEnd) {
  open(1 << 20, 8);
  for (size_t p = 0; p < 8; ++p) read(p);
  ASSERT_TRUE(cache_->resize(5 * kPage).ok());
  EXPECT_EQ(file_->size(), 5 * kPage);
  EXPECT_EQ(cache_->read_cache_bytes(), 5 * kPage);
  ASSERT_TRUE(cache_->resize(9 * kPage).ok());
  EXPECT_EQ(cache_->read_cache_bytes(), 5 * kPage);
  auto len = cache_->file_len();
  ASSERT_TRUE(len.ok());
  EXPECT_EQ(len.value(), 9 * kPage);

  const uint64_t reads = calls(BackendOp::kRead);
  for (size_t p = 0; p < 5; ++p) EXPECT_EQ(bytes_of(read(p)), pattern_page(p));
  EXPECT_EQ(calls(BackendOp::kRead), reads);
  EXPECT_EQ(bytes_of(read(6)), std::vector<uint8_t>(kPage, 0));
  EXPECT_EQ(calls(BackendOp::kRead), reads + 1);
}

TEST_F(CachedFileTest, InvalidateAndCancel) {
  open(1 << 20);
  read(0);
  read(1);
  cache_->invalidate_cache(0, kPage);
  cache_->invalidate_cache(9 * kPage, kPage);  // not cached: nothing happens
  EXPECT_EQ(cache_->read_cache_bytes(), kPage);
  const uint64_t reads = calls(BackendOp::kRead);
  read(0);
  EXPECT_EQ(calls(BackendOp::kRead), reads + 1);
  cache_->invalidate_cache_all();
  EXPECT_EQ(cache_->read_cache_bytes(), 0u);

  stamp(3, 0xC3);
  stamp(4, 0xC4);
  cache_->cancel_pending_write(3 * kPage);
  cache_->cancel_pending_write(5 * kPage);  // not buffered
  EXPECT_EQ(cache_->write_buffer_bytes(), kPage);
  ASSERT_TRUE(cache_->flush_write_buffer().ok());
  EXPECT_EQ(calls(BackendOp::kWrite), 1u);
  EXPECT_EQ(file_page(3), pattern_page(3));
  EXPECT_EQ(file_page(4)[0], 0xC4);
  // The page lent without a file read came from the read cache, so page 3
  // reads back from the file as it was.
  EXPECT_EQ(bytes_of(read(3)), pattern_page(3));
}

TEST_F(CachedFileTest, BrokenCallersPanic) {
  open(1 << 20);
  EXPECT_EQ(panic_text([&] { (void)cache_->write(100, kPage, false); })
                .rfind("assertion failed: offset % page_size_ == 0", 0),
            0u);

  // Touching a lent page other than through its holder. Each panic poisons
  // the stripe it held, so each case gets a fresh cache.
  const std::string none = "called `Option::unwrap()` on a `None` value";
  using Touch = std::string (*)(PagedCachedFile&);
  const std::pair<Touch, std::string> cases[] = {
      {[](PagedCachedFile& c) { return panic_text([&] { (void)c.write(kPage, kPage, false); }); },
       none},
      {[](PagedCachedFile& c) { return panic_text([&] { c.cancel_pending_write(kPage); }); },
       "assertion failed: value.is_some()"},
      {[](PagedCachedFile& c) { return panic_text([&] { (void)c.flush_write_buffer(); }); },
       none},
  };
  for (const auto& [touch, text] : cases) {
    open(1 << 20);
    auto lent = cache_->write(kPage, kPage, false);
    ASSERT_TRUE(lent.ok());
    EXPECT_EQ(touch(*cache_), text);
    // The stripe is poisoned now: later blocking locks of it panic too.
    EXPECT_EQ(panic_text([&] { stamp(1 + 131, 0); }),
              "called `Result::unwrap()` on an `Err` value");
  }
}

TEST_F(CachedFileTest, LentPageMayOutliveTheCache) {
  open(1 << 20);
  auto lent = cache_->write(0, kPage, true);
  ASSERT_TRUE(lent.ok());
  WritablePage page = std::move(lent).value();
  cache_.reset();
  page.mutable_data_if_unique()[0] = 1;
}

// Page numbers of two orders can share an offset, and one of them may come
// from a damaged file: a run cached (or buffered, or lent) at one length is
// never handed out at another, nothing panics and no stripe is poisoned.
TEST_F(CachedFileTest, RunsAskedForAtAnotherLengthThanCached) {
  const std::string corrupted = "DB corrupted: ";
  auto starts_with = [](const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; };
  open(1 << 20);

  // A read-cache copy: a read at another length is Corrupted and leaves it.
  read(0);
  const uint64_t reads = calls(BackendOp::kRead);
  EXPECT_TRUE(starts_with(error_text(cache_->read(0, 2 * kPage, PageReadHint::kCommitted)),
                          corrupted));
  EXPECT_EQ(cache_->read_cache_bytes(), kPage);
  EXPECT_EQ(bytes_of(read(0)), pattern_page(0));
  EXPECT_EQ(calls(BackendOp::kRead), reads);

  // Lent at another length: the stale copy is dropped, the bytes are the file's.
  {
    auto lent = cache_->write(0, 2 * kPage, false);
    ASSERT_TRUE(lent.ok()) << error_text(lent);
    EXPECT_EQ(cache_->read_cache_bytes(), 0u);
    std::vector<uint8_t> want = pattern_page(0);
    const auto second = pattern_page(1);
    want.insert(want.end(), second.begin(), second.end());
    EXPECT_EQ(bytes_of(lent.value().buffer()), want);

    // While lent, a read of the run at any length is Corrupted.
    for (size_t len : {kPage, 2 * kPage}) {
      EXPECT_TRUE(starts_with(error_text(cache_->read(0, len, PageReadHint::kMayBeDirty)),
                              corrupted));
    }
    lent.value().mutable_data_if_unique()[0] = 0xA0;
  }
  // Buffered at 8192: a dirty read or a lending at 4096 is Corrupted and
  // changes nothing; a committed read skips the buffer.
  EXPECT_TRUE(starts_with(error_text(cache_->read(0, kPage, PageReadHint::kMayBeDirty)),
                          corrupted));
  EXPECT_TRUE(starts_with(error_text(cache_->write(0, kPage, true)), corrupted));
  EXPECT_EQ(cache_->write_buffer_bytes(), 2 * kPage);
  EXPECT_EQ(bytes_of(read(0, PageReadHint::kCommitted)), pattern_page(0));

  // Written back, the run replaces the 4096-byte copy just cached.
  ASSERT_TRUE(cache_->flush_write_buffer().ok());
  EXPECT_EQ(cache_->read_cache_bytes(), 2 * kPage);
  auto whole = cache_->read(0, 2 * kPage, PageReadHint::kCommitted);
  ASSERT_TRUE(whole.ok()) << error_text(whole);
  EXPECT_EQ(whole.value().data()[0], 0xA0);

  // Forgetting or lending over a copy of another length: no panic either.
  cache_->invalidate_cache(0, kPage);
  EXPECT_EQ(cache_->read_cache_bytes(), 0u);
  read(4);
  stamp(4, 0xB4, /*overwrite=*/false);  // same length: the cached bytes move
  (void)cache_->read(6 * kPage, 2 * kPage, PageReadHint::kCommitted);
  {
    auto lent = cache_->write(6 * kPage, kPage, true);
    ASSERT_TRUE(lent.ok()) << error_text(lent);
    EXPECT_EQ(bytes_of(lent.value().buffer()), std::vector<uint8_t>(kPage, 0));
  }
  EXPECT_EQ(cache_->read_cache_bytes(), 0u);

  // Every stripe touched still works.
  for (size_t page : {0, 4, 6}) stamp(page + 131, 0xC0, /*overwrite=*/true);
  ASSERT_TRUE(cache_->flush().ok());
  EXPECT_EQ(file_page(4)[0], 0xB4);
  EXPECT_EQ(file_page(6), std::vector<uint8_t>(kPage, 0));
}

struct StickyCase {
  const char* name;
  BackendOp op;
  // Provokes the failure; returns the error text it got.
  std::string (*trigger)(PagedCachedFile&);
};

const StickyCase kStickyCases[] = {
    {"write-back", BackendOp::kWrite,
     [](PagedCachedFile& c) { return error_text(c.flush_write_buffer()); }},
    {"length query", BackendOp::kLen,
     [](PagedCachedFile& c) { return error_text(c.file_len()); }},
    {"sync", BackendOp::kSync, [](PagedCachedFile& c) { return error_text(c.flush()); }},
    {"read miss", BackendOp::kRead,
     [](PagedCachedFile& c) {
       return error_text(c.read(9 * kPage, kPage, PageReadHint::kCommitted));
     }},
    {"resize", BackendOp::kSetLen,
     [](PagedCachedFile& c) { return error_text(c.resize(20 * kPage)); }},
};

TEST_F(CachedFileTest, FailuresAreStickyAndCachedPagesStayReadable) {
  for (const StickyCase& tc : kStickyCases) {
    SCOPED_TRACE(tc.name);
    open(1 << 20);
    read(1);           // in the read cache
    stamp(2, 0xD2);    // buffered
    plan_->fail_nth(tc.op, calls(tc.op) + 1, EIO);
    EXPECT_EQ(tc.trigger(*cache_), kEio);
    EXPECT_EQ(plan_->injected(), 1u);
    const uint64_t touched = plan_->data_calls();

    EXPECT_EQ(error_text(cache_->read(8 * kPage, kPage, PageReadHint::kMayBeDirty)),
              kPreviousIo);
    EXPECT_EQ(error_text(cache_->read_direct(0, kPage)), kPreviousIo);
    EXPECT_EQ(error_text(cache_->file_len()), kPreviousIo);
    EXPECT_EQ(error_text(cache_->resize(kPage)), kPreviousIo);
    EXPECT_EQ(error_text(cache_->flush()), kPreviousIo);
    EXPECT_EQ(error_text(cache_->write(10 * kPage, kPage, false)), kPreviousIo);
    EXPECT_EQ(plan_->data_calls(), touched);

    EXPECT_EQ(bytes_of(read(1)), pattern_page(1));
    EXPECT_EQ(read(2).data()[0], 0xD2);  // a failed write-back keeps the page
    stamp(2, 0xD3);                      // lending a buffered page needs no file
    stamp(11, 0xDB, true);               // nor does a fresh page under budget
    EXPECT_EQ(read(11).data()[0], 0xDB);
    EXPECT_EQ(cache_->write_buffer_bytes(), 2 * kPage);

    ASSERT_TRUE(cache_->close().ok());
    EXPECT_EQ(error_text(cache_->read(8 * kPage, kPage, PageReadHint::kMayBeDirty)), kClosed);
    EXPECT_EQ(error_text(cache_->flush()), kClosed);
    EXPECT_EQ(bytes_of(read(1)), pattern_page(1));
    EXPECT_EQ(plan_->data_calls(), touched);
  }
}

// Records each gathered write-back (offset, parts) and hands it to the
// page-by-page default.
class GatherRecordingBackend final : public StorageBackend {
 public:
  explicit GatherRecordingBackend(std::shared_ptr<test::MemoryFile> file) : inner_(file) {}
  std::string debug() const override { return "GatherRecordingBackend"; }
  Result<uint64_t, IoError> len() const override { return inner_.len(); }
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override {
    return inner_.read(offset, out);
  }
  Result<void, IoError> set_len(uint64_t len) const override { return inner_.set_len(len); }
  Result<void, IoError> sync_data() const override { return inner_.sync_data(); }
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override {
    return inner_.write(offset, data);
  }
  Result<void, IoError> write_gathered(
      uint64_t offset, std::span<const std::span<const uint8_t>> parts) const override {
    gathers.emplace_back(offset / kPage, parts.size());
    return StorageBackend::write_gathered(offset, parts);
  }
  Result<void, IoError> close() const override { return inner_.close(); }

  mutable std::vector<std::pair<uint64_t, size_t>> gathers;  // (first page, pages)

 private:
  test::MemoryBackend inner_;
};

// Adjacent buffered pages go back in one call per run, in offset order, runs
// capped at kMaxWriteRunPages; the file ends up as page-by-page writes leave it.
TEST(CachedFileWriteBackTest, AdjacentPagesAreWrittenAsOneRun) {
  constexpr size_t kPages = kMaxWriteRunPages + 40;
  auto file = std::make_shared<test::MemoryFile>(std::vector<uint8_t>(kPages * kPage, 0x11));
  auto backend = std::make_unique<GatherRecordingBackend>(file);
  const GatherRecordingBackend* recorder = backend.get();
  PagedCachedFile cache(std::move(backend), kPage, size_t{1} << 30);

  std::vector<uint8_t> model(kPages * kPage, 0x11);
  auto dirty = [&](size_t page, bool overwrite) {
    auto lent = cache.write(page * kPage, kPage, overwrite);
    ASSERT_TRUE(lent.ok()) << error_text(lent);
    uint8_t* bytes = lent.value().mutable_data_if_unique();
    bytes[7] = static_cast<uint8_t>(page);
    bytes[kPage - 1] = static_cast<uint8_t>(page >> 8);
    if (overwrite) std::fill_n(model.begin() + page * kPage, kPage, 0);
    model[page * kPage + 7] = static_cast<uint8_t>(page);
    model[page * kPage + kPage - 1] = static_cast<uint8_t>(page >> 8);
  };
  // Lent in scrambled order: runs {3,4,5}, {7}, {9,10} and one run past the cap.
  for (size_t page : {10, 4, 7, 3, 9, 5}) dirty(page, page % 2 == 0);
  const size_t long_run = 20;
  for (size_t page = long_run + kMaxWriteRunPages + 5; page-- > long_run;) dirty(page, false);

  ASSERT_TRUE(cache.flush_write_buffer().ok());
  EXPECT_EQ(recorder->gathers,
            (std::vector<std::pair<uint64_t, size_t>>{{3, 3},
                                                      {7, 1},
                                                      {9, 2},
                                                      {long_run, kMaxWriteRunPages},
                                                      {long_run + kMaxWriteRunPages, 5}}));
  EXPECT_EQ(file->snapshot(), model);
  EXPECT_EQ(cache.write_buffer_bytes(), 0u);
  // The written pages moved to the read cache.
  auto again = cache.read(4 * kPage, kPage, PageReadHint::kCommitted);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value().data()[7], 4);
}

// A failure part-way through a run: reported, sticky, and every page of the
// buffer (written or not) stays buffered and readable.
TEST_F(CachedFileTest, FailureInsideAWriteBackRunIsReportedAndSticky) {
  open(1 << 20);
  for (size_t page : {3, 4, 5, 6, 9}) stamp(page, static_cast<uint8_t>(0xE0 + page));
  plan_->fail_nth(BackendOp::kWrite, calls(BackendOp::kWrite) + 2, EIO);
  EXPECT_EQ(error_text(cache_->flush_write_buffer()), kEio);
  EXPECT_TRUE(cache_->io_failed());
  const uint64_t touched = plan_->data_calls();
  EXPECT_EQ(file_page(3)[0], 0xE3);          // written before the failure
  EXPECT_EQ(file_page(4), pattern_page(4));  // the failed write left no bytes
  EXPECT_EQ(file_page(9), pattern_page(9));  // nothing after it was tried

  EXPECT_EQ(cache_->write_buffer_bytes(), 5 * kPage);
  for (size_t page : {3, 4, 5, 6, 9}) EXPECT_EQ(read(page).data()[0], 0xE0 + page);
  EXPECT_EQ(error_text(cache_->flush_write_buffer()), kPreviousIo);
  EXPECT_EQ(error_text(cache_->flush()), kPreviousIo);
  EXPECT_EQ(plan_->data_calls(), touched);
}

TEST_F(CachedFileTest, CloseWithoutFailureRefusesFileAccess) {
  open(1 << 20);
  read(0);
  ASSERT_TRUE(cache_->close().ok());
  EXPECT_EQ(calls(BackendOp::kClose), 1u);
  EXPECT_EQ(error_text(cache_->file_len()), kClosed);
  EXPECT_EQ(error_text(cache_->read(kPage, kPage, PageReadHint::kCommitted)), kClosed);
  EXPECT_EQ(bytes_of(read(0)), pattern_page(0));
}

// ---- Random workloads against a model, with and without injected faults ----

struct WorkloadModel {
  // What a dirty-reader must see per page; nullopt after a cancelled write,
  // when the file may hold any version written back earlier.
  std::vector<std::optional<std::vector<uint8_t>>> pages;
};

struct WorkloadOutcome {
  uint64_t failures = 0;     // ops that failed with the injected error
  uint64_t refused = 0;      // ops refused with PreviousIo afterwards
  std::string problem;       // empty when every check held
};

// Runs `ops` random operations (dirty reads, lendings with and without
// overwrite, write-backs, flushes, invalidations, cancels, growth) and checks
// every result against the model. Once one op has failed with EIO, every
// later failure must be PreviousIo.
WorkloadOutcome run_workload(PagedCachedFile& cache, WorkloadModel& model, uint64_t seed,
                             int ops) {
  std::mt19937_64 rng(seed);
  WorkloadOutcome out;
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  auto check_error = [&](const StorageError& e, const std::string& what) {
    const std::string text = e.to_string();
    if (out.failures == 0 && text == kEio) {
      out.failures = 1;
    } else if (out.failures == 1 && text == kPreviousIo) {
      ++out.refused;
    } else if (out.problem.empty()) {
      out.problem = what + ": unexpected error " + text;
    }
  };
  for (int i = 0; i < ops && out.problem.empty(); ++i) {
    const size_t page = pick(model.pages.size());
    const uint64_t offset = page * kPage;
    const std::string what = "op " + std::to_string(i) + " page " + std::to_string(page);
    switch (pick(10)) {
      case 0: {
        // A pinned read's head (kept beside a read-cache hit) is the page's
        // first four bytes, whichever way the page entered the cache.
        auto r = cache.read_pinned(offset, kPage, PageReadHint::kMayBeDirty);
        if (!r.ok()) {
          check_error(r.error(), what + " read_pinned");
        } else if (r.value().head() != load_le32(r.value().bytes().data())) {
          out.problem = what + " read_pinned: head differs from the bytes";
        } else if (model.pages[page] &&
                   std::vector<uint8_t>(r.value().bytes().begin(), r.value().bytes().end()) !=
                       *model.pages[page]) {
          out.problem = what + " read_pinned: wrong bytes";
        }
        break;
      }
      case 1:
      case 2: {
        auto r = cache.read(offset, kPage, PageReadHint::kMayBeDirty);
        if (!r.ok()) {
          check_error(r.error(), what + " read");
        } else if (model.pages[page] && bytes_of(r.value()) != *model.pages[page]) {
          out.problem = what + " read: wrong bytes";
        } else {
          model.pages[page] = bytes_of(r.value());
        }
        break;
      }
      case 3:
      case 4:
      case 5: {
        const bool overwrite = pick(2) == 0;
        auto r = cache.write(offset, kPage, overwrite);
        if (!r.ok()) {
          check_error(r.error(), what + " write");
          break;
        }
        WritablePage lent = std::move(r).value();
        uint8_t* data = lent.mutable_data_if_unique();
        if (data == nullptr) {
          out.problem = what + " write: shared buffer";
          break;
        }
        if (!overwrite && model.pages[page] &&
            std::vector<uint8_t>(data, data + kPage) != *model.pages[page]) {
          out.problem = what + " write: lent wrong bytes";
          break;
        }
        if (overwrite) {
          std::fill(data, data + kPage, static_cast<uint8_t>(rng()));
        } else {
          for (int k = 0; k < 4; ++k) data[pick(kPage)] = static_cast<uint8_t>(rng());
        }
        model.pages[page] = std::vector<uint8_t>(data, data + kPage);
        break;
      }
      case 6: {
        auto r = pick(2) == 0 ? cache.flush_write_buffer() : cache.flush();
        if (!r.ok()) check_error(r.error(), what + " flush");
        break;
      }
      case 7:
        if (pick(2) == 0) {
          cache.cancel_pending_write(offset);
          model.pages[page].reset();
        } else {
          cache.invalidate_cache(offset, kPage);
        }
        break;
      case 8: {
        auto r = cache.file_len();
        if (!r.ok()) {
          check_error(r.error(), what + " len");
        } else if (r.value() != model.pages.size() * kPage) {
          out.problem = what + " len: wrong length";
        }
        break;
      }
      case 9: {
        if (pick(4) != 0) {
          cache.invalidate_cache_all();
          break;
        }
        auto r = cache.resize((model.pages.size() + 1) * kPage);
        if (!r.ok()) {
          check_error(r.error(), what + " resize");
        } else {
          model.pages.emplace_back(std::vector<uint8_t>(kPage, 0));
        }
        break;
      }
    }
  }
  return out;
}

class CachedFileWorkloadTest : public CachedFileTest {
 protected:
  WorkloadModel fresh_model(size_t pages) {
    WorkloadModel m;
    for (size_t p = 0; p < pages; ++p) m.pages.emplace_back(pattern_page(p));
    return m;
  }
};

TEST_F(CachedFileWorkloadTest, RandomWorkloadsMatchTheModel) {
  for (size_t budget : {size_t{0}, 3 * kPage, 7 * kPage, size_t{1} << 30}) {
    for (uint64_t seed = 1; seed <= 4; ++seed) {
      SCOPED_TRACE("budget " + std::to_string(budget) + " seed " + std::to_string(seed));
      open(budget, 12);
      WorkloadModel model = fresh_model(12);
      WorkloadOutcome o = run_workload(*cache_, model, seed, 400);
      ASSERT_EQ(o.problem, "");
      ASSERT_EQ(o.failures, 0u);
      ASSERT_TRUE(cache_->flush().ok());
      EXPECT_EQ(cache_->write_buffer_bytes(), 0u);
      auto image = file_->snapshot();
      ASSERT_EQ(image.size(), model.pages.size() * kPage);
      for (size_t p = 0; p < model.pages.size(); ++p) {
        if (!model.pages[p]) continue;
        ASSERT_EQ(std::vector<uint8_t>(image.begin() + p * kPage, image.begin() + (p + 1) * kPage),
                  *model.pages[p])
            << "page " << p;
      }
      cache_->invalidate_cache_all();
      EXPECT_EQ(cache_->read_cache_bytes(), 0u);
    }
  }
}

// Fails the N-th backend call of a fixed workload, for every N the workload
// makes: each op either succeeds with the model's bytes or fails with the
// injected error, then PreviousIo; the byte counts stay true to what is held.
TEST_F(CachedFileWorkloadTest, FaultAtEveryCallOfAWorkload) {
  constexpr uint64_t kSeed = 77;
  constexpr int kOps = 120;
  constexpr size_t kBudget = 5 * kPage;
  open(kBudget, 10);
  WorkloadModel clean = fresh_model(10);
  ASSERT_EQ(run_workload(*cache_, clean, kSeed, kOps).problem, "");
  const uint64_t total = plan_->data_calls();
  ASSERT_GT(total, 20u);

  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    open(kBudget, 10);
    plan_->fail_nth_any(n, EIO);
    WorkloadModel model = fresh_model(10);
    WorkloadOutcome o = run_workload(*cache_, model, kSeed, kOps);
    ASSERT_EQ(o.problem, "");
    ASSERT_EQ(plan_->injected(), 1u);
    ASSERT_EQ(o.failures, 1u);
    const uint64_t touched = plan_->data_calls();
    ASSERT_LE(touched, n);  // nothing reached the file after the failure

    // Whatever is still cached answers with the model's bytes.
    for (size_t p = 0; p < model.pages.size(); ++p) {
      auto r = cache_->read(p * kPage, kPage, PageReadHint::kMayBeDirty);
      if (r.ok()) {
        if (model.pages[p]) {
          ASSERT_EQ(bytes_of(r.value()), *model.pages[p]) << "page " << p;
        }
      } else {
        ASSERT_EQ(r.error().to_string(), kPreviousIo);
      }
    }
    ASSERT_TRUE(cache_->close().ok());
    EXPECT_EQ(error_text(cache_->file_len()), kClosed);
    for (size_t p = 0; p < model.pages.size(); ++p) cache_->cancel_pending_write(p * kPage);
    cache_->invalidate_cache_all();
    EXPECT_EQ(cache_->write_buffer_bytes(), 0u);
    EXPECT_EQ(cache_->read_cache_bytes(), 0u);
  }
}

}  // namespace
}  // namespace storage

// kill -9 during commits: a child process opens the database file and
// commits one record per durable write transaction, reporting each
// acknowledged commit through a pipe, until it is killed at a random moment.
// Every reopen (repairing) must hold every acknowledged record, at most the
// one in flight besides, intact; the next child carries on from there.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/database.h"
#include "storage/tests/support/database_access.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"

namespace storage {
namespace {

constexpr const char* kTable = "t0";

// Record i: its value length varies so that commits free and allocate
// page runs of several orders.
std::vector<uint8_t> record(uint64_t i) {
  return test::workload_value(i, 77, i % 13 == 0 ? 6000 + i % 3000 : 20 + i % 300);
}

// The child's whole life: never returns.
[[noreturn]] void commit_forever(const std::string& path, uint64_t first, int report) {
  auto opened = Database::builder().set_cache_size(size_t{8} << 20).create(path);
  if (!opened.ok()) ::_exit(2);
  Database db = std::move(opened).value();
  for (uint64_t i = first;; ++i) {
    auto txn = db.begin_write();
    if (!txn.ok()) ::_exit(3);
    {
      auto table = txn.value().open_table<U64Codec, BytesCodec>(kTable);
      if (!table.ok()) ::_exit(4);
      const auto value = record(i);
      if (!table.value().insert(i, ByteView(value)).ok()) ::_exit(5);
      // Every few commits also rewrites an old record, freeing its pages.
      if (i % 5 == 0 && i > 0) {
        const auto old = record(i / 2);
        if (!table.value().insert(i / 2, ByteView(old)).ok()) ::_exit(5);
      }
    }
    if (i % 7 == 3) detail::WriteTransactionAccess::state(txn.value())->two_phase_commit = true;
    if (!std::move(txn).value().commit().ok()) ::_exit(6);
    if (::write(report, &i, sizeof i) != sizeof i) ::_exit(7);
  }
}

TEST(DatabaseKilled, EveryReopenHoldsTheLastAcknowledgedCommitOrALaterOne) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("replay with RS_TEST_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  test::TempDir dir;
  const std::string path = dir.file("killed.db");
  const size_t kills = test::reliability_rounds(50, 50);
  uint64_t next = 0;  // the first record the next child writes
  for (size_t round = 0; round < kills; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(fds[0]);
      commit_forever(path, next, fds[1]);
    }
    ::close(fds[1]);
    // Killed after a random number of acknowledged commits (none in some
    // rounds: then while it opens or repairs), plus a random delay.
    const uint64_t wait_for = rng() % 8;
    std::optional<uint64_t> last;
    uint64_t id = 0;
    for (uint64_t seen = 0; seen < wait_for && ::read(fds[0], &id, sizeof id) == sizeof id;
         ++seen) {
      last = id;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": child exited with "
                                     << WEXITSTATUS(status);
    while (::read(fds[0], &id, sizeof id) == sizeof id) last = id;
    ::close(fds[0]);

    // Acknowledged: every record below `acked`; maybe also record `acked`.
    const uint64_t acked = last ? *last + 1 : next;
    test::Model lower, upper;
    for (uint64_t i = 0; i <= acked; ++i) {
      if (i < acked) lower.tables[kTable][i] = record(i);
      upper.tables[kTable][i] = record(i);
    }
    size_t matched = 0;
    const std::string e = test::reopen_and_check(path, {lower, upper}, &matched);
    // Killed while it first wrote the file (extended, header not yet
    // written): nothing was ever acknowledged, and such a file may not open.
    if (next == 0 && !last && e.rfind("writable open:", 0) == 0) {
      ::unlink(path.c_str());
      continue;
    }
    ASSERT_EQ(e, "") << "round " << round << ", acknowledged up to " << acked;
    next = matched == 0 ? acked : acked + 1;
  }
  EXPECT_GT(next, 0u);
}

}  // namespace
}  // namespace storage

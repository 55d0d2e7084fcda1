// An I/O failure at every backend call of a whole database life (create,
// commits of every kind, close): the failure reaches the caller as an I/O
// error, every later write transaction is refused with PreviousIo, and the
// file as the failure left it reopens (repairing) to an acknowledged state,
// intact. Likewise for every call of an open that repairs a file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/src/panic.h"
#include "storage/tests/support/crash_backend.h"
#include "storage/tests/support/database_access.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"

namespace storage {
namespace {

using test::Model;
using test::WorkloadMode;

struct Life {
  std::vector<test::WorkloadCommit> commits;
  std::vector<Model> states;
};

Life make_life(WorkloadMode mode, uint64_t seed, size_t commits) {
  Life life{test::make_workload(mode, seed, commits), {Model{}}};
  for (const auto& commit : life.commits) {
    Model next = life.states.back();
    test::apply_to_model(commit, next);
    life.states.push_back(std::move(next));
  }
  return life;
}

struct Outcome {
  bool injected = false;
  std::string failure;  // empty when every rule held
  uint64_t calls = 0;   // backend calls of the whole life (with nothing injected)
};

// One life with the n-th backend call failing (n = 0: none fails).
Outcome live(const Life& life, uint64_t n, const std::string& path) {
  auto file = std::make_shared<test::MemoryFile>();
  auto plan = std::make_shared<test::FaultPlan>();
  if (n > 0) plan->fail_nth_any(n, EIO);
  size_t durable = 0;
  size_t in_flight = 0;
  bool creating = true;
  std::string error;
  Outcome out;
  {
    auto opened = test::open_database_on(std::make_unique<test::FaultInjectingBackend>(
        std::make_unique<test::MemoryBackend>(file), plan));
    if (!opened.ok()) {
      error = "create: " + opened.error().to_string();
    } else {
      creating = false;
      Database db = std::move(opened).value();
      for (size_t i = 0; i < life.commits.size() && error.empty(); ++i) {
        in_flight = i + 1;
        error = test::run_commit(life.commits[i], life.states[i], [&] { return db.begin_write(); });
        if (error.empty() && life.commits[i].kind != test::CommitKind::kNonDurable) durable = i + 1;
      }
      if (error.empty()) {
        if (auto closed = db.close(); !closed.ok()) {
          error = "close: " + closed.error().to_string();
        } else {
          durable = in_flight;
        }
      } else {
        auto again = db.begin_write();
        if (again.ok()) {
          out.failure = "a write transaction started after the failure (" + error + ")";
          return out;
        }
        if (again.error().to_string() !=
            "Previous I/O error occurred. Please close and re-open the database.") {
          out.failure = "after the failure (" + error + ") begin_write gave " +
                        again.error().to_string();
          return out;
        }
        (void)db.close();
      }
    }
  }
  out.injected = plan->injected() > 0;
  out.calls = plan->data_calls();
  if (!out.injected) {
    if (!error.empty()) out.failure = "failed with nothing injected: " + error;
    return out;
  }
  // Only a failed trim after a durable commit passes unreported: the file
  // just stays longer, and the next trimming commit tries again.
  if (error.empty() && plan->last_injected() != test::BackendOp::kSetLen) {
    out.failure = std::string("the injected failure of a ") +
                  test::backend_op_name(*plan->last_injected()) + " did not surface";
    return out;
  }
  if (!error.empty() && error.find("I/O error: ") == std::string::npos) {
    out.failure = "the failure surfaced as " + error;
    return out;
  }
  const std::vector<uint8_t> bytes = file->snapshot();
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::vector<Model> candidates(life.states.begin() + static_cast<ptrdiff_t>(durable),
                                life.states.begin() + static_cast<ptrdiff_t>(in_flight) + 1);
  std::string e = test::reopen_and_check(path, candidates);
  // A file whose creation failed part-way may not open at all.
  if (!e.empty() && !(creating && e.rfind("writable open:", 0) == 0)) {
    out.failure = "after " + error + ", commit in flight " + std::to_string(in_flight) +
                  ", last durable " + std::to_string(durable) + ": " + e;
  }
  return out;
}

// The file a process leaves when it dies after its last commit (no close):
// the next writable open repairs it.
std::vector<uint8_t> unclean_file(const Life& life) {
  auto state = std::make_shared<test::CrashState>();
  auto opened = test::open_database_on(std::make_unique<test::CrashBackend>(state));
  if (!opened.ok()) panic("create: " + opened.error().to_string());
  Database db = std::move(opened).value();
  for (size_t i = 0; i < life.commits.size(); ++i) {
    const std::string e =
        test::run_commit(life.commits[i], life.states[i], [&] { return db.begin_write(); });
    if (!e.empty()) panic(e);
  }
  return state->current_image();
}

// A failure at every backend call of a repairing open: the open fails with
// the I/O error (or, for a failed trim, succeeds), and the file stays
// repairable to the same contents.
TEST(DatabaseFaultRepair, EveryFailedCallOfARepairingOpenLeavesTheFileRepairable) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("replay with RS_TEST_SEED=" + std::to_string(seed));
  const Life life = make_life(WorkloadMode::kNonDurableThenDurable, seed, 8);
  // Non-durable commits after the last durable one may be lost.
  size_t durable = 0;
  for (size_t i = 0; i < life.commits.size(); ++i) {
    if (life.commits[i].kind != test::CommitKind::kNonDurable) durable = i + 1;
  }
  const std::vector<Model> candidates(life.states.begin() + static_cast<ptrdiff_t>(durable),
                                      life.states.end());
  const std::vector<uint8_t> unclean = unclean_file(life);
  test::TempDir dir = test::TempDir::in_memory();
  const std::string path = dir.file("repaired.db");
  uint64_t n = 1;
  for (;; ++n) {
    auto file = std::make_shared<test::MemoryFile>(unclean);
    auto plan = std::make_shared<test::FaultPlan>();
    plan->fail_nth_any(n, EIO);
    {
      auto opened = test::open_database_on(std::make_unique<test::FaultInjectingBackend>(
          std::make_unique<test::MemoryBackend>(file), plan));
      if (plan->injected() == 0) break;  // past the open's last call
      if (opened.ok()) {
        EXPECT_EQ(plan->last_injected(), test::BackendOp::kSetLen) << "call " << n;
      } else {
        EXPECT_NE(opened.error().to_string().find("I/O error: "), std::string::npos)
            << "call " << n << ": " << opened.error().to_string();
      }
    }
    const std::vector<uint8_t> bytes = file->snapshot();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    ASSERT_EQ(test::reopen_and_check(path, candidates), "") << "failing call " << n;
  }
  // The open read, wrote and synced the file.
  EXPECT_GT(n, 10u);
}

// A failure at every backend call of a read-only open and a full read: the
// open or a read reports the I/O error; without one, everything reads back.
TEST(DatabaseFaultReadOnly, EveryFailedCallOfAReadIsReported) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("replay with RS_TEST_SEED=" + std::to_string(seed));
  const Life life = make_life(WorkloadMode::kOnePhase, seed, 6);
  auto state = std::make_shared<test::CrashState>();
  {
    auto opened = test::open_database_on(std::make_unique<test::CrashBackend>(state));
    ASSERT_TRUE(opened.ok());
    for (size_t i = 0; i < life.commits.size(); ++i) {
      ASSERT_EQ(test::run_commit(life.commits[i], life.states[i],
                                 [&] { return opened.value().begin_write(); }),
                "");
    }
    ASSERT_TRUE(opened.value().close().ok());
  }
  const std::vector<uint8_t> clean = state->current_image();
  uint64_t n = 1;
  for (;; ++n) {
    auto plan = std::make_shared<test::FaultPlan>();
    plan->fail_nth_any(n, EIO);
    std::string error;
    auto db = ReadOnlyDatabase::open_backend(
        std::make_unique<test::FaultInjectingBackend>(
            std::make_unique<test::MemoryBackend>(std::make_shared<test::MemoryFile>(clean)),
            plan),
        size_t{16} << 20);
    if (!db.ok()) {
      error = db.error().to_string();
    } else if (auto txn = db.value().begin_read(); !txn.ok()) {
      error = txn.error().to_string();
    } else if (auto model = test::read_model(txn.value()); !model.ok()) {
      error = model.error();
    } else {
      EXPECT_TRUE(model.value() == life.states.back()) << "call " << n;
    }
    if (plan->injected() == 0) break;
    EXPECT_NE(error.find("I/O error: "), std::string::npos) << "call " << n << ": " << error;
  }
  EXPECT_GT(n, 3u);
}

class DatabaseFault : public ::testing::TestWithParam<WorkloadMode> {};

TEST_P(DatabaseFault, EveryFailedCallSurfacesThenPreviousIoAndTheFileReopens) {
  const uint64_t seed = storage_test_support::random_seed();
  const Life life = make_life(GetParam(), seed, test::sanitized_build() ? 6 : 10);
  test::TempDir dir = test::TempDir::in_memory();
  const std::string path = dir.file("after-fault.db");
  const Outcome clean = live(life, 0, path);
  ASSERT_EQ(clean.failure, "") << "seed " << seed;
  ASSERT_GT(clean.calls, 20u);
  // Every call under the release build; a spread sample under sanitizers.
  const uint64_t stride = test::sanitized_build() ? std::max<uint64_t>(1, clean.calls / 60) : 1;
  for (uint64_t n = 1; n <= clean.calls; n += stride) {
    const Outcome out = live(life, n, path);
    ASSERT_TRUE(out.injected) << "call " << n << " of " << clean.calls << ", seed " << seed;
    ASSERT_EQ(out.failure, "") << "failing call " << n << " of " << clean.calls << ", "
                               << test::workload_mode_name(GetParam()) << ", replay with "
                               << "RS_TEST_SEED=" << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Workloads, DatabaseFault,
                         ::testing::Values(WorkloadMode::kTwoPhase, WorkloadMode::kOnePhase,
                                           WorkloadMode::kNonDurableThenDurable),
                         [](const auto& info) {
                           return std::string(test::workload_mode_test_name(info.param));
                         });

}  // namespace
}  // namespace storage

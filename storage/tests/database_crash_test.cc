// Power cuts during whole database workloads: at every sync the backend sees
// (creating the file, each commit, the close), the images a crash could leave
// (every prefix of the writes since the last sync, whole and with the last
// one torn at 512-byte sectors, and seeded subsets with every write torn) are
// reopened. The repairing open must hold the last acknowledged durable commit
// or the commit in flight, with every checksum and tree intact and exactly
// the pages in use allocated; the close that follows must leave a file that
// a read-only open accepts with the same contents. The running database's
// allocators are checked the same way after every commit.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/tests/support/crash_backend.h"
#include "storage/tests/support/database_access.h"
#include "storage/tests/support/database_checks.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/page_store_helpers.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"

namespace storage {
namespace {

using test::CrashSpec;
using test::Model;
using test::WorkloadMode;

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Runs one workload over a crash backend and checks the crash images at every sync.
class CrashRun {
 public:
  CrashRun(WorkloadMode mode, uint64_t seed, size_t commits)
      : mode_(mode), seed_(seed), commits_(test::make_workload(mode, seed, commits)),
        dir_(test::TempDir::in_memory()), path_(dir_.file("image.db")) {
    states_.emplace_back();
    for (const auto& commit : commits_) {
      Model next = states_.back();
      test::apply_to_model(commit, next);
      states_.push_back(std::move(next));
    }
  }

  // Empty when every image passed; else the first failure, with how to replay it.
  std::string run() {
    auto state = std::make_shared<test::CrashState>();
    auto observer = std::make_shared<test::Observer>();
    observer->before_sync = [&] { check_images(*state); };
    creating_ = true;
    auto opened = test::open_database_on(std::make_unique<test::ObservedBackend>(
        std::make_unique<test::CrashBackend>(state), observer));
    creating_ = false;
    if (!opened.ok()) return "create: " + opened.error().to_string();
    Database db = std::move(opened).value();
    for (size_t i = 0; i < commits_.size() && failure_.empty(); ++i) {
      in_flight_ = i + 1;
      std::string e =
          test::run_commit(commits_[i], states_[i], [&] { return db.begin_write(); });
      if (!e.empty()) return "commit " + std::to_string(i + 1) + ": " + e;
      if (commits_[i].kind != test::CommitKind::kNonDurable) durable_ = i + 1;
      // The live allocators, too, hold exactly the pages in use.
      if (std::string c = test::check_page_store(test::page_store_of(db)); !c.empty()) {
        return "after commit " + std::to_string(i + 1) + ": " + c;
      }
    }
    // The close makes the pending commits durable and saves the allocators.
    if (auto closed = db.close(); !closed.ok()) return "close: " + closed.error().to_string();
    durable_ = commits_.size();
    if (failure_.empty()) check_image("after the close", state->current_image(), false);
    return failure_;
  }

  size_t images() const { return images_; }

 private:
  void check_images(const test::CrashState& state) {
    if (!failure_.empty()) return;
    ++syncs_;
    const size_t ops = state.unsynced_ops();
    // Long runs of writes are sampled, always with both ends.
    const size_t stride = std::max<size_t>(1, ops / (test::sanitized_build() ? 6 : 24));
    std::vector<CrashSpec> specs;
    std::vector<size_t> prefixes;
    for (size_t k = 0; k < ops; k += stride) prefixes.push_back(k);
    prefixes.push_back(ops);
    for (size_t k : prefixes) {
      specs.push_back(CrashSpec::first(k));
      if (k > 0) specs.push_back(CrashSpec::first(k, true, seed_ ^ (syncs_ << 20) ^ k));
    }
    for (uint64_t s = 0; s < 3; ++s) {
      specs.push_back(CrashSpec::subset(seed_ + syncs_ * 131 + s, s != 0));
    }
    for (const CrashSpec& spec : specs) {
      check_image("sync " + std::to_string(syncs_) + " (" + std::to_string(ops) +
                      " writes pending) " + spec.debug(),
                  state.crash_image(spec), creating_);
      if (!failure_.empty()) return;
    }
  }

  void check_image(const std::string& label, const std::vector<uint8_t>& image, bool creating) {
    ++images_;
    write_file(path_, image);
    // Between the last durable commit and the one in flight, non-durable
    // states included (they reach the disk whole or not at all).
    std::vector<Model> candidates(states_.begin() + static_cast<ptrdiff_t>(durable_),
                                  states_.begin() + static_cast<ptrdiff_t>(in_flight_) + 1);
    std::string e = test::reopen_and_check(path_, candidates);
    // A crash while the file is first written may leave it unopenable.
    if (!e.empty() && creating && e.rfind("writable open:", 0) == 0) return;
    if (!e.empty()) {
      failure_ = std::string(test::workload_mode_name(mode_)) + " seed " +
                 std::to_string(seed_) + ", commit in flight " + std::to_string(in_flight_) +
                 ", last durable " + std::to_string(durable_) + ", " + label + ": " + e;
    }
  }

  WorkloadMode mode_;
  uint64_t seed_;
  std::vector<test::WorkloadCommit> commits_;
  std::vector<Model> states_;
  test::TempDir dir_;
  std::string path_;
  bool creating_ = false;
  size_t durable_ = 0;
  size_t in_flight_ = 0;
  uint64_t syncs_ = 0;
  size_t images_ = 0;
  std::string failure_;
};

class DatabaseCrash : public ::testing::TestWithParam<WorkloadMode> {};

TEST_P(DatabaseCrash, EveryImageReopensToAnAcknowledgedStateIntact) {
  const size_t rounds = test::reliability_rounds(2, 1);
  const uint64_t base = storage_test_support::random_seed();
  for (size_t round = 0; round < rounds; ++round) {
    const uint64_t seed = base + round;
    CrashRun run(GetParam(), seed, test::sanitized_build() ? 8 : 14);
    const std::string failure = run.run();
    ASSERT_EQ(failure, "") << "replay with RS_TEST_SEED=" << base;
    EXPECT_GT(run.images(), 20u);
  }
}

INSTANTIATE_TEST_SUITE_P(Workloads, DatabaseCrash,
                         ::testing::Values(WorkloadMode::kTwoPhase, WorkloadMode::kOnePhase,
                                           WorkloadMode::kNonDurableThenDurable),
                         [](const auto& info) {
                           return std::string(test::workload_mode_test_name(info.param));
                         });

}  // namespace
}  // namespace storage

// The seeded workloads of the database reliability tests, and their model.
//
// A workload is a list of commits over three u64 -> byte-string tables: point
// inserts (new keys and overwrites, small values and values of several pages,
// so that freed pages and multi-page runs come and go) and sorted runs through
// the write cursor. Each commit is durable one-phase, durable two-phase, or
// non-durable. The model is the tables' contents after each commit; an open
// after a crash must find one of the states between the last acknowledged
// durable commit and the commit in flight.
//
// Thread safety: plain values; each belongs to one thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/transactions/transaction_state.h"
#include "storage/transaction.h"

namespace storage::test {

inline const char* const kWorkloadTables[] = {"t0", "t1", "t2"};
inline constexpr size_t kWorkloadTableCount = 3;

using TableModel = std::map<uint64_t, std::vector<uint8_t>>;
// An absent table and an empty one are the same state.
struct Model {
  std::map<std::string, TableModel> tables;
  bool operator==(const Model& other) const;
  std::string debug() const;
};

enum class CommitKind { kOnePhase, kTwoPhase, kNonDurable };

enum class WorkloadMode {
  kOnePhase,
  kTwoPhase,
  // Runs of non-durable commits, each closed by a durable one.
  kNonDurableThenDurable,
};
const char* workload_mode_name(WorkloadMode mode);
// The same, as a parameterized test's name suffix (letters only).
const char* workload_mode_test_name(WorkloadMode mode);

struct WorkloadOp {
  size_t table = 0;
  // A point insert of `key`, or (run > 0) `run` keys appended after the
  // table's greatest key through the write cursor.
  uint64_t key = 0;
  size_t run = 0;
  size_t value_len = 0;
};

struct WorkloadCommit {
  CommitKind kind = CommitKind::kOnePhase;
  std::vector<WorkloadOp> ops;
  // The value bytes of this commit differ from every other's.
  uint64_t salt = 0;
};

std::vector<WorkloadCommit> make_workload(WorkloadMode mode, uint64_t seed, size_t commits);

// The value stored for a key by a commit.
std::vector<uint8_t> workload_value(uint64_t key, uint64_t salt, size_t len);

// What the commit does to the model.
void apply_to_model(const WorkloadCommit& commit, Model& model);

// Runs the commit's edits in the transaction and sets its durability (and
// two-phase flag); the caller commits it.
Result<void, StorageError> apply_to_transaction(const WorkloadCommit& commit, const Model& before,
                                                WriteTransaction& txn);

// Reads the workload tables of a snapshot in full (an absent table is empty).
Result<Model, std::string> read_model(const ReadTransaction& txn);

// Runs a whole commit: begin (through `begin`), edit, commit. The error text
// of the first failure, or empty.
template <typename Begin>
std::string run_commit(const WorkloadCommit& commit, const Model& before, Begin&& begin) {
  auto txn = begin();
  if (!txn.ok()) return "begin_write: " + txn.error().to_string();
  WriteTransaction t = std::move(txn).value();
  if (auto r = apply_to_transaction(commit, before, t); !r.ok()) {
    return "edit: " + r.error().to_string();
  }
  if (auto r = std::move(t).commit(); !r.ok()) return "commit: " + r.error().to_string();
  return "";
}

// Round counts of the long randomised suites: `normal`, or `sanitized` in
// sanitizer builds; RS_RELIABILITY_ROUNDS=<n> multiplies them by n.
size_t reliability_rounds(size_t normal, size_t sanitized);
bool sanitized_build();

}  // namespace storage::test

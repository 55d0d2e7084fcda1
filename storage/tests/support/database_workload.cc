#include "storage/tests/support/database_workload.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace storage::test {
namespace {

bool equal_tables(const TableModel* a, const TableModel* b) {
  const bool a_empty = a == nullptr || a->empty();
  const bool b_empty = b == nullptr || b->empty();
  if (a_empty || b_empty) return a_empty == b_empty;
  return *a == *b;
}

const TableModel* find_table(const Model& model, const std::string& name) {
  auto it = model.tables.find(name);
  return it == model.tables.end() ? nullptr : &it->second;
}

// The keys an op writes, given the table before it.
std::vector<uint64_t> op_keys(const WorkloadOp& op, const TableModel& table) {
  if (op.run == 0) return {op.key};
  uint64_t start = table.empty() ? 1000 : std::max<uint64_t>(1000, table.rbegin()->first + 1);
  std::vector<uint64_t> keys(op.run);
  for (size_t i = 0; i < op.run; ++i) keys[i] = start + i * 3;
  return keys;
}

}  // namespace

bool Model::operator==(const Model& other) const {
  for (const auto& [name, table] : tables) {
    if (!equal_tables(&table, find_table(other, name))) return false;
  }
  for (const auto& [name, table] : other.tables) {
    if (!equal_tables(&table, find_table(*this, name))) return false;
  }
  return true;
}

std::string Model::debug() const {
  std::string out;
  for (const auto& [name, table] : tables) {
    uint64_t bytes = 0;
    for (const auto& [k, v] : table) bytes += v.size();
    out += name + ":" + std::to_string(table.size()) + " keys/" + std::to_string(bytes) + "B ";
  }
  return out.empty() ? "(empty)" : out;
}

const char* workload_mode_name(WorkloadMode mode) {
  switch (mode) {
    case WorkloadMode::kOnePhase:
      return "one-phase";
    case WorkloadMode::kTwoPhase:
      return "two-phase";
    case WorkloadMode::kNonDurableThenDurable:
      return "non-durable then durable";
  }
  return "?";
}

const char* workload_mode_test_name(WorkloadMode mode) {
  switch (mode) {
    case WorkloadMode::kOnePhase:
      return "OnePhase";
    case WorkloadMode::kTwoPhase:
      return "TwoPhase";
    case WorkloadMode::kNonDurableThenDurable:
      return "NonDurableThenDurable";
  }
  return "Unknown";
}

std::vector<WorkloadCommit> make_workload(WorkloadMode mode, uint64_t seed, size_t commits) {
  std::mt19937_64 rng(seed);
  std::vector<WorkloadCommit> out;
  size_t non_durable_left = 0;
  for (size_t c = 0; c < commits; ++c) {
    WorkloadCommit commit;
    commit.salt = rng();
    switch (mode) {
      case WorkloadMode::kOnePhase:
        commit.kind = CommitKind::kOnePhase;
        break;
      case WorkloadMode::kTwoPhase:
        commit.kind = CommitKind::kTwoPhase;
        break;
      case WorkloadMode::kNonDurableThenDurable:
        if (non_durable_left == 0 && (c == 0 || out.back().kind != CommitKind::kNonDurable)) {
          non_durable_left = 1 + rng() % 4;
        }
        if (non_durable_left > 0 && c + 1 < commits) {
          --non_durable_left;
          commit.kind = CommitKind::kNonDurable;
        } else {
          non_durable_left = 0;
          commit.kind = rng() % 2 ? CommitKind::kTwoPhase : CommitKind::kOnePhase;
        }
        break;
    }
    const size_t ops = 1 + rng() % 6;
    for (size_t i = 0; i < ops; ++i) {
      WorkloadOp op;
      op.table = rng() % kWorkloadTableCount;
      if (rng() % 10 < 7) {
        op.key = rng() % 200;
        const uint64_t size_class = rng() % 20;
        op.value_len = size_class < 16  ? 1 + rng() % 200
                       : size_class < 19 ? 500 + rng() % 2500
                                         : 5000 + rng() % 15000;
      } else {
        op.run = 5 + rng() % 60;
        op.value_len = 10 + rng() % 90;
      }
      commit.ops.push_back(op);
    }
    out.push_back(std::move(commit));
  }
  return out;
}

std::vector<uint8_t> workload_value(uint64_t key, uint64_t salt, size_t len) {
  std::vector<uint8_t> out(len);
  uint64_t x = key * 0x9E3779B97F4A7C15ULL ^ salt;
  for (size_t i = 0; i < len; ++i) {
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ULL;
    out[i] = static_cast<uint8_t>(x >> 56);
  }
  return out;
}

void apply_to_model(const WorkloadCommit& commit, Model& model) {
  for (const WorkloadOp& op : commit.ops) {
    TableModel& table = model.tables[kWorkloadTables[op.table]];
    for (uint64_t key : op_keys(op, table)) {
      table[key] = workload_value(key, commit.salt, op.value_len);
    }
  }
}

Result<void, StorageError> apply_to_transaction(const WorkloadCommit& commit, const Model& before,
                                                WriteTransaction& txn) {
  Model model = before;
  for (const WorkloadOp& op : commit.ops) {
    TableModel& expected = model.tables[kWorkloadTables[op.table]];
    const std::vector<uint64_t> keys = op_keys(op, expected);
    auto opened = txn.open_table<U64Codec, BytesCodec>(kWorkloadTables[op.table]);
    if (!opened.ok()) return Err{std::move(opened).error().into_storage_error_or_corrupted("open_table")};
    Table<U64Codec, BytesCodec> table = std::move(opened).value();
    if (op.run == 0) {
      const auto value = workload_value(op.key, commit.salt, op.value_len);
      TRY(table.insert(op.key, ByteView(value)));
    } else {
      TRY_ASSIGN(CursorMut cursor, table.upper_bound_mut(CursorBound::unbounded()));
      for (uint64_t key : keys) {
        const auto value = workload_value(key, commit.salt, op.value_len);
        TRY(cursor.insert_before(key, ByteView(value)));
      }
      TRY(std::move(cursor).close());
    }
    for (uint64_t key : keys) expected[key] = workload_value(key, commit.salt, op.value_len);
  }
  if (commit.kind == CommitKind::kNonDurable) {
    if (auto r = txn.set_durability(Durability::kNonDurable); !r.ok()) {
      return Err{StorageError::Corrupted(r.error().to_string())};
    }
  }
  if (commit.kind == CommitKind::kTwoPhase) {
    detail::WriteTransactionAccess::state(txn)->two_phase_commit = true;
  }
  return {};
}

Result<Model, std::string> read_model(const ReadTransaction& txn) {
  Model model;
  for (const char* name : kWorkloadTables) {
    auto table = txn.open_table<U64Codec, BytesCodec>(name);
    if (!table.ok()) {
      if (table.error().kind() == TableError::Kind::kNoSuchTable) continue;
      return Err{std::string(name) + ": " + table.error().to_string()};
    }
    auto range = table.value().iter();
    if (!range.ok()) return Err{std::string(name) + " iter: " + range.error().to_string()};
    TableModel& out = model.tables[name];
    while (auto entry = range.value().next()) {
      if (!entry->ok()) return Err{std::string(name) + " next: " + entry->error().to_string()};
      auto [key, value] = std::move(*entry).value();
      const ByteView bytes = value.bytes();
      out.emplace(key.value(), std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
  }
  return model;
}

bool sanitized_build() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#else
  return false;
#endif
}

size_t reliability_rounds(size_t normal, size_t sanitized) {
  size_t factor = 1;
  if (const char* text = std::getenv("RS_RELIABILITY_ROUNDS")) {
    factor = std::max<size_t>(1, std::strtoul(text, nullptr, 10));
  }
  return (sanitized_build() ? sanitized : normal) * factor;
}

}  // namespace storage::test

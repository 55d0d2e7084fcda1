// A fault-injecting backend: wraps another backend and fails a chosen call
// (the N-th read, write, length query, resize or sync, or the N-th of any of
// them) with a chosen errno, without passing that call on. It also counts the
// calls of each kind, so tests can tell how often the file was touched.
//
// The FaultPlan is shared between the test and the backend the page store owns.
//
// Thread safety: the plan is mutex-guarded; the backend adds no state of its own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "storage/src/tree_store/page_store/backends.h"

namespace storage::test {

enum class BackendOp { kRead = 0, kWrite, kLen, kSetLen, kSync, kClose };
inline constexpr size_t kBackendOpCount = 6;
const char* backend_op_name(BackendOp op);

class FaultPlan {
 public:
  // Fails the n-th call (counting from 1, over the plan's life) of `op`.
  void fail_nth(BackendOp op, uint64_t n, int error);
  // Fails the n-th call counting every read, write, length query, resize and
  // sync together (close is not counted).
  void fail_nth_any(uint64_t n, int error);
  // Drops every armed failure.
  void disarm();

  uint64_t calls(BackendOp op) const;
  // Reads, writes, length queries, resizes and syncs so far.
  uint64_t data_calls() const;
  // How many injected failures fired.
  uint64_t injected() const;
  // The kind of call the last injected failure hit.
  std::optional<BackendOp> last_injected() const;

  // Called by the backend before each call: the failure to report, if any.
  std::optional<IoError> on_call(BackendOp op);

 private:
  struct Armed {
    uint64_t n;
    int error;
  };
  mutable std::mutex mu_;
  std::array<uint64_t, kBackendOpCount> calls_{};
  std::array<std::optional<Armed>, kBackendOpCount> armed_{};
  uint64_t data_calls_ = 0;
  std::optional<Armed> armed_any_;
  uint64_t injected_ = 0;
  std::optional<BackendOp> last_injected_;
};

class FaultInjectingBackend final : public StorageBackend {
 public:
  FaultInjectingBackend(std::unique_ptr<StorageBackend> inner, std::shared_ptr<FaultPlan> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {}

  std::string debug() const override { return "FaultInjectingBackend { " + inner_->debug() + " }"; }
  Result<uint64_t, IoError> len() const override;
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override;
  Result<void, IoError> set_len(uint64_t len) const override;
  Result<void, IoError> sync_data() const override;
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override;
  Result<void, IoError> close() const override;

 private:
  std::unique_ptr<StorageBackend> inner_;
  std::shared_ptr<FaultPlan> plan_;
};

}  // namespace storage::test

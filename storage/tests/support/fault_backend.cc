#include "storage/tests/support/fault_backend.h"

namespace storage::test {

const char* backend_op_name(BackendOp op) {
  switch (op) {
    case BackendOp::kRead:
      return "read";
    case BackendOp::kWrite:
      return "write";
    case BackendOp::kLen:
      return "len";
    case BackendOp::kSetLen:
      return "set_len";
    case BackendOp::kSync:
      return "sync_data";
    case BackendOp::kClose:
      return "close";
  }
  return "?";
}

void FaultPlan::fail_nth(BackendOp op, uint64_t n, int error) {
  std::lock_guard<std::mutex> lock(mu_);
  armed_[static_cast<size_t>(op)] = Armed{n, error};
}

void FaultPlan::fail_nth_any(uint64_t n, int error) {
  std::lock_guard<std::mutex> lock(mu_);
  armed_any_ = Armed{n, error};
}

void FaultPlan::disarm() {
  std::lock_guard<std::mutex> lock(mu_);
  armed_.fill(std::nullopt);
  armed_any_.reset();
}

uint64_t FaultPlan::calls(BackendOp op) const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_[static_cast<size_t>(op)];
}

uint64_t FaultPlan::data_calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return data_calls_;
}

uint64_t FaultPlan::injected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return injected_;
}

std::optional<BackendOp> FaultPlan::last_injected() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_injected_;
}

std::optional<IoError> FaultPlan::on_call(BackendOp op) {
  std::lock_guard<std::mutex> lock(mu_);
  const size_t i = static_cast<size_t>(op);
  const uint64_t nth = ++calls_[i];
  std::optional<IoError> failure;
  if (armed_[i] && armed_[i]->n == nth) failure = IoError::from_errno(armed_[i]->error);
  if (op != BackendOp::kClose) {
    const uint64_t nth_any = ++data_calls_;
    if (!failure && armed_any_ && armed_any_->n == nth_any) {
      failure = IoError::from_errno(armed_any_->error);
    }
  }
  if (failure) {
    ++injected_;
    last_injected_ = op;
  }
  return failure;
}

Result<uint64_t, IoError> FaultInjectingBackend::len() const {
  if (auto f = plan_->on_call(BackendOp::kLen)) return Err{std::move(*f)};
  return inner_->len();
}

Result<void, IoError> FaultInjectingBackend::read(uint64_t offset, std::span<uint8_t> out) const {
  if (auto f = plan_->on_call(BackendOp::kRead)) return Err{std::move(*f)};
  return inner_->read(offset, out);
}

Result<void, IoError> FaultInjectingBackend::set_len(uint64_t len) const {
  if (auto f = plan_->on_call(BackendOp::kSetLen)) return Err{std::move(*f)};
  return inner_->set_len(len);
}

Result<void, IoError> FaultInjectingBackend::sync_data() const {
  if (auto f = plan_->on_call(BackendOp::kSync)) return Err{std::move(*f)};
  return inner_->sync_data();
}

Result<void, IoError> FaultInjectingBackend::write(uint64_t offset,
                                                   std::span<const uint8_t> data) const {
  if (auto f = plan_->on_call(BackendOp::kWrite)) return Err{std::move(*f)};
  return inner_->write(offset, data);
}

Result<void, IoError> FaultInjectingBackend::close() const {
  if (auto f = plan_->on_call(BackendOp::kClose)) return Err{std::move(*f)};
  return inner_->close();
}

}  // namespace storage::test

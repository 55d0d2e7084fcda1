#include "src/fullmap/error.h"

#include "src/fullmap/layout.h"

namespace rs::fullmap {
namespace {

template <typename E>
PendingError from_display(const E& error) {
  return PendingError::runtime(error.to_string());
}

}  // namespace

PendingError py_err(RowError error) { return from_display(error); }
PendingError py_err(ChannelClosed error) { return from_display(error); }
PendingError py_err(LockPoisoned error) { return from_display(error); }
PendingError py_err(storage::TableError error) { return from_display(error); }
PendingError py_err(storage::CommitError error) { return from_display(error); }
PendingError py_err(storage::StorageError error) { return from_display(error); }
PendingError py_err(storage::DatabaseError error) { return from_display(error); }
PendingError py_err(storage::TransactionError error) { return from_display(error); }
PendingError py_err(json::ParseError error) { return PendingError::runtime(error.display()); }
PendingError py_err(storage::IoError error) { return from_display(error); }

std::string PendingError::to_string() const {
  std::string out = kind_ == Kind::kValueError ? "ValueError: " : "RuntimeError: ";
  out += message();
  return out;
}

}  // namespace rs::fullmap

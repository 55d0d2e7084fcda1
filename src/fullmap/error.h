// The error value of every fallible fullmap operation: a Python exception not
// yet raised. It is made without the interpreter lock, on any thread, and
// moves freely between threads; only the final raise (src/fullmap/boundary.h)
// touches Python.
//
// `py_err` turns any of the program's error types into one, formatting its
// display text once. A PendingError is also constructible from each of those
// types, so TRY hands an error of a lower layer up unchanged.
//
// Thread safety: plain values; no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "src/json.h"
#include "storage/src/error.h"

namespace rs::fullmap {

struct RowError;
class PendingError;

// A send on a channel whose receivers are gone.
struct ChannelClosed {
  std::string to_string() const { return "sending on a closed channel"; }
};

// A lock left poisoned by a thread that failed while holding it.
struct LockPoisoned {
  std::string to_string() const { return "poisoned lock: another task failed inside"; }
};

// The subsystem's fixed messages.
inline constexpr char kNoSynonymFiles[] = "at least one synonym file is required";
inline constexpr char kBadReturnFormat[] = "return_format must be 'rows' or 'pairs'";
inline constexpr char kWorkerPanicked[] = "fullmap build worker panicked";
inline constexpr char kShardWriterPanicked[] = "fullmap shard writer panicked";
inline constexpr char kLookupThreadPanicked[] = "fullmap lookup thread panicked";

PendingError py_err(RowError error);
PendingError py_err(ChannelClosed error);
PendingError py_err(LockPoisoned error);
PendingError py_err(storage::TableError error);
PendingError py_err(storage::CommitError error);
PendingError py_err(storage::StorageError error);
PendingError py_err(storage::DatabaseError error);
PendingError py_err(storage::TransactionError error);
PendingError py_err(json::ParseError error);
PendingError py_err(storage::IoError error);

class PendingError {
 public:
  // The only two exception kinds the fullmap raises itself.
  enum class Kind : uint8_t { kRuntimeError, kValueError };

  // Fixed messages: `text` must outlive the error (a string literal).
  static PendingError runtime_static(const char* text) {
    return PendingError(Kind::kRuntimeError, text);
  }
  static PendingError value_static(const char* text) {
    return PendingError(Kind::kValueError, text);
  }
  static PendingError runtime(std::string message) {
    return PendingError(Kind::kRuntimeError, std::move(message));
  }

  // Any error that py_err accepts.
  template <typename E>
    requires requires(E e) { py_err(std::move(e)); }
  explicit PendingError(E error) : PendingError(py_err(std::move(error))) {}

  Kind kind() const { return kind_; }
  std::string_view message() const {
    return static_text_ != nullptr ? std::string_view(static_text_) : std::string_view(owned_);
  }
  // "RuntimeError: <message>", for test failures and logs.
  std::string to_string() const;

 private:
  PendingError(Kind kind, const char* text) : kind_(kind), static_text_(text) {}
  PendingError(Kind kind, std::string text) : kind_(kind), owned_(std::move(text)) {}

  Kind kind_;
  const char* static_text_ = nullptr;
  std::string owned_;
};

}  // namespace rs::fullmap

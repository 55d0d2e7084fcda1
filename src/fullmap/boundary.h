// Where fullmap errors become Python exceptions: only here, with the
// interpreter lock held.
//
// Thread safety: call with the interpreter lock held.
#pragma once

#include <optional>
#include <utility>

#include "src/boundary.h"
#include "src/fullmap/error.h"
#include "storage/src/result.h"

namespace rs::fullmap {

// Raises `error` as its exception kind with its message; returns null for
// `return`.
PyObject* raise_pending(const PendingError& error);

// The value of `result`; or nullopt, with its error raised.
template <typename T>
std::optional<T> value_or_raise(storage::Result<T, PendingError>&& result) {
  if (result.ok()) return std::optional<T>(std::move(result).value());
  raise_pending(result.error());
  return std::nullopt;
}

// True when `result` succeeded; otherwise false, with its error raised.
inline bool ok_or_raise(const storage::Result<void, PendingError>& result) {
  if (result.ok()) return true;
  raise_pending(result.error());
  return false;
}

}  // namespace rs::fullmap

// Where fullmap errors become Python exceptions: only here, with the
// interpreter lock held.
//
// Thread safety: call with the interpreter lock held.
#pragma once

#include "src/boundary.h"
#include "src/fullmap/error.h"

namespace rs::fullmap {

// Raises `error` as its exception kind with its message; returns null for
// `return`.
PyObject* raise_pending(const PendingError& error);

}  // namespace rs::fullmap

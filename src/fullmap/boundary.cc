#include "src/fullmap/boundary.h"

namespace rs::fullmap {

PyObject* raise_pending(const PendingError& error) {
  if (error.kind() == PendingError::Kind::kValueError) return raise_value_error(error.message());
  return raise_runtime_error(error.message());
}

}  // namespace rs::fullmap

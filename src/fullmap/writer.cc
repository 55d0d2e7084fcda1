#include "src/fullmap/writer.h"

namespace rs::fullmap {

storage::Result<void, PendingError> write_final_database(const FinalWriteInput&) {
  return storage::Err(PendingError::runtime_static(kWriterMissing));
}

}  // namespace rs::fullmap

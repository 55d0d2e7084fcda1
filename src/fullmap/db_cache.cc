#include "src/fullmap/db_cache.h"

namespace rs::fullmap {

storage::Result<void, PendingError> evict_cached_paths(const std::string&) { return {}; }

}  // namespace rs::fullmap

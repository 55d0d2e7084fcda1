#include "storage/src/panic.h"

namespace storage {

void panic(std::string message) { throw Panic(std::move(message)); }

}  // namespace storage

#include "storage/tests/support/random_seed.h"

#include <cstdlib>
#include <random>

namespace storage_test_support {

uint64_t random_seed() {
  if (const char* text = std::getenv("RS_TEST_SEED")) return std::strtoull(text, nullptr, 10);
  std::random_device device;
  return (uint64_t{device()} << 32) | device();
}

}  // namespace storage_test_support

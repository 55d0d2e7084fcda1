// Seeds of the randomised tests: RS_TEST_SEED when set (to replay a failure
// whose seed a test printed), else a fresh random one.
#pragma once

#include <cstdint>

namespace storage_test_support {

uint64_t random_seed();

}  // namespace storage_test_support

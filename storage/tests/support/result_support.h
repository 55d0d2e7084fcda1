// Unwrapping results in tests: a failed step ends the test program at once,
// with the error, instead of running on with a moved-from or absent value.
#pragma once

#include <cstdlib>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace storage::test {

template <typename R>
auto take(R result) {
  if (!result.ok()) {
    ADD_FAILURE() << result.error().to_string();
    std::abort();
  }
  return std::move(result).value();
}

template <typename R>
std::string error_text(const R& result) {
  return result.ok() ? "<ok>" : result.error().to_string();
}

}  // namespace storage::test

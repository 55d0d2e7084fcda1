// Unwrapping results in tests. An error value fails the test at the place it
// was taken, with the error's text, and ends that test only: take() throws,
// GoogleTest reports the throw as the end of the test and the program goes on
// with the next one. On a thread the test started itself nothing catches the
// throw and the program ends, but the failure and its text are reported
// first, and the terminate message repeats them.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace storage::test {

// What take() throws on an error value: the place and the error's text.
class TakeFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

template <typename R>
auto take(R result, std::source_location where = std::source_location::current()) {
  if (!result.ok()) {
    const std::string text = result.error().to_string();
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "take() on an error: " << text;
    throw TakeFailed("take() on an error at " + std::string(where.file_name()) + ":" +
                     std::to_string(where.line()) + ": " + text);
  }
  return std::move(result).value();
}

template <typename R>
std::string error_text(const R& result) {
  return result.ok() ? "<ok>" : result.error().to_string();
}

}  // namespace storage::test

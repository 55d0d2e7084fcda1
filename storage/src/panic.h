// A panic is a broken internal invariant: never a recoverable error value.
// It unwinds to the nearest thread or interpreter boundary, which reports it.
// Never throw one from a destructor.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace storage {

class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Throws a Panic carrying `message`.
[[noreturn]] void panic(std::string message);

}  // namespace storage

// Checks an internal invariant; a failure panics with the condition's text and place.
#define STORAGE_ASSERT(cond)                                                  \
  do {                                                                        \
    if (!(cond)) [[unlikely]]                                                 \
      ::storage::panic(std::string("assertion failed: ") + #cond + " at " +   \
                       __FILE__ + ":" + std::to_string(__LINE__));            \
  } while (0)

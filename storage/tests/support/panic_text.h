// Runs a callable and returns the message of the Panic it raised, or
// "<no panic>" when it returned normally.
#pragma once

#include <string>

#include "storage/src/panic.h"

namespace storage::test {

template <typename F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.message();
  }
  return "<no panic>";
}

}  // namespace storage::test

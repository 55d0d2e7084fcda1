// The benchmarks' way with an engine error: report it and end the program,
// since a figure measured past a failure would mean nothing.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <utility>

template <typename R>
auto must(R r, const char* what) {
  if (!r.ok()) {
    std::fprintf(stderr, "%s failed: %s\n", what, r.error().to_string().c_str());
    std::exit(1);
  }
  if constexpr (!std::is_void_v<typename R::value_type>) return std::move(r).value();
}

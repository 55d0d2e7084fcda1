// Result<T, E>: the value of a fallible operation, either its result or an
// error value. Errors are values throughout the engine; panics are reserved for
// broken invariants.
//
// Thread safety: a plain value type; no internal synchronisation.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "storage/src/panic.h"

namespace storage {

template <typename E>
struct Err {
  E error;
};
template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  template <typename U = T>
    requires std::is_constructible_v<T, U&&> &&
             (!std::is_same_v<std::remove_cvref_t<U>, Result>)
  Result(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT
  template <typename F>
    requires std::is_constructible_v<E, F&&>
  Result(Err<F> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & {
    if (!ok()) panic("called value() on an error result");
    return std::get<0>(v_);
  }
  const T& value() const& {
    if (!ok()) panic("called value() on an error result");
    return std::get<0>(v_);
  }
  T&& value() && {
    if (!ok()) panic("called value() on an error result");
    return std::get<0>(std::move(v_));
  }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & {
    if (ok()) panic("called error() on an ok result");
    return std::get<1>(v_);
  }
  const E& error() const& {
    if (ok()) panic("called error() on an ok result");
    return std::get<1>(v_);
  }
  E&& error() && {
    if (ok()) panic("called error() on an ok result");
    return std::get<1>(std::move(v_));
  }

  // Moves the error out as an Err, for returning it from a caller whose error
  // type converts from E.
  Err<E> take_err() && { return Err<E>{std::move(*this).error()}; }

 private:
  std::variant<T, E> v_;
};

// A result with no value.
struct Unit {
  bool operator==(const Unit&) const = default;
};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Result() = default;
  Result(Unit) {}  // NOLINT
  template <typename F>
    requires std::is_constructible_v<E, F&&>
  Result(Err<F> err) : err_(std::in_place, std::move(err.error)) {}  // NOLINT

  bool ok() const noexcept { return !err_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  void value() const {
    if (!ok()) panic("called value() on an error result");
  }
  E& error() & {
    if (ok()) panic("called error() on an ok result");
    return *err_;
  }
  const E& error() const& {
    if (ok()) panic("called error() on an ok result");
    return *err_;
  }
  E&& error() && {
    if (ok()) panic("called error() on an ok result");
    return std::move(*err_);
  }
  Err<E> take_err() && { return Err<E>{std::move(*this).error()}; }

 private:
  std::optional<E> err_;
};

}  // namespace storage

#define STORAGE_CONCAT_INNER(a, b) a##b
#define STORAGE_CONCAT(a, b) STORAGE_CONCAT_INNER(a, b)

// Returns the error of `expr` (converted to the caller's error type) when it
// failed.
#define TRY(expr)                                                 \
  do {                                                            \
    auto&& STORAGE_CONCAT(try_r_, __LINE__) = (expr);             \
    if (!STORAGE_CONCAT(try_r_, __LINE__).ok())                   \
      return std::move(STORAGE_CONCAT(try_r_, __LINE__)).take_err(); \
  } while (0)

// Declares `lhs` from the value of `expr`, or returns its error.
#define TRY_ASSIGN(lhs, expr)                                        \
  auto STORAGE_CONCAT(try_v_, __LINE__) = (expr);                    \
  if (!STORAGE_CONCAT(try_v_, __LINE__).ok())                        \
    return std::move(STORAGE_CONCAT(try_v_, __LINE__)).take_err();   \
  lhs = std::move(STORAGE_CONCAT(try_v_, __LINE__)).value()

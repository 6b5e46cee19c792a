// Result<T, E>: the value of a fallible operation, holding either a T or an E.
// Errors travel as values through the library; nothing is thrown across a
// module boundary. (std::expected is not available on every toolchain we use.)
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace mok {

template <class E>
struct Err {
  E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
  return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  template <class U>
  requires std::is_constructible_v<E, U&&> Result(Err<U> e)
      : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> v_;
};

// Result of an operation that yields nothing on success.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class U>
  requires std::is_constructible_v<E, U&&> Result(Err<U> e)
      : v_(std::in_place_index<1>, std::move(e.error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<std::monostate, E> v_;
};

}  // namespace mok

// Result type of every fallible operation: a value or an error, never an
// exception. Where the standard library has std::expected it is used as is;
// on older libraries a small stand-in with the same surface (has_value,
// value, error, operator*, operator->, Unexpected, and Expected<void, E>
// for operations that only succeed or fail) takes its place.
#pragma once

#include <utility>
#include <variant>

#if defined(__has_include)
#if __has_include(<version>)
#include <version>
#endif
#endif

#if defined(__cpp_lib_expected) && __cpp_lib_expected >= 202202L
#include <expected>
namespace kelvara {
template <class T, class E>
using Expected = std::expected<T, E>;
template <class E>
using Unexpected = std::unexpected<E>;
}  // namespace kelvara
#else
namespace kelvara {

template <class E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Expected(Unexpected<G> u) : state_(std::in_place_index<1>, std::move(u).error()) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(state_); }
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

// An operation that yields nothing but may fail: success is `return {};`.
template <class E>
class Expected<void, E> {
 public:
  Expected() = default;
  template <class G>
  Expected(Unexpected<G> u) : error_(std::in_place_index<1>, std::move(u).error()) {}

  bool has_value() const noexcept { return error_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  E& error() & { return std::get<1>(error_); }
  const E& error() const& { return std::get<1>(error_); }
  E&& error() && { return std::get<1>(std::move(error_)); }

 private:
  std::variant<std::monostate, E> error_;
};

}  // namespace kelvara
#endif

// A value or the reason there is none. Errors are meant for the user to read.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace peiboard {

struct Error {
  std::string message;
};

template <class T, class E = Error>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Expected(E error) : v_(std::move(error)) {}  // NOLINT
  bool ok() const { return std::holds_alternative<T>(v_); }
  explicit operator bool() const { return ok(); }
  // Precondition for the accessors: ok() for value(), !ok() for error().
  T& value() & { return std::get<T>(v_); }
  const T& value() const& { return std::get<T>(v_); }
  T&& value() && { return std::get<T>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  const E& error() const { return std::get<E>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace peiboard

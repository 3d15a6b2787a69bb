// A value or the reason there is none. Errors are meant for the user to read.
#pragma once

#include <optional>
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

// Success with nothing to hand back, or the reason it failed.
template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  Expected(E error) : error_(std::move(error)) {}  // NOLINT: implicit by design
  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { return *error_; }  // precondition: !ok()

 private:
  std::optional<E> error_;
};

}  // namespace peiboard

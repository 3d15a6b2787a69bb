// A value or the reason there is none. Errors are plain text meant for the user.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace peiboard {

struct Error {
  std::string message;
};

template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}      // NOLINT: implicit by design
  Expected(Error error) : v_(std::move(error)) {}  // NOLINT
  bool ok() const { return std::holds_alternative<T>(v_); }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<T>(v_); }
  const T& value() const& { return std::get<T>(v_); }
  T&& value() && { return std::get<T>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  const Error& error() const { return std::get<Error>(v_); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace peiboard

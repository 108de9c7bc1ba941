#pragma once
/// A value or a VosketError (std::expected is not available in g++ 12).

#include <utility>
#include <variant>

#include "vosket/error.hpp"

namespace vosket {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(VosketError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const VosketError& error() const& { return std::get<1>(state_); }

 private:
  std::variant<T, VosketError> state_;
};

}  // namespace vosket

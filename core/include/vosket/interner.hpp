#pragma once
/// Dense numbering of raw item identifiers.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "vosket/detail/flat_map.hpp"
#include "vosket/internal.hpp"

namespace vosket {

/// Dense item identifier 0..n-1 of one interner.
using ItemId = std::uint32_t;

/// The number of distinct values an interner can number (the width of ItemId).
inline constexpr std::size_t kMaxItems = std::size_t{std::numeric_limits<ItemId>::max()} + 1;

/// Maps raw values to ItemIds in order of first sight, and back. Only grows.
template <class Raw>
class BasicInterner {
 public:
  BasicInterner() = default;
  /// An interner that refuses more than `max_items` (at most kMaxItems)
  /// distinct values; for exercising the limit in tests.
  explicit BasicInterner(std::size_t max_items) : max_items_(std::min(max_items, kMaxItems)) {}

  /// The id of `value`, assigning the next id on first sight. Throws
  /// CapacityError once 2^32 distinct values are held.
  ItemId intern(Raw value) {
    // Room for the value first, so that a failed allocation cannot leave the
    // map holding an id that `values_` lacks.
    if (values_.size() == values_.capacity()) values_.reserve(std::max<std::size_t>(16, 2 * values_.size()));
    auto [id, inserted] = ids_.find_or_insert(value, [&] { return next_id(); });
    if (inserted) values_.push_back(value);
    return *id;
  }

  /// The id of `value` if it was interned; never inserts.
  std::optional<ItemId> id_of(Raw value) const noexcept {
    const ItemId* id = ids_.find(value);
    if (id == nullptr) return std::nullopt;
    return *id;
  }

  /// The raw value of `id` when id < size().
  std::optional<Raw> value_of(ItemId id) const noexcept {
    if (id >= values_.size()) return std::nullopt;
    return values_[id];
  }

  std::size_t size() const noexcept { return values_.size(); }
  const std::vector<Raw>& values() const noexcept { return values_; }
  void reserve(std::size_t n) {
    ids_.reserve(n);
    values_.reserve(n);
  }

 private:
  ItemId next_id() const {
    if (values_.size() >= max_items_)
      throw CapacityError("too many distinct items: at most 4294967296 are supported");
    return static_cast<ItemId>(values_.size());
  }

  std::size_t max_items_ = kMaxItems;
  std::vector<Raw> values_;
  detail::FlatMap<Raw, ItemId, detail::IntHash> ids_;
};

using Interner = BasicInterner<std::int64_t>;

}  // namespace vosket

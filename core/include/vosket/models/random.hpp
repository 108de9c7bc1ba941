#pragma once
/// Seeded random baseline: a reproducible ranking fixed by seed and query.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vosket/interner.hpp"

namespace vosket {

/// Scores each item with a uniform draw in [0, 1) that depends only on the
/// seed, the query and the item's ItemId.
class Random {
 public:
  Random(std::size_t num_items, std::uint64_t seed) noexcept : num_items_(num_items), seed_(seed) {}

  /// The catalogue size.
  std::size_t num_items() const noexcept { return num_items_; }
  /// The generator seed.
  std::uint64_t seed() const noexcept { return seed_; }
  /// One draw r * 2^-24 per item (FNV-1a query hash, SplitMix64 per item).
  /// Throws CapacityError for more than kMaxItems items, std::bad_alloc or
  /// std::length_error when the score list cannot be allocated.
  std::vector<float> score_all_items(std::span<const ItemId> query) const;
  /// The FNV-1a hash of the query with the seeded offset basis.
  std::uint64_t query_hash(std::span<const ItemId> query) const noexcept;
  /// The 24-bit draw of item `item` under query hash `h` (0 to 2^24 - 1).
  static std::uint32_t draw(std::uint64_t h, std::uint64_t item) noexcept {
    std::uint64_t z = h + (item + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint32_t>(z >> 40);
  }

 private:
  std::size_t num_items_;
  std::uint64_t seed_;
};

}  // namespace vosket

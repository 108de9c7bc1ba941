#pragma once
/// The interface every next-item model implements, and the shared top-k.

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vosket/interner.hpp"

namespace vosket {

/// A model scores its whole catalogue for a query (oldest item first).
/// Both operations are pure: same model and query, same result.
template <class M>
concept SequentialRecommender = requires(const M& m, std::span<const ItemId> query) {
  { m.num_items() } -> std::convertible_to<std::size_t>;
  { m.score_all_items(query) } -> std::same_as<std::vector<float>>;
};

/// Signed key of the IEEE 754 totalOrder on 32-bit floats: larger key
/// ranks first. The bit pattern read as a signed integer, with the 31 low
/// bits flipped when the sign bit is set.
constexpr std::int32_t score_key(float score) noexcept {
  const auto bits = std::bit_cast<std::int32_t>(score);
  return bits < 0 ? bits ^ std::int32_t{0x7FFFFFFF} : bits;
}

/// The first min(k, n) positions of `scores` in ranking order (key
/// descending, ties to the lower position). Equal to the first min(k, n)
/// entries of a stable sort of all positions by descending key. Throws
/// CapacityError when `scores` holds more than kMaxItems entries.
std::vector<ItemId> top_k_of_scores(std::span<const float> scores, std::size_t k);

/// Every position of `scores` in ranking order.
std::vector<ItemId> ranking_order(std::span<const float> scores);

/// 1-based rank of `target` in the ranking order of `scores`: one plus the
/// number of positions that rank strictly before it. Requires
/// target < scores.size().
std::size_t rank_of(std::span<const float> scores, std::size_t target) noexcept;

/// At most k ItemIds of the model's catalogue, best first.
template <SequentialRecommender M>
std::vector<ItemId> recommend_top_k(const M& model, std::span<const ItemId> query, std::size_t k) {
  const std::vector<float> scores = model.score_all_items(query);
  return top_k_of_scores(scores, k);
}

}  // namespace vosket

#include "vosket/recommender.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vosket/internal.hpp"

namespace vosket {
namespace {

// The ranking order as one unsigned 64-bit sort key per position: the high
// half grows as the score key falls, the low half is the position. Sorting
// these keys ascending is exactly (score key descending, position
// ascending), a total order, so any correct sort or selection agrees with
// the stable sort of the pairs.
inline std::uint32_t descending_half(float score) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(score);
  // Sign set: the bits themselves; sign clear: bits with the 31 low bits
  // flipped. Both equal ~(key ^ 0x80000000) for the signed key.
  const std::uint32_t sign_clear_mask = (bits >> 31) - 1u;
  return bits ^ (sign_clear_mask & 0x7FFFFFFFu);
}

void check_catalogue_size(std::size_t n) {
  if (n > kMaxItems)
    throw CapacityError("too many items to rank: at most 4294967296 are supported");
}

}  // namespace

std::vector<ItemId> top_k_of_scores(std::span<const float> scores, std::size_t k) {
  const std::size_t n = scores.size();
  check_catalogue_size(n);
  const std::size_t take = std::min(k, n);
  std::vector<ItemId> out;
  if (take == 0) return out;

  if (take <= 64 && take * 16 <= n) {
    // A max-heap of the best `take` keys seen so far, in one pass. A later
    // position can only displace the worst kept key with a strictly
    // smaller high half, since its low half (the position) is larger.
    std::vector<std::uint64_t> heap(take);
    for (std::size_t i = 0; i < take; ++i)
      heap[i] = (std::uint64_t{descending_half(scores[i])} << 32) | std::uint64_t{i};
    std::make_heap(heap.begin(), heap.end());
    auto worst = static_cast<std::uint32_t>(heap.front() >> 32);
    // Blocks whose best key cannot enter are skipped after a vectorisable
    // minimum; the others are walked one by one.
    constexpr std::size_t kBlock = 32;
    for (std::size_t begin = take; begin < n; begin += kBlock) {
      const std::size_t end = std::min(n, begin + kBlock);
      std::uint32_t best = 0xFFFFFFFFu;
      for (std::size_t i = begin; i < end; ++i) best = std::min(best, descending_half(scores[i]));
      if (best >= worst) continue;
      for (std::size_t i = begin; i < end; ++i) {
        const std::uint32_t h = descending_half(scores[i]);
        if (h >= worst) continue;
        std::pop_heap(heap.begin(), heap.end());
        heap.back() = (std::uint64_t{h} << 32) | std::uint64_t{i};
        std::push_heap(heap.begin(), heap.end());
        worst = static_cast<std::uint32_t>(heap.front() >> 32);
      }
    }
    std::sort_heap(heap.begin(), heap.end());
    out.resize(take);
    for (std::size_t i = 0; i < take; ++i) out[i] = static_cast<ItemId>(heap[i] & 0xFFFFFFFFu);
    return out;
  }

  std::vector<std::uint64_t> keys(n);
  for (std::size_t i = 0; i < n; ++i)
    keys[i] = (std::uint64_t{descending_half(scores[i])} << 32) | std::uint64_t{i};

  if (take < n) {
    const auto cut = keys.begin() + static_cast<std::ptrdiff_t>(take);
    std::nth_element(keys.begin(), cut - 1, keys.end());
    std::sort(keys.begin(), cut - 1);
  } else {
    std::sort(keys.begin(), keys.end());
  }

  out.resize(take);
  for (std::size_t i = 0; i < take; ++i) out[i] = static_cast<ItemId>(keys[i] & 0xFFFFFFFFu);
  return out;
}

std::vector<ItemId> ranking_order(std::span<const float> scores) {
  return top_k_of_scores(scores, scores.size());
}

std::size_t rank_of(std::span<const float> scores, std::size_t target) noexcept {
  const std::uint32_t t = descending_half(scores[target]);
  // Before the target, an equal key also ranks first (lower position);
  // after it only a strictly better key does. Counted in 32 bits: at most
  // kMaxItems - 1 positions precede the target.
  std::uint32_t before = 0;
  for (std::size_t i = 0; i < target; ++i) before += descending_half(scores[i]) <= t ? 1u : 0u;
  for (std::size_t i = target + 1; i < scores.size(); ++i)
    before += descending_half(scores[i]) < t ? 1u : 0u;
  return std::size_t{before} + 1;
}

}  // namespace vosket

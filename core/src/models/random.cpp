#include "vosket/models/random.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vosket/internal.hpp"

namespace vosket {

std::uint64_t Random::query_hash(std::span<const ItemId> query) const noexcept {
  std::uint64_t h = seed_ ^ 0x517CC1B727220A95ull;
  for (const ItemId q : query) h = (h ^ std::uint64_t{q}) * 0x100000001B3ull;
  return h;
}

std::vector<float> Random::score_all_items(std::span<const ItemId> query) const {
  if (num_items_ > kMaxItems)
    throw CapacityError("catalogue too large: at most 4294967296 items are supported");
  const std::uint64_t h = query_hash(query);
  std::vector<float> scores(num_items_);
  float* out = scores.data();
  const std::size_t n = num_items_;
  // Each draw depends only on h and the item, so the loop has no carried
  // state beyond the index.
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<float>(draw(h, std::uint64_t{i})) * 0x1p-24f;
  return scores;
}

}  // namespace vosket

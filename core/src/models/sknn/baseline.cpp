#include "vosket/models/sknn/baseline.hpp"

#include <utility>

namespace vosket {

Sknn Sknn::fit(const Sequences& sequences, std::size_t num_items, const SknnConfig& config) {
  return Sknn(config, SessionStore::fit(sequences, num_items));
}

std::vector<float> Sknn::score_all_items(std::span<const ItemId> query) const {
  return detail::score_sessions<detail::kSknnVariant>(store_, config_, query);
}

}  // namespace vosket

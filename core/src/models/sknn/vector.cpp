#include "vosket/models/sknn/vector.hpp"

#include <utility>

namespace vosket {

VSknn VSknn::fit(const Sequences& sequences, std::size_t num_items, const SknnConfig& config) {
  return VSknn(config, SessionStore::fit(sequences, num_items));
}

std::vector<float> VSknn::score_all_items(std::span<const ItemId> query) const {
  return detail::score_sessions<detail::kVSknnVariant>(store_, config_, query);
}

}  // namespace vosket

#include "vosket/models/sknn/sequential.hpp"

#include <utility>

namespace vosket {

SSknn SSknn::fit(const Sequences& sequences, std::size_t num_items, const SknnConfig& config) {
  return SSknn(config, SessionStore::fit(sequences, num_items));
}

std::vector<float> SSknn::score_all_items(std::span<const ItemId> query) const {
  return detail::score_sessions<detail::kSSknnVariant>(store_, config_, query);
}

}  // namespace vosket

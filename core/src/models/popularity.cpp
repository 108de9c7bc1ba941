#include "vosket/models/popularity.hpp"

#include <cstddef>
#include <span>
#include <vector>

#include "vosket/internal.hpp"

namespace vosket {

Popularity Popularity::fit(const Sequences& sequences, std::size_t num_items) {
  Popularity model;
  model.counts_.assign(num_items, 0.0f);
  float* counts = model.counts_.data();
  // Sequences are stored flat in order, so one pass over the flat items is
  // every sequence in order, every item in order.
  for (const ItemId id : sequences.items()) {
    VOSKET_CHECK(id < num_items, "popularity fit: item id outside the catalogue");
    counts[id] += 1.0f;
  }
  return model;
}

std::vector<float> Popularity::score_all_items(std::span<const ItemId> /*query*/) const {
  return counts_;
}

}  // namespace vosket

#pragma once
/// Popularity baseline: the same ranking (occurrence counts) for every query.

#include <cstddef>
#include <span>
#include <vector>

#include "vosket/sequence.hpp"

namespace vosket {

/// Recommends the items that occur most often in the training sequences.
class Popularity {
 public:
  /// Counts every occurrence of every item, as 32-bit float increments of
  /// 1.0. Every id must be < num_items: a larger one is a broken invariant
  /// (InternalFailure), detected before anything is written.
  static Popularity fit(const Sequences& sequences, std::size_t num_items);

  /// The catalogue size: the length of the counts.
  std::size_t num_items() const noexcept { return counts_.size(); }
  /// A copy of the counts; the query is not read.
  std::vector<float> score_all_items(std::span<const ItemId> query) const;
  /// Entry i is the number of occurrences of ItemId i in the training data.
  const std::vector<float>& counts() const noexcept { return counts_; }

 private:
  std::vector<float> counts_;
};

}  // namespace vosket

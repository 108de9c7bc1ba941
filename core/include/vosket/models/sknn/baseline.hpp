#pragma once
/// SKNN: binary query, cosine neighbours, summed similarities.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "vosket/models/sknn/common.hpp"

namespace vosket {

class Sknn {
 public:
  static Sknn fit(const Sequences& sequences, std::size_t num_items, const SknnConfig& config);

  std::size_t num_items() const noexcept { return store_.num_items(); }
  /// Throws InternalFailure for a reserved similarity measure when the query
  /// has candidates.
  std::vector<float> score_all_items(std::span<const ItemId> query) const;

  const SknnConfig& config() const noexcept { return config_; }
  const SessionStore& store() const noexcept { return store_; }

 private:
  Sknn(SknnConfig config, SessionStore store) : config_(config), store_(std::move(store)) {}
  SknnConfig config_;
  SessionStore store_;
};

}  // namespace vosket

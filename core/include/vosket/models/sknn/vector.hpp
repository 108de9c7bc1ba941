#pragma once
/// V-SKNN: recency-weighted query, weighted overlap as the neighbour weight.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "vosket/models/sknn/common.hpp"

namespace vosket {

class VSknn {
 public:
  static VSknn fit(const Sequences& sequences, std::size_t num_items, const SknnConfig& config);

  std::size_t num_items() const noexcept { return store_.num_items(); }
  /// Never reads the configured similarity measure, so it never fails.
  std::vector<float> score_all_items(std::span<const ItemId> query) const;

  const SknnConfig& config() const noexcept { return config_; }
  const SessionStore& store() const noexcept { return store_; }

 private:
  VSknn(SknnConfig config, SessionStore store) : config_(config), store_(std::move(store)) {}
  SknnConfig config_;
  SessionStore store_;
};

}  // namespace vosket

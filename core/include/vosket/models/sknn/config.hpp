#pragma once
/// Hyper-parameters of the session-kNN family.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vosket {

/// Neighbour similarity measure; only Cosine is implemented, the others are
/// reserved and fail when a similarity is computed.
enum class Similarity : std::uint8_t { Cosine = 0, Jaccard = 1, Dice = 2, Dot = 3 };

struct SknnConfig {
  std::size_t k_neighbors = 100;
  /// Cap on candidate sessions per query; absent means no sampling.
  std::optional<std::size_t> sample_size = 1000;
  std::uint64_t seed = 0;
  Similarity similarity = Similarity::Cosine;
  bool popularity_backoff = true;
};

}  // namespace vosket

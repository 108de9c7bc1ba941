#pragma once
/// The session store shared by the session-kNN family, the query vectors,
/// the neighbour similarity and the one scoring pipeline the three models
/// run.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vosket/interner.hpp"
#include "vosket/models/sknn/config.hpp"
#include "vosket/sequence.hpp"

namespace vosket {

/// Position of a session in its store.
using SessionIndex = std::uint32_t;

/// The number of sessions a store can hold (the width of SessionIndex).
inline constexpr std::size_t kMaxSessions =
    std::size_t{std::numeric_limits<SessionIndex>::max()} + 1;

/// One weighted item of a query vector.
struct QueryEntry {
  ItemId item;
  float weight;
  friend bool operator==(const QueryEntry&, const QueryEntry&) = default;
};

/// Weighted query items, each item at most once.
using QueryVector = std::vector<QueryEntry>;

/// A stored session that shares items with a query, and its weight (the
/// overlap, or the similarity once the scorer has replaced it).
struct Candidate {
  SessionIndex session;
  float weight;
  friend bool operator==(const Candidate&, const Candidate&) = default;
};

/// The training sessions and their inverted index, built once by fit and
/// read-only afterwards. Sessions and postings are flat offset + value
/// arrays.
class SessionStore {
 public:
  SessionStore() : session_offsets_{0}, posting_offsets_{0} {}

  /// Builds the store from the training sequences. Every ItemId must be
  /// below num_items (InternalFailure otherwise); more than 2^32 sequences
  /// throw CapacityError.
  static SessionStore fit(const Sequences& sequences, std::size_t num_items);

  /// The catalogue size: valid ItemIds are 0 .. num_items() - 1.
  std::size_t num_items() const noexcept { return item_counts_.size(); }
  std::size_t num_sessions() const noexcept { return session_sizes_.size(); }

  /// Session s exactly as it was given (s < num_sessions()).
  std::span<const ItemId> session(std::size_t s) const noexcept {
    return {session_items_.data() + session_offsets_[s],
            session_offsets_[s + 1] - session_offsets_[s]};
  }
  /// Number of distinct items of every session.
  std::span<const float> session_sizes() const noexcept { return session_sizes_; }
  /// Ascending indices of the sessions that hold item t (t < num_items()).
  std::span<const SessionIndex> postings(ItemId t) const noexcept {
    return {posting_sessions_.data() + posting_offsets_[t],
            posting_offsets_[t + 1] - posting_offsets_[t]};
  }
  /// Occurrences of every item over all sessions, repeats counted.
  std::span<const float> item_counts() const noexcept { return item_counts_; }

  /// Every session sharing at least one item with `query`, with its summed
  /// entry weights (32-bit, added in entry order), ascending by session.
  /// Entries whose item is not below num_items() are skipped.
  std::vector<Candidate> candidates(std::span<const QueryEntry> query) const;
  /// As above, into `out` (cleared first), reusing its capacity.
  void candidates(std::span<const QueryEntry> query, std::vector<Candidate>& out) const;

  /// The score list: `item_counts()` when `popularity_backoff` is set and
  /// every score equals zero, else the scores narrowed to 32 bits.
  /// scores.size() must equal num_items().
  std::vector<float> finalize(std::vector<double> scores, bool popularity_backoff) const;

  /// Heap bytes held by the store.
  std::size_t memory_bytes() const noexcept;
  /// Total number of stored interactions (session items, repeats counted).
  std::size_t num_interactions() const noexcept { return session_items_.size(); }

 private:
  std::vector<ItemId> session_items_;
  std::vector<std::size_t> session_offsets_;
  std::vector<float> session_sizes_;
  std::vector<SessionIndex> posting_sessions_;
  std::vector<std::size_t> posting_offsets_;
  std::vector<float> item_counts_;
};

/// The SplitMix64 generator that drives candidate sampling.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) noexcept : state_(seed) {}
  std::uint64_t next() noexcept {
    state_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

/// Caps `candidates` at `sample_size` by a seeded partial Fisher-Yates
/// shuffle; an absent cap, or one at or above the count, leaves the list
/// unchanged.
void sample_candidates(std::vector<Candidate>& candidates, std::optional<std::size_t> sample_size,
                       std::uint64_t seed);

/// The distinct items of `query` in order of first occurrence, weight 1.0.
QueryVector binary_query(std::span<const ItemId> query);

/// One entry per distinct item of `query`, weight p / n for the 1-based
/// position p of its last occurrence in a query of length n. Entries come in
/// ascending order of p.
QueryVector recency_weighted_query(std::span<const ItemId> query);

/// Similarity of a candidate with overlap `overlap` to a query vector of
/// `query_size` entries. Throws InternalFailure for the reserved measures,
/// and for a session index outside the store.
float candidate_similarity(const SessionStore& store, Similarity similarity, float overlap,
                           float query_size, SessionIndex session);

/// Sorts `candidates` into neighbour order (weight descending under the
/// IEEE 754 totalOrder, ties to the lower session) and keeps the first
/// min(k_neighbors, count).
void rank_neighbours(std::vector<Candidate>& candidates, std::size_t k_neighbors);

namespace detail {

/// How a scorer builds its query vector.
enum class QueryWeights : std::uint8_t { Binary, RecencyWeighted };
/// What becomes a candidate's neighbour weight.
enum class NeighbourWeight : std::uint8_t { Similarity, Overlap };
/// How kept neighbours turn into item scores.
enum class Accumulation : std::uint8_t { DistinctItems, AfterAnchor };

/// The steps in which the three scorers differ; everything else is shared.
struct PipelineVariant {
  QueryWeights query;
  NeighbourWeight weight;
  Accumulation accumulation;
};

inline constexpr PipelineVariant kSknnVariant{QueryWeights::Binary, NeighbourWeight::Similarity,
                                              Accumulation::DistinctItems};
inline constexpr PipelineVariant kVSknnVariant{
    QueryWeights::RecencyWeighted, NeighbourWeight::Overlap, Accumulation::DistinctItems};
inline constexpr PipelineVariant kSSknnVariant{QueryWeights::Binary, NeighbourWeight::Similarity,
                                               Accumulation::AfterAnchor};

/// Query vector, candidates, sampling, neighbour weight, ranking,
/// accumulation and finalize for one query.
template <PipelineVariant V>
std::vector<float> score_sessions(const SessionStore& store, const SknnConfig& config,
                                  std::span<const ItemId> query);

extern template std::vector<float> score_sessions<kSknnVariant>(const SessionStore&,
                                                                const SknnConfig&,
                                                                std::span<const ItemId>);
extern template std::vector<float> score_sessions<kVSknnVariant>(const SessionStore&,
                                                                 const SknnConfig&,
                                                                 std::span<const ItemId>);
extern template std::vector<float> score_sessions<kSSknnVariant>(const SessionStore&,
                                                                 const SknnConfig&,
                                                                 std::span<const ItemId>);

}  // namespace detail

/// A session-kNN model: the store of its training sessions, its
/// configuration, and the pipeline variant that scores queries with them.
/// `Sknn`, `VSknn` and `SSknn` are its three instances.
template <detail::PipelineVariant V>
class SessionKnn {
 public:
  /// Builds the store from the training sequences (ids < num_items) and
  /// copies the configuration.
  static SessionKnn fit(const Sequences& sequences, std::size_t num_items, const SknnConfig& config) {
    return SessionKnn(config, SessionStore::fit(sequences, num_items));
  }

  std::size_t num_items() const noexcept { return store_.num_items(); }
  /// One score per catalogue item. Throws InternalFailure for a reserved
  /// similarity measure when the query has candidates (variants that weigh
  /// neighbours by similarity only).
  std::vector<float> score_all_items(std::span<const ItemId> query) const {
    return detail::score_sessions<V>(store_, config_, query);
  }

  const SknnConfig& config() const noexcept { return config_; }
  const SessionStore& store() const noexcept { return store_; }

 private:
  SessionKnn(SknnConfig config, SessionStore store) : config_(config), store_(std::move(store)) {}
  SknnConfig config_;
  SessionStore store_;
};

}  // namespace vosket

#pragma once
/// Ranking metrics of one recommendation list against one set of relevant
/// ids. Generic over the id type (raw int64 ids, 32-bit ItemIds); both give
/// bit-identical results for the same lists. All arithmetic is in double.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "vosket/detail/flat_map.hpp"

namespace vosket::metrics {

namespace detail {

/// Hash of an integral id through the core's seeded integer hash.
template <class Id>
struct IdHash {
  std::uint64_t operator()(Id value) const noexcept {
    return vosket::detail::IntHash{}(static_cast<std::uint64_t>(value));
  }
};

/// 1 / log2(rank + 1): the discount of a hit at `rank`. One definition so
/// that every caller rounds identically.
inline double discount(std::size_t rank) noexcept {
  return 1.0 / std::log2(static_cast<double>(rank) + 1.0);
}

}  // namespace detail

/// A set of distinct ids, membership by hashing.
template <class Id>
class IdSet {
  static_assert(std::is_integral_v<Id>, "ids are integers");

 public:
  IdSet() = default;
  IdSet(std::initializer_list<Id> ids) {
    reserve(ids.size());
    for (const Id id : ids) insert(id);
  }

  /// Adds `id`; returns whether it was new.
  bool insert(Id id) {
    return ids_.find_or_insert(id, [] { return std::uint8_t{1}; }).second;
  }
  bool contains(Id id) const noexcept { return ids_.find(id) != nullptr; }
  /// The number of distinct ids held.
  std::size_t size() const noexcept { return ids_.size(); }
  bool empty() const noexcept { return ids_.empty(); }
  void reserve(std::size_t n) { ids_.reserve(n); }

 private:
  vosket::detail::FlatMap<Id, std::uint8_t, detail::IdHash<Id>> ids_;
};

/// A read-only recommendation list. The id type is taken from the relevant
/// set, so vectors and spans of the same id type both bind.
template <class Id>
using ListOf = std::span<const std::type_identity_t<Id>>;

/// The list without later duplicates, each id paired with its consecutive
/// 1-based rank (its position among the distinct ids).
template <class Id>
std::vector<std::pair<std::size_t, Id>> distinct_with_ranks(std::span<const Id> recommended) {
  IdSet<Id> seen;
  seen.reserve(recommended.size());
  std::vector<std::pair<std::size_t, Id>> out;
  out.reserve(recommended.size());
  for (const Id id : recommended)
    if (seen.insert(id)) out.emplace_back(out.size() + 1, id);
  return out;
}

/// The number of distinct ids within the first k ranks that are relevant.
template <class Id>
std::size_t hits_at_k(ListOf<Id> recommended, const IdSet<Id>& relevant, std::size_t k) {
  if (relevant.size() == 0) return 0;
  std::size_t hits = 0;
  for (const auto& [rank, id] : distinct_with_ranks(recommended))
    if (rank <= k && relevant.contains(id)) ++hits;
  return hits;
}

/// Hits within k divided by k (not by the list length); 0.0 when k = 0.
template <class Id>
double precision_at_k(ListOf<Id> recommended, const IdSet<Id>& relevant, std::size_t k) {
  if (k == 0) return 0.0;
  return static_cast<double>(hits_at_k(recommended, relevant, k)) / static_cast<double>(k);
}

/// Hits within k divided by the number of relevant ids; 0.0 when none.
template <class Id>
double recall_at_k(ListOf<Id> recommended, const IdSet<Id>& relevant, std::size_t k) {
  if (relevant.size() == 0) return 0.0;
  return static_cast<double>(hits_at_k(recommended, relevant, k)) /
         static_cast<double>(relevant.size());
}

/// Harmonic mean of precision and recall at k: ((p + p) * r) / (p + r).
template <class Id>
double f1_at_k(ListOf<Id> recommended, const IdSet<Id>& relevant, std::size_t k) {
  const double p = precision_at_k(recommended, relevant, k);
  const double r = recall_at_k(recommended, relevant, k);
  const double s = p + r;
  if (s != 0.0) return ((p + p) * r) / s;
  return 0.0;
}

/// 1.0 when some relevant id is within the first k ranks, else 0.0.
template <class Id>
double hit_rate_at_k(ListOf<Id> recommended, const IdSet<Id>& relevant, std::size_t k) {
  return hits_at_k(recommended, relevant, k) >= 1 ? 1.0 : 0.0;
}

/// Normalised discounted cumulative gain at k with binary gains; the ideal
/// list is min(k, |R|) long.
template <class Id>
double ndcg_at_k(ListOf<Id> recommended, const IdSet<Id>& relevant, std::size_t k) {
  if (k == 0) return 0.0;
  double dcg = 0.0;
  for (const auto& [rank, id] : distinct_with_ranks(recommended))
    if (rank <= k && relevant.contains(id)) dcg += detail::discount(rank);
  if (relevant.size() == 0) return 0.0;
  const std::size_t m = std::min(k, relevant.size());
  double idcg = 0.0;
  for (std::size_t i = 1; i <= m; ++i) idcg += detail::discount(i);
  if (idcg != 0.0) return dcg / idcg;
  return 0.0;
}

/// Sum of 1 / rank over the hits within k (not normalised).
template <class Id>
double arhr_at_k(ListOf<Id> recommended, const IdSet<Id>& relevant, std::size_t k) {
  if (k == 0) return 0.0;
  double sum = 0.0;
  for (const auto& [rank, id] : distinct_with_ranks(recommended))
    if (rank <= k && relevant.contains(id)) sum += 1.0 / static_cast<double>(rank);
  return sum;
}

/// 1 / rank of the first relevant id over the full ranking; 0.0 if none.
template <class Id>
double reciprocal_rank(ListOf<Id> recommended, const IdSet<Id>& relevant) {
  if (relevant.size() == 0) return 0.0;
  const auto ranking = distinct_with_ranks(recommended);
  if (ranking.empty()) return 0.0;
  for (const auto& [rank, id] : ranking)
    if (relevant.contains(id)) return 1.0 / static_cast<double>(rank);
  return 0.0;
}

/// Mean over the relevant ids of the precision at each hit's rank, over the
/// full ranking; divided by |R|, so relevant ids never listed count as 0.
template <class Id>
double average_precision(ListOf<Id> recommended, const IdSet<Id>& relevant) {
  if (relevant.size() == 0) return 0.0;
  std::size_t hits = 0;
  double sum = 0.0;
  for (const auto& [rank, id] : distinct_with_ranks(recommended)) {
    if (!relevant.contains(id)) continue;
    ++hits;
    sum += static_cast<double>(hits) / static_cast<double>(rank);
  }
  return sum / static_cast<double>(relevant.size());
}

}  // namespace vosket::metrics

#pragma once
// Plain reference algorithms for the tests and benchmarks: written straight
// from the algorithm text, no shortcuts, so the fast code can be compared
// against them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "evaluation.hpp"
#include "vosket/interner.hpp"
#include "vosket/metrics/ranking.hpp"
#include "vosket/recommender.hpp"
#include "vosket/sequence.hpp"

namespace vosket::reference {

// The totalOrder key: bit pattern as signed 32-bit; negative => flip the 31
// lower bits.
inline std::int32_t total_order_key(float score) {
  std::int32_t bits = 0;
  std::memcpy(&bits, &score, sizeof bits);
  if (bits < 0) bits ^= 0x7FFFFFFF;
  return bits;
}

// Pair every score with its position, stable-sort by key descending, keep
// the first min(k, n) positions.
inline std::vector<ItemId> top_k(std::span<const float> scores, std::size_t k) {
  std::vector<std::pair<std::size_t, float>> pairs;
  for (std::size_t i = 0; i < scores.size(); ++i) pairs.emplace_back(i, scores[i]);
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
    return total_order_key(a.second) > total_order_key(b.second);
  });
  std::vector<ItemId> out;
  for (std::size_t i = 0; i < std::min(k, pairs.size()); ++i)
    out.push_back(static_cast<ItemId>(pairs[i].first));
  return out;
}

template <SequentialRecommender M>
std::vector<ItemId> recommend_top_k(const M& model, std::span<const ItemId> query, std::size_t k) {
  const std::vector<float> scores = model.score_all_items(query);
  return top_k(scores, k);
}

// Leave-one-out on the full ranking with the metric functions.
template <SequentialRecommender M>
std::optional<EvaluationRecord> leave_one_out_report(const M& model, const Interner& model_interner,
                                                     const Sequences& data,
                                                     const Interner& data_interner, std::size_t k) {
  std::size_t count = 0;
  double hit_rate = 0.0, ndcg = 0.0, mrr = 0.0, f1 = 0.0, map = 0.0, arhr = 0.0;
  for (std::size_t s = 0; s < data.size(); ++s) {
    const auto sequence = data[s];
    if (sequence.size() < 2) continue;
    std::vector<std::int64_t> raw;
    for (const ItemId id : sequence)
      if (auto v = data_interner.value_of(id)) raw.push_back(*v);
    if (raw.size() < 2) continue;
    const std::int64_t target = raw.back();
    std::vector<ItemId> query;
    for (std::size_t i = 0; i + 1 < raw.size(); ++i)
      if (auto id = model_interner.id_of(raw[i])) query.push_back(*id);
    const std::vector<ItemId> ranking = reference::recommend_top_k(model, query, model.num_items());
    metrics::IdSet<ItemId> relevant;
    if (auto id = model_interner.id_of(target)) relevant.insert(*id);
    const std::span<const ItemId> list(ranking);
    hit_rate += metrics::hit_rate_at_k(list, relevant, k);
    ndcg += metrics::ndcg_at_k(list, relevant, k);
    mrr += metrics::reciprocal_rank(list, relevant);
    f1 += metrics::f1_at_k(list, relevant, k);
    map += metrics::average_precision(list, relevant);
    arhr += metrics::arhr_at_k(list, relevant, k);
    ++count;
  }
  if (count == 0) return std::nullopt;
  const double n = static_cast<double>(count);
  return EvaluationRecord{k, count, hit_rate / n, ndcg / n, mrr / n, f1 / n, map / n, arhr / n};
}

}  // namespace vosket::reference

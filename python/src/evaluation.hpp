#pragma once
/// Leave-one-out evaluation of a fitted recommender: the last item of each
/// sequence is the target, the rest the query. Plain C++ (no Python), so the
/// C++ tests and benchmarks use the same driver as the module.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vosket/internal.hpp"
#include "vosket/interner.hpp"
#include "vosket/metrics/ranking.hpp"
#include "vosket/recommender.hpp"
#include "vosket/sequence.hpp"

namespace vosket {

/// Means of the six leave-one-out metrics over `num_queries` queries.
struct EvaluationRecord {
  std::size_t k;
  std::size_t num_queries;
  double hit_rate;
  double ndcg;
  double mrr;
  double f1;
  double map;
  double arhr;
};

/// The message of the one failure of leave_one_out_report.
inline constexpr const char* kNoSequencesToEvaluate =
    "no sequences with at least two interactions to evaluate";

namespace evaluation_detail {

/// The six per-query metric values.
struct QueryMetrics {
  double hit_rate = 0.0;
  double ndcg = 0.0;
  double mrr = 0.0;
  double f1 = 0.0;
  double map = 0.0;
  double arhr = 0.0;
};

/// The metrics of a full ranking that holds every item once, against a
/// relevant set of exactly one item found at 1-based `rank`. Each value is
/// the one the metric functions compute on that ranking, with the same
/// operations in the same order, so the results are bit-identical.
inline QueryMetrics metrics_of_single_target(std::size_t rank, std::size_t k) noexcept {
  QueryMetrics m;
  const bool within_k = rank <= k;
  const std::size_t hits = within_k ? 1 : 0;
  const double inverse_rank = 1.0 / static_cast<double>(rank);

  m.hit_rate = hits >= 1 ? 1.0 : 0.0;

  if (k != 0) {
    double dcg = 0.0;
    if (within_k) dcg += metrics::detail::discount(rank);
    double idcg = 0.0;
    idcg += metrics::detail::discount(1);  // min(k, |R|) = 1
    m.ndcg = idcg != 0.0 ? dcg / idcg : 0.0;
  }

  {
    const double p = k == 0 ? 0.0 : static_cast<double>(hits) / static_cast<double>(k);
    const double r = static_cast<double>(hits) / 1.0;
    const double s = p + r;
    m.f1 = s != 0.0 ? ((p + p) * r) / s : 0.0;
  }

  m.mrr = inverse_rank;

  {
    double sum = 0.0;
    sum += 1.0 / static_cast<double>(rank);  // hits / rank with hits = 1
    m.map = sum / 1.0;
  }

  if (k != 0) {
    double sum = 0.0;
    if (within_k) sum += inverse_rank;
    m.arhr = sum;
  }
  return m;
}

}  // namespace evaluation_detail

/// Leave-one-out evaluation. For every sequence of `data` (ids of
/// `data_interner`) with at least two ids that `data_interner` can translate
/// back to raw ids, the last raw id is the target and the others, mapped
/// through `model_interner` (unknown ones dropped), the query. The model
/// ranks its whole catalogue; a target the model does not know scores 0 on
/// every metric but still counts. Returns nullopt when no sequence
/// qualifies (kNoSequencesToEvaluate).
///
/// `poll()` is called before the first query and then every query for
/// catalogues of 65536 items or more, every few queries (at most 64) for
/// smaller ones, so that the caller can abort by throwing.
///
/// Only the target's rank is computed (one counting pass over the scores);
/// every value equals the metric functions' on the full ranking
/// recommend_top_k(query, num_items).
template <SequentialRecommender M, class Poll>
std::optional<EvaluationRecord> leave_one_out_report(const M& model, const Interner& model_interner,
                                                     const Sequences& data,
                                                     const Interner& data_interner, std::size_t k,
                                                     Poll&& poll) {
  const std::size_t num_items = static_cast<std::size_t>(model.num_items());
  // Every query scores the whole catalogue, so a poll per query is cheap
  // for large catalogues; small ones spread it over a few queries.
  const std::size_t queries_per_poll =
      std::clamp<std::size_t>(65536 / std::max<std::size_t>(num_items, 1), 1, 64);

  std::size_t num_queries = 0;
  double hit_rate = 0.0, ndcg = 0.0, mrr = 0.0, f1 = 0.0, map = 0.0, arhr = 0.0;
  std::vector<std::int64_t> raw;
  std::vector<ItemId> query;
  std::size_t until_poll = 0;

  for (std::size_t s = 0; s < data.size(); ++s) {
    const std::span<const ItemId> sequence = data[s];
    if (sequence.size() < 2) continue;

    raw.clear();
    for (const ItemId id : sequence)
      if (const auto value = data_interner.value_of(id)) raw.push_back(*value);
    if (raw.size() < 2) continue;

    if (until_poll == 0) {
      until_poll = queries_per_poll;
      poll();
    }
    --until_poll;

    const std::int64_t target = raw.back();
    query.clear();
    for (std::size_t i = 0; i + 1 < raw.size(); ++i)
      if (const auto id = model_interner.id_of(raw[i])) query.push_back(*id);

    // Scored even when the target is unknown: a model that fails while
    // scoring must fail the evaluation whatever the targets are.
    const std::vector<float> scores = model.score_all_items(std::span<const ItemId>(query));
    VOSKET_CHECK(scores.size() == num_items, "model returned a score list of the wrong length");

    evaluation_detail::QueryMetrics m;
    if (const auto target_id = model_interner.id_of(target)) {
      VOSKET_CHECK(*target_id < num_items, "model interner holds an id outside the catalogue");
      m = evaluation_detail::metrics_of_single_target(rank_of(scores, *target_id), k);
    }
    hit_rate += m.hit_rate;
    ndcg += m.ndcg;
    mrr += m.mrr;
    f1 += m.f1;
    map += m.map;
    arhr += m.arhr;
    ++num_queries;
  }

  if (num_queries == 0) return std::nullopt;
  const double n = static_cast<double>(num_queries);
  return EvaluationRecord{k, num_queries, hit_rate / n, ndcg / n, mrr / n,
                          f1 / n, map / n, arhr / n};
}

}  // namespace vosket

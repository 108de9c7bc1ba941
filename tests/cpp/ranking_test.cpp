#include "vosket/metrics/ranking.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vosket::metrics {
namespace {

enum class Metric { Precision, Recall, F1, HitRate, Ndcg, Arhr, ReciprocalRank, AveragePrecision };

struct MetricCase {
  const char* name;
  Metric metric;
  std::vector<std::int64_t> recommended;
  std::vector<std::int64_t> relevant;
  std::size_t k;
  double expected;
};

template <class Id>
double compute(Metric metric, const std::vector<Id>& list, const IdSet<Id>& relevant, std::size_t k) {
  switch (metric) {
    case Metric::Precision: return precision_at_k(list, relevant, k);
    case Metric::Recall: return recall_at_k(list, relevant, k);
    case Metric::F1: return f1_at_k(list, relevant, k);
    case Metric::HitRate: return hit_rate_at_k(list, relevant, k);
    case Metric::Ndcg: return ndcg_at_k(list, relevant, k);
    case Metric::Arhr: return arhr_at_k(list, relevant, k);
    case Metric::ReciprocalRank: return reciprocal_rank(list, relevant);
    case Metric::AveragePrecision: return average_precision(list, relevant);
  }
  return -1.0;
}

const std::vector<MetricCase>& metric_cases() {
  using M = Metric;
  static const std::vector<MetricCase> cases = {
      // A duplicate is dropped and later ids move up one rank.
      {"dup rr", M::ReciprocalRank, {5, 5, 7}, {7}, 0, 0.5},
      {"dup hit", M::HitRate, {5, 5, 7}, {7}, 2, 1.0},
      {"dup hit beyond k", M::HitRate, {5, 5, 7}, {7}, 1, 0.0},
      {"dup precision", M::Precision, {5, 5, 7}, {7}, 2, 0.5},
      {"dup ndcg", M::Ndcg, {5, 5, 7}, {7}, 2, 0.6309297535714575},
      // Precision divides by k, not by the list length.
      {"precision /k", M::Precision, {1}, {1}, 10, 0.1},
      {"precision /k 2", M::Precision, {1, 2, 3}, {3}, 5, 0.2},
      {"recall", M::Recall, {1}, {1}, 10, 1.0},
      {"recall half", M::Recall, {1, 2, 3}, {3, 4}, 3, 0.5},
      {"recall dup relevant", M::Recall, {1, 2}, {2, 2}, 2, 1.0},
      {"f1 order of operations", M::F1, {1}, {1}, 10, 0.18181818181818182},
      {"f1 two of three", M::F1, {1, 2, 3, 4}, {2, 4, 9}, 4, 0.5714285714285715},
      // The ideal list has min(k, |R|) entries whatever the list length.
      {"ndcg idcg min(k,R)", M::Ndcg, {1}, {1, 2, 3}, 2, 0.6131471927654584},
      {"ndcg rank 3", M::Ndcg, {4, 5, 1}, {1}, 3, 0.5},
      {"ndcg rank 3 big k", M::Ndcg, {4, 5, 1}, {1}, 100, 0.5},
      {"ndcg perfect", M::Ndcg, {2, 1, 7}, {1, 2}, 5, 1.0},
      {"ndcg no hit", M::Ndcg, {4, 5}, {1}, 2, 0.0},
      // Average precision divides by |R|.
      {"ap /R", M::AveragePrecision, {1, 2, 3, 4}, {2, 4, 9}, 0, 0.3333333333333333},
      {"ap dup", M::AveragePrecision, {2, 2, 4}, {2, 4}, 0, 1.0},
      {"arhr k=4", M::Arhr, {1, 2, 3, 4}, {2, 4}, 4, 0.75},
      {"arhr k=3", M::Arhr, {1, 2, 3, 4}, {2, 4}, 3, 0.5},
      {"arhr no hit", M::Arhr, {1, 2}, {3}, 5, 0.0},
      {"arhr above one", M::Arhr, {1, 2}, {1, 2}, 2, 1.5},
      {"rr no hit", M::ReciprocalRank, {1, 2}, {3}, 0, 0.0},
      {"ap no hit", M::AveragePrecision, {1, 2}, {3}, 0, 0.0},
      // k = 0 zeroes the cut-off measures only.
      {"k0 precision", M::Precision, {1}, {1}, 0, 0.0},
      {"k0 recall", M::Recall, {1}, {1}, 0, 0.0},
      {"k0 f1", M::F1, {1}, {1}, 0, 0.0},
      {"k0 hit", M::HitRate, {1}, {1}, 0, 0.0},
      {"k0 ndcg", M::Ndcg, {1}, {1}, 0, 0.0},
      {"k0 arhr", M::Arhr, {1}, {1}, 0, 0.0},
      {"k0 rr unaffected", M::ReciprocalRank, {3, 1}, {1}, 0, 0.5},
      {"k0 ap unaffected", M::AveragePrecision, {3, 1}, {1}, 0, 0.5},
  };
  return cases;
}

template <class Id>
class RankingMetrics : public ::testing::Test {};
using IdTypes = ::testing::Types<std::int64_t, std::uint32_t>;
TYPED_TEST_SUITE(RankingMetrics, IdTypes);

template <class Id>
std::vector<Id> to_ids(const std::vector<std::int64_t>& values) {
  std::vector<Id> out;
  for (const auto v : values) out.push_back(static_cast<Id>(v));
  return out;
}

template <class Id>
IdSet<Id> to_set(const std::vector<std::int64_t>& values) {
  IdSet<Id> set;
  for (const auto v : values) set.insert(static_cast<Id>(v));
  return set;
}

TYPED_TEST(RankingMetrics, HandComputedCases) {
  using Id = TypeParam;
  for (const auto& c : metric_cases()) {
    const double got = compute<Id>(c.metric, to_ids<Id>(c.recommended), to_set<Id>(c.relevant), c.k);
    EXPECT_EQ(got, c.expected) << c.name;
  }
}

TYPED_TEST(RankingMetrics, EmptyListOrEmptySetGivesZeroEverywhere) {
  using Id = TypeParam;
  const std::vector<std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>>> inputs = {
      {{}, {1, 2}}, {{1, 2}, {}}, {{}, {}}};
  for (const auto& [list, rel] : inputs) {
    const auto ids = to_ids<Id>(list);
    const auto set = to_set<Id>(rel);
    EXPECT_EQ(hits_at_k<Id>(ids, set, 5), 0u);
    for (const Metric m : {Metric::Precision, Metric::Recall, Metric::F1, Metric::HitRate,
                           Metric::Ndcg, Metric::Arhr, Metric::ReciprocalRank,
                           Metric::AveragePrecision})
      EXPECT_EQ(compute<Id>(m, ids, set, 5), 0.0);
  }
}

TYPED_TEST(RankingMetrics, DistinctWithRanksRenumbersAfterDuplicates) {
  using Id = TypeParam;
  const auto ids = to_ids<Id>({4, 4, 9, 4, 2, 9, 7});
  const std::vector<std::pair<std::size_t, Id>> expected = {{1, Id{4}}, {2, Id{9}}, {3, Id{2}},
                                                            {4, Id{7}}};
  EXPECT_EQ(distinct_with_ranks(std::span<const Id>(ids)), expected);
  EXPECT_TRUE(distinct_with_ranks(std::span<const Id>()).empty());
  // Hits within k count distinct ranks, not list positions.
  EXPECT_EQ(hits_at_k<Id>(ids, to_set<Id>({2, 7}), 3), 1u);
  EXPECT_EQ(hits_at_k<Id>(ids, to_set<Id>({2, 7}), 4), 2u);
  EXPECT_EQ(hits_at_k<Id>(ids, to_set<Id>({2, 7}), 0), 0u);
}

TEST(RankingMetrics, RawIdsAndItemIdsGiveBitIdenticalResults) {
  // Raw ids (negative ones included) against the dense ids an interner
  // would give them: same structure, so every value must match bit for bit.
  std::mt19937_64 rng(99);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<std::int64_t> pool;
    for (int i = 0; i < 12; ++i) pool.push_back(static_cast<std::int64_t>(rng()));
    std::vector<std::int64_t> raw_list, raw_rel;
    std::vector<std::uint32_t> dense_list, dense_rel;
    const std::size_t len = rng() % 20, rel = rng() % 6;
    for (std::size_t i = 0; i < len; ++i) {
      const std::size_t j = rng() % pool.size();
      raw_list.push_back(pool[j]);
      dense_list.push_back(static_cast<std::uint32_t>(j));
    }
    for (std::size_t i = 0; i < rel; ++i) {
      const std::size_t j = rng() % pool.size();
      raw_rel.push_back(pool[j]);
      dense_rel.push_back(static_cast<std::uint32_t>(j));
    }
    IdSet<std::int64_t> raw_set;
    for (auto v : raw_rel) raw_set.insert(v);
    IdSet<std::uint32_t> dense_set;
    for (auto v : dense_rel) dense_set.insert(v);
    const std::size_t k = rng() % 25;
    for (const Metric m : {Metric::Precision, Metric::Recall, Metric::F1, Metric::HitRate,
                           Metric::Ndcg, Metric::Arhr, Metric::ReciprocalRank,
                           Metric::AveragePrecision})
      ASSERT_EQ(std::bit_cast<std::uint64_t>(compute(m, raw_list, raw_set, k)),
                std::bit_cast<std::uint64_t>(compute(m, dense_list, dense_set, k)));
  }
}

TEST(IdSet, CountsDistinctIds) {
  IdSet<std::int64_t> set{3, -3, 3};
  EXPECT_EQ(set.size(), 2u);
  EXPECT_TRUE(set.contains(-3));
  EXPECT_FALSE(set.contains(4));
  EXPECT_TRUE(set.insert(4));
  EXPECT_FALSE(set.insert(4));
  EXPECT_EQ(set.size(), 3u);
}

}  // namespace
}  // namespace vosket::metrics

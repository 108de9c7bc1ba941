#include "evaluation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference.hpp"
#include "vosket/models/popularity.hpp"
#include "vosket/models/random.hpp"

namespace vosket {
namespace {

constexpr auto kNoPoll = [] {};

Interner make_interner(const std::vector<std::int64_t>& raw) {
  Interner interner;
  for (const auto v : raw) interner.intern(v);
  return interner;
}

// Interns raw lists in order into `interner`, as the binding does.
Sequences make_sequences(const std::vector<std::vector<std::int64_t>>& raw, Interner& interner) {
  std::vector<std::vector<ItemId>> lists;
  for (const auto& l : raw) {
    lists.emplace_back();
    for (const auto v : l) lists.back().push_back(interner.intern(v));
  }
  return Sequences::from_lists(lists);
}

struct FixedScores {
  std::vector<float> scores;
  std::size_t num_items() const { return scores.size(); }
  std::vector<float> score_all_items(std::span<const ItemId>) const { return scores; }
};

// Records every query it is asked to score.
struct RecordingModel {
  std::size_t n;
  std::vector<std::vector<ItemId>>* seen;
  std::size_t num_items() const { return n; }
  std::vector<float> score_all_items(std::span<const ItemId> q) const {
    seen->emplace_back(q.begin(), q.end());
    return std::vector<float>(n, 0.0f);
  }
};

// Query-dependent scores from a pool of awkward values: many ties, signed
// zeros, infinities and NaNs of both signs.
struct AwkwardModel {
  std::size_t n;
  std::uint64_t salt;
  std::size_t num_items() const { return n; }
  std::vector<float> score_all_items(std::span<const ItemId> q) const {
    static const std::vector<float> pool = {
        0.0f, -0.0f, 1.0f, 1.0f, 2.0f, -1.0f, std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), std::bit_cast<float>(0x7FC00000u),
        std::bit_cast<float>(0x7FC00001u), std::bit_cast<float>(0xFFC00000u),
        std::bit_cast<float>(0xFF800001u)};
    std::uint64_t h = salt;
    for (const ItemId id : q) h = (h ^ id) * 0x100000001B3ull;
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = pool[Random::draw(h, i) % pool.size()];
    return out;
  }
};

struct Expected {
  std::size_t num_queries;
  double hit_rate, ndcg, mrr, f1, map, arhr;
};

void expect_record(const std::optional<EvaluationRecord>& got, std::size_t k, const Expected& e,
                   const std::string& name) {
  ASSERT_TRUE(got.has_value()) << name;
  EXPECT_EQ(got->k, k) << name;
  EXPECT_EQ(got->num_queries, e.num_queries) << name;
  EXPECT_EQ(got->hit_rate, e.hit_rate) << name;
  EXPECT_EQ(got->ndcg, e.ndcg) << name;
  EXPECT_EQ(got->mrr, e.mrr) << name;
  EXPECT_EQ(got->f1, e.f1) << name;
  EXPECT_EQ(got->map, e.map) << name;
  EXPECT_EQ(got->arhr, e.arhr) << name;
}

struct DriverCase {
  const char* name;
  std::vector<std::vector<std::int64_t>> data;
  std::size_t k;
  Expected expected;
};

TEST(LeaveOneOut, HandComputedReports) {
  // Raw ids 10, 20, 30 rank 20 first, 30 second, 10 third.
  const Interner model_interner = make_interner({10, 20, 30});
  const FixedScores model{{1.0f, 3.0f, 2.0f}};
  const double third = 1.0 / 3.0;
  const std::vector<DriverCase> cases = {
      {"target first", {{10, 20}}, 10, {1, 1.0, 1.0, 1.0, 0.18181818181818182, 1.0, 1.0}},
      {"target second", {{10, 30}}, 10,
       {1, 1.0, 0.6309297535714575, 0.5, 0.18181818181818182, 0.5, 0.5}},
      {"target below k", {{20, 10}}, 2, {1, 0.0, 0.0, third, 0.0, third, 0.0}},
      {"k = 0", {{10, 20}}, 0, {1, 0.0, 0.0, 1.0, 0.0, 1.0, 0.0}},
      {"k beyond catalogue", {{10, 10}}, 50, {1, 1.0, 0.5, third, 0.0392156862745098, third, third}},
      {"unknown target counts as zero", {{10, 99}}, 10, {1, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
      {"short sequences are skipped", {{20}, {}, {10, 30}, {30}}, 10,
       {1, 1.0, 0.6309297535714575, 0.5, 0.18181818181818182, 0.5, 0.5}},
      {"means over queries", {{10, 20}, {10, 99}}, 10,
       {2, 0.5, 0.5, 0.5, 0.18181818181818182 / 2.0, 0.5, 0.5}},
  };
  for (const auto& c : cases) {
    Interner data_interner;
    const Sequences data = make_sequences(c.data, data_interner);
    expect_record(leave_one_out_report(model, model_interner, data, data_interner, c.k, kNoPoll),
                  c.k, c.expected, c.name);
  }
}

TEST(LeaveOneOut, NoQualifyingSequenceIsNullopt) {
  const Interner model_interner = make_interner({1, 2});
  const FixedScores model{{1.0f, 2.0f}};
  for (const auto& raw : std::vector<std::vector<std::vector<std::int64_t>>>{
           {}, {{}}, {{1}, {2}}, {{1}, {}, {2}}}) {
    Interner data_interner;
    const Sequences data = make_sequences(raw, data_interner);
    EXPECT_FALSE(leave_one_out_report(model, model_interner, data, data_interner, 10, kNoPoll));
  }
  EXPECT_STREQ(kNoSequencesToEvaluate, "no sequences with at least two interactions to evaluate");
}

TEST(LeaveOneOut, BuildsQueriesThroughBothInterners) {
  const Interner model_interner = make_interner({10, 20, 30});
  // Data numbering differs from the model's; ids 5 and 6 are beyond the
  // data interner and are dropped.
  const Interner data_interner = make_interner({30, 98, 10, 20, 99});
  const Sequences data = Sequences::from_lists({
      {1, 4, 3},     // 98 99 -> 20: prefix all unknown, empty query
      {2, 3, 2},     // 10 20 -> 10: target also in the query
      {2},           // too short
      {0, 5, 6},     // 30 -> (5, 6 dropped): fewer than two raw ids, skipped
      {0, 2, 0, 3},  // 30 10 30 -> 20: repeats stay
  });
  std::vector<std::vector<ItemId>> seen;
  const RecordingModel model{3, &seen};
  const auto got = leave_one_out_report(model, model_interner, data, data_interner, 10, kNoPoll);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->num_queries, 3u);
  EXPECT_EQ(seen, (std::vector<std::vector<ItemId>>{{}, {0, 1}, {2, 0, 2}}));
  // All scores tie, so the ranking is 10, 20, 30: targets 20, 10, 20 sit at
  // ranks 2, 1, 2.
  EXPECT_EQ(got->mrr, (0.5 + 1.0 + 0.5) / 3.0);
}

TEST(LeaveOneOut, UnknownTargetsStillScoreTheModel) {
  // A model that fails while scoring must fail the evaluation even when no
  // target is known.
  struct Failing {
    std::size_t num_items() const { return 2; }
    std::vector<float> score_all_items(std::span<const ItemId>) const {
      throw InternalFailure("reserved");
    }
  };
  const Interner model_interner = make_interner({1, 2});
  Interner data_interner;
  const Sequences data = make_sequences({{1, 77}}, data_interner);
  EXPECT_THROW(leave_one_out_report(Failing{}, model_interner, data, data_interner, 10, kNoPoll),
               InternalFailure);
}

TEST(LeaveOneOut, PollIsCalledAndMayAbort) {
  Interner model_interner;
  const Sequences train = make_sequences({{1, 2, 3}}, model_interner);
  const auto model = Popularity::fit(train, model_interner.size());
  Interner data_interner;
  const Sequences data = make_sequences({{1, 2}, {2, 3}, {3, 1}}, data_interner);
  int polls = 0;
  ASSERT_TRUE(leave_one_out_report(model, model_interner, data, data_interner, 10,
                                   [&] { ++polls; }));
  EXPECT_GE(polls, 1);
  EXPECT_THROW(leave_one_out_report(model, model_interner, data, data_interner, 10,
                                    [] { throw std::runtime_error("interrupted"); }),
               std::runtime_error);

  // Small catalogues poll at least every 64 queries.
  const Sequences many = make_sequences(
      std::vector<std::vector<std::int64_t>>(200, std::vector<std::int64_t>{1, 2}), data_interner);
  polls = 0;
  ASSERT_TRUE(leave_one_out_report(model, model_interner, many, data_interner, 10,
                                   [&] { ++polls; }));
  EXPECT_GE(polls, 200 / 64);

  // A large catalogue polls on every query.
  const Random big(std::size_t{1} << 16, 1);
  const Interner big_interner = [] {
    Interner i;
    for (std::int64_t v = 0; v < (std::int64_t{1} << 16); ++v) i.intern(v);
    return i;
  }();
  polls = 0;
  ASSERT_TRUE(leave_one_out_report(big, big_interner, data, data_interner, 10, [&] { ++polls; }));
  EXPECT_EQ(polls, 3);
}

void expect_bit_identical(const EvaluationRecord& a, const EvaluationRecord& b) {
  EXPECT_EQ(a.k, b.k);
  EXPECT_EQ(a.num_queries, b.num_queries);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(a.hit_rate), std::bit_cast<std::uint64_t>(b.hit_rate));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(a.ndcg), std::bit_cast<std::uint64_t>(b.ndcg));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(a.mrr), std::bit_cast<std::uint64_t>(b.mrr));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(a.f1), std::bit_cast<std::uint64_t>(b.f1));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(a.map), std::bit_cast<std::uint64_t>(b.map));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(a.arhr), std::bit_cast<std::uint64_t>(b.arhr));
}

// Random evaluation data over a pool of raw ids that the model interner
// only partly covers (unknown targets and unknown prefix ids), lengths 0+.
Sequences random_data(std::mt19937_64& rng, Interner& data_interner) {
  std::vector<std::vector<std::int64_t>> raw(rng() % 30);
  for (auto& seq : raw) {
    seq.resize(rng() % 7);
    for (auto& v : seq) v = static_cast<std::int64_t>(rng() % 40) - 5;
  }
  return make_sequences(raw, data_interner);
}

template <class M>
void compare_with_reference(const M& model, const Interner& model_interner, std::mt19937_64& rng) {
  Interner data_interner;
  const Sequences data = random_data(rng, data_interner);
  const std::size_t n = model.num_items();
  for (const std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{3}, n, n + 2,
                              std::numeric_limits<std::size_t>::max()}) {
    const auto fast = leave_one_out_report(model, model_interner, data, data_interner, k, kNoPoll);
    const auto plain = reference::leave_one_out_report(model, model_interner, data, data_interner, k);
    ASSERT_EQ(fast.has_value(), plain.has_value());
    if (!fast) continue;
    expect_bit_identical(*fast, *plain);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(fast->mrr), std::bit_cast<std::uint64_t>(fast->map));
  }
}

TEST(LeaveOneOut, RankShortcutEqualsFullRankingOnRandomModels) {
  std::mt19937_64 rng(2024);
  for (int trial = 0; trial < 150; ++trial) {
    // Model raw ids are a random subset of -5..34, in random order.
    std::vector<std::int64_t> ids;
    for (std::int64_t v = -5; v < 35; ++v)
      if (rng() % 3 != 0) ids.push_back(v);
    std::shuffle(ids.begin(), ids.end(), rng);
    ids.resize(rng() % (ids.size() + 1));
    const Interner model_interner = make_interner(ids);
    const std::size_t n = model_interner.size();
    compare_with_reference(AwkwardModel{n, rng()}, model_interner, rng);
    compare_with_reference(Random(n, rng()), model_interner, rng);
    Interner train_interner = model_interner;
    Interner scratch;
    const Sequences train = random_data(rng, scratch);
    std::vector<std::vector<ItemId>> lists;
    for (std::size_t s = 0; s < train.size(); ++s) {
      lists.emplace_back();
      for (const ItemId id : train[s])
        if (n > 0) lists.back().push_back(static_cast<ItemId>(id % n));
    }
    compare_with_reference(Popularity::fit(Sequences::from_lists(lists), n), train_interner, rng);
  }
}

TEST(LeaveOneOut, HitRateEqualsRecallWithOneTargetPerQuery) {
  std::mt19937_64 rng(7);
  const Interner model_interner = make_interner({1, 2, 3, 4, 5, 6, 7, 8});
  const AwkwardModel model{8, 3};
  Interner data_interner;
  const Sequences data = random_data(rng, data_interner);
  for (const std::size_t k : {0u, 1u, 2u, 5u, 8u, 20u}) {
    const auto got = leave_one_out_report(model, model_interner, data, data_interner, k, kNoPoll);
    ASSERT_TRUE(got);
    double recall = 0.0;
    for (std::size_t s = 0; s < data.size(); ++s) {
      if (data[s].size() < 2) continue;
      std::vector<ItemId> query;
      for (std::size_t i = 0; i + 1 < data[s].size(); ++i)
        if (auto id = model_interner.id_of(*data_interner.value_of(data[s][i])))
          query.push_back(*id);
      const auto ranking = recommend_top_k(model, query, model.num_items());
      metrics::IdSet<ItemId> relevant;
      if (auto t = model_interner.id_of(*data_interner.value_of(data[s].back())))
        relevant.insert(*t);
      recall += metrics::recall_at_k(ranking, relevant, k);
    }
    EXPECT_EQ(got->hit_rate, recall / static_cast<double>(got->num_queries)) << "k=" << k;
  }
}

}  // namespace
}  // namespace vosket

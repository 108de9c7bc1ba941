#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "vosket/internal.hpp"
#include "vosket/models/sknn/common.hpp"

namespace vosket {
namespace {

SessionStore store_of(const std::vector<std::vector<ItemId>>& lists, std::size_t num_items) {
  return SessionStore::fit(Sequences::from_lists(lists), num_items);
}

template <class T>
std::vector<T> copy(std::span<const T> s) {
  return {s.begin(), s.end()};
}

TEST(SessionStoreTest, KeepsSessionsAndIndexesDistinctItems) {
  const SessionStore store = store_of({{5, 5, 7}, {7}, {}}, 8);
  ASSERT_EQ(store.num_sessions(), 3u);
  EXPECT_EQ(store.num_items(), 8u);
  EXPECT_EQ(copy(store.session(0)), (std::vector<ItemId>{5, 5, 7}));
  EXPECT_EQ(copy(store.session(1)), (std::vector<ItemId>{7}));
  EXPECT_TRUE(store.session(2).empty());
  EXPECT_EQ(copy(store.session_sizes()), (std::vector<float>{2.0f, 1.0f, 0.0f}));
  for (ItemId t = 0; t < 8; ++t) {
    const auto expected = t == 5   ? std::vector<SessionIndex>{0}
                          : t == 7 ? std::vector<SessionIndex>{0, 1}
                                   : std::vector<SessionIndex>{};
    EXPECT_EQ(copy(store.postings(t)), expected) << "item " << t;
  }
  EXPECT_EQ(copy(store.item_counts()),
            (std::vector<float>{0, 0, 0, 0, 0, 2.0f, 0, 2.0f}));
  EXPECT_EQ(store.num_interactions(), 4u);
  EXPECT_GT(store.memory_bytes(), 0u);

  const std::vector<Candidate> expected{{0, 2.0f}, {1, 1.0f}};
  EXPECT_EQ(store.candidates(QueryVector{{7, 1.0f}, {5, 1.0f}}), expected);
  // Entries outside the catalogue are skipped, wherever they stand.
  EXPECT_EQ(store.candidates(QueryVector{{8, 1.0f}, {7, 1.0f}, {4000000000u, 1.0f}, {5, 1.0f}}),
            expected);
}

TEST(SessionStoreTest, EmptyTrainingListHasNoCandidates) {
  const SessionStore store = store_of({}, 3);
  EXPECT_EQ(store.num_sessions(), 0u);
  EXPECT_EQ(copy(store.item_counts()), (std::vector<float>{0, 0, 0}));
  for (ItemId t = 0; t < 3; ++t) EXPECT_TRUE(store.postings(t).empty());
  EXPECT_TRUE(store.candidates(QueryVector{{0, 1.0f}, {2, 1.0f}}).empty());
}

TEST(SessionStoreTest, ItemOutsideCatalogueIsAnInternalFailure) {
  EXPECT_THROW(store_of({{0, 3}}, 3), InternalFailure);
}

TEST(SessionStoreTest, CandidatesComeOutInSessionOrderWhateverTheQueryOrder) {
  // Item 1 is held by late sessions, item 0 by early and late ones, so the
  // touched sessions arrive out of order.
  std::vector<std::vector<ItemId>> lists(200, std::vector<ItemId>{2});
  lists[3] = {0};
  lists[150] = {1, 0};
  lists[199] = {1};
  const SessionStore store = store_of(lists, 3);
  const std::vector<Candidate> two{{3, 1.0f}, {150, 1.5f}, {199, 0.5f}};
  EXPECT_EQ(store.candidates(QueryVector{{1, 0.5f}, {0, 1.0f}}), two);

  // Many query items: the dense accumulators, ordered by a sort (few
  // sessions spread wide) or by a scan (many sessions close together).
  std::vector<std::vector<ItemId>> wide(2000);
  for (ItemId i = 0; i < 9; ++i) {
    wide[1990 - 200 * i].push_back(i);
    wide[i].push_back(i);
  }
  const SessionStore wide_store = store_of(wide, 9);
  QueryVector nine;
  for (ItemId i = 9; i-- > 0;) nine.push_back({i, static_cast<float>(i + 1)});
  std::vector<Candidate> expected;
  for (ItemId i = 0; i < 9; ++i) expected.push_back({i, static_cast<float>(i + 1)});
  for (ItemId i = 9; i-- > 0;) expected.push_back({1990 - 200 * i, static_cast<float>(i + 1)});
  EXPECT_EQ(wide_store.candidates(nine), expected);

  std::vector<std::vector<ItemId>> close(40);
  for (ItemId s = 0; s < 40; ++s) close[s] = {s % 9, (s + 1) % 9};
  const SessionStore close_store = store_of(close, 9);
  expected.clear();
  for (ItemId s = 0; s < 40; ++s)
    expected.push_back({s, static_cast<float>(s % 9 + 1) + static_cast<float>((s + 1) % 9 + 1)});
  EXPECT_EQ(close_store.candidates(nine), expected);
}

TEST(SplitMix64Test, FirstOutputForSeedZero) {
  SplitMix64 rng(0);
  EXPECT_EQ(rng.next(), 0xE220A8397B1DCDAFull);
}

std::vector<Candidate> sessions_10_to_19() {
  std::vector<Candidate> c;
  for (SessionIndex s = 10; s < 20; ++s) c.push_back({s, static_cast<float>(s)});
  return c;
}

TEST(SampleCandidatesTest, PartialShuffleKeepsTheDrawnPrefix) {
  auto c = sessions_10_to_19();
  sample_candidates(c, 3, 42);
  const std::vector<Candidate> expected{{13, 13.0f}, {12, 12.0f}, {14, 14.0f}};
  EXPECT_EQ(c, expected);
}

TEST(SampleCandidatesTest, NoCapOrCapAtLeastCountLeavesListUnchanged) {
  const std::optional<std::size_t> caps[] = {std::nullopt, 10, 11,
                                             std::numeric_limits<std::size_t>::max()};
  for (const auto cap : caps) {
    auto c = sessions_10_to_19();
    sample_candidates(c, cap, 42);
    EXPECT_EQ(c, sessions_10_to_19());
  }
  auto c = sessions_10_to_19();
  sample_candidates(c, 0, 42);
  EXPECT_TRUE(c.empty());
}

TEST(QueryVectorTest, BinaryQueryKeepsFirstOccurrences) {
  const std::vector<ItemId> q{4, 2, 4, 9};
  EXPECT_EQ(binary_query(q), (QueryVector{{4, 1.0f}, {2, 1.0f}, {9, 1.0f}}));
  EXPECT_TRUE(binary_query({}).empty());
  // Long queries take the hashed path.
  std::vector<ItemId> longq;
  QueryVector expected;
  for (ItemId i = 0; i < 100; ++i) {
    longq.push_back(i % 40);
    if (i < 40) expected.push_back({i, 1.0f});
  }
  EXPECT_EQ(binary_query(longq), expected);
}

TEST(QueryVectorTest, RecencyWeightsByLastPosition) {
  const std::vector<ItemId> q{4, 2, 4, 9};
  EXPECT_EQ(recency_weighted_query(q), (QueryVector{{2, 0.5f}, {4, 0.75f}, {9, 1.0f}}));
  EXPECT_EQ(recency_weighted_query(std::vector<ItemId>{7}), (QueryVector{{7, 1.0f}}));
  EXPECT_TRUE(recency_weighted_query({}).empty());
  std::vector<ItemId> longq;
  for (ItemId i = 0; i < 100; ++i) longq.push_back(i % 40);
  // Items 20..39 last occur at positions 61..80, items 0..19 at 81..100.
  QueryVector expected;
  for (ItemId j = 20; j < 40; ++j) expected.push_back({j, static_cast<float>(41 + j) / 100.0f});
  for (ItemId j = 0; j < 20; ++j) expected.push_back({j, static_cast<float>(81 + j) / 100.0f});
  EXPECT_EQ(recency_weighted_query(longq), expected);
}

TEST(CandidateSimilarityTest, CosineInSinglePrecision) {
  const SessionStore store = store_of({{0, 1, 2, 3}, {0}, {}}, 4);
  EXPECT_EQ(candidate_similarity(store, Similarity::Cosine, 2.0f, 3.0f, 0),
            2.0f / std::sqrt(12.0f));
  EXPECT_NEAR(candidate_similarity(store, Similarity::Cosine, 2.0f, 3.0f, 0), 0.57735, 1e-6);
  EXPECT_EQ(candidate_similarity(store, Similarity::Cosine, 1.0f, 1.0f, 1), 1.0f);
  EXPECT_EQ(candidate_similarity(store, Similarity::Cosine, 1.0f, 0.0f, 1), 0.0f);
  EXPECT_EQ(candidate_similarity(store, Similarity::Cosine, 1.0f, 1.0f, 2), 0.0f);
  EXPECT_THROW(candidate_similarity(store, Similarity::Cosine, 1.0f, 1.0f, 3), InternalFailure);
}

TEST(CandidateSimilarityTest, ReservedMeasuresFailWithTheirMessage) {
  const SessionStore store = store_of({{0}}, 1);
  const std::pair<Similarity, const char*> cases[] = {
      {Similarity::Jaccard,
       "not implemented: Jaccard similarity is reserved but not yet implemented"},
      {Similarity::Dice, "not implemented: Dice similarity is reserved but not yet implemented"},
      {Similarity::Dot, "not implemented: Dot similarity is reserved but not yet implemented"},
  };
  for (const auto& [measure, message] : cases) {
    try {
      candidate_similarity(store, measure, 1.0f, 1.0f, 0);
      ADD_FAILURE() << "no failure for " << message;
    } catch (const InternalFailure& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
}

TEST(RankNeighboursTest, WeightDescendingUnderTotalOrderThenSession) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<Candidate> c{{0, 0.5f}, {1, -0.0f}, {2, 0.0f}, {3, 0.5f},  {4, -nan},
                           {5, inf},  {6, nan},   {7, 1.0f}, {8, -inf}, {9, 0.5f}};
  const std::vector<SessionIndex> order{6, 5, 7, 0, 3, 9, 2, 1, 8, 4};
  for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{5},
                        std::size_t{10}, std::size_t{100}}) {
    auto got = c;
    rank_neighbours(got, k);
    ASSERT_EQ(got.size(), std::min<std::size_t>(k, c.size()));
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].session, order[i]) << "k " << k << " rank " << i;
      EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].weight),
                std::bit_cast<std::uint32_t>(c[order[i]].weight));
    }
  }
}

TEST(FinalizeTest, BacksOffOnlyWhenEveryScoreIsZero) {
  const SessionStore store = store_of({{0, 1, 1}, {2}}, 3);
  const std::vector<float> counts{1.0f, 2.0f, 1.0f};
  EXPECT_EQ(store.finalize({0.0, -0.0, 0.0}, true), counts);
  EXPECT_EQ(store.finalize({0.0, 0.0, 0.0}, false), (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(store.finalize({0.0, 1e-300, 0.0}, true), (std::vector<float>{0, 0, 0}));
  const auto with_nan = store.finalize({0.0, std::nan(""), 0.0}, true);
  EXPECT_TRUE(std::isnan(with_nan[1]));
  EXPECT_EQ(store.finalize({0.5, 0.0, 2.0}, true), (std::vector<float>{0.5f, 0.0f, 2.0f}));
  EXPECT_THROW(store.finalize({0.0}, true), InternalFailure);
  const SessionStore empty = store_of({}, 0);
  EXPECT_TRUE(empty.finalize({}, true).empty());
}

}  // namespace
}  // namespace vosket

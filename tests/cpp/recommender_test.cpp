#include "vosket/recommender.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "reference.hpp"

namespace vosket {
namespace {

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

constexpr float kInf = std::numeric_limits<float>::infinity();

// Fixed scores whatever the query.
struct FixedScores {
  std::vector<float> scores;
  std::size_t num_items() const { return scores.size(); }
  std::vector<float> score_all_items(std::span<const ItemId>) const { return scores; }
};
static_assert(SequentialRecommender<FixedScores>);

TEST(ScoreKey, FollowsTotalOrderFromHighestToLowest) {
  // Strictly descending under IEEE 754 totalOrder.
  const std::vector<float> descending = {
      from_bits(0x7FFFFFFF),  // +NaN, largest payload
      from_bits(0x7FC00001),  // +NaN
      from_bits(0x7FC00000),  // +qNaN
      from_bits(0x7F800001),  // +sNaN
      kInf,
      std::numeric_limits<float>::max(),
      1.0f,
      std::numeric_limits<float>::min(),
      from_bits(0x00000001),  // smallest subnormal
      0.0f,
      -0.0f,
      from_bits(0x80000001),  // -smallest subnormal
      -1.0f,
      std::numeric_limits<float>::lowest(),
      -kInf,
      from_bits(0xFF800001),  // -sNaN
      from_bits(0xFFC00000),  // -qNaN
      from_bits(0xFFFFFFFF),  // -NaN, largest payload
  };
  for (std::size_t i = 0; i + 1 < descending.size(); ++i) {
    EXPECT_GT(score_key(descending[i]), score_key(descending[i + 1])) << "at " << i;
    EXPECT_EQ(score_key(descending[i]), reference::total_order_key(descending[i]));
  }
  EXPECT_EQ(score_key(-0.0f), -1);
  EXPECT_EQ(score_key(0.0f), 0);
  EXPECT_EQ(score_key(from_bits(0xFFFFFFFF)), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(score_key(from_bits(0x7FFFFFFF)), std::numeric_limits<std::int32_t>::max());
}

struct TopKCase {
  const char* name;
  std::vector<float> scores;
  std::size_t k;
  std::vector<ItemId> expected;
};

TEST(TopKOfScores, Cases) {
  const std::vector<TopKCase> cases = {
      {"ties go to the lower id", {1.0f, 3.0f, 1.0f, 3.0f}, 4, {1, 3, 0, 2}},
      {"k cuts after ties", {1.0f, 3.0f, 1.0f, 3.0f}, 3, {1, 3, 0}},
      {"+0 ranks above -0", {-0.0f, 0.0f}, 2, {1, 0}},
      {"+NaN first, -NaN last",
       {1.0f, from_bits(0xFFC00000), -kInf, from_bits(0x7FC00000), kInf},
       5,
       {3, 4, 0, 2, 1}},
      {"k = 0", {1.0f, 2.0f}, 0, {}},
      {"k beyond the catalogue", {0.5f, 2.0f, 1.0f}, 10, {1, 2, 0}},
      {"empty catalogue", {}, 3, {}},
      {"k = 1 of all ties", {7.0f, 7.0f, 7.0f}, 1, {0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(top_k_of_scores(c.scores, c.k), c.expected) << c.name;
    EXPECT_EQ(recommend_top_k(FixedScores{c.scores}, {}, c.k), c.expected) << c.name;
  }
}

// Scores drawn from a small pool of awkward values, so that ties, signed
// zeros, infinities and NaNs of both signs and several payloads are common.
std::vector<float> awkward_scores(std::mt19937_64& rng, std::size_t n) {
  static const std::vector<float> pool = {
      0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 2.0f, kInf, -kInf,
      from_bits(0x7FC00000), from_bits(0x7FC00001), from_bits(0x7F800001),
      from_bits(0xFFC00000), from_bits(0xFFC00001), from_bits(0xFF800001),
      from_bits(0x00000001), from_bits(0x80000001), 3.0e38f, -3.0e38f};
  std::vector<float> scores(n);
  std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
  std::uniform_int_distribution<std::uint32_t> any_bits;
  for (auto& s : scores) s = (rng() % 8 == 0) ? from_bits(any_bits(rng)) : pool[pick(rng)];
  return scores;
}

TEST(TopKOfScores, MatchesFullStableSortOnAwkwardScores) {
  std::mt19937_64 rng(12345);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t n = trial < 20 ? static_cast<std::size_t>(trial) : 1 + rng() % 300;
    const std::vector<float> scores = awkward_scores(rng, n);
    const std::vector<ItemId> full = reference::top_k(scores, n);
    ASSERT_EQ(ranking_order(scores), full);
    const std::vector<std::size_t> ks = {0, 1, 2, n / 2, n > 0 ? n - 1 : 0, n, n + 1,
                                         static_cast<std::size_t>(rng() % (n + 3)),
                                         std::numeric_limits<std::size_t>::max()};
    for (const std::size_t k : ks)
      ASSERT_EQ(top_k_of_scores(scores, k), reference::top_k(scores, k)) << "n=" << n << " k=" << k;
    for (std::size_t r = 0; r < n; ++r)
      ASSERT_EQ(rank_of(scores, full[r]), r + 1) << "n=" << n << " position " << full[r];
  }
}

}  // namespace
}  // namespace vosket

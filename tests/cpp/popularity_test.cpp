#include "vosket/models/popularity.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "vosket/internal.hpp"
#include "vosket/recommender.hpp"

namespace vosket {
namespace {

TEST(Popularity, CountsEveryOccurrenceAndRanksTiesByLowerId) {
  const auto model = Popularity::fit(Sequences::from_lists({{0, 0, 1}, {}, {1, 2}}), 3);
  EXPECT_EQ(model.num_items(), 3u);
  EXPECT_EQ(model.counts(), (std::vector<float>{2.0f, 2.0f, 1.0f}));
  EXPECT_EQ(recommend_top_k(model, {}, 3), (std::vector<ItemId>{0, 1, 2}));
}

TEST(Popularity, IgnoresTheQuery) {
  const auto model = Popularity::fit(Sequences::from_lists({{0, 0, 1}, {1, 2}}), 3);
  const std::vector<ItemId> outside = {7};
  const std::vector<ItemId> inside = {2};
  EXPECT_EQ(model.score_all_items({}), model.counts());
  EXPECT_EQ(model.score_all_items(inside), model.counts());
  EXPECT_EQ(model.score_all_items(outside), model.counts());
}

TEST(Popularity, QueryItemIsNotExcluded) {
  const auto model = Popularity::fit(Sequences::from_lists({{0, 0, 1}}), 2);
  const std::vector<ItemId> query = {0};
  EXPECT_EQ(recommend_top_k(model, query, 1), (std::vector<ItemId>{0}));
}

TEST(Popularity, UnseenItemsScoreZeroAndRankLast) {
  const auto model = Popularity::fit(Sequences::from_lists({{2, 1}, {0}}), 5);
  EXPECT_EQ(model.counts(), (std::vector<float>{1.0f, 1.0f, 1.0f, 0.0f, 0.0f}));
  EXPECT_EQ(recommend_top_k(model, {}, 5), (std::vector<ItemId>{0, 1, 2, 3, 4}));
}

TEST(Popularity, EmptyModel) {
  const auto model = Popularity::fit(Sequences{}, 0);
  EXPECT_EQ(model.num_items(), 0u);
  EXPECT_TRUE(model.score_all_items({}).empty());
  EXPECT_TRUE(recommend_top_k(model, {}, 10).empty());
}

TEST(Popularity, IdOutsideTheCatalogueIsAnInternalFailure) {
  EXPECT_THROW(Popularity::fit(Sequences::from_lists({{0, 3}}), 3), InternalFailure);
  EXPECT_THROW(Popularity::fit(Sequences::from_lists({{0}}), 0), InternalFailure);
}

TEST(Popularity, CountsAreThirtyTwoBitFloatSums) {
  // 2^24 + 1 occurrences: the last increment of 1.0 is lost to rounding.
  const std::size_t n = (std::size_t{1} << 24) + 1;
  std::vector<ItemId> items(n, 0);
  items.push_back(1);
  const auto model = Popularity::fit(Sequences(items, {0, items.size()}), 2);
  EXPECT_EQ(model.counts()[0], 16777216.0f);
  EXPECT_EQ(model.counts()[1], 1.0f);
}

}  // namespace
}  // namespace vosket

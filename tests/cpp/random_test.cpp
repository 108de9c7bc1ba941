#include "vosket/models/random.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "vosket/recommender.hpp"

namespace vosket {
namespace {

struct DrawRow {
  std::uint64_t seed;
  std::vector<ItemId> query;
  std::uint64_t hash;
  std::vector<std::uint32_t> draws;
  std::vector<ItemId> ranking;
};

const std::vector<DrawRow>& draw_table() {
  static const std::vector<DrawRow> rows = {
      {0, {}, 0x517CC1B727220A95ull,
       {3536246, 16589149, 11428932, 10614799, 16758972}, {4, 1, 2, 3, 0}},
      {42, {}, 0x517CC1B727220ABFull,
       {15210176, 1989888, 9302147, 8149243, 13102421}, {0, 4, 2, 3, 1}},
      {0, {1, 2}, 0xE021B64C88FCF11Aull,
       {10969159, 11528017, 9489272, 6511135, 14868955}, {4, 1, 0, 2, 3}},
      {0, {2, 1}, 0xE02BE54C8905957Cull,
       {10274927, 4593969, 5672988, 11143170, 1408178}, {3, 0, 2, 1, 4}},
  };
  return rows;
}

TEST(Random, DrawTable) {
  for (const auto& row : draw_table()) {
    const Random model(5, row.seed);
    EXPECT_EQ(model.query_hash(row.query), row.hash);
    const std::vector<float> scores = model.score_all_items(row.query);
    ASSERT_EQ(scores.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i)
      EXPECT_EQ(scores[i], static_cast<float>(static_cast<double>(row.draws[i]) / 16777216.0))
          << "seed " << row.seed << " item " << i;
    EXPECT_EQ(recommend_top_k(model, row.query, 5), row.ranking);
  }
}

TEST(Random, DrawsDoNotDependOnCatalogueSize) {
  const Random small(3, 0);
  EXPECT_EQ(small.score_all_items({}),
            (std::vector<float>{3536246 * 0x1p-24f, 16589149 * 0x1p-24f, 11428932 * 0x1p-24f}));
  EXPECT_EQ(recommend_top_k(small, {}, 3), (std::vector<ItemId>{1, 2, 0}));
  const std::vector<float> large = Random(1000, 0).score_all_items({});
  EXPECT_EQ(std::vector<float>(large.begin(), large.begin() + 3), small.score_all_items({}));
}

TEST(Random, ScoresAreTwentyFourBitDrawsInUnitInterval) {
  const std::vector<ItemId> query = {9, 4, 9, 123456789};  // ids outside the catalogue hash too
  const Random model(10000, 77);
  const std::vector<float> scores = model.score_all_items(query);
  EXPECT_EQ(scores, model.score_all_items(query));
  EXPECT_NE(scores, model.score_all_items({}));
  for (const float s : scores) {
    ASSERT_GE(s, 0.0f);
    ASSERT_LT(s, 1.0f);
    const float r = s * 16777216.0f;
    ASSERT_EQ(r, static_cast<float>(static_cast<std::uint32_t>(r)));
  }
}

TEST(Random, EmptyCatalogue) {
  const Random model(0, 5);
  const std::vector<ItemId> query = {1};
  EXPECT_TRUE(model.score_all_items(query).empty());
  EXPECT_TRUE(recommend_top_k(model, query, 3).empty());
}

TEST(Random, CatalogueBeyondItemIdsIsACapacityErrorNotACrash) {
  for (const std::size_t n : {kMaxItems + 1, std::numeric_limits<std::size_t>::max()}) {
    const Random model(n, 0);
    EXPECT_THROW(model.score_all_items({}), std::length_error);
  }
}

}  // namespace
}  // namespace vosket

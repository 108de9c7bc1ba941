#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "vosket/internal.hpp"
#include "vosket/models/sknn/baseline.hpp"
#include "vosket/models/sknn/sequential.hpp"
#include "vosket/models/sknn/vector.hpp"
#include "vosket/recommender.hpp"

namespace vosket {
namespace {

static_assert(SequentialRecommender<Sknn>);
static_assert(SequentialRecommender<VSknn>);
static_assert(SequentialRecommender<SSknn>);

// Store A and store B of the worked examples.
const std::vector<std::vector<ItemId>> kStoreA{{1, 2, 3}, {2, 3}, {3, 4}, {5}};
const std::vector<std::vector<ItemId>> kStoreB{{0, 1, 2, 1, 3}};
const std::vector<float> kCountsA{0, 1, 2, 3, 1, 1};

SknnConfig config_with(std::size_t k_neighbors, std::optional<std::size_t> sample_size = 1000,
                       bool backoff = true, Similarity similarity = Similarity::Cosine) {
  SknnConfig c;
  c.k_neighbors = k_neighbors;
  c.sample_size = sample_size;
  c.popularity_backoff = backoff;
  c.similarity = similarity;
  return c;
}

template <class M>
M fit(const std::vector<std::vector<ItemId>>& lists, std::size_t num_items,
      const SknnConfig& config = {}) {
  return M::fit(Sequences::from_lists(lists), num_items, config);
}

struct ScoreCase {
  std::string name;
  SknnConfig config;
  std::vector<ItemId> query;
  std::vector<double> expected;  // compared to 1e-5
};

void expect_scores(const std::vector<float>& got, const std::vector<double>& expected,
                   const std::string& name) {
  ASSERT_EQ(got.size(), expected.size()) << name;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (expected[i] == 0.0)
      EXPECT_EQ(got[i], 0.0f) << name << " item " << i;
    else
      EXPECT_NEAR(got[i], expected[i], 1e-5) << name << " item " << i;
  }
}

TEST(SknnTest, WorkedExamplesOnStoreA) {
  const double r2 = 1.0 / std::sqrt(2.0), r3 = 1.0 / std::sqrt(3.0), r6 = 1.0 / std::sqrt(6.0);
  const ScoreCase cases[] = {
      {"[2] k2", config_with(2), {2}, {0, r3, r2 + r3, r2 + r3, 0, 0}},
      {"[2] k1", config_with(1), {2}, {0, 0, r2, r2, 0, 0}},
      {"[2] k2 sampled to one", config_with(2, 1), {2}, {0, 0, r2, r2, 0, 0}},
      {"[3,4]", config_with(100), {3, 4}, {0, r6, 0.5 + r6, 1.5 + r6, 1.0, 0}},
      {"[2,2] as [2]", config_with(2), {2, 2}, {0, r3, r2 + r3, r2 + r3, 0, 0}},
      {"outside catalogue", config_with(100), {9}, {0, 1, 2, 3, 1, 1}},
      {"empty", config_with(100), {}, {0, 1, 2, 3, 1, 1}},
      {"empty no backoff", config_with(100, 1000, false), {}, {0, 0, 0, 0, 0, 0}},
      {"outside no backoff", config_with(100, 1000, false), {9}, {0, 0, 0, 0, 0, 0}},
      {"k0", config_with(0), {2, 3}, {0, 1, 2, 3, 1, 1}},
      {"k0 no backoff", config_with(0, 1000, false), {2, 3}, {0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases)
    expect_scores(fit<Sknn>(kStoreA, 6, c.config).score_all_items(c.query), c.expected, c.name);
}

TEST(SknnTest, EqualSimilarityAtTheCutKeepsTheEarlierSession) {
  // Sessions 0 and 2 tie against query [1]; session 1 holds item 0 only.
  const auto model = fit<Sknn>({{1, 2}, {0}, {1, 3}}, 4, config_with(1));
  EXPECT_EQ(model.score_all_items(std::vector<ItemId>{1}),
            (std::vector<float>{0, 1.0f / std::sqrt(2.0f), 1.0f / std::sqrt(2.0f), 0}));
  EXPECT_EQ(model.num_items(), 4u);
  EXPECT_EQ(model.config().k_neighbors, 1u);
  EXPECT_EQ(model.store().num_sessions(), 3u);
}

TEST(VSknnTest, WorkedExamplesOnStoreA) {
  const ScoreCase cases[] = {
      {"[2,3] k2", config_with(2), {2, 3}, {0, 1.5, 3.0, 3.0, 0, 0}},
      {"[2,3] k3", config_with(3), {2, 3}, {0, 1.5, 3.0, 4.0, 1.0, 0}},
      {"[3,2] k3", config_with(3), {3, 2}, {0, 1.5, 3.0, 3.5, 0.5, 0}},
      {"[4,2,4]", config_with(100), {4, 2, 4}, {0, 2.0 / 3, 4.0 / 3, 7.0 / 3, 1.0, 0}},
      {"empty", config_with(100), {}, {0, 1, 2, 3, 1, 1}},
      // The unknown id 9 takes position 2, so item 2 weighs 1/2.
      {"[2,9]", config_with(100), {2, 9}, {0, 0.5, 1.0, 1.0, 0, 0}},
      {"k0", config_with(0), {2}, {0, 1, 2, 3, 1, 1}},
  };
  for (const auto& c : cases)
    expect_scores(fit<VSknn>(kStoreA, 6, c.config).score_all_items(c.query), c.expected, c.name);
}

TEST(VSknnTest, NeverReadsTheSimilarityMeasure) {
  for (Similarity s : {Similarity::Jaccard, Similarity::Dice, Similarity::Dot}) {
    const auto reserved = fit<VSknn>(kStoreA, 6, config_with(3, 1000, true, s));
    const auto cosine = fit<VSknn>(kStoreA, 6, config_with(3));
    const std::vector<ItemId> q{4, 2, 3};
    EXPECT_EQ(reserved.score_all_items(q), cosine.score_all_items(q));
  }
}

TEST(SSknnTest, WorkedExamples) {
  const double r2 = 1.0 / std::sqrt(2.0), r3 = 1.0 / std::sqrt(3.0), r6 = 1.0 / std::sqrt(6.0);
  const double s8 = 2.0 / std::sqrt(8.0);
  const ScoreCase a_cases[] = {
      {"A [2]", config_with(100), {2}, {0, 0, 0, r2 + r3, 0, 0}},
      {"A [3]", config_with(100), {3}, {0, 0, 0, 0, r2, 0}},
      {"A [5] anchor at end", config_with(100), {5}, {0, 1, 2, 3, 1, 1}},
      {"A [5] no backoff", config_with(100, 1000, false), {5}, {0, 0, 0, 0, 0, 0}},
      {"A [1,9]: unknown id never anchors", config_with(100), {1, 9}, {0, 0, r6, r6 / 2, 0, 0}},
      {"A empty", config_with(100), {}, {0, 1, 2, 3, 1, 1}},
  };
  for (const auto& c : a_cases)
    expect_scores(fit<SSknn>(kStoreA, 6, c.config).score_all_items(c.query), c.expected, c.name);
  const ScoreCase b_cases[] = {
      {"B [0]", config_with(100), {0}, {0, 0.5 + 0.5 / 3, 0.25, 0.125}},
      {"B [1] anchors at last occurrence", config_with(100), {1}, {0, 0, 0, 0.5}},
      {"B [2,0] newest query item anchors", config_with(100), {2, 0}, {0, s8 * (1 + 1.0 / 3), s8 / 2, s8 / 4}},
      {"B [0,2]", config_with(100), {0, 2}, {0, s8, 0, s8 / 2}},
      {"B [0,2,0] repeat moves the anchor", config_with(100), {0, 2, 0},
       {0, s8 * (1 + 1.0 / 3), s8 / 2, s8 / 4}},
  };
  for (const auto& c : b_cases)
    expect_scores(fit<SSknn>(kStoreB, 4, c.config).score_all_items(c.query), c.expected, c.name);
}

TEST(SSknnTest, RepeatedItemsAfterTheAnchorAddEachTime) {
  // After the anchor 0: item 1 at distances 1 and 3, item 2 at distance 2.
  const auto model = fit<SSknn>({{0, 1, 2, 1}}, 3);
  const float w = 1.0f / std::sqrt(3.0f);
  const double wd = static_cast<double>(w);
  EXPECT_EQ(model.score_all_items(std::vector<ItemId>{0}),
            (std::vector<float>{0, static_cast<float>(wd + (1.0 / 3.0) * wd),
                                static_cast<float>(0.5 * wd)}));
}

template <class M>
class ReservedMeasureTest : public ::testing::Test {};
using FailingModels = ::testing::Types<Sknn, SSknn>;
TYPED_TEST_SUITE(ReservedMeasureTest, FailingModels);

TYPED_TEST(ReservedMeasureTest, FailsOnlyWhenThereAreCandidates) {
  const std::pair<Similarity, std::string> cases[] = {
      {Similarity::Jaccard, "Jaccard"}, {Similarity::Dice, "Dice"}, {Similarity::Dot, "Dot"}};
  for (const auto& [measure, name] : cases) {
    // k_neighbors 0 still computes similarities: the measure is reached.
    for (std::size_t k : {std::size_t{100}, std::size_t{0}}) {
      const auto model = fit<TypeParam>(kStoreA, 6, config_with(k, 1000, true, measure));
      try {
        (void)model.score_all_items(std::vector<ItemId>{2});
        ADD_FAILURE() << name << " did not fail";
      } catch (const InternalFailure& e) {
        EXPECT_EQ(std::string(e.what()),
                  "not implemented: " + name + " similarity is reserved but not yet implemented");
      }
      EXPECT_THROW((void)recommend_top_k(model, std::vector<ItemId>{3, 2}, 2), InternalFailure);
      // No candidates: the measure is never reached. And the model is still usable.
      expect_scores(model.score_all_items({}), {0, 1, 2, 3, 1, 1}, name);
      expect_scores(model.score_all_items(std::vector<ItemId>{9}), {0, 1, 2, 3, 1, 1}, name);
    }
  }
}

TEST(SknnFamilyTest, EmptyCatalogueAndRecommendTopK) {
  const auto empty = fit<Sknn>({}, 0);
  EXPECT_TRUE(empty.score_all_items(std::vector<ItemId>{0}).empty());
  EXPECT_TRUE(fit<SSknn>({{}}, 0).score_all_items({}).empty());
  // The query's own items are not removed; ties go to the lower ItemId.
  const auto model = fit<Sknn>(kStoreA, 6, config_with(2));
  EXPECT_EQ(recommend_top_k(model, std::vector<ItemId>{2}, 3), (std::vector<ItemId>{2, 3, 1}));
  EXPECT_EQ(recommend_top_k(fit<Sknn>({{0, 1}, {2, 2, 3}}, 4), std::vector<ItemId>{}, 2),
            (std::vector<ItemId>{2, 0}));
}

}  // namespace
}  // namespace vosket

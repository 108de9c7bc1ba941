#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sknn_reference.hpp"
#include "vosket/models/sknn/baseline.hpp"
#include "vosket/models/sknn/sequential.hpp"
#include "vosket/models/sknn/vector.hpp"

namespace vosket {
namespace {

namespace ref = sknn_reference;

SknnConfig make_config(std::size_t k, std::optional<std::size_t> sample, std::uint64_t seed,
                       bool backoff) {
  SknnConfig c;
  c.k_neighbors = k;
  c.sample_size = sample;
  c.seed = seed;
  c.popularity_backoff = backoff;
  return c;
}

// Sampling off and on (including caps that bite), small k, backoff on and off.
const SknnConfig kConfigs[] = {
    make_config(100, 1000, 0, true), make_config(100, std::nullopt, 0, true),
    make_config(5, 20, 7, true),     make_config(1, std::nullopt, 3, false),
    make_config(3, 2, 99, false),    make_config(0, 1000, 0, false),
};

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::string describe(const std::vector<ItemId>& q, std::size_t config) {
  std::string s = "config " + std::to_string(config) + " query [";
  for (const ItemId t : q) {
    s += std::to_string(t);
    s += ' ';
  }
  s += ']';
  return s;
}

/// Compares every model under every configuration with the reference;
/// returns the number of comparisons.
std::size_t compare_all(const Sequences& sequences, std::size_t num_items,
                        const std::vector<std::vector<ItemId>>& queries) {
  const ref::Store store = ref::fit(sequences.to_lists(), num_items);
  std::size_t compared = 0;
  for (std::size_t ci = 0; ci < std::size(kConfigs); ++ci) {
    const SknnConfig& config = kConfigs[ci];
    const Sknn sknn = Sknn::fit(sequences, num_items, config);
    const VSknn vsknn = VSknn::fit(sequences, num_items, config);
    const SSknn ssknn = SSknn::fit(sequences, num_items, config);
    for (const auto& q : queries) {
      EXPECT_TRUE(same_bits(sknn.score_all_items(q), ref::score(store, config, ref::Model::Sknn, q)))
          << "Sknn " << describe(q, ci);
      EXPECT_TRUE(
          same_bits(vsknn.score_all_items(q), ref::score(store, config, ref::Model::VSknn, q)))
          << "VSknn " << describe(q, ci);
      EXPECT_TRUE(
          same_bits(ssknn.score_all_items(q), ref::score(store, config, ref::Model::SSknn, q)))
          << "SSknn " << describe(q, ci);
      compared += 3;
      if (::testing::Test::HasFailure()) return compared;
    }
  }
  return compared;
}

TEST(SknnDifferentialTest, RandomStoresMatchTheReference) {
  std::mt19937_64 rng(20261211);
  for (int round = 0; round < 60; ++round) {
    const std::size_t num_items = 1 + rng() % 40;
    const std::size_t num_sessions = rng() % 120;
    // Squaring a uniform draw skews towards low ids: popular items, long
    // posting lists and many equal similarities.
    auto draw_item = [&](std::size_t bound) {
      const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
      return static_cast<ItemId>(static_cast<double>(bound) * u * u);
    };
    std::vector<std::vector<ItemId>> lists(num_sessions);
    for (auto& l : lists) {
      const std::size_t len = rng() % 14;
      for (std::size_t i = 0; i < len; ++i) l.push_back(draw_item(num_items));
    }
    std::vector<std::vector<ItemId>> queries{{}};
    for (int i = 0; i < 25; ++i) {
      std::vector<ItemId> q(rng() % 9);
      for (auto& t : q) t = draw_item(num_items + 3);  // some outside the catalogue
      queries.push_back(std::move(q));
    }
    queries.push_back(std::vector<ItemId>(40, 0));  // long repeats: the hashed dedupe path
    std::vector<ItemId> all;
    for (ItemId t = 0; t < num_items + 2; ++t) all.push_back(t);
    queries.push_back(all);
    compare_all(Sequences::from_lists(lists), num_items, queries);
    if (HasFailure()) return;
  }
}

class SknnRealDataTest : public ::testing::TestWithParam<const char*> {};

TEST_P(SknnRealDataTest, MatchesTheReference) {
  const std::string path = ref::data_dir() + "/" + GetParam();
  const auto data = ref::load_csv(path);
  if (!data) GTEST_SKIP() << "missing " << path;
  const Sequences& seqs = data->sequences;
  // Prefixes of every 53rd sequence, short and long, as the queries.
  std::vector<std::vector<ItemId>> queries;
  for (std::size_t s = 0; s < seqs.size(); s += 53) {
    const auto seq = seqs[s];
    for (std::size_t len : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{40}}) {
      if (len > seq.size()) break;
      queries.emplace_back(seq.begin(), seq.begin() + static_cast<std::ptrdiff_t>(len));
    }
  }
  EXPECT_GT(compare_all(seqs, data->num_items, queries), 300u);
}

INSTANTIATE_TEST_SUITE_P(SharedData, SknnRealDataTest,
                         ::testing::Values("yoochoose_clicks_100k.csv", "ml_latest_small.csv"));

}  // namespace
}  // namespace vosket

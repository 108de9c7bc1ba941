#include "vosket/interner.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace vosket {
namespace {

TEST(InternerTest, NumbersValuesInOrderOfFirstSight) {
  Interner interner;
  const std::int64_t lo = std::numeric_limits<std::int64_t>::min();
  const std::vector<std::int64_t> input = {30, 10, 30, lo, 0, 10, -1};
  std::vector<ItemId> ids;
  for (std::int64_t v : input) ids.push_back(interner.intern(v));
  EXPECT_EQ(ids, (std::vector<ItemId>{0, 1, 0, 2, 3, 1, 4}));
  EXPECT_EQ(interner.size(), 5u);
  EXPECT_EQ(interner.values(), (std::vector<std::int64_t>{30, 10, lo, 0, -1}));
  EXPECT_EQ(interner.id_of(lo), 2u);
  EXPECT_EQ(interner.id_of(7), std::nullopt);
  EXPECT_EQ(interner.size(), 5u);  // id_of never inserts
  EXPECT_EQ(interner.value_of(4), -1);
  EXPECT_EQ(interner.value_of(5), std::nullopt);
}

TEST(InternerTest, ManyValuesSurviveGrowth) {
  Interner interner;
  for (std::int64_t v = 0; v < 100000; ++v) ASSERT_EQ(interner.intern(v * 7919 - 50000), static_cast<ItemId>(v));
  for (std::int64_t v = 0; v < 100000; ++v) ASSERT_EQ(interner.id_of(v * 7919 - 50000), static_cast<ItemId>(v));
}

TEST(InternerTest, CopyIsIndependent) {
  Interner a;
  a.intern(5);
  Interner b = a;
  b.intern(6);
  a.intern(7);
  EXPECT_EQ(a.id_of(7), 1u);
  EXPECT_EQ(a.id_of(6), std::nullopt);
  EXPECT_EQ(b.id_of(6), 1u);
  EXPECT_EQ(b.id_of(7), std::nullopt);
  EXPECT_EQ(b.id_of(5), 0u);
}

}  // namespace
}  // namespace vosket

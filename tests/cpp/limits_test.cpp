#include <gtest/gtest.h>

#include "vosket/interner.hpp"

namespace vosket {
namespace {

TEST(InternerLimitTest, RefusesTheValuePastTheLimitAndStaysConsistent) {
  Interner interner(3);
  EXPECT_EQ(interner.intern(10), 0u);
  EXPECT_EQ(interner.intern(20), 1u);
  EXPECT_EQ(interner.intern(30), 2u);
  EXPECT_THROW(interner.intern(40), CapacityError);
  EXPECT_EQ(interner.size(), 3u);
  EXPECT_FALSE(interner.id_of(40).has_value());
  // Known values still resolve once the limit is reached.
  EXPECT_EQ(interner.intern(20), 1u);
  EXPECT_THROW(interner.intern(50), CapacityError);
}

TEST(InternerLimitTest, LimitIsCappedAtTheWidthOfItemId) {
  Interner interner(kMaxItems * 4);
  EXPECT_EQ(interner.intern(-5), 0u);
  Interner copy = interner;
  EXPECT_EQ(copy.intern(7), 1u);
  EXPECT_EQ(interner.size(), 1u);
}

}  // namespace
}  // namespace vosket

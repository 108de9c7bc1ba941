#include <gtest/gtest.h>

#include <string>

#include "vosket/error.hpp"

namespace vosket {
namespace {

using namespace error_kind;

struct RenderCase {
  VosketError error;
  std::string expected;
};

TEST(VosketErrorTest, RendersEveryKind) {
  const RenderCase cases[] = {
      {UnknownItem{"abc"}, "unknown item identifier: abc"},
      {ItemIndexOutOfBounds{7, 3}, "item index 7 out of bounds (vocabulary holds 3 items)"},
      {EmptySequence{}, "operation requires a non-empty sequence"},
      {SequenceTooShort{1, 2}, "sequence has 1 interactions but at least 2 are required"},
      {MissingColumn{"user_id"}, "interaction table is missing required column \"user_id\""},
      {UnsupportedColumnType{"item_id", "Int32"},
       "column \"item_id\" has unsupported type Int32 for interaction ingestion"},
      {NullValues{"timestamp"},
       "interaction column \"timestamp\" contains nulls, which are not permitted"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.render(), c.expected);
}

TEST(VosketErrorTest, KindsKeepDeclarationOrder) {
  EXPECT_EQ(VosketError(UnknownItem{}).index(), 0u);
  EXPECT_EQ(VosketError(NullValues{}).index(), 6u);
}

TEST(QuoteColumnTest, EscapesQuotesBackslashesAndControls) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "\"\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {std::string("a\0b", 3), "\"a\\0b\""},
      {"\t\r\n", "\"\\t\\r\\n\""},
      {"\x01", "\"\\u{1}\""},
      {"\x7f", "\"\\u{7f}\""},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},          // printable non-ASCII stays as is
      {"\xc2\x85", "\"\\u{85}\""},                  // C1 control
      {"\xe2\x80\xa8", "\"\\u{2028}\""},            // line separator
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(quote_column(in), out) << in;
}

}  // namespace
}  // namespace vosket

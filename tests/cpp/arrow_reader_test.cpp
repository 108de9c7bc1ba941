#include "vosket/arrow_reader.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "arrow_fixture.hpp"

namespace vosket::arrow {
namespace {

using testing::Arr;
using testing::Batch;
using testing::FakeStream;
using testing::Releases;
using testing::Sch;
using testing::field;
using testing::int64_array;
using testing::struct_array;
using testing::struct_schema;
using testing::utf8_array;

std::string render(const Sch& s) {
  Batch b(s, Arr{});
  b.check_schema();
  return render_type(*b.schema.get());
}

struct RenderCase {
  Sch schema;
  const char* text;
};

TEST(ArrowReaderTest, RendersEveryType) {
  const Sch l = field("item", "l");
  const Sch u = field("v", "u");
  auto with = [](std::string format, std::vector<Sch> children) {
    return Sch{std::move(format), "", std::move(children), {}};
  };
  Sch dict = field("d", "i");
  dict.dictionary = std::make_shared<Sch>(field("", "u"));
  const RenderCase cases[] = {
      {field("", "n"), "Null"},
      {field("", "b"), "Boolean"},
      {field("", "c"), "Int8"},
      {field("", "s"), "Int16"},
      {field("", "i"), "Int32"},
      {field("", "l"), "Int64"},
      {field("", "C"), "UInt8"},
      {field("", "S"), "UInt16"},
      {field("", "I"), "UInt32"},
      {field("", "L"), "UInt64"},
      {field("", "e"), "Float16"},
      {field("", "f"), "Float32"},
      {field("", "g"), "Float64"},
      {field("", "tdD"), "Date32"},
      {field("", "tdm"), "Date64"},
      {field("", "z"), "Binary"},
      {field("", "Z"), "LargeBinary"},
      {field("", "vz"), "BinaryView"},
      {field("", "u"), "Utf8"},
      {field("", "U"), "LargeUtf8"},
      {field("", "vu"), "Utf8View"},
      {field("", "tts"), "Time32(Second)"},
      {field("", "ttm"), "Time32(Millisecond)"},
      {field("", "ttu"), "Time64(Microsecond)"},
      {field("", "ttn"), "Time64(Nanosecond)"},
      {field("", "tDs"), "Duration(Second)"},
      {field("", "tDn"), "Duration(Nanosecond)"},
      {field("", "tss:"), "Timestamp(Second)"},
      {field("", "tsm:Europe/Paris"), "Timestamp(Millisecond, \"Europe/Paris\")"},
      {field("", "tiM"), "Interval(YearMonth)"},
      {field("", "tiD"), "Interval(DayTime)"},
      {field("", "tin"), "Interval(MonthDayNano)"},
      {field("", "w:16"), "FixedSizeBinary(16)"},
      {field("", "d:10,2"), "Decimal128(10, 2)"},
      {field("", "d:9,-1,32"), "Decimal32(9, -1)"},
      {field("", "d:18,3,64"), "Decimal64(18, 3)"},
      {field("", "d:76,0,256"), "Decimal256(76, 0)"},
      {with("+l", {l}), "List(Int64)"},
      {with("+L", {u}), "LargeList(Utf8)"},
      {with("+vl", {l}), "ListView(Int64)"},
      {with("+vL", {l}), "LargeListView(Int64)"},
      {with("+w:3", {l}), "FixedSizeList(Int64, 3)"},
      {with("+s", {field("a", "l"), field("b\"", "u")}), "Struct(\"a\": Int64, \"b\\\"\": Utf8)"},
      {with("+s", {}), "Struct()"},
      {with("+m", {with("+s", {field("key", "u"), field("value", "l")})}), "Map(Utf8, Int64)"},
      {with("+ud:0,5", {l, u}), "Union(Dense, 0: Int64, 5: Utf8)"},
      {with("+us:3", {l}), "Union(Sparse, 3: Int64)"},
      {with("+r", {field("run_ends", "i"), u}), "RunEndEncoded(Int32, Utf8)"},
      {with("+l", {with("+l", {dict})}), "List(List(Dictionary(Int32, Utf8)))"},
  };
  for (const RenderCase& c : cases) EXPECT_EQ(render(c.schema), c.text) << c.schema.format;
}

TEST(ArrowReaderTest, ParsesFormatParameters) {
  const auto ts = parse_format("tsn:UTC");
  ASSERT_TRUE(ts);
  EXPECT_EQ(ts->id, TypeId::kTimestamp);
  EXPECT_EQ(ts->unit, TimeUnit::kNanosecond);
  EXPECT_EQ(ts->timezone, "UTC");
  const auto union_format = parse_format("+us:1,2,3");
  ASSERT_TRUE(union_format);
  EXPECT_EQ(union_format->num_type_ids, 3);
}

TEST(ArrowReaderTest, RefusesMalformedFormats) {
  for (const char* format : {"", "x", "ll", "ts", "tsx:", "tsm", "tt", "ttx", "tdx", "tix", "w:", "w:-1",
                             "w:1x", "+w:", "d:", "d:10", "d:10,", "d:x,2", "d:10,2,48", "d:0,0",
                             "+ud:1,a", "+ud:200", "+ux:1", "+ud", "+x", "v", "vx"}) {
    EXPECT_FALSE(parse_format(format)) << format;
    Sch s = field("", format);
    Batch b(s, Arr{});
    EXPECT_THROW(b.check_schema(), ArrowError) << format;
  }
}

struct SchemaFault {
  Sch schema;
  const char* message;
};

TEST(ArrowReaderTest, RefusesMalformedSchemas) {
  Sch float_dict = field("d", "g");
  float_dict.dictionary = std::make_shared<Sch>(field("", "u"));
  const SchemaFault cases[] = {
      {Sch{"+l", "", {}, {}}, "Arrow schema of format \"+l\" has 0 children, expected 1"},
      {Sch{"l", "", {field("", "l")}, {}}, "Arrow schema of format \"l\" has 1 children, expected 0"},
      {Sch{"+ud:0,1", "", {field("", "l")}, {}}, "Arrow schema of format \"+ud:0,1\" has 1 children, expected 2"},
      {Sch{"+s", "", {float_dict}, {}}, "Arrow dictionary index type must be an integer type"},
      {field("", "q"), "Arrow schema has an unsupported format string \"q\""},
  };
  for (const SchemaFault& c : cases) {
    Batch b(c.schema, Arr{});
    try {
      b.check_schema();
      ADD_FAILURE() << c.message;
    } catch (const ArrowError& e) {
      EXPECT_EQ(e.stage(), ArrowError::Stage::kSchema);
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  Sch deep = field("", "l");
  for (int i = 0; i < 100; ++i) deep = Sch{"+l", "", {deep}, {}};
  Batch b(deep, Arr{});
  EXPECT_THROW(b.check_schema(), ArrowError);
}

TEST(ArrowReaderTest, RefusesNullSchemaPointers) {
  Batch b(struct_schema({field("a", "l")}), Arr{});
  ArrowSchema* child = b.schema->children[0];
  b.schema->children[0] = nullptr;
  EXPECT_THROW(b.check_schema(), ArrowError);
  b.schema->children[0] = child;
  const char* format = child->format;
  child->format = nullptr;
  EXPECT_THROW(b.check_schema(), ArrowError);
  child->format = format;
  b.check_schema();
}

Sch two_columns() { return struct_schema({field("a", "l"), field("b", "u")}); }
Arr two_column_batch() { return struct_array({int64_array({1, 2, 3}), utf8_array({"x", "yy", ""})}); }

struct BatchFault {
  const char* name;
  std::function<void(Arr&)> mutate;
  const char* message;
};

TEST(ArrowReaderTest, RefusesMalformedBatches) {
  const BatchFault cases[] = {
      {"negative length", [](Arr& a) { a.length = -1; },
       "Arrow array has a negative or overflowing length or offset"},
      {"negative offset", [](Arr& a) { a.offset = -2; },
       "Arrow array has a negative or overflowing length or offset"},
      {"overflowing window", [](Arr& a) { a.offset = INT64_MAX; a.length = 2; },
       "Arrow array has a negative or overflowing length or offset"},
      {"child shorter than parent window", [](Arr& a) { a.offset = 1; },
       "Arrow array has 3 entries but its parent needs 4 (column \"a\")"},
      {"child length overflows", [](Arr& a) { a.children[1].offset = INT64_MAX - 1; },
       "Arrow array has a negative or overflowing length or offset (column \"b\")"},
      {"too few children", [](Arr& a) { a.children.pop_back(); },
       "Arrow array has 1 children but its schema has 2"},
      {"children pointer missing", [](Arr& a) { a.null_children_pointer = true; },
       "Arrow array children are missing"},
      {"wrong buffer count", [](Arr& a) { a.children[1].n_buffers = 2; },
       "Arrow array has 2 buffers, expected 3 (column \"b\")"},
      {"struct buffer count", [](Arr& a) { a.buffers.clear(); }, "Arrow array has 0 buffers, expected 1"},
      {"buffers pointer missing", [](Arr& a) { a.children[0].null_buffers_pointer = true; },
       "Arrow array buffers are missing (column \"a\")"},
      {"bad null count", [](Arr& a) { a.children[0].null_count = -7; },
       "Arrow array has an invalid null count (column \"a\")"},
      {"null count above length", [](Arr& a) { a.children[0].null_count = 4; },
       "Arrow array has an invalid null count (column \"a\")"},
      {"unexpected dictionary", [](Arr& a) { a.children[0].dictionary = std::make_shared<Arr>(int64_array({})); },
       "Arrow array has an unexpected dictionary (column \"a\")"},
      {"top-level nulls",
       [](Arr& a) {
         a.null_count = 1;
         a.buffers = {testing::bitmap({true, false, true})};
       },
       "Arrow record batch has top-level nulls"},
      {"top-level nulls, uncounted",
       [](Arr& a) {
         a.null_count = -1;
         a.buffers = {testing::bitmap({true, true, false})};
       },
       "Arrow record batch has top-level nulls"},
      {"nulls without bitmap", [](Arr& a) { a.null_count = 1; },
       "Arrow array reports nulls but has no validity bitmap"},
  };
  for (const BatchFault& c : cases) {
    Arr a = two_column_batch();
    c.mutate(a);
    Releases releases;
    {
      Batch b(two_columns(), a, &releases);
      try {
        (void)b.view();
        ADD_FAILURE() << c.name;
      } catch (const ArrowError& e) {
        EXPECT_EQ(e.stage(), ArrowError::Stage::kBatch) << c.name;
        EXPECT_STREQ(e.what(), c.message) << c.name;
      }
    }
    EXPECT_EQ(releases.arrays, 1) << c.name;
    EXPECT_EQ(releases.schemas, 1) << c.name;
  }
}

TEST(ArrowReaderTest, NullChildPointerIsRefused) {
  Batch b(two_columns(), two_column_batch());
  ArrowArray* child = b.array->children[1];
  b.array->children[1] = nullptr;
  EXPECT_THROW((void)b.view(), ArrowError);
  b.array->children[1] = child;
  EXPECT_EQ(b.view().num_rows(), 3);
}

TEST(ArrowReaderTest, ReleasedBatchIsRefused) {
  Batch b(two_columns(), two_column_batch());
  ArrowArray copy = *b.array.get();
  copy.release = nullptr;
  EXPECT_THROW((void)RecordBatch::view(*b.schema.get(), copy), ArrowError);
}

TEST(ArrowReaderTest, FindsFirstColumnOfAName) {
  Batch b(struct_schema({field("a", "l"), field("x", "l"), field("x", "u")}),
          struct_array({int64_array({1}), int64_array({2}), utf8_array({"s"})}));
  const RecordBatch batch = b.view();
  EXPECT_EQ(batch.find("x"), 1u);
  EXPECT_EQ(batch.find("X"), std::nullopt);
  EXPECT_EQ(batch.column(1).format().id, TypeId::kInt64);
}

TEST(ArrowReaderTest, CountsNullsInsideTheBatchWindowOnly) {
  // The child holds a null at index 0, outside the struct's window [1, 3).
  Arr child = int64_array({7, 8, 9}, {false, true, true});
  Arr a = struct_array({child});
  a.offset = 1;
  a.length = 2;
  Batch b(struct_schema({field("a", "l")}), a);
  EXPECT_FALSE(b.view().column(0).has_nulls());

  // Unknown count: the bitmap decides.
  a.children[0].null_count = -1;
  Batch unknown(struct_schema({field("a", "l")}), a);
  EXPECT_FALSE(unknown.view().column(0).has_nulls());
  a.offset = 0;
  Batch with_null(struct_schema({field("a", "l")}), a);
  EXPECT_TRUE(with_null.view().column(0).has_nulls());

  // Unknown count without a bitmap: no nulls.
  Arr plain = struct_array({int64_array({1, 2})});
  plain.children[0].null_count = -1;
  Batch no_bitmap(struct_schema({field("a", "l")}), plain);
  EXPECT_FALSE(no_bitmap.view().column(0).has_nulls());

  // The Null type has no bitmap.
  Batch nulls(struct_schema({field("a", "n")}), struct_array({testing::null_array(2)}));
  EXPECT_FALSE(nulls.view().column(0).has_nulls());
}

TEST(ArrowReaderTest, CountsLongBitmaps) {
  std::vector<bool> valid(300, true);
  std::vector<std::int64_t> values(300, 1);
  valid[299] = false;
  for (std::int64_t start : {0, 3, 64, 100}) {
    Arr child = int64_array(values, valid);
    child.null_count = -1;
    child.offset = start;
    child.length = 300 - start;
    Arr a = struct_array({child});
    Batch full(struct_schema({field("a", "l")}), a);
    EXPECT_TRUE(full.view().column(0).has_nulls()) << start;
    a.length = 299 - start;
    Batch cut(struct_schema({field("a", "l")}), a);
    EXPECT_FALSE(cut.view().column(0).has_nulls()) << start;
  }
}

TEST(ArrowReaderTest, ChecksUtf8Offsets) {
  auto with_offsets = [](std::vector<std::int32_t> offsets, bool data) {
    Arr s = utf8_array({"a", "b", "c"});
    s.buffers[1] = testing::bytes_of(offsets);
    if (!data) s.buffers[2] = std::nullopt;
    return s;
  };
  struct Case {
    Arr column;
    const char* message;  // null: accepted
  };
  const Case cases[] = {
      {with_offsets({0, 1, 2, 3}, true), nullptr},
      {with_offsets({0, 0, 0, 0}, false), nullptr},
      {with_offsets({0, 2, 1, 3}, true), "Arrow array string offsets are not monotonic (column \"u\")"},
      {with_offsets({-1, 1, 2, 3}, true), "Arrow array has a negative string offset (column \"u\")"},
      {with_offsets({0, 1, 2, 3}, false), "Arrow array string data buffer is missing (column \"u\")"},
  };
  for (const Case& c : cases) {
    Batch b(struct_schema({field("u", "u")}), struct_array({c.column}));
    const Column col = b.view().column(0);
    if (c.message == nullptr) {
      EXPECT_NO_THROW((void)col.utf8_values());
    } else {
      try {
        (void)col.utf8_values();
        ADD_FAILURE() << c.message;
      } catch (const ArrowError& e) {
        EXPECT_STREQ(e.what(), c.message);
      }
    }
  }
  Arr missing = utf8_array({"a"});
  missing.buffers[1] = std::nullopt;
  Batch b(struct_schema({field("u", "u")}), struct_array({missing}));
  EXPECT_THROW((void)b.view().column(0).utf8_values(), ArrowError);
  Arr no_data = int64_array({1});
  no_data.buffers[1] = std::nullopt;
  Batch ints(struct_schema({field("i", "l")}), struct_array({no_data}));
  EXPECT_THROW((void)ints.view().column(0).fixed8_values(), ArrowError);
}

TEST(ArrowReaderTest, ReadsStreamAndReleasesEverythingOnce) {
  Releases releases;
  FakeStream fake{two_columns(), {two_column_batch(), two_column_batch()}, 0, {}, "", &releases};
  {
    ImportedStream imported = read_stream(fake.open());
    EXPECT_EQ(releases.streams, 1);  // released as soon as read
    ASSERT_EQ(imported.batches.size(), 2u);
    EXPECT_EQ(imported.batches[1].num_rows(), 3);
    EXPECT_EQ(releases.arrays, 0);
    ImportedStream moved = std::move(imported);
    EXPECT_EQ(moved.batches[0].column(0).length(), 3);
  }
  EXPECT_EQ(releases.streams, 1);
  EXPECT_EQ(releases.schemas, 1);
  EXPECT_EQ(releases.arrays, 2);
}

struct StreamFault {
  const char* name;
  std::function<void(FakeStream&)> setup;
  ArrowError::Stage stage;
  const char* message;
  int arrays_released;
  int schemas_released;
};

TEST(ArrowReaderTest, StreamFailuresReleaseEverythingOnce) {
  Arr bad = two_column_batch();
  bad.length = -1;
  const StreamFault cases[] = {
      {"get_schema fails", [](FakeStream& f) { f.schema_error = 22; f.last_error = "no schema today"; },
       ArrowError::Stage::kSchema, "no schema today", 0, 0},
      {"get_schema fails silently", [](FakeStream& f) { f.schema_error = 22; }, ArrowError::Stage::kSchema,
       "Arrow stream get_schema() failed with error code 22", 0, 0},
      {"schema not a struct", [](FakeStream& f) { f.schema = field("", "l"); }, ArrowError::Stage::kSchema,
       "Arrow stream schema must be a struct, got Int64", 0, 1},
      {"schema malformed", [](FakeStream& f) { f.schema = Sch{"+s", "", {field("x", "?")}, {}}; },
       ArrowError::Stage::kSchema, "Arrow schema has an unsupported format string \"?\"", 0, 1},
      {"get_next fails", [](FakeStream& f) { f.fail_at = 1; f.last_error = "broken pipe"; },
       ArrowError::Stage::kBatch, "broken pipe", 1, 1},
      {"get_next fails silently", [](FakeStream& f) { f.fail_at = 0; }, ArrowError::Stage::kBatch,
       "Arrow stream get_next() failed with error code 5", 0, 1},
      {"malformed second batch", [&bad](FakeStream& f) { f.batches.push_back(bad); }, ArrowError::Stage::kBatch,
       "Arrow array has a negative or overflowing length or offset", 2, 1},
  };
  for (const StreamFault& c : cases) {
    Releases releases;
    FakeStream fake{two_columns(), {two_column_batch()}, 0, {}, "", &releases};
    c.setup(fake);
    try {
      (void)read_stream(fake.open());
      ADD_FAILURE() << c.name;
    } catch (const ArrowError& e) {
      EXPECT_EQ(e.stage(), c.stage) << c.name;
      EXPECT_STREQ(e.what(), c.message) << c.name;
    }
    EXPECT_EQ(releases.streams, 1) << c.name;
    EXPECT_EQ(releases.arrays, c.arrays_released) << c.name;
    EXPECT_EQ(releases.schemas, c.schemas_released) << c.name;
  }
}

TEST(ArrowReaderTest, InterruptionReleasesEverythingOnce) {
  Releases releases;
  Arr big = struct_array({int64_array(std::vector<std::int64_t>(1 << 20, 1)), utf8_array({})});
  big.children[1] = utf8_array(std::vector<std::string>(1 << 20, "u"));
  FakeStream fake{two_columns(), {big, big, big}, 0, {}, "", &releases};
  int polls = 0;
  const Poll poll = [&] {
    if (++polls == 1) throw std::runtime_error("interrupted");
  };
  EXPECT_THROW((void)read_stream(fake.open(), &poll), std::runtime_error);
  EXPECT_EQ(polls, 1);
  EXPECT_EQ(releases.streams, 1);
  EXPECT_EQ(releases.schemas, 1);
  EXPECT_EQ(releases.arrays, 1);
}

TEST(ArrowReaderTest, ReleasedStreamIsRefused) {
  StreamOwner empty;
  EXPECT_THROW((void)read_stream(std::move(empty)), ArrowError);
}

TEST(ArrowReaderTest, OwnersReleaseExactlyOnce) {
  Releases releases;
  {
    Batch b(two_columns(), two_column_batch(), &releases);
    ArrayOwner moved = std::move(b.array);
    ArrayOwner assigned;
    assigned = std::move(moved);
    EXPECT_EQ(releases.arrays, 0);
    assigned.reset();
    EXPECT_EQ(releases.arrays, 1);
    assigned.reset();
    SchemaOwner taken = SchemaOwner::take(b.schema.get());
    EXPECT_FALSE(b.schema.live());
    EXPECT_TRUE(taken.live());
  }
  EXPECT_EQ(releases.arrays, 1);
  EXPECT_EQ(releases.schemas, 1);
}

}  // namespace
}  // namespace vosket::arrow

#include "vosket/interactions.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrow_fixture.hpp"

namespace vosket {
namespace {

using testing::Arr;
using testing::Batch;
using testing::Sch;
using testing::field;
using testing::int64_array;
using testing::struct_array;
using testing::struct_schema;
using testing::utf8_array;
using Lists = std::vector<std::vector<ItemId>>;

InteractionRow row(std::int64_t user, std::int64_t item, std::int64_t ts) {
  return {UserKey::Int(user), item, ts};
}
InteractionRow srow(std::string user, std::int64_t item, std::int64_t ts) {
  return {UserKey::Str(std::move(user)), item, ts};
}

TEST(UserKeyTest, VariantsNeverCompareEqual) {
  EXPECT_NE(UserKey::Int(5), UserKey::Str("5"));
  EXPECT_EQ(UserKey::Int(5), UserKey::Int(5));
  EXPECT_EQ(UserKey::Str("a"), UserKey::Str("a"));
  EXPECT_NE(UserKey::Str("a"), UserKey::Str("A"));
}

TEST(FromInteractionsTest, InternsInInputOrderAndSortsByTime) {
  Interner interner;
  const Sequences s = from_interactions({row(1, 30, 2), row(1, 10, 1)}, interner);
  EXPECT_EQ(s.to_lists(), (Lists{{1, 0}}));
  EXPECT_EQ(interner.values(), (std::vector<std::int64_t>{30, 10}));
}

TEST(FromInteractionsTest, EdgeCases) {
  struct Case {
    const char* name;
    std::vector<InteractionRow> rows;
    Lists expected;
    std::size_t num_items;
  };
  const Case cases[] = {
      {"no rows", {}, {}, 0},
      {"ties keep input order", {row(1, 7, 5), row(1, 8, 5), row(1, 9, 4), row(1, 10, 5)}, {{2, 0, 1, 3}}, 4},
      {"negative before zero before positive", {row(1, 1, 3), row(1, 2, 0), row(1, 3, -4)}, {{2, 1, 0}}, 3},
      {"repeats kept", {row(1, 4, 1), row(1, 4, 1), row(1, 4, 0)}, {{0, 0, 0}}, 1},
      {"users in order of first row, not time",
       {row(9, 1, 10), row(2, 2, -100), row(9, 3, 0)}, {{2, 0}, {1}}, 3},
      {"int 5 and text 5 differ", {row(5, 1, 0), srow("5", 2, 0), row(5, 3, 1)}, {{0, 2}, {1}}, 3},
      {"strings are exact", {srow("a", 1, 0), srow("A", 1, 0), srow("a ", 1, 0), srow("a", 2, 0)},
       {{0, 1}, {0}, {0}}, 2},
      {"extreme timestamps",
       {row(1, 1, INT64_MAX), row(1, 2, INT64_MIN), row(1, 3, 0)}, {{1, 2, 0}}, 3},
  };
  for (const Case& c : cases) {
    Interner interner;
    const Sequences s = from_interactions(c.rows, interner);
    EXPECT_EQ(s.to_lists(), c.expected) << c.name;
    EXPECT_EQ(interner.size(), c.num_items) << c.name;
  }
}

TEST(FromInteractionsTest, ReusesIdsOfAFilledInterner) {
  Interner interner;
  interner.intern(100);
  interner.intern(200);
  const Sequences s = from_interactions({row(1, 300, 0), row(1, 200, 1)}, interner);
  EXPECT_EQ(s.to_lists(), (Lists{{2, 1}}));
  EXPECT_EQ(interner.values(), (std::vector<std::int64_t>{100, 200, 300}));
}

// ------------------------------------------------------- record batch reader

/// A batch of (user, item, timestamp) columns, plus optional extra columns.
struct TableDef {
  std::vector<Sch> fields;
  std::vector<Arr> columns;
};

TableDef ints(std::vector<std::int64_t> users, std::vector<std::int64_t> items, std::vector<std::int64_t> ts) {
  return {{field("user_id", "l"), field("item_id", "l"), field("timestamp", "l")},
          {int64_array(users), int64_array(items), int64_array(ts)}};
}

struct Batches {
  std::vector<std::unique_ptr<Batch>> owned;
  std::vector<arrow::RecordBatch> views;
  void add(const TableDef& t) {
    owned.push_back(std::make_unique<Batch>(struct_schema(t.fields), struct_array(t.columns)));
    views.push_back(owned.back()->view());
  }
};

Result<Sequences> read(const Batches& b, Interner& interner, const arrow::Poll* poll = nullptr) {
  return sequences_from_record_batches(b.views, "user_id", "item_id", "timestamp", interner, poll);
}

TEST(RecordBatchReaderTest, ReadsBatchesInOrder) {
  Batches b;
  b.add(ints({1, 2, 1}, {30, 10, 20}, {5, 0, 1}));
  b.add(ints({}, {}, {}));
  b.add(ints({2, 3}, {40, 30}, {-1, 9}));
  Interner interner;
  Result<Sequences> s = read(b, interner);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.value().to_lists(), (Lists{{2, 0}, {3, 1}, {0}}));
  EXPECT_EQ(interner.values(), (std::vector<std::int64_t>{30, 10, 20, 40}));
}

TEST(RecordBatchReaderTest, NoBatchesIsEmpty) {
  Batches b;
  Interner interner;
  Result<Sequences> s = read(b, interner);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.value().size(), 0u);
  EXPECT_EQ(interner.size(), 0u);
}

TEST(RecordBatchReaderTest, AcceptsUtf8UsersTimestampsAndMixedBatches) {
  Batches b;
  b.add({{field("timestamp", "tsm:Asia/Tokyo"), field("item_id", "l"), field("user_id", "u"),
          field("other", "g")},
         {int64_array({3, 1, 2}), int64_array({7, 8, 9}), utf8_array({"5", "", "5"}),
          testing::Arr{3, 3, 0, {testing::bitmap({false, false, false}), std::vector<unsigned char>(24)}, {}, {}, {}, {}}}});
  b.add({{field("user_id", "l"), field("item_id", "l"), field("timestamp", "tsn:")},
         {int64_array({5}), int64_array({7}), int64_array({-1})}});
  Interner interner;
  Result<Sequences> s = read(b, interner);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.value().to_lists(), (Lists{{2, 0}, {1}, {0}}));
}

struct OrderCase {
  const char* name;
  std::vector<TableDef> batches;
  const char* message;
};

Arr with_null(Arr a) {
  std::vector<bool> valid(static_cast<std::size_t>(a.length), true);
  valid.back() = false;
  a.buffers[0] = testing::bitmap(valid);
  a.null_count = 1;
  return a;
}

TEST(RecordBatchReaderTest, ChecksInOrderAndStopsAtFirstFailure) {
  const TableDef good = ints({1, 2}, {3, 4}, {5, 6});
  auto without = [&](std::size_t i) {
    TableDef t = good;
    t.fields.erase(t.fields.begin() + static_cast<std::ptrdiff_t>(i));
    t.columns.erase(t.columns.begin() + static_cast<std::ptrdiff_t>(i));
    return t;
  };
  auto retyped = [&](std::size_t i, const char* format, Arr column) {
    TableDef t = good;
    t.fields[i].format = format;
    t.columns[i] = std::move(column);
    return t;
  };
  auto nulled = [&](std::size_t i) {
    TableDef t = good;
    t.columns[i] = with_null(t.columns[i]);
    return t;
  };
  TableDef item_nulls_no_ts = nulled(1);
  item_nulls_no_ts.fields.pop_back();
  item_nulls_no_ts.columns.pop_back();
  TableDef dictionary_user = good;
  dictionary_user.fields[0] = field("user_id", "i");
  dictionary_user.fields[0].dictionary = std::make_shared<Sch>(field("", "u"));
  dictionary_user.columns[0] = testing::int32_array({0, 0});
  dictionary_user.columns[0].dictionary = std::make_shared<Arr>(utf8_array({"a"}));
  TableDef zero_rows_missing_item = ints({}, {}, {});
  zero_rows_missing_item.fields.erase(zero_rows_missing_item.fields.begin() + 1);
  zero_rows_missing_item.columns.erase(zero_rows_missing_item.columns.begin() + 1);
  TableDef renamed = good;
  renamed.fields[0].name = "User_id";
  TableDef nulls_elsewhere = good;
  nulls_elsewhere.fields.push_back(field("extra", "l"));
  nulls_elsewhere.columns.push_back(with_null(int64_array({0, 0})));

  const OrderCase cases[] = {
      {"missing user", {without(0)}, "interaction table is missing required column \"user_id\""},
      {"names are case-sensitive", {renamed}, "interaction table is missing required column \"user_id\""},
      {"missing item", {without(1)}, "interaction table is missing required column \"item_id\""},
      {"missing timestamp", {without(2)}, "interaction table is missing required column \"timestamp\""},
      {"zero-row batch missing item", {zero_rows_missing_item},
       "interaction table is missing required column \"item_id\""},
      {"null timestamp", {nulled(2)}, "interaction column \"timestamp\" contains nulls, which are not permitted"},
      {"item nulls before missing timestamp", {item_nulls_no_ts},
       "interaction column \"item_id\" contains nulls, which are not permitted"},
      {"Null user is a type failure", {retyped(0, "n", testing::null_array(2))},
       "column \"user_id\" has unsupported type Null for interaction ingestion"},
      {"LargeUtf8 user", {retyped(0, "U", Arr{2, 0, 0, {std::nullopt, testing::bytes_of(std::vector<std::int64_t>{0, 1, 2}), std::vector<unsigned char>{'a', 'b'}}, {}, {}, {}, {}, false, false})},
       "column \"user_id\" has unsupported type LargeUtf8 for interaction ingestion"},
      {"Utf8View user", {retyped(0, "vu", Arr{2, 0, 0, {std::nullopt, std::vector<unsigned char>(32), std::vector<unsigned char>(8)}, {}, {}, {}, {}, false, false})},
       "column \"user_id\" has unsupported type Utf8View for interaction ingestion"},
      {"dictionary user", {dictionary_user},
       "column \"user_id\" has unsupported type Dictionary(Int32, Utf8) for interaction ingestion"},
      {"Int32 item", {retyped(1, "i", testing::int32_array({1, 2}))},
       "column \"item_id\" has unsupported type Int32 for interaction ingestion"},
      {"UInt64 item", {retyped(1, "L", int64_array({1, 2}))},
       "column \"item_id\" has unsupported type UInt64 for interaction ingestion"},
      {"Utf8 item", {retyped(1, "u", utf8_array({"1", "2"}))},
       "column \"item_id\" has unsupported type Utf8 for interaction ingestion"},
      {"Date64 timestamp", {retyped(2, "tdm", int64_array({1, 2}))},
       "column \"timestamp\" has unsupported type Date64 for interaction ingestion"},
      {"Duration timestamp", {retyped(2, "tDs", int64_array({1, 2}))},
       "column \"timestamp\" has unsupported type Duration(Second) for interaction ingestion"},
      {"Time64 timestamp", {retyped(2, "ttu", int64_array({1, 2}))},
       "column \"timestamp\" has unsupported type Time64(Microsecond) for interaction ingestion"},
      {"batch 2 missing user after a good batch", {good, without(0)},
       "interaction table is missing required column \"user_id\""},
      {"first failing batch wins", {good, nulled(2), without(0)},
       "interaction column \"timestamp\" contains nulls, which are not permitted"},
  };
  for (const OrderCase& c : cases) {
    Batches b;
    for (const TableDef& t : c.batches) b.add(t);
    Interner interner;
    interner.intern(42);
    Result<Sequences> s = read(b, interner);
    ASSERT_FALSE(s.ok()) << c.name;
    EXPECT_EQ(s.error().render(), c.message) << c.name;
    EXPECT_EQ(interner.values(), std::vector<std::int64_t>{42}) << c.name;
  }
  Batches ok;
  ok.add(nulls_elsewhere);
  Interner interner;
  EXPECT_TRUE(read(ok, interner).ok());
}

TEST(RecordBatchReaderTest, CustomColumnNames) {
  Batches b;
  b.add({{field("u", "l"), field("i", "l"), field("t", "l")},
         {int64_array({1}), int64_array({2}), int64_array({3})}});
  Interner interner;
  EXPECT_TRUE(sequences_from_record_batches(b.views, "u", "i", "t", interner).ok());
  Result<Sequences> bad = sequences_from_record_batches(b.views, "u", "i", "time\"\n", interner);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().render(), "interaction table is missing required column \"time\\\"\\n\"");
}

TEST(RecordBatchReaderTest, MalformedDataLeavesInternerUnchanged) {
  TableDef t{{field("user_id", "u"), field("item_id", "l"), field("timestamp", "l")},
              {utf8_array({"a", "b"}), int64_array({1, 2}), int64_array({1, 2})}};
  t.columns[0].buffers[1] = testing::bytes_of(std::vector<std::int32_t>{0, 1, 0});
  Batches b;
  b.add(ints({1}, {9}, {0}));
  b.add(t);
  Interner interner;
  try {
    (void)read(b, interner);
    ADD_FAILURE();
  } catch (const arrow::ArrowError& e) {
    EXPECT_STREQ(e.what(), "Arrow array string offsets are not monotonic (column \"user_id\")");
  }
  EXPECT_EQ(interner.size(), 0u);
}

TEST(RecordBatchReaderTest, InterruptionLeavesInternerUnchanged) {
  const std::size_t n = (1u << 20) * 3;
  std::vector<std::int64_t> users(n), items(n), ts(n);
  for (std::size_t i = 0; i < n; ++i) {
    users[i] = static_cast<std::int64_t>(i % 1000);
    items[i] = static_cast<std::int64_t>(i % 5000);
    ts[i] = -static_cast<std::int64_t>(i);
  }
  Batches b;
  b.add(ints(users, items, ts));
  for (int stop_at : {1, 2, 3, 4, 5}) {
    Interner interner;
    interner.intern(-5);
    int polls = 0;
    const arrow::Poll poll = [&] {
      if (++polls == stop_at) throw std::runtime_error("interrupted");
    };
    bool thrown = false;
    try {
      (void)read(b, interner, &poll);
    } catch (const std::runtime_error&) {
      thrown = true;
    }
    EXPECT_TRUE(thrown) << stop_at;
    EXPECT_EQ(interner.values(), std::vector<std::int64_t>{-5}) << stop_at;
  }
  // Without interruption the same call succeeds and polls in every phase.
  Interner interner;
  int polls = 0;
  const arrow::Poll count = [&] { ++polls; };
  ASSERT_TRUE(read(b, interner, &count).ok());
  EXPECT_EQ(interner.size(), 5000u);
  EXPECT_GE(polls, 7);
}

// Differential check of the columnar path against the row algorithm.
TEST(RecordBatchReaderTest, MatchesRowAlgorithmOnRandomTables) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 60; ++round) {
    const std::size_t n_rows = rng() % 3000;
    const std::int64_t n_users = 1 + static_cast<std::int64_t>(rng() % (round % 3 == 0 ? 2000 : 40));
    const std::int64_t n_items = 1 + static_cast<std::int64_t>(rng() % 500);
    const std::int64_t ts_range = 1 + static_cast<std::int64_t>(rng() % (round % 2 == 0 ? 5 : 100000));
    std::vector<InteractionRow> rows;
    Batches b;
    std::size_t done = 0;
    while (done < n_rows || (done == 0 && rng() % 2 == 0)) {
      const std::size_t size = std::min<std::size_t>(n_rows - done, rng() % 700);
      const bool str_users = rng() % 3 == 0;
      const bool tz = rng() % 2 == 0;
      const std::int64_t pad = static_cast<std::int64_t>(rng() % 3);
      const bool pad_parent = rng() % 2 == 0;
      std::vector<std::int64_t> users(static_cast<std::size_t>(pad), 0), items(users), ts(users);
      std::vector<std::string> names(static_cast<std::size_t>(pad), "pad");
      for (std::size_t i = 0; i < size; ++i) {
        const std::int64_t u = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n_users));
        const std::int64_t item = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(n_items)) - 100;
        const std::int64_t t = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(ts_range)) - ts_range / 2;
        users.push_back(u);
        names.push_back("user" + std::to_string(u));
        items.push_back(item);
        ts.push_back(t);
        rows.push_back(str_users ? srow(names.back(), item, t) : row(u, item, t));
      }
      std::vector<Arr> cols = {str_users ? utf8_array(names) : int64_array(users), int64_array(items),
                               int64_array(ts)};
      Arr batch = struct_array(cols);
      if (pad_parent) {
        batch.offset = pad;
        batch.length = static_cast<std::int64_t>(size);
      } else {
        for (Arr& c : batch.children) {
          c.offset = pad;
          c.length = static_cast<std::int64_t>(size);
        }
        batch.length = static_cast<std::int64_t>(size);
      }
      b.owned.push_back(std::make_unique<Batch>(
          struct_schema({field("user_id", str_users ? "u" : "l"), field("item_id", "l"),
                         field("timestamp", tz ? "tsu:UTC" : "l")}),
          batch));
      b.views.push_back(b.owned.back()->view());
      done += size;
      if (size == 0 && rng() % 2 == 0) break;
    }
    Interner fast_interner, slow_interner;
    if (round % 4 == 1) {
      for (std::int64_t v : {7, -100, 3}) {
        fast_interner.intern(v);
        slow_interner.intern(v);
      }
    }
    Result<Sequences> fast = read(b, fast_interner);
    ASSERT_TRUE(fast.ok());
    const Sequences slow = from_interactions(rows, slow_interner);
    ASSERT_EQ(fast.value().to_lists(), slow.to_lists()) << round;
    ASSERT_EQ(fast_interner.values(), slow_interner.values()) << round;
  }
}

}  // namespace
}  // namespace vosket

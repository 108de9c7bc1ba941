#include "vosket/interactions.hpp"

#include <algorithm>
#include <limits>

#include "vosket/detail/flat_map.hpp"
#include "vosket/internal.hpp"

namespace vosket {

Sequences from_interactions(std::vector<InteractionRow> rows, Interner& interner) {
  // String keys are views of the rows' own strings, which outlive the maps.
  detail::FlatMap<std::int64_t, std::size_t, detail::IntHash> int_users;
  detail::FlatMap<std::string_view, std::size_t, detail::StringHash> str_users;
  std::vector<std::vector<std::pair<std::int64_t, ItemId>>> lists;
  for (const InteractionRow& row : rows) {
    const ItemId id = interner.intern(row.item);
    auto make = [&] {
      lists.emplace_back();
      return lists.size() - 1;
    };
    const std::size_t pos = row.user.is_int()
                                ? *int_users.find_or_insert(row.user.as_int(), make).first
                                : *str_users.find_or_insert(row.user.as_str(), make).first;
    lists[pos].emplace_back(row.timestamp, id);
  }
  std::vector<ItemId> items;
  items.reserve(rows.size());
  std::vector<std::size_t> offsets;
  offsets.reserve(lists.size() + 1);
  offsets.push_back(0);
  for (auto& list : lists) {
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& entry : list) items.push_back(entry.second);
    offsets.push_back(items.size());
  }
  return Sequences(std::move(items), std::move(offsets));
}

VosketError unsupported(std::string_view column, const arrow::Column& array) {
  return error_kind::UnsupportedColumnType{std::string(column), arrow::render_type(array.schema())};
}

namespace {

using arrow::load_i64;
using arrow::TypeId;

constexpr std::size_t kPollRows = std::size_t{1} << 20;

enum class Role { kUser, kItem, kTimestamp };

bool accepted(Role role, const arrow::Column& c) {
  if (c.is_dictionary()) return false;
  const TypeId id = c.format().id;
  switch (role) {
    case Role::kUser:
      return id == TypeId::kInt64 || id == TypeId::kUtf8;
    case Role::kItem:
      return id == TypeId::kInt64;
    case Role::kTimestamp:
      return id == TypeId::kInt64 || id == TypeId::kTimestamp;
  }
  return false;
}

/// The three columns of one batch, checked and ready to read.
struct BatchColumns {
  std::size_t rows = 0;
  bool user_is_str = false;
  const unsigned char* user_ints = nullptr;
  arrow::Column::Utf8 user_strs{nullptr, nullptr};
  const unsigned char* items = nullptr;
  const unsigned char* timestamps = nullptr;
};

class Poller {
 public:
  explicit Poller(const arrow::Poll* poll) : poll_(poll) {}
  /// Counts `n` units of work, polling about every kPollRows.
  void add(std::size_t n) {
    done_ += n;
    if (done_ >= kPollRows) {
      done_ = 0;
      if (poll_ != nullptr) (*poll_)();
    }
  }

 private:
  const arrow::Poll* poll_;
  std::size_t done_ = 0;
};

/// Finds and checks one column: missing, then nulls, then type.
std::optional<VosketError> find_column(const arrow::RecordBatch& batch, std::string_view name,
                                       Role role, std::optional<arrow::Column>& out) {
  const std::optional<std::size_t> index = batch.find(name);
  if (!index) return VosketError(error_kind::MissingColumn{std::string(name)});
  arrow::Column column = batch.column(*index);
  if (column.has_nulls()) return VosketError(error_kind::NullValues{std::string(name)});
  if (!accepted(role, column)) return unsupported(name, column);
  out.emplace(column);
  return std::nullopt;
}

/// Sorts items[begin, end) by timestamps, stably, moving both arrays.
void sort_range(std::int64_t* ts, ItemId* items, std::size_t n,
                std::vector<std::pair<std::int64_t, ItemId>>& scratch) {
  if (std::is_sorted(ts, ts + n)) return;
  if (n <= 24) {
    for (std::size_t i = 1; i < n; ++i) {
      const std::int64_t t = ts[i];
      const ItemId v = items[i];
      std::size_t j = i;
      while (j > 0 && ts[j - 1] > t) {
        ts[j] = ts[j - 1];
        items[j] = items[j - 1];
        --j;
      }
      ts[j] = t;
      items[j] = v;
    }
    return;
  }
  scratch.clear();
  for (std::size_t i = 0; i < n; ++i) scratch.emplace_back(ts[i], items[i]);
  std::stable_sort(scratch.begin(), scratch.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < n; ++i) items[i] = scratch[i].second;
}

}  // namespace

Result<Sequences> sequences_from_record_batches(std::span<const arrow::RecordBatch> batches,
                                                std::string_view user_col,
                                                std::string_view item_col,
                                                std::string_view timestamp_col,
                                                Interner& interner, const arrow::Poll* poll) {
  Poller poller(poll);

  // Every check of every batch runs before anything is interned.
  std::vector<BatchColumns> plan;
  plan.reserve(batches.size());
  std::size_t total = 0;
  for (const arrow::RecordBatch& batch : batches) {
    std::optional<arrow::Column> user, item, timestamp;
    if (auto e = find_column(batch, user_col, Role::kUser, user)) return *std::move(e);
    if (auto e = find_column(batch, item_col, Role::kItem, item)) return *std::move(e);
    if (auto e = find_column(batch, timestamp_col, Role::kTimestamp, timestamp))
      return *std::move(e);
    BatchColumns cols;
    cols.rows = static_cast<std::size_t>(batch.num_rows());
    cols.user_is_str = user->format().id == TypeId::kUtf8;
    if (cols.user_is_str) {
      cols.user_strs = user->utf8_values(poll);
    } else {
      cols.user_ints = user->fixed8_values();
    }
    cols.items = item->fixed8_values();
    cols.timestamps = timestamp->fixed8_values();
    if (cols.rows > std::numeric_limits<std::uint32_t>::max() - total)
      throw CapacityError("too many interaction rows: at most 4294967295 are supported");
    total += cols.rows;
    plan.push_back(cols);
    poller.add(cols.rows);
  }

  // Work on a private interner so that a failure or an interruption below
  // leaves the caller's untouched.
  Interner work = interner.size() == 0 ? Interner() : interner;

  // One pass: intern items in input order, give users positions in order of
  // first appearance, count rows per user.
  std::vector<ItemId> ids(total);
  std::vector<std::uint32_t> user_of(total);
  std::vector<std::size_t> counts;
  {
    // Each user's entry holds its position and its row count side by side,
    // so that counting touches the cache line the lookup just brought in.
    using Entry = std::pair<std::uint32_t, std::uint32_t>;
    detail::FlatMap<std::int64_t, Entry, detail::IntHash> int_users;
    detail::FlatMap<std::string_view, Entry, detail::StringHash> str_users;
    std::uint32_t n_users = 0;
    auto make = [&] { return Entry{n_users++, 0}; };
    std::size_t r = 0;
    for (const BatchColumns& cols : plan) {
      // Consecutive rows of one user are common (tables sorted by user). The
      // cached entry stays valid: nothing is inserted between two uses.
      Entry* last = nullptr;
      std::int64_t last_int = 0;
      std::string_view last_str;
      for (std::size_t i = 0; i < cols.rows; ++i, ++r) {
        ids[r] = work.intern(load_i64(cols.items, i));
        Entry* entry;
        if (cols.user_is_str) {
          const auto begin = static_cast<std::size_t>(arrow::load_i32(cols.user_strs.offsets, i));
          const auto end = static_cast<std::size_t>(arrow::load_i32(cols.user_strs.offsets, i + 1));
          const std::string_view key =
              end == begin ? std::string_view() : std::string_view(cols.user_strs.data + begin, end - begin);
          if (last != nullptr && key == last_str) {
            entry = last;
          } else {
            entry = str_users.find_or_insert(key, make).first;
            last_str = key;
          }
        } else {
          const std::int64_t key = load_i64(cols.user_ints, i);
          if (last != nullptr && key == last_int) {
            entry = last;
          } else {
            entry = int_users.find_or_insert(key, make).first;
            last_int = key;
          }
        }
        last = entry;
        user_of[r] = entry->first;
        ++entry->second;
        if ((r & (kPollRows - 1)) == kPollRows - 1) poller.add(kPollRows);
      }
    }
    counts.resize(n_users);
    auto collect = [&](const auto&, const Entry& e) { counts[e.first] = e.second; };
    int_users.for_each(collect);
    str_users.for_each(collect);
  }

  // Group per user with a stable counting sort, carrying the timestamps.
  const std::size_t n_users = counts.size();
  std::vector<std::size_t> offsets(n_users + 1, 0);
  for (std::size_t u = 0; u < n_users; ++u) offsets[u + 1] = offsets[u] + counts[u];
  std::vector<std::size_t>& cursor = counts;
  std::copy(offsets.begin(), offsets.end() - 1, cursor.begin());
  std::vector<ItemId> items(total);
  std::vector<std::int64_t> times(total);
  {
    std::size_t r = 0;
    for (const BatchColumns& cols : plan) {
      for (std::size_t i = 0; i < cols.rows; ++i, ++r) {
        const std::size_t d = cursor[user_of[r]]++;
        items[d] = ids[r];
        times[d] = load_i64(cols.timestamps, i);
        if ((r & (kPollRows - 1)) == kPollRows - 1) poller.add(kPollRows);
      }
    }
  }
  std::vector<ItemId>().swap(ids);
  std::vector<std::uint32_t>().swap(user_of);
  std::vector<std::size_t>().swap(counts);

  std::vector<std::pair<std::int64_t, ItemId>> scratch;
  for (std::size_t u = 0; u < n_users; ++u) {
    const std::size_t n = offsets[u + 1] - offsets[u];
    sort_range(times.data() + offsets[u], items.data() + offsets[u], n, scratch);
    poller.add(n + 1);
  }

  Sequences result(std::move(items), std::move(offsets));
  interner = std::move(work);
  return result;
}

}  // namespace vosket

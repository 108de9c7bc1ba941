#pragma once
/// Interaction rows, their grouping into Sequences, and the reader of
/// interaction tables given as Arrow record batches.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vosket/arrow_reader.hpp"
#include "vosket/error.hpp"
#include "vosket/interner.hpp"
#include "vosket/result.hpp"
#include "vosket/sequence.hpp"

namespace vosket {

/// The grouping key of a user: an integer or a text. Keys are equal only
/// when both variant and payload are equal, so Int 5 and Str "5" differ.
class UserKey {
 public:
  static UserKey Int(std::int64_t value) { return UserKey(std::in_place_index<0>, value); }
  static UserKey Str(std::string value) { return UserKey(std::in_place_index<1>, std::move(value)); }

  bool is_int() const noexcept { return value_.index() == 0; }
  bool is_str() const noexcept { return value_.index() == 1; }
  /// The payload of an Int key.
  std::int64_t as_int() const { return std::get<0>(value_); }
  /// The payload of a Str key.
  const std::string& as_str() const { return std::get<1>(value_); }

  friend bool operator==(const UserKey&, const UserKey&) = default;

 private:
  template <std::size_t I, class A>
  UserKey(std::in_place_index_t<I> tag, A&& payload) : value_(tag, std::forward<A>(payload)) {}
  std::variant<std::int64_t, std::string> value_;
};

/// One interaction: who, which raw item, when (in the source column's unit).
struct InteractionRow {
  UserKey user;
  std::int64_t item;
  std::int64_t timestamp;
};

/// Groups rows per user (users in order of first appearance), each user's
/// items stable-sorted by timestamp. Items are interned in input order
/// before any sorting; ids already in `interner` are reused.
Sequences from_interactions(std::vector<InteractionRow> rows, Interner& interner);

/// UnsupportedColumnType for `column`, carrying the rendering of its type.
VosketError unsupported(std::string_view column, const arrow::Column& array);

/// Checks the user, item and timestamp columns of every batch (per batch in
/// that order; per column: missing, nulls, type) and builds the same
/// Sequences as from_interactions over all rows in batch order. The first
/// failure ends the call. `interner` is unchanged after any failure,
/// including an ArrowError for malformed data or an exception from `poll`.
Result<Sequences> sequences_from_record_batches(std::span<const arrow::RecordBatch> batches,
                                                std::string_view user_col,
                                                std::string_view item_col,
                                                std::string_view timestamp_col,
                                                Interner& interner,
                                                const arrow::Poll* poll = nullptr);

}  // namespace vosket

#pragma once
/// A small reader of the Arrow C data and C stream interfaces: owners that
/// call each release callback exactly once, format-string parsing, type
/// rendering, structural checks of record batches, and typed access to the
/// columns the interaction reader needs (Int64, Utf8, Timestamp).
///
/// Buffers of the C data interface carry no sizes; what can be checked is
/// checked (signs and sums of lengths and offsets, child and buffer counts,
/// missing buffers, Utf8 offsets), so that a malformed array is reported as
/// an ArrowError instead of being read out of bounds.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "vosket/arrow_abi.h"

namespace vosket::arrow {

/// A fault of an Arrow producer or of the structures it handed over.
class ArrowError : public std::runtime_error {
 public:
  /// Where the fault was found: the stream's schema, or a batch (its
  /// structure or its data).
  enum class Stage { kSchema, kBatch };

  ArrowError(Stage stage, const std::string& message)
      : std::runtime_error(message), stage_(stage) {}
  Stage stage() const noexcept { return stage_; }

 private:
  Stage stage_;
};

/// Called about every million rows of work; may throw to abandon the call.
using Poll = std::function<void()>;

namespace detail {
/// Holds one C structure on the heap (so that views keep a stable address
/// when the owner moves) and releases it exactly once.
template <class S>
class Owner {
 public:
  Owner() : s_(std::make_unique<S>()) { std::memset(s_.get(), 0, sizeof(S)); }
  /// Takes over `*src` (a bitwise move); `src` is marked released.
  static Owner take(S* src) {
    Owner o;
    std::memcpy(o.s_.get(), src, sizeof(S));
    src->release = nullptr;
    return o;
  }
  Owner(Owner&& o) noexcept = default;
  Owner& operator=(Owner&& o) noexcept {
    if (this != &o) {
      reset();
      s_ = std::move(o.s_);
    }
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  ~Owner() { reset(); }

  /// The structure (null only after being moved from).
  S* get() const noexcept { return s_.get(); }
  S* operator->() const noexcept { return s_.get(); }
  /// Whether the structure holds something to release.
  bool live() const noexcept { return s_ != nullptr && s_->release != nullptr; }
  /// Calls the release callback if it was not called yet.
  void reset() noexcept {
    if (live()) {
      auto release = s_->release;
      release(s_.get());
      s_->release = nullptr;
    }
  }

 private:
  std::unique_ptr<S> s_;
};
}  // namespace detail

/// Owns an ArrowSchema.
using SchemaOwner = detail::Owner<ArrowSchema>;
/// Owns an ArrowArray.
using ArrayOwner = detail::Owner<ArrowArray>;
/// Owns an ArrowArrayStream.
using StreamOwner = detail::Owner<ArrowArrayStream>;

/// The types of the format strings of the C data interface. A dictionary is
/// not a type of its own: its format is the index type, and the schema's
/// `dictionary` describes the values.
enum class TypeId : std::uint8_t {
  kNull,
  kBoolean,
  kInt8,
  kUInt8,
  kInt16,
  kUInt16,
  kInt32,
  kUInt32,
  kInt64,
  kUInt64,
  kFloat16,
  kFloat32,
  kFloat64,
  kBinary,
  kLargeBinary,
  kBinaryView,
  kUtf8,
  kLargeUtf8,
  kUtf8View,
  kDecimal,
  kFixedSizeBinary,
  kDate32,
  kDate64,
  kTime32,
  kTime64,
  kTimestamp,
  kDuration,
  kInterval,
  kList,
  kLargeList,
  kListView,
  kLargeListView,
  kFixedSizeList,
  kStruct,
  kMap,
  kDenseUnion,
  kSparseUnion,
  kRunEndEncoded,
};

enum class TimeUnit : std::uint8_t { kSecond, kMillisecond, kMicrosecond, kNanosecond };
enum class IntervalUnit : std::uint8_t { kYearMonth, kDayTime, kMonthDayNano };

/// A parsed format string. Views point into the format string.
struct Format {
  TypeId id = TypeId::kNull;
  TimeUnit unit = TimeUnit::kSecond;              // Time32/64, Timestamp, Duration
  IntervalUnit interval = IntervalUnit::kYearMonth;  // Interval
  std::int32_t size = 0;        // FixedSizeBinary bytes, FixedSizeList length, Decimal precision
  std::int32_t scale = 0;       // Decimal
  std::int32_t bit_width = 0;   // Decimal: 32, 64, 128 or 256
  std::string_view timezone;    // Timestamp, empty when none
  std::string_view type_ids;    // unions: the comma-separated type ids
  std::int64_t num_type_ids = 0;
};

/// Parses a format string of the C data interface; nullopt for anything else.
std::optional<Format> parse_format(std::string_view format);

/// Whether arrays of this type carry a validity bitmap as buffer 0.
bool has_validity_bitmap(TypeId id) noexcept;

/// Checks a schema tree: every format parses, child counts fit the types,
/// no pointer that must be set is null, nesting is bounded. Throws
/// ArrowError(kSchema).
void check_schema(const ArrowSchema& schema);

/// The text rendering of a (checked) schema's data type, e.g. Int32,
/// Time32(Second), List(Int64), Dictionary(Int32, Utf8).
std::string render_type(const ArrowSchema& schema);

/// One column of a record batch, restricted to the batch's rows.
class Column {
 public:
  const ArrowSchema& schema() const noexcept { return *schema_; }
  const ArrowArray& array() const noexcept { return *array_; }
  const Format& format() const noexcept { return format_; }
  /// Whether the column is dictionary encoded.
  bool is_dictionary() const noexcept { return schema_->dictionary != nullptr; }
  /// Number of rows (the batch's).
  std::int64_t length() const noexcept { return length_; }

  /// Whether an entry within the batch's rows is marked null by the validity
  /// bitmap. Types without a bitmap (Null, unions, run-end encoded) have none.
  bool has_nulls() const;

  /// The values of an 8-byte primitive column (Int64, Timestamp, ...),
  /// starting at the batch's first row. Throws ArrowError(kBatch) when the
  /// data buffer is missing. Values may be unaligned: read with load_i64.
  const unsigned char* fixed8_values() const;

  /// A checked Utf8 column: offsets[0 .. length] are non-decreasing and
  /// non-negative, so entry i is data[offsets[i] .. offsets[i+1]).
  struct Utf8 {
    const unsigned char* offsets;  // int32, possibly unaligned
    const char* data;
  };
  /// Checks and returns the Utf8 (32-bit offsets) buffers. Throws
  /// ArrowError(kBatch) on missing buffers or bad offsets.
  Utf8 utf8_values(const Poll* poll = nullptr) const;

 private:
  friend class RecordBatch;
  Column(const ArrowSchema* schema, const ArrowArray* array, Format format, std::int64_t start,
         std::int64_t length)
      : schema_(schema), array_(array), format_(format), start_(start), length_(length) {}

  const ArrowSchema* schema_;
  const ArrowArray* array_;
  Format format_;
  std::int64_t start_;   // physical index of the batch's first row
  std::int64_t length_;
};

/// A struct array checked against its (struct) schema. A view: the schema
/// and array must outlive it.
class RecordBatch {
 public:
  /// Checks `array` against `schema` (already accepted by check_schema and
  /// of struct type). Throws ArrowError(kBatch).
  static RecordBatch view(const ArrowSchema& schema, const ArrowArray& array);

  std::int64_t num_rows() const noexcept { return array_->length; }
  std::size_t num_columns() const noexcept { return static_cast<std::size_t>(schema_->n_children); }
  /// The index of the first field named exactly `name`.
  std::optional<std::size_t> find(std::string_view name) const noexcept;
  Column column(std::size_t i) const;

 private:
  RecordBatch(const ArrowSchema* schema, const ArrowArray* array) : schema_(schema), array_(array) {}
  const ArrowSchema* schema_;
  const ArrowArray* array_;
};

/// Everything read from a stream: its schema and its batches, in order.
struct ImportedStream {
  SchemaOwner schema;
  std::vector<ArrayOwner> arrays;
  std::vector<RecordBatch> batches;  // views of `schema` and `arrays`
};

/// Reads a record-batch stream to its end and releases it. The schema must
/// be a struct; every batch is checked with RecordBatch::view. Throws
/// ArrowError (kSchema for the schema, kBatch for a batch) and whatever
/// `poll` throws; every structure received is released on every path.
ImportedStream read_stream(StreamOwner stream, const Poll* poll = nullptr);

/// Reads an unaligned little-endian int64 / int32 (the platform's order).
inline std::int64_t load_i64(const unsigned char* p, std::size_t i) noexcept {
  std::int64_t v;
  std::memcpy(&v, p + i * 8, 8);
  return v;
}
inline std::int32_t load_i32(const unsigned char* p, std::size_t i) noexcept {
  std::int32_t v;
  std::memcpy(&v, p + i * 4, 4);
  return v;
}

}  // namespace vosket::arrow

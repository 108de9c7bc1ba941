#include "vosket/arrow_reader.hpp"

#include <bit>
#include <charconv>
#include <limits>
#include <utility>

#include "vosket/error.hpp"

namespace vosket::arrow {

namespace {

constexpr int kMaxDepth = 64;
constexpr std::int64_t kPollRows = 1 << 20;

[[noreturn]] void schema_fault(const std::string& message) {
  throw ArrowError(ArrowError::Stage::kSchema, message);
}
[[noreturn]] void batch_fault(const std::string& message) {
  throw ArrowError(ArrowError::Stage::kBatch, message);
}

/// Parses a whole decimal integer (optional leading '-').
bool parse_int(std::string_view text, std::int32_t& out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end;
}

std::optional<TimeUnit> unit_of(char c) {
  switch (c) {
    case 's':
      return TimeUnit::kSecond;
    case 'm':
      return TimeUnit::kMillisecond;
    case 'u':
      return TimeUnit::kMicrosecond;
    case 'n':
      return TimeUnit::kNanosecond;
    default:
      return std::nullopt;
  }
}

const char* unit_name(TimeUnit u) {
  switch (u) {
    case TimeUnit::kSecond:
      return "Second";
    case TimeUnit::kMillisecond:
      return "Millisecond";
    case TimeUnit::kMicrosecond:
      return "Microsecond";
    case TimeUnit::kNanosecond:
      return "Nanosecond";
  }
  return "Second";
}

std::optional<Format> simple(TypeId id) {
  Format f;
  f.id = id;
  return f;
}

/// "+ud:0,1,5": checks and counts the type ids (each 0..127).
bool parse_type_ids(std::string_view ids, std::int64_t& count) {
  count = 0;
  if (ids.empty()) return true;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = ids.find(',', start);
    const std::string_view one =
        ids.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    std::int32_t v = 0;
    if (!parse_int(one, v) || v < 0 || v > 127) return false;
    ++count;
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

/// The number of buffers arrays of this type have (for views, the minimum).
std::int64_t buffer_count(TypeId id) {
  switch (id) {
    case TypeId::kNull:
    case TypeId::kRunEndEncoded:
      return 0;
    case TypeId::kFixedSizeList:
    case TypeId::kStruct:
    case TypeId::kSparseUnion:
      return 1;
    case TypeId::kBinary:
    case TypeId::kLargeBinary:
    case TypeId::kUtf8:
    case TypeId::kLargeUtf8:
    case TypeId::kListView:
    case TypeId::kLargeListView:
    case TypeId::kBinaryView:
    case TypeId::kUtf8View:
      return 3;
    default:
      return 2;
  }
}

bool is_view(TypeId id) { return id == TypeId::kBinaryView || id == TypeId::kUtf8View; }

/// The number of children the type requires; -1 when it is free (struct)
/// or given by the format (unions).
std::int64_t child_count(const Format& f) {
  switch (f.id) {
    case TypeId::kList:
    case TypeId::kLargeList:
    case TypeId::kListView:
    case TypeId::kLargeListView:
    case TypeId::kFixedSizeList:
    case TypeId::kMap:
      return 1;
    case TypeId::kRunEndEncoded:
      return 2;
    case TypeId::kStruct:
      return -1;
    case TypeId::kDenseUnion:
    case TypeId::kSparseUnion:
      return f.num_type_ids;
    default:
      return 0;
  }
}

bool is_integer(TypeId id) {
  switch (id) {
    case TypeId::kInt8:
    case TypeId::kUInt8:
    case TypeId::kInt16:
    case TypeId::kUInt16:
    case TypeId::kInt32:
    case TypeId::kUInt32:
    case TypeId::kInt64:
    case TypeId::kUInt64:
      return true;
    default:
      return false;
  }
}

std::string_view name_of(const ArrowSchema& s) {
  return s.name == nullptr ? std::string_view() : std::string_view(s.name);
}

void check_schema_at(const ArrowSchema& s, int depth) {
  if (depth > kMaxDepth) schema_fault("Arrow schema is nested too deeply");
  if (s.format == nullptr) schema_fault("Arrow schema has no format string");
  const std::optional<Format> f = parse_format(s.format);
  if (!f) {
    std::string msg = "Arrow schema has an unsupported format string ";
    msg += quote_column(s.format);
    schema_fault(msg);
  }
  if (s.n_children < 0) schema_fault("Arrow schema has a negative number of children");
  if (s.n_children > 0 && s.children == nullptr) schema_fault("Arrow schema children are missing");
  const std::int64_t want = child_count(*f);
  if (want >= 0 && s.n_children != want) {
    std::string msg = "Arrow schema of format ";
    msg += quote_column(s.format);
    msg += " has ";
    msg += std::to_string(s.n_children);
    msg += " children, expected ";
    msg += std::to_string(want);
    schema_fault(msg);
  }
  for (std::int64_t i = 0; i < s.n_children; ++i) {
    const ArrowSchema* child = s.children[i];
    if (child == nullptr) schema_fault("Arrow schema child is missing");
    check_schema_at(*child, depth + 1);
  }
  if (s.dictionary != nullptr) {
    if (!is_integer(f->id)) schema_fault("Arrow dictionary index type must be an integer type");
    check_schema_at(*s.dictionary, depth + 1);
  }
}

void render_into(const ArrowSchema& s, std::string& out) {
  const Format f = *parse_format(s.format);
  if (s.dictionary != nullptr) {
    out += "Dictionary(";
    ArrowSchema index = s;
    index.dictionary = nullptr;
    render_into(index, out);
    out += ", ";
    render_into(*s.dictionary, out);
    out += ")";
    return;
  }
  auto child = [&](std::int64_t i) -> const ArrowSchema& { return *s.children[i]; };
  switch (f.id) {
    case TypeId::kNull: out += "Null"; return;
    case TypeId::kBoolean: out += "Boolean"; return;
    case TypeId::kInt8: out += "Int8"; return;
    case TypeId::kUInt8: out += "UInt8"; return;
    case TypeId::kInt16: out += "Int16"; return;
    case TypeId::kUInt16: out += "UInt16"; return;
    case TypeId::kInt32: out += "Int32"; return;
    case TypeId::kUInt32: out += "UInt32"; return;
    case TypeId::kInt64: out += "Int64"; return;
    case TypeId::kUInt64: out += "UInt64"; return;
    case TypeId::kFloat16: out += "Float16"; return;
    case TypeId::kFloat32: out += "Float32"; return;
    case TypeId::kFloat64: out += "Float64"; return;
    case TypeId::kBinary: out += "Binary"; return;
    case TypeId::kLargeBinary: out += "LargeBinary"; return;
    case TypeId::kBinaryView: out += "BinaryView"; return;
    case TypeId::kUtf8: out += "Utf8"; return;
    case TypeId::kLargeUtf8: out += "LargeUtf8"; return;
    case TypeId::kUtf8View: out += "Utf8View"; return;
    case TypeId::kDate32: out += "Date32"; return;
    case TypeId::kDate64: out += "Date64"; return;
    case TypeId::kDecimal:
      out += "Decimal";
      out += std::to_string(f.bit_width);
      out += "(";
      out += std::to_string(f.size);
      out += ", ";
      out += std::to_string(f.scale);
      out += ")";
      return;
    case TypeId::kFixedSizeBinary:
      out += "FixedSizeBinary(";
      out += std::to_string(f.size);
      out += ")";
      return;
    case TypeId::kTime32:
    case TypeId::kTime64:
    case TypeId::kDuration:
      out += f.id == TypeId::kTime32 ? "Time32(" : f.id == TypeId::kTime64 ? "Time64(" : "Duration(";
      out += unit_name(f.unit);
      out += ")";
      return;
    case TypeId::kTimestamp:
      out += "Timestamp(";
      out += unit_name(f.unit);
      if (!f.timezone.empty()) {
        out += ", ";
        out += quote_column(f.timezone);
      }
      out += ")";
      return;
    case TypeId::kInterval:
      out += f.interval == IntervalUnit::kYearMonth ? "Interval(YearMonth)"
             : f.interval == IntervalUnit::kDayTime ? "Interval(DayTime)"
                                                    : "Interval(MonthDayNano)";
      return;
    case TypeId::kList:
    case TypeId::kLargeList:
    case TypeId::kListView:
    case TypeId::kLargeListView:
      out += f.id == TypeId::kList        ? "List("
             : f.id == TypeId::kLargeList ? "LargeList("
             : f.id == TypeId::kListView  ? "ListView("
                                          : "LargeListView(";
      render_into(child(0), out);
      out += ")";
      return;
    case TypeId::kFixedSizeList:
      out += "FixedSizeList(";
      render_into(child(0), out);
      out += ", ";
      out += std::to_string(f.size);
      out += ")";
      return;
    case TypeId::kMap: {
      out += "Map(";
      const ArrowSchema& entries = child(0);
      if (entries.n_children == 2 && parse_format(entries.format)->id == TypeId::kStruct) {
        render_into(*entries.children[0], out);
        out += ", ";
        render_into(*entries.children[1], out);
      } else {
        render_into(entries, out);
      }
      out += ")";
      return;
    }
    case TypeId::kStruct:
      out += "Struct(";
      for (std::int64_t i = 0; i < s.n_children; ++i) {
        if (i > 0) out += ", ";
        out += quote_column(name_of(child(i)));
        out += ": ";
        render_into(child(i), out);
      }
      out += ")";
      return;
    case TypeId::kDenseUnion:
    case TypeId::kSparseUnion: {
      out += f.id == TypeId::kDenseUnion ? "Union(Dense" : "Union(Sparse";
      std::string_view ids = f.type_ids;
      for (std::int64_t i = 0; i < s.n_children; ++i) {
        const std::size_t comma = ids.find(',');
        out += ", ";
        out += ids.substr(0, comma);
        out += ": ";
        render_into(child(i), out);
        ids = comma == std::string_view::npos ? std::string_view() : ids.substr(comma + 1);
      }
      out += ")";
      return;
    }
    case TypeId::kRunEndEncoded:
      out += "RunEndEncoded(";
      render_into(child(0), out);
      out += ", ";
      render_into(child(1), out);
      out += ")";
      return;
  }
}

/// `offset + length` fits in int64 and neither is negative.
bool window_ok(std::int64_t offset, std::int64_t length) {
  return offset >= 0 && length >= 0 && length <= std::numeric_limits<std::int64_t>::max() - offset;
}

std::string with_path(std::string_view what, const std::string& path) {
  std::string msg(what);
  if (!path.empty()) {
    msg += " (column ";
    msg += path;
    msg += ")";
  }
  return msg;
}

/// Checks an array's shape against its schema, recursively. `needed` is the
/// number of entries the parent addresses in this array.
void check_array_at(const ArrowSchema& s, const ArrowArray& a, std::int64_t needed,
                    const std::string& path) {
  const Format f = *parse_format(s.format);
  if (!window_ok(a.offset, a.length))
    batch_fault(with_path("Arrow array has a negative or overflowing length or offset", path));
  if (a.length < needed) {
    std::string msg = "Arrow array has ";
    msg += std::to_string(a.length);
    msg += " entries but its parent needs ";
    msg += std::to_string(needed);
    batch_fault(with_path(msg, path));
  }
  if (a.null_count < -1 || a.null_count > a.length)
    batch_fault(with_path("Arrow array has an invalid null count", path));
  const std::int64_t want_buffers = buffer_count(f.id);
  if (is_view(f.id) ? a.n_buffers < want_buffers : a.n_buffers != want_buffers) {
    std::string msg = "Arrow array has ";
    msg += std::to_string(a.n_buffers);
    msg += " buffers, expected ";
    msg += is_view(f.id) ? "at least " : "";
    msg += std::to_string(want_buffers);
    batch_fault(with_path(msg, path));
  }
  if (a.n_buffers > 0 && a.buffers == nullptr)
    batch_fault(with_path("Arrow array buffers are missing", path));
  if (a.n_children != s.n_children) {
    std::string msg = "Arrow array has ";
    msg += std::to_string(a.n_children);
    msg += " children but its schema has ";
    msg += std::to_string(s.n_children);
    batch_fault(with_path(msg, path));
  }
  if (a.n_children > 0 && a.children == nullptr)
    batch_fault(with_path("Arrow array children are missing", path));
  if ((s.dictionary == nullptr) != (a.dictionary == nullptr))
    batch_fault(with_path(s.dictionary == nullptr ? "Arrow array has an unexpected dictionary"
                                                  : "Arrow array dictionary is missing",
                          path));
  // Struct and sparse-union children are addressed by the parent's own
  // window; other nested types address their children through offsets that
  // this reader never follows.
  const bool windowed = f.id == TypeId::kStruct || f.id == TypeId::kSparseUnion;
  const std::int64_t child_needed = windowed ? a.offset + a.length : 0;
  for (std::int64_t i = 0; i < a.n_children; ++i) {
    const ArrowArray* c = a.children[i];
    std::string child_path = path;
    if (f.id == TypeId::kStruct) {
      if (!child_path.empty()) child_path += ".";
      child_path += quote_column(name_of(*s.children[i]));
    }
    if (c == nullptr) batch_fault(with_path("Arrow array child is missing", child_path));
    check_array_at(*s.children[i], *c, child_needed, child_path);
  }
  if (a.dictionary != nullptr) check_array_at(*s.dictionary, *a.dictionary, 0, path);
}

/// Counts the set bits of `bits` in [start, start + length).
std::int64_t count_set_bits(const unsigned char* bits, std::int64_t start, std::int64_t length) {
  auto pos = static_cast<std::uint64_t>(start);
  const std::uint64_t end = pos + static_cast<std::uint64_t>(length);
  std::int64_t count = 0;
  while (pos < end && (pos & 7u) != 0) {
    count += (bits[pos >> 3] >> (pos & 7u)) & 1;
    ++pos;
  }
  while (end - pos >= 64) {
    std::uint64_t w;
    std::memcpy(&w, bits + (pos >> 3), 8);
    count += std::popcount(w);
    pos += 64;
  }
  while (end - pos >= 8) {
    count += std::popcount(static_cast<unsigned>(bits[pos >> 3]));
    pos += 8;
  }
  while (pos < end) {
    count += (bits[pos >> 3] >> (pos & 7u)) & 1;
    ++pos;
  }
  return count;
}

/// Whether entries [start, start + length) of `a` hold a null.
bool window_has_nulls(const ArrowArray& a, std::int64_t start, std::int64_t length) {
  if (a.null_count == 0 || length == 0) return false;
  const void* bitmap = a.n_buffers > 0 ? a.buffers[0] : nullptr;
  if (bitmap == nullptr) {
    if (a.null_count == -1) return false;
    batch_fault("Arrow array reports nulls but has no validity bitmap");
  }
  // A known count over exactly this window needs no scan.
  if (a.null_count > 0 && start == a.offset && length == a.length) return true;
  return count_set_bits(static_cast<const unsigned char*>(bitmap), start, length) != length;
}

}  // namespace

std::optional<Format> parse_format(std::string_view fmt) {
  if (fmt.size() == 1) {
    switch (fmt[0]) {
      case 'n': return simple(TypeId::kNull);
      case 'b': return simple(TypeId::kBoolean);
      case 'c': return simple(TypeId::kInt8);
      case 'C': return simple(TypeId::kUInt8);
      case 's': return simple(TypeId::kInt16);
      case 'S': return simple(TypeId::kUInt16);
      case 'i': return simple(TypeId::kInt32);
      case 'I': return simple(TypeId::kUInt32);
      case 'l': return simple(TypeId::kInt64);
      case 'L': return simple(TypeId::kUInt64);
      case 'e': return simple(TypeId::kFloat16);
      case 'f': return simple(TypeId::kFloat32);
      case 'g': return simple(TypeId::kFloat64);
      case 'z': return simple(TypeId::kBinary);
      case 'Z': return simple(TypeId::kLargeBinary);
      case 'u': return simple(TypeId::kUtf8);
      case 'U': return simple(TypeId::kLargeUtf8);
      default: return std::nullopt;
    }
  }
  if (fmt == "vz") return simple(TypeId::kBinaryView);
  if (fmt == "vu") return simple(TypeId::kUtf8View);
  if (fmt == "tdD") return simple(TypeId::kDate32);
  if (fmt == "tdm") return simple(TypeId::kDate64);
  if (fmt == "+l") return simple(TypeId::kList);
  if (fmt == "+L") return simple(TypeId::kLargeList);
  if (fmt == "+vl") return simple(TypeId::kListView);
  if (fmt == "+vL") return simple(TypeId::kLargeListView);
  if (fmt == "+s") return simple(TypeId::kStruct);
  if (fmt == "+m") return simple(TypeId::kMap);
  if (fmt == "+r") return simple(TypeId::kRunEndEncoded);
  Format f;
  if (fmt.size() == 3 && fmt.substr(0, 2) == "tt") {
    const auto u = unit_of(fmt[2]);
    if (!u) return std::nullopt;
    f.unit = *u;
    f.id = (*u == TimeUnit::kSecond || *u == TimeUnit::kMillisecond) ? TypeId::kTime32
                                                                      : TypeId::kTime64;
    return f;
  }
  if (fmt.size() == 3 && fmt.substr(0, 2) == "tD") {
    const auto u = unit_of(fmt[2]);
    if (!u) return std::nullopt;
    f.id = TypeId::kDuration;
    f.unit = *u;
    return f;
  }
  if (fmt.size() == 3 && fmt.substr(0, 2) == "ti") {
    f.id = TypeId::kInterval;
    switch (fmt[2]) {
      case 'M': f.interval = IntervalUnit::kYearMonth; return f;
      case 'D': f.interval = IntervalUnit::kDayTime; return f;
      case 'n': f.interval = IntervalUnit::kMonthDayNano; return f;
      default: return std::nullopt;
    }
  }
  if (fmt.size() >= 4 && fmt.substr(0, 2) == "ts" && fmt[3] == ':') {
    const auto u = unit_of(fmt[2]);
    if (!u) return std::nullopt;
    f.id = TypeId::kTimestamp;
    f.unit = *u;
    f.timezone = fmt.substr(4);
    return f;
  }
  if (fmt.substr(0, 2) == "w:") {
    if (!parse_int(fmt.substr(2), f.size) || f.size < 0) return std::nullopt;
    f.id = TypeId::kFixedSizeBinary;
    return f;
  }
  if (fmt.substr(0, 3) == "+w:") {
    if (!parse_int(fmt.substr(3), f.size) || f.size < 0) return std::nullopt;
    f.id = TypeId::kFixedSizeList;
    return f;
  }
  if (fmt.substr(0, 2) == "d:") {
    std::string_view rest = fmt.substr(2);
    const std::size_t c1 = rest.find(',');
    if (c1 == std::string_view::npos) return std::nullopt;
    std::string_view tail = rest.substr(c1 + 1);
    const std::size_t c2 = tail.find(',');
    f.bit_width = 128;
    if (c2 != std::string_view::npos) {
      if (!parse_int(tail.substr(c2 + 1), f.bit_width)) return std::nullopt;
      tail = tail.substr(0, c2);
    }
    if (!parse_int(rest.substr(0, c1), f.size) || !parse_int(tail, f.scale) || f.size <= 0)
      return std::nullopt;
    if (f.bit_width != 32 && f.bit_width != 64 && f.bit_width != 128 && f.bit_width != 256)
      return std::nullopt;
    f.id = TypeId::kDecimal;
    return f;
  }
  if (fmt.size() >= 4 && fmt.substr(0, 2) == "+u" && fmt[3] == ':') {
    if (fmt[2] == 'd') {
      f.id = TypeId::kDenseUnion;
    } else if (fmt[2] == 's') {
      f.id = TypeId::kSparseUnion;
    } else {
      return std::nullopt;
    }
    f.type_ids = fmt.substr(4);
    if (!parse_type_ids(f.type_ids, f.num_type_ids)) return std::nullopt;
    return f;
  }
  return std::nullopt;
}

bool has_validity_bitmap(TypeId id) noexcept {
  switch (id) {
    case TypeId::kNull:
    case TypeId::kDenseUnion:
    case TypeId::kSparseUnion:
    case TypeId::kRunEndEncoded:
      return false;
    default:
      return true;
  }
}

void check_schema(const ArrowSchema& schema) { check_schema_at(schema, 0); }

std::string render_type(const ArrowSchema& schema) {
  std::string out;
  render_into(schema, out);
  return out;
}

bool Column::has_nulls() const {
  if (!has_validity_bitmap(format_.id)) return false;
  return window_has_nulls(*array_, start_, length_);
}

const unsigned char* Column::fixed8_values() const {
  if (length_ == 0) return nullptr;
  const void* data = array_->buffers[1];
  if (data == nullptr) {
    batch_fault(with_path("Arrow array data buffer is missing", quote_column(name_of(*schema_))));
  }
  return static_cast<const unsigned char*>(data) + static_cast<std::size_t>(start_) * 8;
}

Column::Utf8 Column::utf8_values(const Poll* poll) const {
  const std::string path = quote_column(name_of(*schema_));
  const void* offsets_buffer = array_->buffers[1];
  const void* data_buffer = array_->buffers[2];
  if (length_ == 0) return {nullptr, nullptr};
  if (offsets_buffer == nullptr)
    batch_fault(with_path("Arrow array offsets buffer is missing", path));
  const auto* offsets =
      static_cast<const unsigned char*>(offsets_buffer) + static_cast<std::size_t>(start_) * 4;
  std::int32_t prev = load_i32(offsets, 0);
  if (prev < 0) batch_fault(with_path("Arrow array has a negative string offset", path));
  const std::int32_t first = prev;
  const auto n = static_cast<std::size_t>(length_);
  for (std::size_t i = 1; i <= n; ++i) {
    const std::int32_t next = load_i32(offsets, i);
    if (next < prev) batch_fault(with_path("Arrow array string offsets are not monotonic", path));
    prev = next;
    if (poll != nullptr && (i & static_cast<std::size_t>(kPollRows - 1)) == 0) (*poll)();
  }
  if (data_buffer == nullptr && prev > first)
    batch_fault(with_path("Arrow array string data buffer is missing", path));
  return {offsets, static_cast<const char*>(data_buffer)};
}

RecordBatch RecordBatch::view(const ArrowSchema& schema, const ArrowArray& array) {
  if (array.release == nullptr) batch_fault("Arrow record batch was already released");
  check_array_at(schema, array, 0, std::string());
  if (array.null_count != 0 && window_has_nulls(array, array.offset, array.length))
    batch_fault("Arrow record batch has top-level nulls");
  return RecordBatch(&schema, &array);
}

std::optional<std::size_t> RecordBatch::find(std::string_view name) const noexcept {
  for (std::size_t i = 0; i < num_columns(); ++i) {
    if (name_of(*schema_->children[i]) == name) return i;
  }
  return std::nullopt;
}

Column RecordBatch::column(std::size_t i) const {
  const ArrowSchema* s = schema_->children[i];
  const ArrowArray* a = array_->children[i];
  return Column(s, a, *parse_format(s->format), a->offset + array_->offset, array_->length);
}

namespace {
std::string stream_error_text(ArrowArrayStream* stream, int code, const char* what) {
  const char* text = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
  if (text != nullptr && *text != '\0') return text;
  std::string msg = "Arrow stream ";
  msg += what;
  msg += " failed with error code ";
  msg += std::to_string(code);
  return msg;
}
}  // namespace

ImportedStream read_stream(StreamOwner stream, const Poll* poll) {
  if (!stream.live()) schema_fault("Arrow stream was already released");
  ArrowArrayStream* s = stream.get();
  if (s->get_schema == nullptr || s->get_next == nullptr)
    schema_fault("Arrow stream has no get_schema or get_next callback");
  ImportedStream out;
  const int schema_rc = s->get_schema(s, out.schema.get());
  if (schema_rc != 0) {
    // A failed call must not have produced anything; release it if it did.
    const std::string text = stream_error_text(s, schema_rc, "get_schema()");
    out.schema.reset();
    schema_fault(text);
  }
  if (!out.schema.live()) schema_fault("Arrow stream produced a released schema");
  check_schema(*out.schema.get());
  if (parse_format(out.schema->format)->id != TypeId::kStruct || out.schema->dictionary != nullptr) {
    std::string msg = "Arrow stream schema must be a struct, got ";
    msg += render_type(*out.schema.get());
    schema_fault(msg);
  }
  std::int64_t since_poll = 0;
  while (true) {
    ArrayOwner array;
    const int rc = s->get_next(s, array.get());
    if (rc != 0) {
      const std::string text = stream_error_text(s, rc, "get_next()");
      array.reset();
      batch_fault(text);
    }
    if (!array.live()) break;
    const RecordBatch batch = RecordBatch::view(*out.schema.get(), *array.get());
    out.arrays.push_back(std::move(array));
    out.batches.push_back(batch);
    since_poll += batch.num_rows() + 1;
    if (poll != nullptr && since_poll >= kPollRows) {
      since_poll = 0;
      (*poll)();
    }
  }
  stream.reset();
  return out;
}

}  // namespace vosket::arrow

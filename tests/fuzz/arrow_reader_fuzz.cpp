// libFuzzer target: record batches built from the fuzz bytes, some sound,
// many malformed, fed to the Arrow reader and the interaction reader. Buffers
// are always as large as the lengths the arrays declare (a producer that lies
// about buffer sizes cannot be detected through the C data interface); every
// other field is left to the fuzzer. A batch the reader accepts must give the
// same sequences as the row algorithm.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vosket/arrow_abi.h"
#include "vosket/arrow_reader.hpp"
#include "vosket/interactions.hpp"

namespace {

using namespace vosket;

struct SchemaNode {
  std::string format, name;
  std::vector<std::unique_ptr<ArrowSchema>> children;
  std::vector<ArrowSchema*> child_ptrs;
  std::unique_ptr<ArrowSchema> dictionary;
};
void release_schema(ArrowSchema* s) {
  auto* node = static_cast<SchemaNode*>(s->private_data);
  for (auto& c : node->children)
    if (c->release) c->release(c.get());
  if (node->dictionary && node->dictionary->release) node->dictionary->release(node->dictionary.get());
  delete node;
  s->release = nullptr;
}

struct ArrayNode {
  std::vector<std::vector<unsigned char>> storage;
  std::vector<const void*> buffers;
  std::vector<std::unique_ptr<ArrowArray>> children;
  std::vector<ArrowArray*> child_ptrs;
  std::unique_ptr<ArrowArray> dictionary;
};
void release_array(ArrowArray* a) {
  auto* node = static_cast<ArrayNode*>(a->private_data);
  for (auto& c : node->children)
    if (c->release) c->release(c.get());
  if (node->dictionary && node->dictionary->release) node->dictionary->release(node->dictionary.get());
  delete node;
  a->release = nullptr;
}

struct Shape {
  const char* format;
  std::vector<const char*> children;
  const char* dictionary;
};

const Shape kShapes[] = {
    {"l", {}, nullptr},         {"u", {}, nullptr},          {"tsm:UTC", {}, nullptr},
    {"tsn:", {}, nullptr},      {"i", {}, nullptr},          {"U", {}, nullptr},
    {"n", {}, nullptr},         {"tdm", {}, nullptr},        {"b", {}, nullptr},
    {"vu", {}, nullptr},        {"d:10,2", {}, nullptr},     {"+l", {"l"}, nullptr},
    {"+s", {"l", "u"}, nullptr}, {"i", {}, "u"},             {"+ud:0,1", {"l", "u"}, nullptr},
    {"+r", {"i", "u"}, nullptr}, {"+w:2", {"l"}, nullptr},   {"?", {}, nullptr},
    {"+m", {"+s"}, nullptr},
};
const char* const kNames[] = {"user_id", "item_id", "timestamp", "x", ""};

std::int64_t pick_length(FuzzedDataProvider& in) {
  // Small values, or values the reader must refuse (negative, or with the
  // offset overflowing): no accepted array addresses more than a few dozen
  // entries, so the buffers below are as large as they claim to be.
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
      return -1;
    case 1:
      return std::numeric_limits<std::int64_t>::min();
    default:
      return in.ConsumeIntegralInRange<std::int64_t>(0, 40);
  }
}
std::int64_t pick_offset(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 15)) {
    case 0:
      return -3;
    case 1:
      return std::numeric_limits<std::int64_t>::max();
    default:
      return in.ConsumeIntegralInRange<std::int64_t>(0, 40);
  }
}

std::vector<unsigned char> fuzz_bytes(FuzzedDataProvider& in, std::size_t n) {
  std::vector<unsigned char> out(n, 0);
  const std::vector<unsigned char> got = in.ConsumeBytes<unsigned char>(n);
  if (!got.empty()) std::memcpy(out.data(), got.data(), got.size());
  return out;
}

void make_schema(const char* format, const char* name, const std::vector<const char*>& children,
                 const char* dictionary, ArrowSchema* out) {
  auto* node = new SchemaNode;
  node->format = format;
  node->name = name;
  for (const char* c : children) {
    node->children.push_back(std::make_unique<ArrowSchema>());
    if (std::strcmp(c, "+s") == 0) {
      make_schema(c, "entries", {"u", "l"}, nullptr, node->children.back().get());
    } else {
      make_schema(c, "c", {}, nullptr, node->children.back().get());
    }
    node->child_ptrs.push_back(node->children.back().get());
  }
  if (dictionary != nullptr) {
    node->dictionary = std::make_unique<ArrowSchema>();
    make_schema(dictionary, "", {}, nullptr, node->dictionary.get());
  }
  *out = ArrowSchema{node->format.c_str(), node->name.c_str(), nullptr, 2,
                     static_cast<std::int64_t>(node->children.size()),
                     node->child_ptrs.empty() ? nullptr : node->child_ptrs.data(),
                     node->dictionary.get(), release_schema, node};
}

/// An array for `schema` with fuzzed fields; `depth` bounds the recursion.
/// A `sound` array is well formed (its values are still fuzzed) and holds
/// at least `needed` entries.
void make_array(FuzzedDataProvider& in, const ArrowSchema& schema, ArrowArray* out, int depth, bool sound,
                std::int64_t needed) {
  auto* node = new ArrayNode;
  const std::int64_t length = sound ? needed + in.ConsumeIntegralInRange<std::int64_t>(0, 3) : pick_length(in);
  const std::int64_t offset = sound ? in.ConsumeIntegralInRange<std::int64_t>(0, 5) : pick_offset(in);
  const std::int64_t extent =
      (length >= 0 && length <= 1000 && offset >= 0 && offset <= 1000) ? length + offset : 0;
  const auto n = static_cast<std::size_t>(extent);
  const std::optional<arrow::Format> format = arrow::parse_format(schema.format);
  std::int64_t n_buffers = 2;
  if (format) {
    switch (format->id) {
      case arrow::TypeId::kNull:
      case arrow::TypeId::kRunEndEncoded:
        n_buffers = 0;
        break;
      case arrow::TypeId::kStruct:
      case arrow::TypeId::kFixedSizeList:
      case arrow::TypeId::kSparseUnion:
        n_buffers = 1;
        break;
      case arrow::TypeId::kUtf8:
      case arrow::TypeId::kLargeUtf8:
      case arrow::TypeId::kUtf8View:
        n_buffers = 3;
        break;
      default:
        break;
    }
  }
  if (!sound && in.ConsumeIntegralInRange<int>(0, 20) == 0) n_buffers += in.ConsumeIntegralInRange<int>(-1, 1);
  if (n_buffers < 0) n_buffers = 0;
  const bool utf8 = format && format->id == arrow::TypeId::kUtf8;
  std::int32_t max_offset = 0;
  for (std::int64_t b = 0; b < n_buffers; ++b) {
    const int mode = in.ConsumeIntegralInRange<int>(0, 9);
    if (mode == 0 && (!sound || b == 0)) {
      node->buffers.push_back(nullptr);
      continue;
    }
    std::vector<unsigned char> bytes;
    if (b == 0) {
      bytes = fuzz_bytes(in, n / 8 + 1);
      // Sound arrays are mostly valid everywhere, so that rows get read.
      if (sound && in.ConsumeIntegralInRange<int>(0, 7) != 0) std::fill(bytes.begin(), bytes.end(), 0xFF);
    } else if (utf8 && b == 1) {
      std::vector<std::int32_t> offsets(n + 1);
      std::int32_t v = 0;
      for (auto& o : offsets) {
        v += in.ConsumeIntegralInRange<std::int32_t>(sound ? 0 : -1, 4);
        o = v;
        if (v > max_offset) max_offset = v;
      }
      bytes.resize(offsets.size() * 4);
      std::memcpy(bytes.data(), offsets.data(), bytes.size());
    } else if (utf8 && b == 2) {
      // As long as the largest offset: what the offsets buffer promises.
      bytes = fuzz_bytes(in, static_cast<std::size_t>(max_offset) + 1);
    } else {
      bytes = fuzz_bytes(in, n * 16 + 16);
    }
    node->storage.push_back(std::move(bytes));
    node->buffers.push_back(node->storage.back().data());
  }
  std::int64_t n_children = schema.n_children;
  if (!sound && in.ConsumeIntegralInRange<int>(0, 20) == 0) n_children += in.ConsumeIntegralInRange<int>(-1, 1);
  if (n_children < 0 || depth > 3) n_children = 0;
  for (std::int64_t i = 0; i < n_children; ++i) {
    node->children.push_back(std::make_unique<ArrowArray>());
    if (i < schema.n_children) {
      make_array(in, *schema.children[i], node->children.back().get(), depth + 1, sound, sound ? offset + length : 0);
    } else {
      make_array(in, schema, node->children.back().get(), depth + 1, false, 0);
    }
    node->child_ptrs.push_back(node->children.back().get());
  }
  const bool want_dictionary =
      (schema.dictionary != nullptr) != (!sound && in.ConsumeIntegralInRange<int>(0, 20) == 0);
  if (want_dictionary && depth <= 3) {
    node->dictionary = std::make_unique<ArrowArray>();
    make_array(in, schema.dictionary != nullptr ? *schema.dictionary : schema, node->dictionary.get(), depth + 1,
               sound, 0);
  }
  std::int64_t null_count = 0;
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      null_count = -1;
      break;
    case 1:
      if (!sound) null_count = in.ConsumeIntegralInRange<std::int64_t>(-2, 41);
      break;
    default:
      break;
  }
  const bool drop_buffers = !sound && in.ConsumeIntegralInRange<int>(0, 30) == 0;
  const bool drop_children = !sound && in.ConsumeIntegralInRange<int>(0, 30) == 0;
  *out = ArrowArray{length,
                    null_count,
                    offset,
                    n_buffers,
                    n_children,
                    (drop_buffers || node->buffers.empty()) ? nullptr : node->buffers.data(),
                    (drop_children || node->child_ptrs.empty()) ? nullptr : node->child_ptrs.data(),
                    node->dictionary.get(),
                    release_array,
                    node};
}

/// Rebuilds the rows of accepted batches through the Column accessors.
void append_rows(const arrow::RecordBatch& batch, std::vector<InteractionRow>& rows) {
  const arrow::Column user = batch.column(*batch.find("user_id"));
  const arrow::Column item = batch.column(*batch.find("item_id"));
  const arrow::Column ts = batch.column(*batch.find("timestamp"));
  const auto n = static_cast<std::size_t>(batch.num_rows());
  const unsigned char* items = item.fixed8_values();
  const unsigned char* times = ts.fixed8_values();
  for (std::size_t i = 0; i < n; ++i) {
    InteractionRow r{UserKey::Int(0), arrow::load_i64(items, i), arrow::load_i64(times, i)};
    if (user.format().id == arrow::TypeId::kUtf8) {
      const arrow::Column::Utf8 s = user.utf8_values();
      const auto b = static_cast<std::size_t>(arrow::load_i32(s.offsets, i));
      const auto e = static_cast<std::size_t>(arrow::load_i32(s.offsets, i + 1));
      r.user = UserKey::Str(e == b ? std::string() : std::string(s.data + b, e - b));
    } else {
      r.user = UserKey::Int(arrow::load_i64(user.fixed8_values(), i));
    }
    rows.push_back(std::move(r));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool sound = in.ConsumeBool();
  const int n_columns = in.ConsumeIntegralInRange<int>(0, sound ? 1 : 4);
  std::vector<std::string> formats;
  ArrowSchema schema;
  {
    auto* node = new SchemaNode;
    node->format = !sound && in.ConsumeIntegralInRange<int>(0, 30) == 0 ? "l" : "+s";
    if (sound) {
      // The three columns in a fuzzed order, of accepted types.
      const char* user = in.ConsumeBool() ? "u" : "l";
      const char* ts = in.ConsumeBool() ? "tsm:UTC" : "l";
      const char* formats[3] = {user, "l", ts};
      int order[3] = {0, 1, 2};
      for (int i = 2; i > 0; --i) std::swap(order[i], order[in.ConsumeIntegralInRange<int>(0, i)]);
      for (int i : order) {
        node->children.push_back(std::make_unique<ArrowSchema>());
        make_schema(formats[i], kNames[i], {}, nullptr, node->children.back().get());
        node->child_ptrs.push_back(node->children.back().get());
      }
    }
    for (int c = 0; c < n_columns; ++c) {
      const Shape& shape = kShapes[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kShapes) - 1)];
      const char* name = kNames[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
      node->children.push_back(std::make_unique<ArrowSchema>());
      make_schema(shape.format, name, shape.children, shape.dictionary, node->children.back().get());
      node->child_ptrs.push_back(node->children.back().get());
    }
    schema = ArrowSchema{node->format.c_str(), "", nullptr, 0, static_cast<std::int64_t>(node->children.size()),
                         node->child_ptrs.empty() ? nullptr : node->child_ptrs.data(), nullptr, release_schema,
                         node};
  }
  arrow::SchemaOwner schema_owner = arrow::SchemaOwner::take(&schema);
  try {
    arrow::check_schema(*schema_owner.get());
    (void)arrow::render_type(*schema_owner.get());
  } catch (const arrow::ArrowError&) {
    return 0;
  }
  if (arrow::parse_format(schema_owner->format)->id != arrow::TypeId::kStruct) return 0;

  std::vector<arrow::ArrayOwner> arrays;
  std::vector<arrow::RecordBatch> batches;
  const int n_batches = in.ConsumeIntegralInRange<int>(1, 3);
  for (int b = 0; b < n_batches; ++b) {
    ArrowArray raw;
    make_array(in, *schema_owner.get(), &raw, 0, sound, sound ? in.ConsumeIntegralInRange<std::int64_t>(0, 40) : 0);
    arrays.push_back(arrow::ArrayOwner::take(&raw));
    try {
      batches.push_back(arrow::RecordBatch::view(*schema_owner.get(), *arrays.back().get()));
    } catch (const arrow::ArrowError&) {
      return 0;
    }
  }
  for (const arrow::RecordBatch& batch : batches) {
    for (std::size_t c = 0; c < batch.num_columns(); ++c) {
      try {
        (void)batch.column(c).has_nulls();
      } catch (const arrow::ArrowError&) {
      }
    }
  }
  Interner interner;
  try {
    Result<Sequences> fast =
        sequences_from_record_batches(batches, "user_id", "item_id", "timestamp", interner);
    if (!fast.ok()) {
      if (interner.size() != 0) std::abort();
      return 0;
    }
    std::vector<InteractionRow> rows;
    for (const arrow::RecordBatch& batch : batches) append_rows(batch, rows);
    Interner reference_interner;
    const Sequences reference = from_interactions(std::move(rows), reference_interner);
    if (reference.to_lists() != fast.value().to_lists()) std::abort();
    if (reference_interner.values() != interner.values()) std::abort();
  } catch (const arrow::ArrowError&) {
    if (interner.size() != 0) std::abort();
  }
  return 0;
}

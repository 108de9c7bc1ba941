#pragma once
// Hand-built Arrow C structures for the reader's tests: plain descriptions
// (Sch, Arr) exported into ArrowSchema / ArrowArray / ArrowArrayStream with
// release callbacks that count their calls.

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vosket/arrow_abi.h"
#include "vosket/arrow_reader.hpp"

namespace vosket::testing {

/// How often each kind of top-level structure was released.
struct Releases {
  int schemas = 0;
  int arrays = 0;
  int streams = 0;
};

/// A schema description.
struct Sch {
  std::string format;
  std::string name;
  std::vector<Sch> children;
  std::shared_ptr<Sch> dictionary;
};

/// An array description. A buffer of nullopt is exported as a null pointer.
struct Arr {
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::int64_t offset = 0;
  std::vector<std::optional<std::vector<unsigned char>>> buffers;
  std::vector<Arr> children;
  std::shared_ptr<Arr> dictionary;
  std::optional<std::int64_t> n_buffers;   // overrides buffers.size()
  std::optional<std::int64_t> n_children;  // overrides children.size()
  bool null_buffers_pointer = false;
  bool null_children_pointer = false;
};

namespace fixture_detail {
/// Release callback of an exported schema or array: releases the children
/// and the dictionary, counts the release, frees the node.
template <class Node, class Struct>
void release_node(Struct* s) {
  auto* node = static_cast<Node*>(s->private_data);
  for (auto& c : node->children)
    if (c->release != nullptr) c->release(c.get());
  if (node->dictionary && node->dictionary->release != nullptr)
    node->dictionary->release(node->dictionary.get());
  if (node->counter != nullptr) ++*node->counter;
  delete node;
  s->release = nullptr;
}
struct SchemaNode {
  std::string format, name;
  std::vector<std::unique_ptr<ArrowSchema>> children;
  std::vector<ArrowSchema*> child_ptrs;
  std::unique_ptr<ArrowSchema> dictionary;
  int* counter = nullptr;
};
inline void export_schema(const Sch& d, ArrowSchema* out, int* counter) {
  auto* node = new SchemaNode;
  node->format = d.format;
  node->name = d.name;
  node->counter = counter;
  for (const Sch& c : d.children) {
    node->children.push_back(std::make_unique<ArrowSchema>());
    export_schema(c, node->children.back().get(), nullptr);
    node->child_ptrs.push_back(node->children.back().get());
  }
  if (d.dictionary) {
    node->dictionary = std::make_unique<ArrowSchema>();
    export_schema(*d.dictionary, node->dictionary.get(), nullptr);
  }
  out->format = node->format.c_str();
  out->name = node->name.c_str();
  out->metadata = nullptr;
  out->flags = ARROW_FLAG_NULLABLE;
  out->n_children = static_cast<std::int64_t>(node->children.size());
  out->children = node->child_ptrs.empty() ? nullptr : node->child_ptrs.data();
  out->dictionary = node->dictionary.get();
  out->release = release_node<SchemaNode, ArrowSchema>;
  out->private_data = node;
}

struct ArrayNode {
  std::vector<std::vector<unsigned char>> storage;
  std::vector<const void*> buffers;
  std::vector<std::unique_ptr<ArrowArray>> children;
  std::vector<ArrowArray*> child_ptrs;
  std::unique_ptr<ArrowArray> dictionary;
  int* counter = nullptr;
};
inline void export_array(const Arr& d, ArrowArray* out, int* counter) {
  auto* node = new ArrayNode;
  node->counter = counter;
  node->storage.reserve(d.buffers.size());
  for (const auto& b : d.buffers) {
    if (b) {
      // One spare zeroed word so that a zero-length buffer is a real pointer.
      node->storage.push_back(*b);
      node->storage.back().resize(b->size() + 8, 0);
      node->buffers.push_back(node->storage.back().data());
    } else {
      node->buffers.push_back(nullptr);
    }
  }
  for (const Arr& c : d.children) {
    node->children.push_back(std::make_unique<ArrowArray>());
    export_array(c, node->children.back().get(), nullptr);
    node->child_ptrs.push_back(node->children.back().get());
  }
  if (d.dictionary) {
    node->dictionary = std::make_unique<ArrowArray>();
    export_array(*d.dictionary, node->dictionary.get(), nullptr);
  }
  out->length = d.length;
  out->null_count = d.null_count;
  out->offset = d.offset;
  out->n_buffers = d.n_buffers.value_or(static_cast<std::int64_t>(node->buffers.size()));
  out->n_children = d.n_children.value_or(static_cast<std::int64_t>(node->children.size()));
  out->buffers = d.null_buffers_pointer || node->buffers.empty() ? nullptr : node->buffers.data();
  out->children = d.null_children_pointer || node->child_ptrs.empty() ? nullptr : node->child_ptrs.data();
  out->dictionary = node->dictionary.get();
  out->release = release_node<ArrayNode, ArrowArray>;
  out->private_data = node;
}
}  // namespace fixture_detail

template <class T>
std::vector<unsigned char> bytes_of(const std::vector<T>& values) {
  std::vector<unsigned char> out(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(out.data(), values.data(), out.size());
  return out;
}

/// A validity bitmap; empty `valid` means no bitmap.
inline std::optional<std::vector<unsigned char>> bitmap(const std::vector<bool>& valid) {
  if (valid.empty()) return std::nullopt;
  std::vector<unsigned char> out((valid.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < valid.size(); ++i)
    if (valid[i]) out[i / 8] = static_cast<unsigned char>(out[i / 8] | (1u << (i % 8)));
  return out;
}

inline std::int64_t nulls_in(const std::vector<bool>& valid) {
  std::int64_t n = 0;
  for (bool v : valid) n += v ? 0 : 1;
  return n;
}

inline Arr int64_array(const std::vector<std::int64_t>& values, const std::vector<bool>& valid = {}) {
  Arr a;
  a.length = static_cast<std::int64_t>(values.size());
  a.null_count = nulls_in(valid);
  a.buffers = {bitmap(valid), bytes_of(values)};
  return a;
}

inline Arr int32_array(const std::vector<std::int32_t>& values) {
  Arr a;
  a.length = static_cast<std::int64_t>(values.size());
  a.buffers = {std::nullopt, bytes_of(values)};
  return a;
}

inline Arr utf8_array(const std::vector<std::string>& values, const std::vector<bool>& valid = {}) {
  std::vector<std::int32_t> offsets{0};
  std::string data;
  for (const auto& v : values) {
    data += v;
    offsets.push_back(static_cast<std::int32_t>(data.size()));
  }
  Arr a;
  a.length = static_cast<std::int64_t>(values.size());
  a.null_count = nulls_in(valid);
  a.buffers = {bitmap(valid), bytes_of(offsets), std::vector<unsigned char>(data.begin(), data.end())};
  return a;
}

inline Arr null_array(std::int64_t length) {
  Arr a;
  a.length = length;
  a.null_count = length;
  return a;
}

inline Arr struct_array(std::vector<Arr> children) {
  Arr a;
  a.length = children.empty() ? 0 : children[0].length;
  a.buffers = {std::nullopt};
  a.children = std::move(children);
  return a;
}

inline Sch field(std::string name, std::string format) { return Sch{std::move(format), std::move(name), {}, {}}; }

inline Sch struct_schema(std::vector<Sch> fields) { return Sch{"+s", "", std::move(fields), {}}; }

/// An exported schema and batch, owned, with a checked RecordBatch view.
struct Batch {
  arrow::SchemaOwner schema;
  arrow::ArrayOwner array;

  Batch(const Sch& s, const Arr& a, Releases* releases = nullptr) {
    fixture_detail::export_schema(s, schema.get(), releases != nullptr ? &releases->schemas : nullptr);
    fixture_detail::export_array(a, array.get(), releases != nullptr ? &releases->arrays : nullptr);
  }
  void check_schema() const { arrow::check_schema(*schema.get()); }
  arrow::RecordBatch view() const {
    arrow::check_schema(*schema.get());
    return arrow::RecordBatch::view(*schema.get(), *array.get());
  }
};

/// A stream over fixed batches that can be told to fail.
struct FakeStream {
  Sch schema;
  std::vector<Arr> batches;
  int schema_error = 0;                 // get_schema's return code
  std::optional<std::size_t> fail_at;   // get_next fails when asked for this batch
  std::string last_error;               // what get_last_error reports (empty: null)
  Releases* releases = nullptr;

  std::size_t next = 0;

  static FakeStream* self(ArrowArrayStream* s) { return static_cast<FakeStream*>(s->private_data); }
  static int get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    FakeStream* f = self(s);
    if (f->schema_error != 0) return f->schema_error;
    fixture_detail::export_schema(f->schema, out, f->releases != nullptr ? &f->releases->schemas : nullptr);
    return 0;
  }
  static int get_next(ArrowArrayStream* s, ArrowArray* out) {
    FakeStream* f = self(s);
    if (f->fail_at && *f->fail_at == f->next) return 5;
    if (f->next == f->batches.size()) {
      out->release = nullptr;
      return 0;
    }
    fixture_detail::export_array(f->batches[f->next++], out,
                                 f->releases != nullptr ? &f->releases->arrays : nullptr);
    return 0;
  }
  static const char* get_last_error(ArrowArrayStream* s) {
    FakeStream* f = self(s);
    return f->last_error.empty() ? nullptr : f->last_error.c_str();
  }
  static void release(ArrowArrayStream* s) {
    FakeStream* f = self(s);
    if (f->releases != nullptr) ++f->releases->streams;
    s->release = nullptr;
  }

  /// An owner of a stream over this object (which must outlive it).
  arrow::StreamOwner open() {
    ArrowArrayStream raw{};
    raw.get_schema = get_schema;
    raw.get_next = get_next;
    raw.get_last_error = get_last_error;
    raw.release = release;
    raw.private_data = this;
    return arrow::StreamOwner::take(&raw);
  }
};

}  // namespace vosket::testing

// The Popularity and Random classes, and the conversions every model class
// shares.

#include "models.hpp"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>

#include "vosket/internal.hpp"
#include "vosket/models/popularity.hpp"
#include "vosket/models/random.hpp"

namespace vosket::py {

// ------------------------------------------------------------ shared helpers

bool DataArgument::convert(PyObject* obj) {
  PyTypeObject* sequences = sequences_type();
  if (sequences == nullptr && PyErr_Occurred()) return false;
  if (sequences != nullptr && PyObject_TypeCheck(obj, sequences)) {
    holder_ = PyRef::borrow(obj);
    borrowed_ = &unbox<SequencesData>(obj);
    return true;
  }
  IdLists lists;
  if (!to_id_lists(obj, lists)) return false;
  Interner interner;
  std::vector<ItemId> items;
  items.reserve(lists.values.size());
  for (const std::int64_t raw : lists.values) items.push_back(interner.intern(raw));
  owned_.interner = std::move(interner);
  owned_.sequences = Sequences(std::move(items), std::move(lists.offsets));
  return true;
}

Interner DataArgument::take_interner() {
  if (borrowed_ != nullptr) return borrowed_->interner;
  return std::move(owned_.interner);
}

std::vector<ItemId> convert_query(PyObject* obj, const Interner& interner) {
  std::vector<std::int64_t> raw;
  ensure(convert_named("sequence", [&] { return to_id_list(obj, raw); }));
  std::vector<ItemId> query;
  query.reserve(raw.size());
  for (const std::int64_t value : raw) {
    if (const std::optional<ItemId> id = interner.id_of(value)) query.push_back(*id);
  }
  return query;
}

std::int64_t raw_id_of(const Interner& interner, ItemId id) {
  const std::optional<std::int64_t> raw = interner.value_of(id);
  VOSKET_CHECK(raw.has_value(), "ranked item outside the model's catalogue");
  return *raw;
}

void poll_signals() {
  if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
}

namespace {

// ---------------------------------------------------------------- Popularity

struct PopularityTraits {
  using Model = Popularity;
  static constexpr const char* kName = "Popularity";
  static constexpr const char* kTypeName = "builtins.Popularity";
  static constexpr const char* kDoc =
      "Popularity baseline recommender. Thin wrapper over [`vosket_core::Popularity`]\n"
      "that expects raw `int` item ids on the Python side.";
  static constexpr ModelDocs kDocs = {
      "fit(sequences)\n--\n\nFits the model.\n\n`sequences` is either a list of interaction sequences, "
      "or a `Sequences`\nbuilt from an interaction table.",
      "num_items($self)\n--\n\nReturns the number of distinct items seen during `fit`.",
      "recommend($self, sequence, k)\n--\n\nReturns up to `k` recommended item ids for a query sequence, "
      "best first.",
      "score_all_items($self, sequence)\n--\n\nReturns every item's score as a list of `(item_id, score)` "
      "pairs, sorted by\ndescending score.",
      "evaluate_leave_one_out($self, data, k=10)\n--\n\nEvaluates the model with leave-one-out: for each "
      "sequence the final item\nis held out as the target and the rest form the query. Returns an\n"
      "`EvaluationReport`.\n\n`data` is either a list of interaction sequences or a `Sequences`. Raises\n"
      "`ValueError` if no sequence has at least two interactions.",
  };
  static constexpr bool kHasConstructor = false;
  static constexpr Param kFitParams[] = {{"sequences"}};

  struct Options {};
  static void convert_options(PyObject* const*, Options&) {}
  static Model fit(const Sequences& sequences, std::size_t num_items, const Options&) {
    return Popularity::fit(sequences, num_items);
  }
};

// -------------------------------------------------------------------- Random

/// Bytes of memory the system can still hand out without swapping: the
/// kernel's MemAvailable estimate where there is one, else physical memory.
double available_memory_bytes() {
  if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    double kib = -1.0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
      unsigned long long value = 0;
      if (std::sscanf(line, "MemAvailable: %llu kB", &value) == 1) {
        kib = static_cast<double>(value);
        break;
      }
    }
    std::fclose(f);
    if (kib >= 0.0) return kib * 1024.0;
  }
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) return static_cast<double>(pages) * static_cast<double>(page_size);
  return -1.0;  // unknown: let the allocations decide
}

/// Refuses, before any allocation, a catalogue that the item numbering cannot
/// represent or that would not fit in the memory available: under memory
/// overcommit an oversized catalogue would otherwise get the process killed
/// while the memory is first touched, instead of raising MemoryError.
void check_catalogue_size(std::size_t num_items) {
  if (num_items > kMaxItems) {
    throw CapacityError("num_items is too large: at most 4294967296 items are supported");
  }
  // What the interner holds for n items (the raw ids, and a hash map of
  // (raw id, ItemId) slots with one occupancy byte each, sized as the map
  // sizes itself), plus what one scoring call needs: a 32-bit score and a
  // 64-bit ranking key per item.
  std::size_t slots = 16;
  while (slots - slots / 4 <= num_items) slots <<= 1;
  const double needed = static_cast<double>(num_items) * (sizeof(std::int64_t) + sizeof(float) + 8) +
                        static_cast<double>(slots) * (sizeof(std::pair<std::int64_t, ItemId>) + 1);
  const double available = available_memory_bytes();
  if (available > 0.0 && needed > available) throw std::bad_alloc();
}

PyObject* random_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

struct RandomTraits {
  using Model = Random;
  static constexpr const char* kName = "Random";
  static constexpr const char* kTypeName = "builtins.Random";
  static constexpr const char* kDoc =
      "Random(num_items, seed=0)\n--\n\nRandom baseline recommender. Thin wrapper over [`vosket::Random`]; "
      "produces a\nreproducible, seed-determined random ranking.";
  static constexpr ModelDocs kDocs = {
      "fit(data, seed=0)\n--\n\nFits the baseline, taking its catalogue from the data.\n\n`data` is either "
      "a list of interaction sequences (each a list of integer\nitem ids) or a `Sequences`. Only the set of "
      "distinct items is read; the\ninteractions carry no signal for this model.",
      "num_items($self)\n--\n\nReturns the catalogue size.",
      "recommend($self, sequence, k)\n--\n\nReturns up to `k` recommended item ids for a query sequence, "
      "best first.",
      "score_all_items($self, sequence)\n--\n\nReturns every item's score as a list of `(item_id, score)` "
      "pairs, sorted by\ndescending score.",
      "evaluate_leave_one_out($self, data, k=10)\n--\n\nEvaluates the model with leave-one-out over `data` "
      "(a list of sequences\nor a `Sequences`). See `Popularity.evaluate_leave_one_out`.",
  };
  static constexpr bool kHasConstructor = true;
  static constexpr Param kFitParams[] = {{"data"}, {"seed", false, false}};

  struct Options {
    std::uint64_t seed = 0;
  };
  static void convert_options(PyObject* const* bound, Options& options) {
    if (bound[1] != nullptr) ensure(convert_named("seed", [&] { return to_u64(bound[1], options.seed); }));
  }
  static Model fit(const Sequences&, std::size_t num_items, const Options& options) {
    return Random(num_items, options.seed);
  }
  static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return random_new(type, args, kwargs);
  }
};

using PopularityClass = ModelClass<PopularityTraits>;
using RandomClass = ModelClass<RandomTraits>;

PyObject* random_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr Param params[] = {{"num_items"}, {"seed", false, false}};
    PyObject* bound[2];
    ensure(bind_tuple(Signature{"Random.__new__()", params}, args, kwargs, bound));
    std::size_t num_items = 0;
    ensure(convert_named("num_items", [&] { return to_usize(bound[0], num_items); }));
    std::uint64_t seed = 0;
    if (bound[1] != nullptr) ensure(convert_named("seed", [&] { return to_u64(bound[1], seed); }));
    check_catalogue_size(num_items);
    Interner interner;
    interner.reserve(num_items);
    for (std::size_t i = 0; i < num_items; ++i) interner.intern(static_cast<std::int64_t>(i));
    return RandomClass::wrap(Random(num_items, seed), std::move(interner));
  });
}

}  // namespace

PyTypeObject* popularity_type() { return PopularityClass::type(); }
PyTypeObject* random_type() { return RandomClass::type(); }

}  // namespace vosket::py

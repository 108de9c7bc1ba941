// The Sequences class and its import of Arrow tables over the PyCapsule
// stream interface.

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "args.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "types.hpp"
#include "vosket/arrow_reader.hpp"
#include "vosket/interactions.hpp"

namespace vosket::py {
namespace {

constexpr const char* kClassDoc =
    "Interaction sequences ready to be consumed by a model.\n"
    "\n"
    "Build one with `Sequences.from_interactions` from an Arrow table, or via\n"
    "`vosket.from_pandas` from a pandas DataFrame.";

constexpr const char* kFromInteractionsDoc =
    "from_interactions(table, *, user_col=\"user_id\", item_col=\"item_id\", "
    "timestamp_col=\"timestamp\")\n"
    "--\n"
    "\n"
    "Builds sequences from a flat interaction table.\n"
    "\n"
    "`table` is any Arrow-compatible tabular object (`pyarrow.Table`, polars\n"
    "DataFrame, etc) that exposes the Arrow PyCapsule interface. Rows are grouped by\n"
    "`user_col` and ordered within each user by `timestamp_col`. `item_col` must\n"
    "hold integer ids; `user_col` may be integer or string; `timestamp_col` may\n"
    "be integer or an Arrow timestamp. Nulls in any of the three columns, a\n"
    "missing column, or an unsupported column type raise `ValueError`.";

constexpr const char* kNumItemsDoc =
    "num_items($self)\n"
    "--\n"
    "\n"
    "Returns the number of distinct items across all sequences.";

template <class F>
PyCFunction as_function(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

/// A Python exception taken out of the interpreter's error indicator, so
/// that producer callbacks (which may run Python code) never run while it
/// is pending. Put back with restore().
class SavedException {
 public:
  SavedException() = default;
  SavedException(const SavedException&) = delete;
  SavedException& operator=(const SavedException&) = delete;
  ~SavedException() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
  /// Takes the pending exception, if any (keeps an earlier one).
  void save() noexcept {
    if (type_ != nullptr || !PyErr_Occurred()) return;
    PyErr_Fetch(&type_, &value_, &traceback_);
  }
  bool holds() const noexcept { return type_ != nullptr; }
  /// Makes the saved exception pending again.
  void restore() noexcept {
    PyErr_Restore(type_, value_, traceback_);
    type_ = value_ = traceback_ = nullptr;
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

/// Steps up to taking the stream out of the capsule: the dunder lookup, the
/// call, the capsule checks. Throws PythonErrorSet.
arrow::StreamOwner take_stream(PyObject* table) {
  PyRef method = PyRef::steal(PyObject_GetAttrString(table, "__arrow_c_stream__"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "Expected an object with dunder __arrow_c_stream__");
    throw PythonErrorSet{};
  }
  PyRef capsule = PyRef::steal(PyObject_CallNoArgs(method.get()));
  if (!capsule) {
    prefix_argument_error("table");
    throw PythonErrorSet{};
  }
  if (!PyCapsule_CheckExact(capsule.get())) {
    set_not_instance(capsule.get(), "PyCapsule");
    prefix_argument_error("table");
    throw PythonErrorSet{};
  }
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (stream == nullptr) throw PythonErrorSet{};
  // The capsule keeps its (now released) struct; its destructor frees only
  // the memory.
  return arrow::StreamOwner::take(stream);
}

struct ArrowFailure {
  arrow::ArrowError::Stage stage;
  std::string message;
};
struct PythonFailure {};

using Outcome = std::variant<PythonFailure, SequencesData, VosketError, ArrowFailure, std::exception_ptr>;

PyObject* from_interactions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Param kParams[] = {
        {"table"}, {"user_col", true, false}, {"item_col", true, false}, {"timestamp_col", true, false}};
    static constexpr Signature kSignature{"Sequences.from_interactions()", kParams};
    PyObject* bound[4];
    ensure(bind_fastcall(kSignature, args, nargs, kwnames, bound));
    PyTypeObject* type = ensure(sequences_type());

    arrow::StreamOwner stream = take_stream(bound[0]);

    // Declared before every Arrow owner, so it outlives them: no release
    // callback runs while a Python exception is pending.
    SavedException saved;
    Outcome outcome{PythonFailure{}};
    {
      std::optional<arrow::ImportedStream> imported;
      const arrow::Poll poll = [&saved] {
        if (PyErr_CheckSignals() < 0) {
          saved.save();
          throw PythonErrorSet{};
        }
      };
      try {
        imported.emplace(arrow::read_stream(std::move(stream), &poll));
        std::string names[3];
        static constexpr const char* kDefaults[3] = {"user_id", "item_id", "timestamp"};
        for (int i = 0; i < 3; ++i) {
          PyObject* value = bound[i + 1];
          if (value == nullptr) {
            names[i] = kDefaults[i];
          } else {
            ensure(convert_named(kParams[i + 1].name, [&] { return to_text(value, names[i]); }));
          }
        }
        Interner interner;
        Result<Sequences> result = sequences_from_record_batches(imported->batches, names[0], names[1],
                                                                 names[2], interner, &poll);
        if (result.ok()) {
          outcome = SequencesData{std::move(interner), std::move(result).value()};
        } else {
          outcome = result.error();
        }
      } catch (const arrow::ArrowError& e) {
        outcome = ArrowFailure{e.stage(), e.what()};
      } catch (const PythonErrorSet&) {
        outcome = PythonFailure{};
      } catch (...) {
        outcome = std::current_exception();
      }
      saved.save();
      stream.reset();
      imported.reset();
      // A release callback has no way to report failure; an exception it
      // leaves behind is not ours to raise.
      if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    }

    if (saved.holds()) {
      saved.restore();
      throw PythonErrorSet{};
    }
    if (auto* failure = std::get_if<ArrowFailure>(&outcome)) {
      if (failure->stage == arrow::ArrowError::Stage::kSchema) {
        PyErr_SetString(PyExc_ValueError, failure->message.c_str());
      } else {
        std::string text = "argument 'table': ";
        text += failure->message;
        PyErr_SetString(PyExc_TypeError, text.c_str());
      }
      return nullptr;
    }
    if (auto* error = std::get_if<VosketError>(&outcome)) {
      set_vosket_error(*error);
      return nullptr;
    }
    if (auto* exception = std::get_if<std::exception_ptr>(&outcome)) std::rethrow_exception(*exception);
    if (std::holds_alternative<PythonFailure>(outcome)) throw PythonErrorSet{};
    return box_new(type, std::get<SequencesData>(std::move(outcome)));
  });
}

PyObject* num_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature kSignature{"Sequences.num_items()", {}};
    ensure(bind_fastcall(kSignature, args, nargs, kwnames, nullptr));
    return PyLong_FromSize_t(unbox<SequencesData>(self).interner.size());
  });
}

Py_ssize_t sequences_length(PyObject* self) {
  return guarded_ssize([&]() -> Py_ssize_t {
    return static_cast<Py_ssize_t>(unbox<SequencesData>(self).sequences.size());
  });
}

PyObject* sequences_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const SequencesData& data = unbox<SequencesData>(self);
    std::string text = "Sequences(num_sequences=";
    text += std::to_string(data.sequences.size());
    text += ", num_items=";
    text += std::to_string(data.interner.size());
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyMethodDef sequences_methods[] = {
    {"from_interactions", as_function(from_interactions), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     kFromInteractionsDoc},
    {"num_items", as_function(num_items), METH_FASTCALL | METH_KEYWORDS, kNumItemsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sequences_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<SequencesData>)},
    {Py_tp_repr, reinterpret_cast<void*>(sequences_repr)},
    {Py_tp_methods, sequences_methods},
    {Py_sq_length, reinterpret_cast<void*>(sequences_length)},
    {0, nullptr},
};

PyType_Spec sequences_spec = {
    "builtins.Sequences",
    static_cast<int>(sizeof(Box<SequencesData>)),
    0,
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION),
    sequences_slots,
};

}  // namespace

PyTypeObject* sequences_type() {
  static PyObject* type = nullptr;
  return type_once(type, sequences_spec);
}

}  // namespace vosket::py

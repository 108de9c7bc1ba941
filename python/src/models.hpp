#pragma once
/// The model classes (Popularity, Random, Sknn, VSknn, SSknn) share one
/// implementation: ModelClass, a template over a traits type that names the
/// core model and holds the class's texts and its fit. Every model object
/// holds the fitted core model and its own copy of the item interner.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "evaluation.hpp"
#include "py_ref.hpp"
#include "types.hpp"
#include "vosket/interner.hpp"
#include "vosket/recommender.hpp"
#include "vosket/sequence.hpp"

namespace vosket::py {

/// What a model object holds.
template <class Model>
struct ModelData {
  Model model;
  Interner interner;
};

/// The method docstrings of one model class, each in the host's combined
/// "signature\n--\n\ntext" form.
struct ModelDocs {
  const char* fit;
  const char* num_items;
  const char* recommend;
  const char* score_all_items;
  const char* evaluate_leave_one_out;
};

/// A new EvaluationReport holding `record` (defined with the class).
PyObject* new_evaluation_report(const EvaluationRecord& record);

/// Training or evaluation data: the sequences of a Sequences object with its
/// interner (borrowed for the call), or lists of raw ids interned into a
/// fresh interner.
class DataArgument {
 public:
  /// Converts `obj`; false with a Python exception set. Conversion errors
  /// carry no argument prefix.
  bool convert(PyObject* obj);

  const Interner& interner() const noexcept {
    return borrowed_ != nullptr ? borrowed_->interner : owned_.interner;
  }
  const Sequences& sequences() const noexcept {
    return borrowed_ != nullptr ? borrowed_->sequences : owned_.sequences;
  }
  /// The interner for a new model: a copy when borrowed, else moved out.
  Interner take_interner();

 private:
  PyRef holder_;  // the Sequences object while borrowed
  const SequencesData* borrowed_ = nullptr;
  SequencesData owned_;
};

/// Converts a query of raw ids (argument `sequence`) to the model's ItemIds,
/// dropping ids the interner does not hold. Throws PythonErrorSet.
std::vector<ItemId> convert_query(PyObject* obj, const Interner& interner);

/// The raw id of `id`; InternalFailure when the interner does not hold it.
std::int64_t raw_id_of(const Interner& interner, ItemId id);

/// Throws PythonErrorSet when a signal handler raised; the evaluation driver
/// calls it between queries so that long runs can be interrupted.
void poll_signals();

/// Casts a METH_FASTCALL | METH_KEYWORDS function for a PyMethodDef.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

/// One model class. Traits provides:
///   using Model; static constexpr const char* kName, kTypeName, kDoc;
///   static constexpr ModelDocs kDocs; static constexpr bool kHasConstructor;
///   static constexpr Param kFitParams[] (the data parameter first);
///   struct Options; static void convert_options(PyObject* const* bound, Options&)
///     (converts every fit parameter but the data, before it; throws PythonErrorSet);
///   static Model fit(const Sequences&, std::size_t num_items, const Options&);
///   when kHasConstructor: static PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs).
template <class Traits>
class ModelClass {
 public:
  using Model = typename Traits::Model;
  using Data = ModelData<Model>;

  /// The class, created once per process (borrowed), or null with an
  /// exception set.
  static PyTypeObject* type() {
    static PyObject* cache = nullptr;
    static PyMethodDef methods[] = {
        {"fit", as_cfunction(fit), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, Traits::kDocs.fit},
        {"num_items", as_cfunction(num_items), METH_FASTCALL | METH_KEYWORDS, Traits::kDocs.num_items},
        {"recommend", as_cfunction(recommend), METH_FASTCALL | METH_KEYWORDS, Traits::kDocs.recommend},
        {"score_all_items", as_cfunction(score_all_items), METH_FASTCALL | METH_KEYWORDS,
         Traits::kDocs.score_all_items},
        {"evaluate_leave_one_out", as_cfunction(evaluate_leave_one_out), METH_FASTCALL | METH_KEYWORDS,
         Traits::kDocs.evaluate_leave_one_out},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(Traits::kDoc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Data>)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_methods, methods},
        constructor_slot(),
        {0, nullptr},
    };
    static PyType_Spec spec = {
        Traits::kTypeName,
        static_cast<int>(sizeof(Box<Data>)),
        0,
        static_cast<unsigned int>(Py_TPFLAGS_DEFAULT |
                                  (Traits::kHasConstructor ? 0UL : Py_TPFLAGS_DISALLOW_INSTANTIATION)),
        slots,
    };
    return type_once(cache, spec);
  }

  /// A new object of the class holding `model` and `interner`.
  static PyObject* wrap(Model&& model, Interner&& interner) {
    PyTypeObject* t = ensure(type());
    VOSKET_CHECK(model.num_items() == interner.size(), "model and interner disagree on the catalogue");
    return ensure(box_new(t, Data{std::move(model), std::move(interner)}));
  }

  /// The display name of a member in messages, e.g. "Popularity.fit()".
  static std::string display(const char* member) {
    std::string out = Traits::kName;
    out += '.';
    out += member;
    out += "()";
    return out;
  }

 private:
  static PyType_Slot constructor_slot() {
    if constexpr (Traits::kHasConstructor) {
      return {Py_tp_new, reinterpret_cast<void*>(Traits::construct)};
    } else {
      return {0, nullptr};  // ends the slot list: no constructor
    }
  }

  static const Data& receiver(PyObject* self) {
    ensure(check_instance(self, ensure(type()), Traits::kName));
    return unbox<Data>(self);
  }

  static PyObject* fit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
      static const std::string name = display("fit");
      constexpr std::size_t n = std::size(Traits::kFitParams);
      PyObject* bound[n];
      ensure(bind_fastcall(Signature{name.c_str(), Traits::kFitParams}, args, nargs, kwnames, bound));
      typename Traits::Options options{};
      Traits::convert_options(bound, options);
      DataArgument data;
      ensure(data.convert(bound[0]));
      Model model = Traits::fit(data.sequences(), data.interner().size(), options);
      return wrap(std::move(model), data.take_interner());
    });
  }

  static PyObject* num_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
      static const std::string name = display("num_items");
      ensure(bind_fastcall(Signature{name.c_str(), {}}, args, nargs, kwnames, nullptr));
      return PyLong_FromSize_t(receiver(self).model.num_items());
    });
  }

  static PyObject* recommend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
      static const std::string name = display("recommend");
      static constexpr Param params[] = {{"sequence"}, {"k"}};
      PyObject* bound[2];
      ensure(bind_fastcall(Signature{name.c_str(), params}, args, nargs, kwnames, bound));
      const Data& data = receiver(self);
      const std::vector<ItemId> query = convert_query(bound[0], data.interner);
      std::size_t k = 0;
      ensure(convert_named("k", [&] { return to_usize(bound[1], k); }));
      const std::vector<ItemId> top = recommend_top_k(data.model, query, k);
      PyRef list = PyRef::steal(ensure(PyList_New(static_cast<Py_ssize_t>(top.size()))));
      for (std::size_t i = 0; i < top.size(); ++i) {
        PyObject* raw = ensure(PyLong_FromLongLong(raw_id_of(data.interner, top[i])));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), raw);  // steals raw
      }
      return list.release();
    });
  }

  static PyObject* score_all_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
      static const std::string name = display("score_all_items");
      static constexpr Param params[] = {{"sequence"}};
      PyObject* bound[1];
      ensure(bind_fastcall(Signature{name.c_str(), params}, args, nargs, kwnames, bound));
      const Data& data = receiver(self);
      const std::vector<ItemId> query = convert_query(bound[0], data.interner);
      const std::vector<float> scores = data.model.score_all_items(query);
      VOSKET_CHECK(scores.size() == data.interner.size(), "score list does not cover the catalogue");
      const std::vector<ItemId> order = ranking_order(scores);
      PyRef list = PyRef::steal(ensure(PyList_New(static_cast<Py_ssize_t>(order.size()))));
      for (std::size_t i = 0; i < order.size(); ++i) {
        const ItemId id = order[i];
        PyRef raw = PyRef::steal(ensure(PyLong_FromLongLong(raw_id_of(data.interner, id))));
        PyRef score = PyRef::steal(ensure(PyFloat_FromDouble(static_cast<double>(scores[id]))));
        PyRef pair = PyRef::steal(ensure(PyTuple_New(2)));
        PyTuple_SetItem(pair.get(), 0, raw.release());  // steals
        PyTuple_SetItem(pair.get(), 1, score.release());
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
      }
      return list.release();
    });
  }

  static PyObject* evaluate_leave_one_out(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
      static const std::string name = display("evaluate_leave_one_out");
      static constexpr Param params[] = {{"data"}, {"k", false, false}};
      PyObject* bound[2];
      ensure(bind_fastcall(Signature{name.c_str(), params}, args, nargs, kwnames, bound));
      const Data& model = receiver(self);
      std::size_t k = 10;
      if (bound[1] != nullptr) ensure(convert_named("k", [&] { return to_usize(bound[1], k); }));
      DataArgument data;
      ensure(data.convert(bound[0]));
      const std::optional<EvaluationRecord> record = leave_one_out_report(
          model.model, model.interner, data.sequences(), data.interner(), k, poll_signals);
      if (!record) {
        PyErr_SetString(PyExc_ValueError, kNoSequencesToEvaluate);
        return nullptr;
      }
      return new_evaluation_report(*record);
    });
  }

  static PyObject* repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
      std::string text = Traits::kName;
      text += "(num_items=";
      text += std::to_string(receiver(self).model.num_items());
      text += ')';
      return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
  }
};

}  // namespace vosket::py

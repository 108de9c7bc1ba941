// The SknnConfig and Similarity classes.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "args.hpp"
#include "errors.hpp"
#include "types.hpp"
#include "vosket/models/sknn/config.hpp"

namespace vosket::py {

/// The shared instance of `measure` (a new reference), or null with an
/// exception set.
PyObject* similarity_object(Similarity measure);

namespace {

// ---------------------------------------------------------------- Similarity

struct MeasureInfo {
  Similarity measure;
  const char* name;
  const char* repr;
};

constexpr std::array<MeasureInfo, 4> kMeasures = {{
    {Similarity::Cosine, "Cosine", "Similarity.Cosine"},
    {Similarity::Jaccard, "Jaccard", "Similarity.Jaccard"},
    {Similarity::Dice, "Dice", "Similarity.Dice"},
    {Similarity::Dot, "Dot", "Similarity.Dot"},
}};

const MeasureInfo& info_of(Similarity measure) {
  const auto index = static_cast<std::size_t>(measure);
  VOSKET_CHECK(index < kMeasures.size(), "similarity measure out of range");
  return kMeasures[index];
}

/// The one instance per measure, created together with the class.
std::array<PyObject*, 4> measure_instances{};

PyObject* similarity_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return PyUnicode_FromString(info_of(unbox<Similarity>(self)).repr);
  });
}

PyObject* similarity_int(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return PyLong_FromLong(static_cast<long>(unbox<Similarity>(self)));
  });
}

PyObject* similarity_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&]() -> PyObject* {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    const auto value = static_cast<Py_ssize_t>(unbox<Similarity>(self));
    Py_ssize_t other_value = 0;
    PyTypeObject* type = similarity_type();
    if (type == nullptr) return nullptr;
    if (PyObject_TypeCheck(other, type)) {
      other_value = static_cast<Py_ssize_t>(unbox<Similarity>(other));
    } else if (PyIndex_Check(other)) {
      PyRef index = PyRef::steal(PyNumber_Index(other));
      if (!index) return nullptr;
      other_value = PyLong_AsSsize_t(index.get());
      if (other_value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
        // Too large for a machine integer: not comparable.
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
      }
    } else {
      Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = value == other_value;
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
  });
}

PyType_Slot similarity_slots[] = {
    {Py_tp_doc, const_cast<char*>("Neighbour similarity measure for the SKNN family.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<Similarity>)},
    {Py_tp_repr, reinterpret_cast<void*>(similarity_repr)},
    {Py_nb_int, reinterpret_cast<void*>(similarity_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(similarity_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec similarity_spec = {
    "builtins.Similarity",
    static_cast<int>(sizeof(Box<Similarity>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    similarity_slots,
};

/// Creates the class, its four instances and the class attributes naming
/// them. Null with an exception set on failure (nothing is cached then).
PyObject* create_similarity_type() {
  PyRef type = PyRef::steal(PyType_FromSpec(&similarity_spec));
  if (!type) return nullptr;
  std::array<PyRef, 4> instances;
  for (std::size_t i = 0; i < kMeasures.size(); ++i) {
    Similarity measure = kMeasures[i].measure;
    instances[i] = PyRef::steal(box_new(reinterpret_cast<PyTypeObject*>(type.get()), std::move(measure)));
    if (!instances[i]) return nullptr;
    if (PyObject_SetAttrString(type.get(), kMeasures[i].name, instances[i].get()) < 0) return nullptr;
  }
  for (std::size_t i = 0; i < kMeasures.size(); ++i) measure_instances[i] = instances[i].release();
  return type.release();
}

// ---------------------------------------------------------------- SknnConfig

constexpr const char* kSknnConfigDoc =
    "SknnConfig(k_neighbors=100, sample_size=1000, seed=0, similarity=None, popularity_backoff=True)\n"
    "--\n"
    "\n"
    "Hyper-parameters shared by the SKNN family.";

constexpr Param kConfigParams[] = {
    {"k_neighbors", false, false},
    {"sample_size", false, false},
    {"seed", false, false},
    {"similarity", false, false},
    {"popularity_backoff", false, false},
};
constexpr Signature kConfigSignature{"SknnConfig.__new__()", kConfigParams};

bool to_similarity(PyObject* obj, Similarity& out) {
  if (obj == Py_None) {
    out = Similarity::Cosine;
    return true;
  }
  PyTypeObject* type = similarity_type();
  if (type == nullptr) return false;
  if (!check_instance(obj, type, "Similarity")) return false;
  out = unbox<Similarity>(obj);
  return true;
}

PyObject* sknn_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* bound[5];
    ensure(bind_tuple(kConfigSignature, args, kwargs, bound));
    SknnConfig config;
    if (bound[0] != nullptr)
      ensure(convert_named("k_neighbors", [&] { return to_usize(bound[0], config.k_neighbors); }));
    if (bound[1] != nullptr) {
      std::size_t sample_size = 0;
      ensure(convert_named("sample_size", [&] { return to_usize(bound[1], sample_size); }));
      if (sample_size == 0) {
        config.sample_size.reset();
      } else {
        config.sample_size = sample_size;
      }
    }
    if (bound[2] != nullptr) ensure(convert_named("seed", [&] { return to_u64(bound[2], config.seed); }));
    if (bound[3] != nullptr)
      ensure(convert_named("similarity", [&] { return to_similarity(bound[3], config.similarity); }));
    if (bound[4] != nullptr)
      ensure(convert_named("popularity_backoff",
                           [&] { return to_flag(bound[4], config.popularity_backoff); }));
    return box_new(type, std::move(config));
  });
}

const SknnConfig& config_of(PyObject* self) { return unbox<SknnConfig>(self); }

PyObject* get_k_neighbors(PyObject* self, void*) {
  return PyLong_FromSize_t(config_of(self).k_neighbors);
}

PyObject* get_sample_size(PyObject* self, void*) {
  return PyLong_FromSize_t(config_of(self).sample_size.value_or(0));
}

PyObject* get_seed(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(config_of(self).seed);
}

PyObject* get_similarity(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return similarity_object(config_of(self).similarity); });
}

PyObject* get_popularity_backoff(PyObject* self, void*) {
  return PyBool_FromLong(config_of(self).popularity_backoff ? 1 : 0);
}

PyObject* sknn_config_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const SknnConfig& c = config_of(self);
    std::string text = "SknnConfig(k_neighbors=";
    text += std::to_string(c.k_neighbors);
    text += ", sample_size=";
    text += std::to_string(c.sample_size.value_or(0));
    text += ", seed=";
    text += std::to_string(c.seed);
    text += ", similarity=";
    text += info_of(c.similarity).name;
    text += ", popularity_backoff=";
    text += c.popularity_backoff ? "true" : "false";
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyGetSetDef sknn_config_getset[] = {
    {"k_neighbors", get_k_neighbors, nullptr, "", nullptr},
    {"sample_size", get_sample_size, nullptr,
     "The neighbour sub-sampling cap, or ``0`` when sampling is disabled.", nullptr},
    {"seed", get_seed, nullptr, "", nullptr},
    {"similarity", get_similarity, nullptr, "", nullptr},
    {"popularity_backoff", get_popularity_backoff, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sknn_config_slots[] = {
    {Py_tp_doc, const_cast<char*>(kSknnConfigDoc)},
    {Py_tp_new, reinterpret_cast<void*>(sknn_config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<SknnConfig>)},
    {Py_tp_repr, reinterpret_cast<void*>(sknn_config_repr)},
    {Py_tp_getset, sknn_config_getset},
    {0, nullptr},
};

PyType_Spec sknn_config_spec = {
    "builtins.SknnConfig",
    static_cast<int>(sizeof(Box<SknnConfig>)),
    0,
    Py_TPFLAGS_DEFAULT,
    sknn_config_slots,
};

}  // namespace

PyObject* similarity_object(Similarity measure) {
  if (similarity_type() == nullptr) return nullptr;
  PyObject* obj = measure_instances[static_cast<std::size_t>(info_of(measure).measure)];
  Py_INCREF(obj);
  return obj;
}

PyTypeObject* similarity_type() {
  // Guarded by the interpreter lock; creation runs no Python code that could
  // re-enter here.
  static PyObject* type = nullptr;
  if (type == nullptr) type = create_similarity_type();
  return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* sknn_config_type() {
  static PyObject* type = nullptr;
  return type_once(type, sknn_config_spec);
}

}  // namespace vosket::py

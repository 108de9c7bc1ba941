#include "args.hpp"

#include <string_view>
#include <utility>

namespace vosket::py {

namespace {

struct Keyword {
  PyObject* name;   // borrowed str
  PyObject* value;  // borrowed
};

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += (i + 1 == names.size()) ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

void set_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

bool bind_common(const Signature& sig, PyObject* const* positional, Py_ssize_t nargs,
                 const std::vector<Keyword>& keywords, PyObject** out) {
  const std::size_t n_params = sig.params.size();
  std::size_t max_positional = 0;
  std::size_t min_positional = 0;
  for (const Param& p : sig.params) {
    if (p.keyword_only) continue;
    ++max_positional;
    if (p.required) min_positional = max_positional;
  }
  for (std::size_t i = 0; i < n_params; ++i) out[i] = nullptr;

  const auto given = static_cast<std::size_t>(nargs);
  if (given > max_positional) {
    const char* verb = given == 1 ? "was" : "were";
    std::string msg = std::string(sig.display) + " takes ";
    if (min_positional == max_positional) {
      msg += std::to_string(max_positional);
    } else {
      msg += "from " + std::to_string(min_positional) + " to " + std::to_string(max_positional);
    }
    msg += " positional arguments but " + std::to_string(given) + " " + verb + " given";
    set_type_error(msg);
    return false;
  }
  {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < n_params && pos < given; ++i) {
      if (sig.params[i].keyword_only) continue;
      out[i] = positional[pos++];
    }
  }
  for (const Keyword& kw : keywords) {
    std::size_t match = n_params;
    for (std::size_t i = 0; i < n_params; ++i) {
      if (PyUnicode_CompareWithASCIIString(kw.name, sig.params[i].name) == 0) {
        match = i;
        break;
      }
    }
    if (match == n_params) {
      Py_ssize_t len = 0;
      const char* text = PyUnicode_AsUTF8AndSize(kw.name, &len);
      if (text == nullptr) return false;
      set_type_error(std::string(sig.display) + " got an unexpected keyword argument '" +
                     std::string(text, static_cast<std::size_t>(len)) + "'");
      return false;
    }
    if (out[match] != nullptr) {
      set_type_error(std::string(sig.display) + " got multiple values for argument '" +
                     sig.params[match].name + "'");
      return false;
    }
    out[match] = kw.value;
  }
  for (int pass = 0; pass < 2; ++pass) {
    const bool keyword_only = pass == 1;
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < n_params; ++i) {
      const Param& p = sig.params[i];
      if (p.keyword_only == keyword_only && p.required && out[i] == nullptr) missing.push_back(p.name);
    }
    if (!missing.empty()) {
      set_type_error(std::string(sig.display) + " missing " + std::to_string(missing.size()) +
                     " required " + (keyword_only ? "keyword" : "positional") + " " +
                     (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) {
  std::vector<Keyword> keywords;
  if (kwnames != nullptr) {
    const Py_ssize_t nk = PyTuple_Size(kwnames);
    if (nk < 0) return false;
    keywords.reserve(static_cast<std::size_t>(nk));
    for (Py_ssize_t j = 0; j < nk; ++j) {
      keywords.push_back({PyTuple_GetItem(kwnames, j), args[nargs + j]});
    }
  }
  return bind_common(sig, args, nargs, keywords, out);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs < 0) return false;
  std::vector<PyObject*> positional(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  std::vector<Keyword> keywords;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) keywords.push_back({key, value});
  }
  return bind_common(sig, positional.data(), nargs, keywords, out);
}

std::string type_name_of(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &len);
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, static_cast<std::size_t>(len));
}

void set_not_instance(PyObject* obj, const char* expected) {
  std::string msg(1, '\'');
  msg += type_name_of(obj);
  msg += "' object is not an instance of '";
  msg += expected;
  msg += '\'';
  set_type_error(msg);
}

bool check_instance(PyObject* obj, PyTypeObject* type, const char* type_name) {
  if (PyObject_TypeCheck(obj, type)) return true;
  set_not_instance(obj, type_name);
  return false;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = static_cast<std::uint64_t>(v);
  return true;
}

bool to_usize(PyObject* obj, std::size_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const std::size_t v = PyLong_AsSize_t(index.get());
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_i64(PyObject* obj, std::int64_t& out) {
  long long v = 0;
  if (PyLong_CheckExact(obj)) {
    v = PyLong_AsLongLong(obj);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    v = PyLong_AsLongLong(index.get());
  }
  if (v == -1 && PyErr_Occurred()) return false;
  out = static_cast<std::int64_t>(v);
  return true;
}

bool to_text(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    set_not_instance(obj, "str");
    return false;
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(len));
  return true;
}

namespace {
bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0)
    return false;
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0;
}

constexpr const char* kStrAsList = "a 'str' cannot be read as a list of integer item ids";
}  // namespace

bool to_flag(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  set_not_instance(obj, "bool");
  return false;
}

namespace {
/// Calls f(item) for each element of a sequence (not a str), in order.
template <class F>
bool for_each_in_sequence(PyObject* obj, std::size_t* size_hint, F&& f) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, kStrAsList);
    return false;
  }
  if (!PySequence_Check(obj)) {
    set_not_instance(obj, "Sequence");
    return false;
  }
  if (size_hint != nullptr) {
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
      PyErr_Clear();
      *size_hint = 0;
    } else {
      *size_hint = static_cast<std::size_t>(n);
    }
  }
  if (PyList_CheckExact(obj)) {
    // Index by position, re-reading the length each step, which is what
    // iterating a list does even if an element's conversion mutates it.
    for (Py_ssize_t i = 0; i < PyList_Size(obj); ++i) {
      PyRef item = PyRef::borrow(PyList_GetItem(obj, i));
      if (!item) return false;
      if (!f(item.get())) return false;
    }
    return true;
  }
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    if (!f(item.get())) return false;
  }
  return !PyErr_Occurred();
}
}  // namespace

bool to_id_list(PyObject* obj, std::vector<std::int64_t>& out) {
  out.clear();
  std::size_t hint = 0;
  bool reserved = false;
  return for_each_in_sequence(obj, &hint, [&](PyObject* item) {
    if (!reserved) {
      out.reserve(hint);
      reserved = true;
    }
    std::int64_t v = 0;
    if (!to_i64(item, v)) return false;
    out.push_back(v);
    return true;
  });
}

bool to_id_lists(PyObject* obj, IdLists& out) {
  out.values.clear();
  out.offsets.assign(1, 0);
  std::size_t hint = 0;
  bool reserved = false;
  return for_each_in_sequence(obj, &hint, [&](PyObject* inner) {
    if (!reserved) {
      out.offsets.reserve(hint + 1);
      reserved = true;
    }
    const bool ok = for_each_in_sequence(inner, nullptr, [&](PyObject* item) {
      std::int64_t v = 0;
      if (!to_i64(item, v)) return false;
      out.values.push_back(v);
      return true;
    });
    if (!ok) return false;
    out.offsets.push_back(out.values.size());
    return true;
  });
}

void prefix_argument_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef value_ref = PyRef::steal(value);
  PyRef tb_ref = PyRef::steal(traceback);
  PyRef text = PyRef::steal(value_ref ? PyObject_Str(value_ref.get()) : PyUnicode_FromString(""));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  PyRef fresh = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!fresh) return;
  if (value_ref) {
    PyObject* cause = PyException_GetCause(value_ref.get());  // new reference or null
    if (cause != nullptr) PyException_SetCause(fresh.get(), cause);  // steals cause
  }
  PyErr_SetObject(PyExc_TypeError, fresh.get());
}

}  // namespace vosket::py

#include "errors.hpp"

#include <new>
#include <stdexcept>
#include <string>

#include "vosket/internal.hpp"

namespace vosket::py {

namespace {
constexpr const char* kGenericInternalMessage = "internal failure in vosket";
}

PyObject* internal_error_type() {
  // Guarded by the interpreter lock; a racing creation keeps the first.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* created = PyErr_NewExceptionWithDoc(
        "_vosket.InternalError",
        "A broken internal invariant or an unimplemented path inside vosket.\n\n"
        "Derived from BaseException so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    if (type == nullptr) {
      type = created;  // lives for the rest of the process
    } else {
      Py_DECREF(created);
    }
  }
  return type;
}

void set_vosket_error(const VosketError& error) {
  const std::string text = error.render();
  PyErr_SetString(PyExc_ValueError, text.c_str());
}

namespace {
void set_internal(const char* message) {
  PyObject* type = internal_error_type();
  if (type == nullptr) return;  // creating the class failed; that error stays set
  PyErr_SetString(type, (message != nullptr && *message != '\0') ? message : kGenericInternalMessage);
}
}  // namespace

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) set_internal("an error was reported without an exception");
  } catch (const InternalFailure& e) {
    set_internal(e.what());
  } catch (const CapacityError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more than it can address: out of memory.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal(e.what());
  } catch (...) {
    set_internal(nullptr);
  }
}

}  // namespace vosket::py

#include "types.hpp"

namespace vosket::py {
PyTypeObject* evaluation_report_type() { return nullptr; }  // DEV stub
PyMethodDef* metric_function_defs() { static PyMethodDef defs[] = {{nullptr, nullptr, 0, nullptr}}; return defs; }  // DEV stub
}  // namespace vosket::py

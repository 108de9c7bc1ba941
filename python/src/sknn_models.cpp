#include "types.hpp"

namespace vosket::py {
PyTypeObject* sknn_type() { return nullptr; }  // DEV stub
PyTypeObject* vsknn_type() { return nullptr; }  // DEV stub
PyTypeObject* ssknn_type() { return nullptr; }  // DEV stub
}  // namespace vosket::py

#include "types.hpp"

namespace vosket::py {
PyTypeObject* sknn_config_type() { return nullptr; }  // DEV stub
PyTypeObject* similarity_type() { return nullptr; }  // DEV stub
}  // namespace vosket::py

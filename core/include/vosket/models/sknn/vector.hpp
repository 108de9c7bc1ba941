#pragma once
/// V-SKNN: recency-weighted query; a neighbour weighs its weighted overlap
/// with the query, and the configured similarity measure is never read.

#include "vosket/models/sknn/common.hpp"

namespace vosket {

using VSknn = SessionKnn<detail::kVSknnVariant>;

}  // namespace vosket

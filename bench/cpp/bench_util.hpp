#pragma once
// Timing helpers shared by the benchmarks.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <ctime>
#include <vector>

namespace vosket::bench {

/// CPU time of the calling thread, in seconds: steadier than wall time on a
/// machine shared with other work.
inline double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

/// Nearest-rank percentile p (0..1) of `v`; 0 for an empty list.
inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

}  // namespace vosket::bench

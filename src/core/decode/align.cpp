#include "decode/align.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvel {

void last_at_or_before(const int64_t* times, size_t n, const int64_t* grid, size_t g,
                       int64_t timeout, int64_t* at) {
  const bool ascending = std::is_sorted(grid, grid + g);
  size_t j = 0;  // samples at or before the current instant (merge)
  for (size_t i = 0; i < g; ++i) {
    const int64_t t = grid[i];
    if (ascending) {
      while (j < n && times[j] <= t) ++j;
    } else {
      j = static_cast<size_t>(std::upper_bound(times, times + n, t) - times);
    }
    int64_t k = static_cast<int64_t>(j) - 1;
    // Unsigned difference: a span wider than int64 cannot overflow.
    if (k >= 0 && timeout > 0 &&
        static_cast<uint64_t>(t) - static_cast<uint64_t>(times[k]) > static_cast<uint64_t>(timeout))
      k = -1;
    at[i] = k;
  }
}

template <typename T>
static void hold(const T* values, const int64_t* at, size_t g, T none, T* out) {
  for (size_t i = 0; i < g; ++i) out[i] = at[i] < 0 ? none : values[at[i]];
}

void hold_values(const double* values, const int64_t* at, size_t g, double none, double* out) {
  hold(values, at, g, none, out);
}

void hold_values(const int32_t* values, const int64_t* at, size_t g, int32_t none, int32_t* out) {
  hold(values, at, g, none, out);
}

void interpolate(const int64_t* times, size_t n, const double* values, const int64_t* grid,
                 const int64_t* at, size_t g, double* out) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (size_t i = 0; i < g; ++i) {
    const int64_t k = at[i];
    if (k < 0) {
      out[i] = nan;
      continue;
    }
    const size_t s = static_cast<size_t>(k);
    const double v0 = values[s];
    out[i] = v0;
    if (s + 1 >= n || grid[i] <= times[s] || std::isnan(values[s + 1])) continue;
    // Both differences are positive; unsigned, they cannot overflow.
    const double frac =
        static_cast<double>(static_cast<uint64_t>(grid[i]) - static_cast<uint64_t>(times[s])) /
        static_cast<double>(static_cast<uint64_t>(times[s + 1]) - static_cast<uint64_t>(times[s]));
    out[i] = v0 + (values[s + 1] - v0) * frac;
  }
}

}  // namespace korvel

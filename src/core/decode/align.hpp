// Samples of a signal onto a time axis: the last sample at or before each
// instant, held or interpolated. Raw pointers, contiguous arrays.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// For each instant of `grid`, the index of the last of the ascending `times`
// at or before it (-1 when none is); with `timeout` > 0 also -1 where that
// sample is older than `timeout`. One merge when the grid ascends too, a
// binary search per instant otherwise.
void last_at_or_before(const int64_t* times, size_t n, const int64_t* grid, size_t g,
                       int64_t timeout, int64_t* at);

// out[i] = values[at[i]], or `none` where at[i] < 0.
void hold_values(const double* values, const int64_t* at, size_t g, double none, double* out);
void hold_values(const int32_t* values, const int64_t* at, size_t g, int32_t none, int32_t* out);

// As hold_values, then a straight line towards the next sample where there is
// one (and its value is not NaN) and the instant lies after the sample held.
void interpolate(const int64_t* times, size_t n, const double* values, const int64_t* grid,
                 const int64_t* at, size_t g, double* out);

}  // namespace korvel

// Bus load per channel and time window: every frame's bits on the wire
// (stats/bits.hpp) at its channel's rates, summed into windows that start
// at multiples of the window length since the epoch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frames.hpp"
#include "stats/bits.hpp"

namespace korvel::stats {

struct LoadOptions {
  double nominal_rate[256] = {};  // bit/s; 0 where a channel has none
  double data_rate[256] = {};
  int64_t window = 1000000000;  // ns, at least 1
  uint64_t max_rows = uint64_t{1} << 26;
  // Records whose kind no bus could carry are left out (counted) instead of
  // stopping the pass.
  bool skip = false;
};

enum class LoadFault {
  None,
  Frame,        // `frame` cannot be laid out (`bits` says why)
  NoRate,       // `channel` has frames and no nominal rate
  NoDataRate,   // `frame` switches its rate on `channel`, which has no data rate
  TooManyRows,  // the windows would make `rows` rows
};

struct LoadOutcome {
  LoadFault fault = LoadFault::None;
  size_t frame = 0;
  BitsFault bits = BitsFault::None;
  unsigned channel = 0;
  uint64_t rows = 0;
  // With skip: the records left out, the first of them and why.
  size_t skipped = 0, first_skipped = 0;
  BitsFault skipped_bits = BitsFault::None;
};

// One row per channel (ascending) and window (ascending), empty windows
// between a channel's first and last frame included.
struct LoadTable {
  std::vector<int64_t> start;
  std::vector<uint8_t> channel;
  std::vector<int64_t> frames, data_frames, remote_frames, error_frames, bits;
  std::vector<int64_t> nominal_bits, data_bits;  // bits by the rate they went at
  std::vector<double> busy, load;
};

LoadOutcome busload(const FrameView& f, const LoadOptions& o, LoadTable& out);

}  // namespace korvel::stats

// Cycle times of periodic messages and the gaps in them: data frames grouped
// by channel and identifier, the intervals between their timestamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frames.hpp"
#include "stats/bits.hpp"

namespace korvel::stats {

// Identifies a message on all channels: the identifier, bit 29 for
// extended ones.
inline uint32_t message_key(uint32_t can_id, bool extended) {
  return (can_id & ID_MASK) | (extended ? 0x20000000u : 0u);
}

struct CycleOptions {
  double gap = 3.0;  // an interval longer than gap x the period is a gap
  // Expected periods (ns) by message_key, sorted by key.
  std::vector<uint32_t> expected_keys;
  std::vector<double> expected;
};

// One row per channel and message (ascending channel, then base before
// extended, then identifier). Periods are NaN for a message seen once.
struct CycleTable {
  std::vector<uint8_t> channel, extended;
  std::vector<int64_t> can_id, count, first, last, gaps;
  std::vector<double> period, period_min, period_max, jitter, expected;
};

// Each gap: the frames before and after it.
struct GapTable {
  std::vector<uint8_t> channel, extended;
  std::vector<int64_t> can_id, start, stop, length;
};

// Room for one word of each frame, given by the caller (whose allocator may
// hand out huge pages, where fresh small pages cost more than the pass);
// null pointers: the pass allocates its own.
struct CycleWork {
  uint32_t* group = nullptr;      // f.n entries
  int64_t* timestamps = nullptr;  // f.n entries
};

// Remote and error frames take no part.
void cycles(const FrameView& f, const CycleOptions& o, CycleTable& out, GapTable& gaps,
            CycleWork work = {});

}  // namespace korvel::stats

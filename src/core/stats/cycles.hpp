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
  // Extended identifiers that no key names fall back, as korvel.decode
  // matches J1939 messages, to the period by PGN and source address
  // (pgn << 8 | source), failing that by PGN alone; both sorted by key.
  std::vector<uint32_t> pgn_source_keys, pgn_keys;
  std::vector<double> pgn_source_expected, pgn_expected;
  // Gaps only where a period is expected (a database was given).
  bool only_expected = false;
  // No gaps in transport-protocol traffic, which comes in bursts: J1939
  // TP.CM, TP.DT, ETP.CM and ETP.DT, and ISO-TP on the standard diagnostic
  // identifiers (base 0x7DF and 0x7E0-0x7EF, extended 0x18DAxxxx, 0x18DBxxxx).
  bool transport_without_gaps = false;
};

// Whether a message is transport-protocol traffic (see CycleOptions).
bool transport_traffic(uint32_t can_id, bool extended);

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

// Per-message tables: frames grouped by message in one pass, each message's
// payloads gathered once, then all of its signals extracted from them.
//
// Plain C++ over raw pointers; errors are returned as values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/exact.hpp"
#include "decode/signals.hpp"
#include "frames.hpp"
#include "protocols/j1939.hpp"

namespace korvel::tables {

// How a signal within a row's first 8 bytes is read as one word: none (by
// its pieces), plain (the bytes as a native word) or swapped (byte-swapped).
enum class WordMode : uint8_t { none, plain, swapped };

// One signal as the table loop decodes it.
struct SignalPlan {
  std::vector<Piece> pieces;
  uint32_t needed = 0;  // payload bytes the signal needs
  // The pieces' word as (word << word_shift) & word_mask, where checked equal.
  WordMode word = WordMode::none;
  uint32_t word_shift = 0;
  uint64_t word_mask = 0;
  int32_t kind = VALTYPE_INTEGER;
  uint32_t shift = 0;  // final right shift of an integer kind
  bool is_signed = false;
  double scale = 1.0;
  double offset = 0.0;
  // Integer kinds whose scaling doubles would round more than once, as
  // cantools computes it (see plan_exact); kind none otherwise.
  ExactScaling exact;
  int32_t mux = -1;              // the signal (index in its message) that selects this one
  std::vector<int64_t> mux_ids;  // raw values of `mux` that select it, sorted
  bool codes = false;            // also give codes of its raw values (value tables)
  // Unsigned kinds: raw values from this one up have no value (J1939's error
  // and not-available ranges); 0 for none.
  uint64_t missing_from = 0;
};

enum class PlanError { ok, bad_length, bad_start, bad_mux, mux_cycle, float_mux };

// An integer signal's exact scaling, as cantools computes its values (kind
// int_offset: integer scale and offset, float_offset: an integer scale and
// a float offset, the signal's `offset`). Kept only where doubles could
// round more than once for some raw value of the signal's length.
void plan_exact(SignalPlan& p, const ExactScaling& e);

// Finds whether the signal's pieces read as one shifted, masked word of the
// row (every bit checked), and sets `word` and its shift and mask.
void plan_word(SignalPlan& s);

// The DBC description of a signal -> its plan (mux and codes left as they are).
PlanError plan_signal(int32_t start, int32_t length, bool big_endian, bool is_signed, bool is_float,
                      double scale, double offset, SignalPlan& out);

struct MessagePlan {
  // Data frames (neither error nor remote frames) whose key is one of these
  // belong to the message: see frame_key.
  std::vector<uint64_t> keys;
  // Keys a frame falls back to when no message has its identifier (J1939:
  // the PGN with the source, then the PGN alone); the first message that
  // claims one gets it.
  std::vector<uint64_t> fallback_keys;
  // The frames' source address (and, for PDU1, destination) as columns.
  bool address_columns = false;
  bool pdu1 = false;
  std::vector<SignalPlan> signals;
  std::vector<uint32_t> order;  // every multiplexer before the signals it selects
};

// Checks the multiplexer links (in range, no cycles, integer multiplexers) and
// fills `order`. `bad_signal` names the failing signal.
PlanError finish_message(MessagePlan& m, size_t& bad_signal);

// The identifier, whether it is extended (a base and an extended message of
// the same number are different messages) and, when messages are bound to
// channels (channel >= 0), the channel.
inline uint64_t frame_key(uint32_t can_id, bool extended, int channel) {
  uint64_t key = can_id | static_cast<uint64_t>(extended) << 32;
  if (channel >= 0) key |= (static_cast<uint64_t>(channel) + 1) << 33;
  return key;
}

// J1939 fallback keys (see protocols::j1939_pgn).
constexpr uint64_t PGN_KEY = 1ull << 42;
constexpr uint64_t PGN_SOURCE_KEY = 1ull << 43;

// The PGN with the source address (source >= 0) or alone, on the channel
// when messages are bound to channels (channel >= 0).
using protocols::j1939_pgn;

inline uint64_t pgn_key(uint32_t pgn, int source, int channel) {
  uint64_t key =
      source >= 0 ? PGN_SOURCE_KEY | static_cast<uint64_t>(pgn) << 8 | static_cast<uint32_t>(source)
                  : PGN_KEY | pgn;
  if (channel >= 0) key |= (static_cast<uint64_t>(channel) + 1) << 33;
  return key;
}

using Frames = FrameView;

struct Grouping {
  // Frame indices of each key group, in frame order: group g is
  // rows[start[g] .. start[g + 1]).
  std::vector<uint32_t> rows;
  std::vector<size_t> start;
  std::vector<std::vector<uint32_t>> groups_of;  // per message: its key groups
  std::vector<size_t> count;                     // per message: its frames
  // A frame of a message whose payload lies outside the chunk.
  bool ok = true;
  bool too_many = false;  // more frames than 32-bit row numbers hold
  size_t bad_frame = 0;
  uint64_t offset = 0, length = 0;
};

// One pass over the records: each data frame's key looked up once; a stable
// counting sort by group. `by_channel` keys frames by channel too. `threads`
// - 1 pool workers help with contiguous ranges of the frames; the result is
// that of one thread.
void group_frames(const Frames& f, const std::vector<MessagePlan>& messages, bool by_channel,
                  Grouping& out, unsigned threads = 1);

// Where one message's table goes (arrays of count[m] elements).
struct MessageOutput {
  int64_t* timestamps = nullptr;
  uint8_t* channels = nullptr;
  double* values = nullptr;    // signal s at values[s * n .. (s + 1) * n)
  uint8_t* sources = nullptr;  // address columns, when the message has them
  uint8_t* destinations = nullptr;
  std::vector<int32_t*> codes;  // per signal: its codes, or null; -1 where no value
  // Per signal with codes: the raw value of each code, ascending (filled in).
  std::vector<std::vector<int64_t>> raws;
};

// Decodes every message with frames; `threads` - 1 pool workers help the
// calling thread, one message at a time each.
void decode_messages(const Frames& f, const Grouping& g, const std::vector<MessagePlan>& messages,
                     std::vector<MessageOutput>& outs, unsigned threads);

}  // namespace korvel::tables

// Signal bit layouts -> extraction triples; the extraction and flag loops.
//
// Plain C++ over raw pointers. Arrays are walked by byte strides, so a field
// view or a stepped/reversed slice of a frame array works as well as the
// contiguous array the reader returns. Errors are returned as values; the
// bindings turn them into Python exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "decode/exact.hpp"

namespace korvel {

// ---------------------------------------------------------------------------
// Bit layout -> triples (byte index, mask, shift).
//
// Bit 8*b + k is bit k (0 = least significant) of payload byte b. A
// little-endian signal (inc = +1) starts at its least significant bit and
// walks upward; a big-endian one (inc = -1) starts at its most significant
// bit and walks down to bit 0 of the byte, then on at bit 7 of the next byte.
// The gathered word holds the signal left-aligned: its most significant bit
// on word bit 63. A shift is a left shift of the masked byte; a signal whose
// bits touch nine bytes gets one negative shift (a right shift by -shift,
// which loses none of the masked bits), so it still decodes exactly.

enum class LayoutError { ok, bad_length, bad_start, bad_direction };

// Appends the triples to `out` (cleared first). start >= 0, 1 <= length <= 64,
// inc = +1 or -1; anything else is reported and leaves `out` empty.
LayoutError signal_ims(int32_t start, int32_t length, int32_t inc, std::vector<int32_t>& out);

// ---------------------------------------------------------------------------
// Extraction.

// One triple as the loop uses it: (chunk[base + byte] & mask) << lshift >> rshift.
struct Piece {
  uint32_t byte;
  uint32_t mask;
  uint32_t lshift;
  uint32_t rshift;
};

enum class TriplesError { ok, bad_count, bad_byte, bad_mask, bad_shift };

// Checks a triple list (3*k int32 items, read by `stride` bytes) and turns it
// into pieces. A byte index must be >= 0, a mask within 0..255, a shift within
// -63..63. `needed` gets the number of payload bytes the signal touches
// (highest byte index + 1; 0 for no triples). `bad_item` names the failing
// item.
TriplesError parse_triples(const char* items, size_t count, ptrdiff_t stride,
                           std::vector<Piece>& pieces, uint32_t& needed, size_t& bad_item);

// Value kinds of the loop. The bindings map their own codes onto these: the
// unsigned kind is asked for separately, never by a bare code.
constexpr int32_t VALTYPE_INTEGER = 0;   // signedness from rshift's sign
constexpr int32_t VALTYPE_SINGLE = 1;    // upper 32 bits: IEEE single
constexpr int32_t VALTYPE_UNSIGNED = 3;  // logical shift by rshift, converted unsigned
// any other value: IEEE double
constexpr int32_t VALTYPE_DOUBLE = 2;

// A multiplexer on a signal's chain: a frame has the signal only where the
// multiplexer's raw value (from the same payload) is one of `ids`.
struct MuxTest {
  std::vector<Piece> pieces;
  uint32_t needed = 0;  // payload bytes the multiplexer needs
  uint32_t shift = 0;   // 64 - length
  bool is_signed = false;
  std::vector<int64_t> ids;  // sorted
};

struct ExtractArgs {
  const char* records = nullptr;  // first DT_t record
  size_t n = 0;
  ptrdiff_t stride = 0;  // bytes from one record to the next
  const uint8_t* chunk = nullptr;
  size_t chunk_size = 0;
  const Piece* pieces = nullptr;
  size_t n_pieces = 0;
  uint32_t needed = 0;  // payload bytes the signal needs
  uint32_t can_id = 0;
  int32_t valtype = 0;
  int32_t rshift = 0;
  double scale = 1.0;
  double offset = 0.0;
  bool pad = false;
  const MuxTest* mux = nullptr;  // every one must select the frame
  size_t n_mux = 0;
  // An integer signal's integer scale applied as cantools applies it
  // (prepared by tables::prepare_exact); null: in doubles.
  const tables::ExactScaling* exact = nullptr;
};

struct ExtractStatus {
  bool ok = true;
  size_t frame = 0;  // on failure: the frame whose payload lies outside the chunk
  uint64_t offset = 0;
  uint64_t count = 0;
};

// The gathered word -> the raw number, one functor per value kind.
namespace word {
struct SignedInt {
  uint32_t shift;  // arithmetic right shift
  double operator()(uint64_t w) const {
    return static_cast<double>(static_cast<int64_t>(w) >> shift);
  }
};
struct UnsignedInt {
  uint32_t shift;  // logical right shift
  double operator()(uint64_t w) const { return static_cast<double>(w >> shift); }
};
struct UnsignedAsSigned {  // the integer kind with rshift >= 0
  uint32_t shift;
  double operator()(uint64_t w) const {
    return static_cast<double>(static_cast<int64_t>(w >> shift));
  }
};
struct Single {
  double operator()(uint64_t w) const {
    uint32_t bits = static_cast<uint32_t>(w >> 32);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return static_cast<double>(f);
  }
};
struct Double {
  double operator()(uint64_t w) const {
    double d;
    std::memcpy(&d, &w, sizeof d);
    return d;
  }
};
}  // namespace word

// Writes one value per record into out[0..n). A frame of `can_id` whose
// stored payload (loc >> 48) is shorter than `needed`, or whose multiplexers
// select another group, counts as a frame without the signal (NaN, or the
// carried value with pad). A matching frame
// whose offset + count lies beyond the chunk stops the loop with an error.
ExtractStatus extract_values(const ExtractArgs& a, double* out);

// ---------------------------------------------------------------------------
// Flags: out[i] = (flags of record i & mask) != 0.
void flag_loop(const char* records, size_t n, ptrdiff_t stride, uint8_t mask, bool* out);

}  // namespace korvel

// Frame collections walked by stride: a frames pair (records plus a payload
// array) or inline records (DT64-like), and the walks that convert, check and
// join them. Plain C++ over raw pointers; every failure a returned value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frames.hpp"

namespace korvel {

// Bytes of the record's data width that a stored count may use at most
// (the inline field of a DT64 record).
constexpr size_t MAX_DATA_WIDTH = 64;

// Records walked by stride. Two layouts:
//  - inline: DT64-like records (16 header bytes, then `data_width` bytes);
//  - pair:   DT_t records whose payload lies in `chunk` at loc's offset.
struct InlineRecords {
  const char* base;
  size_t count;
  ptrdiff_t stride;
  size_t data_width;  // bytes of the record's data field
};

struct PairRecords {
  const char* base;
  size_t count;
  ptrdiff_t stride;
  const uint8_t* chunk;
  size_t chunk_size;
};

// Stored payload bytes of a pair record, cut to MAX_DATA_WIDTH; false when
// they would reach past the end of the chunk.
bool pair_payload(const PairRecords& src, const DT_t& r, const uint8_t** data, size_t* n);

// The first record index whose payload reaches past the chunk, or `count`
// when none does. Also gives the largest `len` and the timestamp range
// (left untouched when count is 0).
struct PairScan {
  size_t bad_index;
  uint32_t max_len;
  int64_t min_ts;
  int64_t max_ts;
};
PairScan scan_pair(const PairRecords& src);

void timestamp_range(const InlineRecords& src, int64_t* min_ts, int64_t* max_ts);

// Frames pair -> inline records of `out_width` data bytes (header fields
// copied, min(stored, 64, out_width) payload bytes, zeros after). The caller
// has checked every payload with scan_pair.
void pair_to_inline(const PairRecords& src, char* out, ptrdiff_t out_stride, size_t out_width);

// Inline records -> DT_t records and packed payloads. Each record stores
// min(len, data_width) bytes.
uint64_t inline_payload_total(const InlineRecords& src);
void inline_to_pair(const InlineRecords& src, DT_t* out, uint8_t* payload);

// Copies `count` DT_t records (walked by stride) to `out`, adding `rebase` to
// each loc.
void copy_rebased(const char* base, size_t count, ptrdiff_t stride, uint64_t rebase, DT_t* out);

}  // namespace korvel

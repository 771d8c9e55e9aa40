// Frame records -> BLF frame objects, container framing and the file header
// for the writer, plus the record walks that reshape frame collections
// (inline payloads <-> frames pair, joining pairs). Plain C++: every input is
// a raw pointer with a byte stride, every failure a returned value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blf_format.hpp"
#include "frames.hpp"

namespace korvel::enc {

// Object sizes as written: 32-byte version-1 headers plus the body.
constexpr size_t CLASSIC_OBJ_SIZE = blf::OBJ_HEADER_V1_TOTAL + sizeof(blf::CanMsg_t);   // 48
constexpr size_t ERROR_OBJ_SIZE = blf::OBJ_HEADER_V1_TOTAL + sizeof(blf::CanErrExt_t);  // 64
constexpr size_t FD_OBJ_SIZE = blf::OBJ_HEADER_V1_TOTAL + sizeof(blf::CanFdMsg_t);      // 116
constexpr size_t MAX_OBJ_SIZE = FD_OBJ_SIZE;

// Bytes of the record's data width that a stored count may use at most
// (the inline field of a DT64 record).
constexpr size_t MAX_DATA_WIDTH = 64;

// One frame as the encoder sees it. `data` holds `avail` readable bytes; the
// encoder copies min(len, body data field, avail) of them and leaves the
// rest of the body's data field zero.
struct FrameIn {
  int64_t timestamp;
  uint32_t can_id;
  uint8_t channel;
  uint8_t len;
  uint8_t flags;
  const uint8_t* data;
  size_t avail;
};

// Object size and type that a record's flags select.
size_t object_size_for(uint8_t flags);

// Writes the whole object (header and body, every byte) at `out`, which has
// room for object_size_for(f.flags) bytes; returns that size.
size_t encode_object(uint8_t* out, const FrameIn& f, int64_t start_timestamp);

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

// Fills up to `capacity` bytes of `buffer` with objects of records
// [first, count): stops before the first object that would not fit.
// Returns the number of records consumed; *used is the byte count written.
size_t fill_container(const InlineRecords& src, size_t first, int64_t start_timestamp,
                      uint8_t* buffer, size_t capacity, size_t* used);
size_t fill_container(const PairRecords& src, size_t first, int64_t start_timestamp,
                      uint8_t* buffer, size_t capacity, size_t* used);

// The two 16-byte headers of a log container holding `stored_size` bytes of
// zlib data that inflate to `uncompressed_size` bytes.
void container_headers(uint8_t base[16], uint8_t container[16], size_t stored_size,
                       uint32_t uncompressed_size);

// Zero bytes that follow a top-level object of `object_size` bytes.
inline size_t top_level_padding(uint64_t object_size) { return object_size % 4; }

// The 72 defined bytes of the file header.
void file_header(uint8_t out[blf::FILE_HEADER_DEFINED], int64_t filesize, int64_t uncompressed_size,
                 uint32_t object_count, const blf::SystemTime_t& start,
                 const blf::SystemTime_t& stop);

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

}  // namespace korvel::enc

// Frame records -> BLF frame objects, container framing and the file header
// for the writer. Plain C++: every input is a raw pointer with a byte stride,
// every failure a returned value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "blf/format.hpp"
#include "frames.hpp"
#include "records.hpp"

namespace korvel::enc {

// Object sizes as written: 32-byte version-1 headers plus the body.
constexpr size_t CLASSIC_OBJ_SIZE = blf::OBJ_HEADER_V1_TOTAL + sizeof(blf::CanMsg_t);   // 48
constexpr size_t ERROR_OBJ_SIZE = blf::OBJ_HEADER_V1_TOTAL + sizeof(blf::CanErrExt_t);  // 64
constexpr size_t FD_OBJ_SIZE = blf::OBJ_HEADER_V1_TOTAL + sizeof(blf::CanFdMsg_t);      // 116
constexpr size_t MAX_OBJ_SIZE = FD_OBJ_SIZE;

// One frame as the encoder sees it. `data` holds `avail` readable bytes; the
// encoder copies min(len, body data field, avail) of them and leaves the
// rest of the body's data field zero. A CAN FD object says how many of its
// bytes are valid: `len`, or with `stored` set, `avail` (a frame read with
// fewer bytes than its length keeps that count, and gains no zeros).
struct FrameIn {
  int64_t timestamp;
  uint32_t can_id;
  uint8_t channel;
  uint8_t len;
  uint8_t flags;
  const uint8_t* data;
  size_t avail;
  bool stored = false;
};

// Object size and type that a record's flags select.
size_t object_size_for(uint8_t flags);

// Writes the whole object (header and body, every byte) at `out`, which has
// room for object_size_for(f.flags) bytes; returns that size.
size_t encode_object(uint8_t* out, const FrameIn& f, int64_t start_timestamp);

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

}  // namespace korvel::enc

// How many bits each frame occupies on the wire, as ISO 11898-1:2015 lays
// frames out: the fields from the frame's identifier, length and data, the
// CRC and every stuff bit they require, then CRC delimiter, acknowledgement
// slot and delimiter, end of frame and intermission.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frames.hpp"

namespace korvel::stats {

// The 29 identifier bits of a record.
constexpr uint32_t ID_MASK = 0x1FFFFFFFu;

// An error frame: error flag 6, delimiter 8, intermission 3.
constexpr uint16_t ERROR_FRAME_BITS = 17;

// A frame's bits: those at the nominal rate, and those after the BRS bit
// through the last CRC bit of a frame that switches its rate.
struct WireBits {
  uint16_t nominal = 0;
  uint16_t data = 0;
};

// Why a record cannot be laid out as a frame.
enum class BitsFault : uint8_t {
  None,
  ClassicLength,  // a classic length that no 4-bit DLC gives
  FdLength,       // a CAN FD length above 64
  FdRemote,       // CAN FD has no remote frames
  BaseId,         // a base identifier above 0x7FF
  Payload,        // payload locator outside the payload array
};

// Whether a record's kind can be a frame at all (payload aside): what
// wire_bits refuses before it counts a bit.
inline BitsFault kind_fault(uint32_t can_id, uint8_t len, uint8_t flags, uint8_t is64) {
  if (flags & FLAG_ERROR) return BitsFault::None;
  if (!(flags & FLAG_EXTENDED) && can_id > 0x7FF) return BitsFault::BaseId;
  if (flags & FLAG_FD) {
    if (flags & FLAG_REMOTE) return BitsFault::FdRemote;
    return len > 64 ? BitsFault::FdLength : BitsFault::None;
  }
  // A classic DLC: 0..15 as sent, or a CAN FD code's byte count.
  if (len <= 15 && !(is64 && len > 8)) return BitsFault::None;
  if (is64 && len <= 64 && CANFD_LEN[canfd_len_to_dlc(len)] == len) return BitsFault::None;
  return BitsFault::ClassicLength;
}

// One frame record; `payload` holds the `stored` bytes the record has
// (bytes the frame carries beyond them count as zeros).
BitsFault wire_bits(uint32_t can_id, uint8_t is64, uint8_t len, uint8_t flags,
                    const uint8_t* payload, size_t stored, WireBits& out);

// The same for a record of a frames view, its payload checked.
inline BitsFault record_bits(const FrameView& f, const DT_t& r, WireBits& out) {
  if (r.flags & FLAG_ERROR) {
    out.nominal = ERROR_FRAME_BITS;
    out.data = 0;
    return BitsFault::None;
  }
  const uint64_t offset = loc_offset(r.loc), count = loc_count(r.loc);
  if (offset > f.chunk_size || count > f.chunk_size - offset) return BitsFault::Payload;
  return wire_bits(r.can_id, r.is64, r.len, r.flags, f.chunk + offset, count, out);
}

struct BitsOutcome {
  size_t bad = SIZE_MAX;  // first record that cannot be laid out
  BitsFault fault = BitsFault::None;
  size_t skipped = 0;  // with skip: records no bus could carry (`bad` the first)
};

// Total bits of every record into `total` (n entries); stops at the first
// bad record. With `skip`, a record whose kind no bus could carry (any
// fault but the payload's) gets 0 bits and the pass goes on.
BitsOutcome frames_bits(const FrameView& f, uint16_t* total, bool skip = false);

}  // namespace korvel::stats

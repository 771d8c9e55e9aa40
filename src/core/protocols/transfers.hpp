// Transfers: messages that travelled in several frames (J1939 transport
// protocols, NMEA 2000 fast packets, ISO-TP), reassembled. A transfers pair is
// to them what a frames pair is to frames: one record each, and their bytes
// back to back in one payload array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::protocols {

// Matches the NumPy dtype TRANSFER (naturally aligned fields).
struct TransferRecord {
  int64_t start = 0;  // ns: the first frame of the transfer
  int64_t stop = 0;   // ns: the last frame that belonged to it
  uint32_t can_id = 0;
  uint8_t channel = 0;
  uint8_t flags = 0;  // 0x40 extended identifier, 0x08 carried by CAN FD frames
  uint8_t protocol = 0;
  uint8_t status = 0;
  uint8_t source = 0;
  uint8_t destination = 0;
  uint8_t unused0[2] = {};  // padding named, so that records carry no stray bytes
  uint32_t size = 0;        // the announced byte count
  uint32_t received = 0;    // the bytes held
  uint8_t unused1[4] = {};
  uint64_t offset = 0;  // where they lie in the payload array
};

static_assert(sizeof(TransferRecord) == 48);
static_assert(offsetof(TransferRecord, size) == 28);
static_assert(offsetof(TransferRecord, offset) == 40);

enum Status : uint8_t { COMPLETE = 0, ABORTED = 1, GAP = 2, INTERRUPTED = 3, CUT = 4 };

enum Protocol : uint8_t {
  BAM = 1,
  CMDT = 2,
  ETP = 3,
  FAST_PACKET = 4,
  ISOTP_SINGLE = 5,
  ISOTP_MULTI = 6,
};

// One finished transfer and the bytes it holds.
struct Transfer {
  TransferRecord record;
  size_t first_frame = 0;  // orders transfers that start at the same time
  std::vector<uint8_t> bytes;
};

// Appends `n` bytes to `bytes` without ever reserving beyond `limit` bytes
// in all (the announced size: a lying announcement costs nothing until
// its bytes really come).
void append_bounded(std::vector<uint8_t>& bytes, const uint8_t* data, size_t n, size_t limit);

// Orders `done` by start (ties by first frame) and gives each its offset;
// returns the payload size they need.
size_t order_transfers(std::vector<Transfer>& done);

// Writes the ordered transfers into `records` and `payload` (sized by
// order_transfers), freeing their bytes as it goes.
void lay_out_transfers(std::vector<Transfer>& done, TransferRecord* records, uint8_t* payload);

// A frame whose payload lies outside the payload array stops a pass.
struct FrameFault {
  bool ok = true;
  size_t frame = 0;
  uint64_t offset = 0, length = 0;
};

}  // namespace korvel::protocols

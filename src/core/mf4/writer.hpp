// The MF4 writer: ASAM bus logging in MDF 4.11, one sorted data group per
// frame kind (CAN_DataFrame, and CAN_RemoteFrame / CAN_ErrorFrame when the
// frames hold such), records in DZ blocks (deflate) listed by an HL and a
// DL block. Times are a uint64 master channel of nanoseconds after the
// header's start (the earliest frame), with a linear conversion of 1e-9 to
// seconds, so every timestamp is kept exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "frames.hpp"

namespace korvel::mf4 {

// Where the file's bytes go, front to back.
class ByteOut {
 public:
  virtual ~ByteOut() = default;
  virtual void write(const uint8_t* data, size_t n) = 0;
};

// A frames pair that cannot be written; `frame` is the index of the
// offending frame (SIZE_MAX when no single frame is to blame).
struct WriteError : std::runtime_error {
  WriteError(const std::string& what, size_t frame) : std::runtime_error(what), frame(frame) {}
  size_t frame;
};

// Record layout of every group (bytes):
//   0  uint64 Timestamp (ns after the start; the master)
//   8  uint8  BusChannel
//   9  uint32 ID (bits 0-28), IDE (29), Dir (30), EDL (31)
//   13 uint8  DLC (bits 0-3), BRS (4), ESI (5)
//   14 uint8  DataLength (bytes of DataBytes that are valid)
//   15 DataBytes (as wide as the widest frame's stored bytes; none for remote frames)
constexpr size_t RECORD_FIXED = 15;

struct WriteStats {
  uint64_t frames = 0;
  uint64_t bytes = 0;  // of the file
};

// Writes `frames` (checked: every payload inside the payload array) to
// `out`; compresses on `threads` threads. Throws WriteError.
WriteStats write_file(const FrameView& frames, ByteOut& out, unsigned threads,
                      const std::string& version);

}  // namespace korvel::mf4

// J1939 (SAE J1939-21) and NMEA 2000: parameter group numbers, and the
// reassembly of multi-packet messages: the transport protocol (BAM and
// RTS/CTS), the extended transport protocol, and NMEA 2000 fast packets.
#pragma once

#include <cstdint>
#include <vector>

#include "frames.hpp"
#include "protocols/transfers.hpp"

namespace korvel::protocols {

// The parameter group number of a 29-bit identifier: data page bits and PDU
// format, and the PDU-specific byte only for PDU2 formats (240 and up); in
// PDU1 formats that byte is the destination address.
inline uint32_t j1939_pgn(uint32_t can_id) {
  const uint32_t pgn = (can_id >> 8) & 0x3FFFF;
  return ((pgn >> 8) & 0xFF) < 240 ? pgn & 0x3FF00 : pgn;
}

inline bool j1939_pdu1(uint32_t pgn) { return ((pgn >> 8) & 0xFF) < 240; }

// Transport protocol PGNs.
constexpr uint32_t PGN_TP_CM = 0xEC00;
constexpr uint32_t PGN_TP_DT = 0xEB00;
constexpr uint32_t PGN_ETP_CM = 0xC800;
constexpr uint32_t PGN_ETP_DT = 0xC700;

// The largest messages each protocol carries.
constexpr uint32_t TP_MAX_SIZE = 1785;             // 255 packets of 7 bytes
constexpr uint32_t ETP_MAX_SIZE = 0xFFFFFFu * 7u;  // 2^24 - 1 packets
constexpr uint32_t FAST_PACKET_MAX_SIZE = 223;     // 6 + 31 * 7 bytes

struct J1939Options {
  std::vector<uint32_t> fast_packet;  // PGNs sent as fast packets, sorted
  std::vector<bool> channels;         // 256 entries; empty for every channel
};

// Reassembles sessions over frames fed in log order, in as many pieces as
// the caller likes (open sessions carry over). Finished and broken sessions
// alike collect in `done` (unordered) until the caller takes them.
class J1939Reassembler {
 public:
  explicit J1939Reassembler(J1939Options options);
  ~J1939Reassembler();
  J1939Reassembler(const J1939Reassembler&) = delete;
  J1939Reassembler& operator=(const J1939Reassembler&) = delete;

  // The next frames of the log; stops at a frame whose payload lies outside
  // the payload array (the frames before it are taken).
  FrameFault feed(const FrameView& frames);
  // The log ended: every open session is cut.
  void finish();

  TransferList done;

 private:
  struct State;
  J1939Options options_;
  State* state_;
  size_t frames_seen_ = 0;
};

}  // namespace korvel::protocols

#include "stats/bits.hpp"

#include <cstring>

namespace korvel::stats {

namespace {

// Bit stuffing as a state machine over whole bytes: a state is the last bit
// on the wire and how many equal bits end there (1..5), or 0 for "a stuff
// bit just went out" (a run of 1 that a frame ending here would not have
// sent, in CAN FD). One table per chunk width of 1..8 bits; an entry is the
// next state plus 16 times the stuff bits inserted.
constexpr int STATES = 12;
constexpr uint8_t IDLE = 1 * 6 + 1;  // recessive bus before the start of frame

struct StuffTables {
  uint8_t next[9][STATES][256];
  uint16_t crc15[256];
  StuffTables() {
    for (int k = 1; k <= 8; ++k)
      for (int s = 0; s < STATES; ++s)
        for (int x = 0; x < (1 << k); ++x) {
          int v = s / 6, r = s % 6 ? s % 6 : 1, stuffed = 0, state = s;
          for (int i = k - 1; i >= 0; --i) {
            const int b = (x >> i) & 1;
            if (b == v) {
              ++r;
            } else {
              v = b;
              r = 1;
            }
            state = v * 6 + r;
            if (r == 5) {
              ++stuffed;
              v ^= 1;
              r = 1;
              state = v * 6;
            }
          }
          next[k][s][x] = static_cast<uint8_t>(state | stuffed << 4);
        }
    for (int x = 0; x < 256; ++x) {
      uint32_t r = static_cast<uint32_t>(x) << 7;
      for (int i = 0; i < 8; ++i) r = (r & 0x4000) ? ((r << 1) ^ 0x4599) & 0x7FFF : (r << 1);
      crc15[x] = static_cast<uint16_t>(r & 0x7FFF);
    }
  }
};

const StuffTables& tables() {
  static const StuffTables t;
  return t;
}

// Feeds the low `nbits` bits of `bits` (most significant first) through the
// stuffing state machine.
inline void stuff_bits(const StuffTables& t, unsigned& state, unsigned& stuffed, uint64_t bits,
                       int nbits) {
  while (nbits >= 8) {
    nbits -= 8;
    const unsigned e = t.next[8][state][(bits >> nbits) & 0xFF];
    state = e & 15;
    stuffed += e >> 4;
  }
  if (nbits) {
    const unsigned e = t.next[nbits][state][bits & ((1u << nbits) - 1)];
    state = e & 15;
    stuffed += e >> 4;
  }
}

inline void stuff_bytes(const StuffTables& t, unsigned& state, unsigned& stuffed, const uint8_t* p,
                        size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned e = t.next[8][state][p[i]];
    state = e & 15;
    stuffed += e >> 4;
  }
}

// CRC-15 (x^15 + x^14 + x^10 + x^8 + x^7 + x^4 + x^3 + 1, register from 0)
// of whole bytes. Zero bits ahead of a message leave such a CRC unchanged,
// so the header goes in padded to whole bytes at its front.
inline unsigned crc15_bytes(const StuffTables& t, unsigned crc, uint64_t bits, int nbytes) {
  for (int i = nbytes - 1; i >= 0; --i)
    crc = ((crc << 8) & 0x7FFF) ^ t.crc15[((crc >> 7) ^ (bits >> (8 * i))) & 0xFF];
  return crc;
}

inline unsigned crc15_data(const StuffTables& t, unsigned crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) crc = ((crc << 8) & 0x7FFF) ^ t.crc15[((crc >> 7) ^ p[i]) & 0xFF];
  return crc;
}

// Classic DLC of a record's length: a classic record holds its DLC as it
// was sent (9..15 carry 8 bytes); one read from a CAN FD object holds the
// byte count of its code.
inline int classic_dlc(uint8_t is64, uint8_t len) {
  if (len <= 15 && !(is64 && len > 8)) return len;
  if (is64 && len <= 64) {
    const int code = canfd_len_to_dlc(len);
    if (CANFD_LEN[code] == len) return code;
  }
  return -1;
}

// Bits after the data field that every frame has: CRC delimiter, ACK slot,
// ACK delimiter, end of frame, intermission.
constexpr unsigned TAIL = 1 + 1 + 1 + 7 + 3;

}  // namespace

BitsFault wire_bits(uint32_t can_id, uint8_t is64, uint8_t len, uint8_t flags,
                    const uint8_t* payload, size_t stored, WireBits& out) {
  const StuffTables& t = tables();
  const bool ext = flags & FLAG_EXTENDED;
  if (const BitsFault kind = kind_fault(can_id, len, flags, is64); kind != BitsFault::None)
    return kind;
  const uint32_t id = can_id & ID_MASK;
  // Identifier bits as sent: base 11, or 11 + SRR + IDE + 18.
  const uint64_t ident = ext ? (uint64_t{id >> 18} << 20) | (3u << 18) | (id & 0x3FFFF) : id;
  const int ident_bits = ext ? 31 : 11;

  uint8_t padded[64];
  auto data_of = [&](size_t n) -> const uint8_t* {
    if (stored >= n) return payload;
    std::memset(padded, 0, n);
    if (stored) std::memcpy(padded, payload, stored);
    return padded;
  };

  unsigned state = IDLE, stuffed = 0;
  if (!(flags & FLAG_FD)) {
    const int dlc = classic_dlc(is64, len);  // kind_fault took those without one
    const bool remote = flags & FLAG_REMOTE;
    const size_t n = remote ? 0 : (dlc > 8 ? 8 : static_cast<size_t>(dlc));
    // SOF, identifier, RTR, IDE (base) or r1 (extended), r0, DLC.
    const uint64_t header = ((ident << 1 | (remote ? 1 : 0)) << 6) | static_cast<unsigned>(dlc);
    const int header_bits = 1 + ident_bits + 1 + 2 + 4;
    const uint8_t* data = data_of(n);
    unsigned crc = crc15_bytes(t, 0, header, (header_bits + 7) / 8);
    crc = crc15_data(t, crc, data, n);
    stuff_bits(t, state, stuffed, header, header_bits);
    stuff_bytes(t, state, stuffed, data, n);
    stuff_bits(t, state, stuffed, crc, 15);  // a stuff bit may follow its last bit
    out.nominal = static_cast<uint16_t>(header_bits + 8 * n + 15 + stuffed + TAIL);
    out.data = 0;
    return BitsFault::None;
  }

  const int dlc = canfd_len_to_dlc(len);
  const size_t n = static_cast<size_t>(CANFD_LEN[dlc]);
  const bool brs = flags & FLAG_BRS;
  // Sent before the BRS bit: SOF, identifier, then RRS, IDE, FDF, res (base)
  // or RRS, FDF, res (extended: IDE is part of the identifier bits).
  const uint64_t arbitration = ext ? (ident << 3) | 2 : (ident << 4) | 2;
  const int arbitration_bits = 1 + ident_bits + (ext ? 3 : 4);
  // ESI and DLC follow it.
  const uint64_t control = (flags & FLAG_ESI ? 16u : 0u) | static_cast<unsigned>(dlc);
  stuff_bits(t, state, stuffed, arbitration, arbitration_bits);
  const unsigned before_brs = stuffed;
  stuff_bits(t, state, stuffed, (brs ? 32u : 0u) | control, 6);
  stuff_bytes(t, state, stuffed, data_of(n), n);
  // No dynamic stuff bit goes before the stuff count: the fixed one does.
  if (state % 6 == 0) --stuffed;
  // Stuff count (Gray code and parity) and CRC, with a fixed stuff bit
  // before them and after every 4 of their bits.
  const unsigned crc_bits = n > 16 ? 21 : 17;
  const unsigned fixed = 1 + (4 + crc_bits - 1) / 4;
  const unsigned after_brs =
      5 + 8 * static_cast<unsigned>(n) + (stuffed - before_brs) + 4 + crc_bits + fixed;
  const unsigned nominal = static_cast<unsigned>(arbitration_bits) + before_brs + 1 + TAIL;
  if (brs) {
    out.nominal = static_cast<uint16_t>(nominal);
    out.data = static_cast<uint16_t>(after_brs);
  } else {
    out.nominal = static_cast<uint16_t>(nominal + after_brs);
    out.data = 0;
  }
  return BitsFault::None;
}

BitsOutcome frames_bits(const FrameView& f, uint16_t* total, bool skip) {
  BitsOutcome res;
  for (size_t i = 0; i < f.n; ++i) {
    DT_t r;
    std::memcpy(&r, f.records + static_cast<ptrdiff_t>(i) * f.stride, sizeof r);
    WireBits w;
    const BitsFault fault = record_bits(f, r, w);
    if (fault != BitsFault::None) {
      if (!skip || fault == BitsFault::Payload) {
        res.bad = i;
        res.fault = fault;
        return res;
      }
      if (!res.skipped++) {
        res.bad = i;
        res.fault = fault;
      }
      total[i] = 0;
      continue;
    }
    total[i] = static_cast<uint16_t>(w.nominal + w.data);
  }
  return res;
}

}  // namespace korvel::stats

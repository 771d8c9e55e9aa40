// ASAM bus logging for CAN: a channel group whose CAN_DataFrame,
// CAN_RemoteFrame or CAN_ErrorFrame channel is a structure of fields
// (BusChannel, ID, IDE, DLC, DataLength, DataBytes, Dir, EDL, BRS, ESI),
// each read from the record's bits or made constant by its conversion, and
// the loop that turns its records into frame records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "buses/records.hpp"
#include "buses/sink.hpp"
#include "frames.hpp"
#include "mf4/blocks.hpp"
#include "mf4/conversion.hpp"
#include "mf4/groups.hpp"

namespace korvel::mf4 {

enum class FrameKind : uint8_t { None, Data, Remote, Error, OtherBus };

// A double to the nearest int64, halves away from zero (as llround), NaN to
// 0 and out-of-range values to the ends; inline, since record loops take
// float times through it.
inline int64_t round_to_int(double v) {
  if (!(v == v)) return 0;
  if (v >= 9.2e18) return INT64_MAX;
  if (v <= -9.2e18) return INT64_MIN;
  int64_t i = static_cast<int64_t>(v);  // toward zero; exact past 2^52
  const double frac = v - static_cast<double>(i);
  if (frac >= 0.5)
    ++i;
  else if (frac <= -0.5)
    --i;
  return i;
}

// What a channel group records: CAN frames of one kind, another bus's
// frames (LIN, FlexRay, Ethernet, MOST), or anything else.
FrameKind group_kind(const ChannelGroup& g);

// One integer field of a record.
struct Field {
  enum Mode : uint8_t { Absent, Const, Load, Index } mode = Absent;
  uint32_t byte_offset = 0;
  uint8_t shift = 0, bytes = 0;
  bool big_endian = false, is_signed = false, is_float = false;
  uint32_t bits = 0;
  uint64_t mask = 0;
  int64_t constant = 0;
  bool wide = false;  // the load may take 8 bytes at once
  bool converted = false;
  Conversion cc;
  std::vector<int64_t> lut;  // the conversion of every raw value, for narrow fields

  uint64_t raw(const uint8_t* rec) const {
    uint64_t v = 0;
    if (wide && !big_endian) {
      std::memcpy(&v, rec + byte_offset, 8);
    } else if (!big_endian) {
      std::memcpy(&v, rec + byte_offset, bytes);
    } else {
      for (uint8_t i = 0; i < bytes; ++i) v = (v << 8) | rec[byte_offset + i];
    }
    return (v >> shift) & mask;
  }
  double number(uint64_t r) const;
  int64_t get(const uint8_t* rec, uint64_t index) const {
    switch (mode) {
      case Absent:
        return 0;
      case Const:
        return constant;
      case Load: {
        const uint64_t r = raw(rec);
        if (!lut.empty()) return lut[r];
        if (!converted && !is_float && !is_signed) return static_cast<int64_t>(r);
        return slow(r);
      }
      case Index:
        return slow_index(index);
    }
    return 0;
  }
  int64_t slow(uint64_t r) const;
  int64_t slow_index(uint64_t index) const;
};

// Nanoseconds after the file's start from the master channel.
struct TimeField {
  Field load;              // its bits (mode Absent: no master, Index: virtual)
  bool integer = false;    // a power-of-ten unit: ns = raw * mult + add
  bool exact = false;      // ... in integers (an integer master)
  bool double_le = false;  // ... or a little-endian float64 master (loggers' own)
  int64_t mult = 0, add = 0;
  double scale = 1e9;  // else ns = llround(cc(raw) * 1e9)
  int64_t get(const uint8_t* rec, uint64_t index) const {
    if (exact) {
      const uint64_t r = load.raw(rec);
      const int64_t v = load.is_signed ? sign_extend(r) : static_cast<int64_t>(r);
      // Wraps for times past the int64 range, as the plain loop's do.
      return static_cast<int64_t>(static_cast<uint64_t>(v) * static_cast<uint64_t>(mult) +
                                  static_cast<uint64_t>(add));
    }
    if (double_le) {
      double x;
      std::memcpy(&x, rec + load.byte_offset, 8);
      return static_cast<int64_t>(
          static_cast<uint64_t>(round_to_int(x * static_cast<double>(mult))) +
          static_cast<uint64_t>(add));
    }
    return slow(rec, index);
  }
  int64_t sign_extend(uint64_t r) const;
  int64_t slow(const uint8_t* rec, uint64_t index) const;
};

struct DataField {
  enum Mode : uint8_t { Absent, Fixed, Vlsd } mode = Absent;
  uint32_t byte_offset = 0, size = 0;  // Fixed
  Field offset;                        // Vlsd: where its bytes begin in the signal data
  uint64_t source = 0;                 // Vlsd: the SD list or VLSD channel group it points to
  uint64_t channel = 0;                // its CN block
};

// A field as one branch-free step: (load8(rec + off) >> shift & mask) +
// add; a constant has mask 0.
struct PlainField {
  uint32_t off = 0;
  uint8_t shift = 0;
  uint64_t mask = 0;
  int64_t add = 0;
  int64_t get(const uint8_t* rec) const {
    uint64_t v;
    std::memcpy(&v, rec + off, 8);
    return static_cast<int64_t>((v >> shift) & mask) + add;
  }
};

struct CanLayout {
  FrameKind kind = FrameKind::None;
  uint64_t group = 0;        // the CG block
  uint64_t record_size = 0;  // data + invalidation bytes
  TimeField time;
  Field channel, id, ide, dlc, data_length, dir, edl, brs, esi;
  bool ide_in_id = false;  // no IDE field: bit 31 of a 32-bit ID says extended
  DataField data;
  // Every field a plain load or a constant, the time an integer (or a
  // little-endian float64 in a power-of-ten unit: `plain_double_time`), the
  // data in the record or at a plain offset in signal data: the loop
  // without per-field dispatch.
  bool plain = false;
  bool plain_double_time = false;
  PlainField p_time, p_channel, p_id, p_ide, p_dlc, p_data_length, p_dir, p_edl, p_brs, p_esi;
  PlainField p_data_offset;
};

// The layout of a CAN channel group. Throws Mf4Error naming the CN or CC
// block of a needed field that does not fit the record or whose
// conversion gives no number.
CanLayout can_layout(BlockReader& r, const ChannelGroup& g, FrameKind kind);

// Signal data of VLSD fields: entries of a uint32 length and its bytes.
struct SignalData {
  const uint8_t* bytes = nullptr;
  size_t size = 0;
};

// Decodes `n` records (each `record_size` bytes, the first being record
// number `index0` of its group) into `sink`; `start_ns` is added to every
// time. Returns the number of records whose variable-length data could not
// be found (left out). With `done` given, it stops instead before the
// first such record (signal data still to come may hold it), and says how
// many records it decoded.
size_t decode_records(const CanLayout& l, const uint8_t* records, size_t n, uint64_t index0,
                      int64_t start_ns, const SignalData& sd, FrameSink& sink,
                      size_t* done = nullptr);

// The same for records where they lie: `records[i]` is record number
// index0 + i of its group.
size_t decode_record_list(const CanLayout& l, const uint8_t* const* records, size_t n,
                          uint64_t index0, int64_t start_ns, const SignalData& sd, FrameSink& sink,
                          size_t* done = nullptr);

// ASAM bus logging for LIN and Ethernet: LIN_Frame, the LIN error and
// event groups, and ETH_Frame, read into the records the BLF reader gives
// for those buses.
enum class BusKind : uint8_t {
  None,
  LinFrame,
  LinChecksumError,
  LinReceiveError,
  LinTransmissionError,
  LinSyncError,
  LinWakeUp,
  EthFrame,
};

inline bool is_lin(BusKind k) { return k >= BusKind::LinFrame && k <= BusKind::LinWakeUp; }

// The LIN or Ethernet kind of a channel group (None for any other).
BusKind bus_kind(const ChannelGroup& g);

struct BusLayout {
  BusKind kind = BusKind::None;
  Field channel, id, dir, checksum, data_length, ether_type;
  Field received;  // ReceivedDataByteCount: of DataLength, the bytes that came
  // Ethernet addresses: bytes in the record (Fixed) or a number (MSB first).
  DataField source, destination;
  Field source_num, destination_num;
  bool head = false;       // the frame's header from Destination, Source and EtherType
  uint8_t flags = 0;       // LIN_* of the group's kind
  int64_t dir_absent = 0;  // Dir of a group without one (0: received)
};

// The layout of a LIN or Ethernet group: `common` gets the record size,
// the time and DataBytes (what the record walk needs), the rest the
// returned layout. Throws Mf4Error as can_layout does.
BusLayout bus_layout(BlockReader& r, const ChannelGroup& g, BusKind kind, CanLayout& common);

struct BusColumns {
  buses::RecordColumn<buses::LinRecord>* lin = nullptr;
  buses::RecordColumn<buses::EthernetRecord>* ethernet = nullptr;
};

// decode_records and decode_record_list for a LIN or Ethernet group: each
// record goes to the column of its bus. A field declared longer than
// what is stored, or than what was received (ReceivedDataByteCount), keeps
// what is there and was received, flagged BUS_CUT.
size_t decode_bus_records(const CanLayout& l, const BusLayout& b, const uint8_t* records, size_t n,
                          uint64_t index0, int64_t start_ns, const SignalData& sd,
                          const BusColumns& out, size_t* done = nullptr);
size_t decode_bus_record_list(const CanLayout& l, const BusLayout& b, const uint8_t* const* records,
                              size_t n, uint64_t index0, int64_t start_ns, const SignalData& sd,
                              const BusColumns& out, size_t* done = nullptr);

}  // namespace korvel::mf4

#include "mf4/bus.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::mf4 {

namespace {

const char* const CAN_KINDS[] = {"CAN_DataFrame", "CAN_RemoteFrame", "CAN_ErrorFrame"};
const char* const OTHER_BUSES[] = {"LIN_", "FLX_", "FlexRay", "ETH_", "MOST_", "KLINE_", "USB_"};

bool starts(const std::string& s, const char* p) { return s.compare(0, std::strlen(p), p) == 0; }

// The frame name a channel belongs to: "CAN_DataFrame" for CAN_DataFrame
// and for CAN_DataFrame.ID.
int can_index(const std::string& name) {
  for (int k = 0; k < 3; ++k) {
    const size_t n = std::strlen(CAN_KINDS[k]);
    if (name.compare(0, n, CAN_KINDS[k]) == 0 && (name.size() == n || name[n] == '.')) return k;
  }
  return -1;
}

int64_t to_int(double v) { return round_to_int(v); }

}  // namespace

FrameKind group_kind(const ChannelGroup& g) {
  if (g.vlsd()) return FrameKind::None;
  for (const Channel& c : g.channels) {
    const int k = can_index(c.name);
    if (k >= 0) return static_cast<FrameKind>(static_cast<int>(FrameKind::Data) + k);
  }
  if (g.bus_type != BUS_NONE && g.bus_type != BUS_OTHER && g.bus_type != BUS_CAN)
    return FrameKind::OtherBus;
  for (const Channel& c : g.channels)
    for (const char* p : OTHER_BUSES)
      if (starts(c.name, p)) return FrameKind::OtherBus;
  return FrameKind::None;
}

double Field::number(uint64_t r) const {
  if (is_float) {
    if (bits == 32) {
      float f;
      const uint32_t u = static_cast<uint32_t>(r);
      std::memcpy(&f, &u, 4);
      return f;
    }
    double d;
    std::memcpy(&d, &r, 8);
    return d;
  }
  if (is_signed && bits < 64 && bits > 0 && (r >> (bits - 1)) & 1)
    return static_cast<double>(static_cast<int64_t>(r | ~mask));
  if (is_signed) return static_cast<double>(static_cast<int64_t>(r));
  return static_cast<double>(r);
}

int64_t Field::slow(uint64_t r) const {
  if (!converted && !is_float) {
    if (is_signed && bits < 64 && bits > 0 && (r >> (bits - 1)) & 1)
      return static_cast<int64_t>(r | ~mask);
    return static_cast<int64_t>(r);
  }
  const double x = number(r);
  return to_int(converted ? cc.apply(x) : x);
}

int64_t Field::slow_index(uint64_t index) const {
  return to_int(converted ? cc.apply(static_cast<double>(index)) : static_cast<double>(index));
}

int64_t TimeField::sign_extend(uint64_t r) const {
  const uint32_t b = load.bits;
  if (b < 64 && b > 0 && (r >> (b - 1)) & 1) return static_cast<int64_t>(r | ~load.mask);
  return static_cast<int64_t>(r);
}

int64_t TimeField::slow(const uint8_t* rec, uint64_t index) const {
  double x;
  if (load.mode == Field::Absent) return 0;
  if (load.mode == Field::Index)
    x = static_cast<double>(index);
  else
    x = load.number(load.raw(rec));
  if (integer) {
    // A float master in a power-of-ten unit: scaled by the exact power.
    return static_cast<int64_t>(static_cast<uint64_t>(to_int(x * static_cast<double>(mult))) +
                                static_cast<uint64_t>(add));
  }
  return to_int((load.converted ? load.cc.apply(x) : x) * scale);
}

namespace {

std::string field_name(const Channel& c) { return "'" + c.name + "'"; }

// Reads a channel's placement and conversion into `f`.
void make_field(BlockReader& r, const ChannelGroup& g, const Channel& c, Field& f) {
  const std::string here = where("CN", c.offset);
  if (c.cc) {
    f.cc = read_conversion(r, c.cc, here);
    if (!f.cc.numeric() && !f.cc.names_only())
      throw Mf4Error("CC", c.cc,
                     "(the conversion of channel " + field_name(c) + ", " + here + ") is of type " +
                         std::to_string(f.cc.type) + ", which gives no number for it");
    f.converted = f.cc.numeric() && f.cc.type != CC_IDENTITY;
  }
  if (c.type == CN_VIRTUAL || c.type == CN_VIRTUAL_MASTER || c.bit_count == 0) {
    // No bits: the value is the record index (virtual) or 0, through the
    // conversion; loggers give constants this way.
    double v = 0;
    if (c.type != CN_VIRTUAL && c.type != CN_VIRTUAL_MASTER) {
      f.mode = Field::Const;
      f.constant = to_int(f.converted ? f.cc.apply(0) : 0);
    } else if (!f.converted || f.cc.constant(v)) {
      f.mode = f.converted ? Field::Const : Field::Index;
      f.constant = to_int(v);
    } else {
      f.mode = Field::Index;
    }
    return;
  }
  if (c.data_type > DT_FLOAT_BE)
    throw Mf4Error("CN", c.offset,
                   "(channel " + field_name(c) + ") has data type " + std::to_string(c.data_type) +
                       ", not a number");
  f.is_float = c.data_type == DT_FLOAT_LE || c.data_type == DT_FLOAT_BE;
  f.is_signed = c.data_type == DT_INT_LE || c.data_type == DT_INT_BE;
  f.big_endian =
      c.data_type == DT_UINT_BE || c.data_type == DT_INT_BE || c.data_type == DT_FLOAT_BE;
  f.bits = c.bit_count;
  const uint64_t end_bit = uint64_t(c.bit_offset) + c.bit_count;
  if ((f.is_float && c.bit_count != 32 && c.bit_count != 64) || end_bit > 64 ||
      uint64_t(c.byte_offset) + (end_bit + 7) / 8 > g.data_bytes)
    throw Mf4Error("CN", c.offset,
                   "(channel " + field_name(c) + ") places " + std::to_string(c.bit_count) +
                       " bits at byte " + std::to_string(c.byte_offset) + " bit " +
                       std::to_string(c.bit_offset) + ", which do not fit its group's " +
                       std::to_string(g.data_bytes) + "-byte records");
  f.mode = Field::Load;
  f.byte_offset = c.byte_offset;
  f.bytes = static_cast<uint8_t>((end_bit + 7) / 8);
  f.mask = c.bit_count >= 64 ? ~uint64_t(0) : (uint64_t(1) << c.bit_count) - 1;
  f.shift = c.bit_offset;
  f.wide = uint64_t(f.byte_offset) + 8 <= g.record_size();
  if (f.converted && !f.is_float && c.bit_count <= 12) {
    f.lut.resize(size_t(1) << c.bit_count);
    for (uint64_t v = 0; v < f.lut.size(); ++v) f.lut[v] = to_int(f.cc.apply(f.number(v)));
  } else if (!f.converted && f.is_signed && c.bit_count <= 12) {
    f.lut.resize(size_t(1) << c.bit_count);
    for (uint64_t v = 0; v < f.lut.size(); ++v) f.lut[v] = to_int(f.number(v));
  }
}

void make_time(BlockReader& r, const ChannelGroup& g, TimeField& t) {
  const Channel* master = nullptr;
  for (const Channel& c : g.channels)
    if ((c.type == CN_MASTER || c.type == CN_VIRTUAL_MASTER) &&
        (!master || (c.sync == SYNC_TIME && master->sync != SYNC_TIME)))
      master = &c;
  if (!master) return;  // no master: every frame at the file's start
  Field& f = t.load;
  make_field(r, g, *master, f);
  if (f.mode == Field::Const) {
    t.integer = false;
    return;
  }
  int k = 0;
  double a = 0;
  const Conversion none;
  const Conversion& cc = f.converted ? f.cc : none;
  if (cc.power_of_ten(k, a)) {
    static const int64_t tens[] = {1,      10,      100,      1000,      10000,
                                   100000, 1000000, 10000000, 100000000, 1000000000};
    t.integer = true;
    t.mult = tens[9 - k];
    t.add = to_int(a * 1e9);
    f.lut.clear();
    t.exact = f.mode == Field::Load && !f.is_float;
    t.double_le =
        f.mode == Field::Load && f.is_float && f.bits == 64 && !f.big_endian && f.shift == 0;
    if (f.mode == Field::Index) {
      f.converted = true;  // the index through the conversion, in slow()
      t.integer = false;
    }
  }
}

// Where a byte field's bytes are: in the record, or in signal data (VLSD).
void make_data(BlockReader& r, const ChannelGroup& g, const Channel& c, DataField& d) {
  d.channel = c.offset;
  if (c.type == CN_VLSD) {
    d.mode = DataField::Vlsd;
    d.source = c.data;
    Channel plain = c;
    plain.cc = 0;
    plain.data_type = DT_UINT_LE;
    make_field(r, g, plain, d.offset);
    if (d.offset.mode != Field::Load) d.mode = DataField::Absent;
  } else if (c.bit_count >= 8) {
    const uint64_t size = c.bit_count / 8;
    if (c.byte_offset + size > g.data_bytes)
      throw Mf4Error("CN", c.offset,
                     "(channel " + field_name(c) + ") places " + std::to_string(size) +
                         " bytes at byte " + std::to_string(c.byte_offset) +
                         ", which do not fit its group's " + std::to_string(g.data_bytes) +
                         "-byte records");
    d.mode = DataField::Fixed;
    d.byte_offset = c.byte_offset;
    d.size = static_cast<uint32_t>(size);
  }
}

// Every channel of the frame `root` (named "root.Field"), at any depth:
// `take(field name, channel)`.
template <class Take>
void each_member(const ChannelGroup& g, const std::string& root, Take take) {
  std::vector<const Channel*> todo;
  for (const Channel& c : g.channels) todo.push_back(&c);
  while (!todo.empty()) {
    const Channel* c = todo.back();
    todo.pop_back();
    for (const Channel& k : c->children) todo.push_back(&k);
    if (c->name.size() <= root.size() + 1 || c->name.compare(0, root.size() + 1, root + ".") != 0)
      continue;
    take(c->name.substr(root.size() + 1), *c);
  }
}

// `scaled`: the conversion is the time's power of ten, applied apart.
bool plain_field(const Field& f, uint64_t record_size, PlainField& p, bool scaled = false) {
  if (f.mode == Field::Absent || f.mode == Field::Const) {
    p.add = f.constant;
    return record_size >= 8;
  }
  if (f.mode != Field::Load || !f.wide || f.big_endian || f.is_float || f.is_signed ||
      (f.converted && !scaled) || !f.lut.empty())
    return false;
  p.off = f.byte_offset;
  p.shift = f.shift;
  p.mask = f.mask;
  return true;
}

void plain_layout(CanLayout& l) {
  const uint64_t rs = l.record_size;
  bool time = false;
  if (l.time.exact && !l.time.load.is_signed) {
    time = plain_field(l.time.load, rs, l.p_time, true);
  } else if (l.time.double_le && rs >= 8) {
    l.plain_double_time = true;
    l.p_time.off = l.time.load.byte_offset;
    time = true;
  }
  bool data = l.data.mode == DataField::Fixed;
  if (l.data.mode == DataField::Vlsd) data = plain_field(l.data.offset, rs, l.p_data_offset);
  l.plain = time && data && l.data_length.mode != Field::Absent && l.dlc.mode != Field::Absent &&
            plain_field(l.channel, rs, l.p_channel) && plain_field(l.id, rs, l.p_id) &&
            plain_field(l.ide, rs, l.p_ide) && plain_field(l.dlc, rs, l.p_dlc) &&
            plain_field(l.data_length, rs, l.p_data_length) && plain_field(l.dir, rs, l.p_dir) &&
            plain_field(l.edl, rs, l.p_edl) && plain_field(l.brs, rs, l.p_brs) &&
            plain_field(l.esi, rs, l.p_esi) && (l.ide.mode != Field::Absent || !l.ide_in_id);
}

// Where a VLSD record's bytes are: false when its offset points at no
// whole entry of the signal data.
inline bool vlsd_bytes(const SignalData& sd, uint64_t at, const uint8_t*& data, size_t& have) {
  if (at > sd.size || sd.size - at < 4 || u32le(sd.bytes + at) > sd.size - at - 4) return false;
  data = sd.bytes + at + 4;
  have = u32le(sd.bytes + at);
  return true;
}

// The plain loop (`n` records, `rec_at(i)` giving record i). Fixed data:
// the caller has made room for the records and 64 bytes of slack past the
// payload they need; VLSD data: for the records. Returns the records left
// out (VLSD data not found); with `done`, as decode_records.
template <bool DoubleTime, bool Vlsd, class RecAt>
size_t decode_plain(const CanLayout& l, RecAt rec_at, size_t n, int64_t start_ns,
                    const SignalData& sd, FrameSink& sink, size_t* done) {
  const bool remote = l.kind == FrameKind::Remote;
  const uint8_t kind_flags = remote ? FLAG_REMOTE : l.kind == FrameKind::Error ? FLAG_ERROR : 0;
  const bool has_ide = l.ide.mode != Field::Absent;
  const uint32_t width = remote ? 0 : Vlsd ? 64 : std::min<uint32_t>(l.data.size, 64);
  const uint32_t data_at = l.data.byte_offset;
  const uint64_t mult = static_cast<uint64_t>(l.time.mult);
  const double fmult = static_cast<double>(l.time.mult);
  const uint64_t add = static_cast<uint64_t>(start_ns) + static_cast<uint64_t>(l.time.add);
  // Copies: the stores below may alias anything, the copies stay in registers.
  const PlainField time = l.p_time, chan = l.p_channel, idf = l.p_id, ide = l.p_ide, dlcf = l.p_dlc,
                   lenf = l.p_data_length, dir = l.p_dir, edl = l.p_edl, brs = l.p_brs,
                   esi = l.p_esi, offf = l.p_data_offset;
  DT_t* out = sink.records + sink.record_count;
  uint64_t at = sink.payload_size;
  size_t bad = 0, i = 0;
  for (; i < n; ++i) {
    const uint8_t* rec = rec_at(i);
    DT_t f;
    if constexpr (DoubleTime) {
      double x;
      std::memcpy(&x, rec + time.off, 8);
      f.timestamp = static_cast<int64_t>(static_cast<uint64_t>(round_to_int(x * fmult)) + add);
    } else {
      f.timestamp = static_cast<int64_t>(static_cast<uint64_t>(time.get(rec)) * mult + add);
    }
    const uint64_t id = static_cast<uint64_t>(idf.get(rec));
    f.can_id = static_cast<uint32_t>(id & 0x1FFFFFFF);
    const bool ext = has_ide ? ide.get(rec) != 0 : f.can_id > 0x7FF;
    const bool fd = edl.get(rec) != 0;
    const int64_t dlc = dlcf.get(rec);
    const int64_t dlen = lenf.get(rec);
    f.flags = static_cast<uint8_t>(kind_flags | (dir.get(rec) == 0 ? FLAG_RX : 0) |
                                   (fd ? FLAG_FD : 0) | (brs.get(rec) ? FLAG_BRS : 0) |
                                   (esi.get(rec) ? FLAG_ESI : 0) | (ext ? FLAG_EXTENDED : 0));
    f.is64 = fd;
    f.channel = static_cast<uint8_t>(chan.get(rec));
    f.len = static_cast<uint8_t>(std::clamp<int64_t>(remote || !fd ? dlc : dlen, 0, 255));
    uint32_t stored =
        std::min<uint32_t>(width, static_cast<uint32_t>(std::clamp<int64_t>(dlen, 0, 64)));
    if constexpr (Vlsd) {
      if (!remote) {
        const uint8_t* data;
        size_t have;
        if (!vlsd_bytes(sd, static_cast<uint64_t>(offf.get(rec)), data, have)) {
          if (done) break;
          ++bad;
          continue;
        }
        stored = static_cast<uint32_t>(std::min<size_t>(stored, have));
        if (at + stored > sink.payload_capacity) {
          sink.record_count = static_cast<size_t>(out - sink.records);
          sink.payload_size = static_cast<size_t>(at);
          sink.grow(sink.record_count + (n - i), at + stored + (n - i) * 64);
          out = sink.records + sink.record_count;
        }
        if (stored) std::memcpy(sink.payload + at, data, stored);
      }
    } else {
      uint8_t* pay = sink.payload;
      if (width == 8)
        std::memcpy(pay + at, rec + data_at, 8);
      else if (stored)
        std::memcpy(pay + at, rec + data_at, stored);
    }
    f.loc = make_loc(at, stored);
    at += stored;
    *out++ = f;
  }
  sink.record_count = static_cast<size_t>(out - sink.records);
  sink.payload_size = static_cast<size_t>(at);
  if (done) *done = i;
  return bad;
}

// The loop for any layout: fields through their conversions, DataBytes in
// the record or in signal data.
template <class RecAt>
size_t decode_any(const CanLayout& l, RecAt rec_at, size_t n, uint64_t index0, int64_t start_ns,
                  const SignalData& sd, FrameSink& sink, size_t* done) {
  if (l.plain && l.data.mode == DataField::Vlsd) {
    if (sink.record_count + n > sink.record_capacity)
      sink.grow(sink.record_count + n, sink.payload_size);
    return l.plain_double_time ? decode_plain<true, true>(l, rec_at, n, start_ns, sd, sink, done)
                               : decode_plain<false, true>(l, rec_at, n, start_ns, sd, sink, done);
  }
  if (l.plain && l.kind != FrameKind::Remote) {
    // Room for every record's bytes at once (they are in the records).
    const size_t room = n * std::min<size_t>(l.data.size, 64) + 64;
    if (sink.record_count + n > sink.record_capacity ||
        sink.payload_size + room > sink.payload_capacity)
      sink.grow(sink.record_count + n, sink.payload_size + room);
    return l.plain_double_time ? decode_plain<true, false>(l, rec_at, n, start_ns, sd, sink, done)
                               : decode_plain<false, false>(l, rec_at, n, start_ns, sd, sink, done);
  }
  if (sink.record_count + n > sink.record_capacity)
    sink.grow(sink.record_count + n, sink.payload_size);
  const size_t per = l.kind == FrameKind::Remote || l.data.mode == DataField::Absent ? 0
                     : l.data.mode == DataField::Fixed ? std::min<size_t>(l.data.size, 64)
                                                       : 64;
  size_t bad = 0, i = 0;
  DT_t* out = sink.records + sink.record_count;
  for (; i < n; ++i) {
    const uint8_t* rec = rec_at(i);
    const uint64_t index = index0 + i;
    DT_t f;
    f.timestamp = static_cast<int64_t>(static_cast<uint64_t>(start_ns) +
                                       static_cast<uint64_t>(l.time.get(rec, index)));
    const uint64_t idraw = static_cast<uint64_t>(l.id.get(rec, index));
    f.can_id = static_cast<uint32_t>(idraw & 0x1FFFFFFF);
    bool ext;
    if (l.ide.mode != Field::Absent)
      ext = l.ide.get(rec, index) != 0;
    else if (l.ide_in_id)
      ext = (idraw >> 31) & 1;
    else
      ext = f.can_id > 0x7FF;
    const bool fd = l.edl.get(rec, index) != 0;
    int64_t dlc = l.dlc.mode != Field::Absent ? l.dlc.get(rec, index) : -1;
    int64_t dlen = l.data_length.mode != Field::Absent ? l.data_length.get(rec, index) : -1;
    if (dlc < 0)
      dlc = dlen < 0 ? 0 : canfd_len_to_dlc(static_cast<uint32_t>(std::min<int64_t>(dlen, 64)));
    if (dlen < 0)
      dlen = fd ? canfd_dlc_to_len(static_cast<uint8_t>(std::min<int64_t>(dlc, 15)))
                : std::min<int64_t>(dlc, 8);
    uint8_t flags = 0;
    if (l.dir.get(rec, index) == 0) flags |= FLAG_RX;
    if (fd) flags |= FLAG_FD;
    if (l.brs.get(rec, index)) flags |= FLAG_BRS;
    if (l.esi.get(rec, index)) flags |= FLAG_ESI;
    if (ext) flags |= FLAG_EXTENDED;
    if (l.kind == FrameKind::Remote) flags |= FLAG_REMOTE;
    if (l.kind == FrameKind::Error) flags |= FLAG_ERROR;
    f.flags = flags;
    f.is64 = fd;
    f.channel = static_cast<uint8_t>(l.channel.get(rec, index));
    const int64_t len = l.kind == FrameKind::Remote || !fd ? dlc : dlen;
    f.len = static_cast<uint8_t>(std::clamp<int64_t>(len, 0, 255));
    const uint8_t* data = nullptr;
    size_t have = 0;
    if (per) {
      if (l.data.mode == DataField::Fixed) {
        data = rec + l.data.byte_offset;
        have = l.data.size;
      } else {
        if (!vlsd_bytes(sd, l.data.offset.raw(rec), data, have)) {
          if (done) break;
          ++bad;
          continue;
        }
      }
    }
    const size_t stored =
        std::min<size_t>({have, static_cast<size_t>(std::max<int64_t>(dlen, 0)), 64});
    if (sink.payload_size + stored > sink.payload_capacity) {
      const size_t done = static_cast<size_t>(out - (sink.records + sink.record_count));
      sink.record_count += done;
      sink.grow(sink.record_count + (n - i), sink.payload_size + stored + (n - i) * per);
      out = sink.records + sink.record_count;
    }
    f.loc = make_loc(sink.payload_size, stored);
    if (stored) std::memcpy(sink.payload + sink.payload_size, data, stored);
    sink.payload_size += stored;
    *out++ = f;
  }
  sink.record_count = static_cast<size_t>(out - sink.records);
  if (done) *done = i;
  return bad;
}

}  // namespace

CanLayout can_layout(BlockReader& r, const ChannelGroup& g, FrameKind kind) {
  CanLayout l;
  l.kind = kind;
  l.group = g.offset;
  l.record_size = g.record_size();
  make_time(r, g, l.time);
  const std::string frame = CAN_KINDS[static_cast<int>(kind) - static_cast<int>(FrameKind::Data)];
  const Channel* id = nullptr;
  each_member(g, frame, [&](const std::string& field, const Channel& c) {
    Field* f = nullptr;
    if (field == "BusChannel")
      f = &l.channel;
    else if (field == "ID")
      f = &l.id, id = &c;
    else if (field == "IDE")
      f = &l.ide;
    else if (field == "DLC")
      f = &l.dlc;
    else if (field == "DataLength")
      f = &l.data_length;
    else if (field == "Dir")
      f = &l.dir;
    else if (field == "EDL")
      f = &l.edl;
    else if (field == "BRS")
      f = &l.brs;
    else if (field == "ESI")
      f = &l.esi;
    else if (field == "DataBytes")
      make_data(r, g, c, l.data);
    if (f) make_field(r, g, c, *f);
  });
  l.ide_in_id = l.ide.mode == Field::Absent && id && id->bit_count == 32;
  plain_layout(l);
  return l;
}

size_t decode_records(const CanLayout& l, const uint8_t* records, size_t n, uint64_t index0,
                      int64_t start_ns, const SignalData& sd, FrameSink& sink, size_t* done) {
  const size_t rs = static_cast<size_t>(l.record_size);
  return decode_any(
      l, [records, rs](size_t i) { return records + i * rs; }, n, index0, start_ns, sd, sink, done);
}

size_t decode_record_list(const CanLayout& l, const uint8_t* const* records, size_t n,
                          uint64_t index0, int64_t start_ns, const SignalData& sd, FrameSink& sink,
                          size_t* done) {
  return decode_any(
      l, [records](size_t i) { return records[i]; }, n, index0, start_ns, sd, sink, done);
}

namespace {

struct BusName {
  const char* name;
  BusKind kind;
};
const BusName BUS_NAMES[] = {
    {"LIN_Frame", BusKind::LinFrame},
    {"LIN_ChecksumError", BusKind::LinChecksumError},
    {"LIN_ReceiveError", BusKind::LinReceiveError},
    {"LIN_TransmissionError", BusKind::LinTransmissionError},
    {"LIN_SyncError", BusKind::LinSyncError},
    {"LIN_WakeUp", BusKind::LinWakeUp},
    {"ETH_Frame", BusKind::EthFrame},
};

const char* bus_name(BusKind k) {
  for (const BusName& b : BUS_NAMES)
    if (b.kind == k) return b.name;
  return "";
}

// An address as six bytes: from the record, or a number's low 48 bits
// most significant first. Returns whether all six were there.
bool address(const DataField& bytes, const Field& num, const uint8_t* rec, uint64_t index,
             uint8_t* out) {
  std::memset(out, 0, 6);
  if (bytes.mode == DataField::Fixed) {
    std::memcpy(out, rec + bytes.byte_offset, std::min<uint32_t>(bytes.size, 6));
    return bytes.size >= 6;
  }
  if (num.mode == Field::Absent) return true;
  const uint64_t v = static_cast<uint64_t>(num.get(rec, index));
  for (int i = 0; i < 6; ++i) out[i] = static_cast<uint8_t>(v >> (8 * (5 - i)));
  return true;
}

template <class RecAt>
size_t decode_bus(const CanLayout& l, const BusLayout& b, RecAt rec_at, size_t n, uint64_t index0,
                  int64_t start_ns, const SignalData& sd, const BusColumns& out, size_t* done) {
  using namespace buses;
  const bool lin = is_lin(b.kind);
  size_t bad = 0, i = 0;
  for (; i < n; ++i) {
    const uint8_t* rec = rec_at(i);
    const uint64_t index = index0 + i;
    const int64_t ts = static_cast<int64_t>(static_cast<uint64_t>(start_ns) +
                                            static_cast<uint64_t>(l.time.get(rec, index)));
    // The stored bytes of DataBytes, as far as the record or its entry goes.
    const uint8_t* data = nullptr;
    size_t have = 0;
    if (l.data.mode == DataField::Fixed) {
      data = rec + l.data.byte_offset;
      have = l.data.size;
    } else if (l.data.mode == DataField::Vlsd) {
      if (!vlsd_bytes(sd, l.data.offset.raw(rec), data, have)) {
        if (done) break;
        ++bad;
        continue;
      }
    }
    const int64_t declared = b.data_length.mode != Field::Absent
                                 ? std::max<int64_t>(b.data_length.get(rec, index), 0)
                                 : static_cast<int64_t>(have);
    size_t stored = static_cast<size_t>(std::min<uint64_t>(have, uint64_t(declared)));
    uint8_t flags = static_cast<uint8_t>(static_cast<uint64_t>(declared) > have ? BUS_CUT : 0);
    if (b.received.mode != Field::Absent) {
      // Bytes of DataBytes past those received are not the frame's.
      const int64_t got = b.received.get(rec, index);
      if (got < static_cast<int64_t>(stored)) {
        stored = static_cast<size_t>(std::max<int64_t>(got, 0));
        flags |= BUS_CUT;
      }
    }
    const int64_t dir = b.dir.mode != Field::Absent ? b.dir.get(rec, index) : b.dir_absent;
    if (dir == 0) flags |= BUS_RX;
    const uint16_t channel = static_cast<uint16_t>(b.channel.get(rec, index));
    if (lin) {
      LinRecord* r = out.lin->slot();
      *r = LinRecord{};
      r->channel = channel;
      r->checksum = static_cast<uint16_t>(b.checksum.get(rec, index));
      r->id = static_cast<uint8_t>(b.id.get(rec, index));
      r->dlc = static_cast<uint8_t>(std::min<int64_t>(declared, 255));
      r->flags = static_cast<uint8_t>(flags | b.flags);
      const Payload p{data, stored};
      out.lin->commit(ts, p);
    } else {
      EthernetRecord* r = out.ethernet->slot();
      *r = EthernetRecord{};
      r->channel = channel;
      Payload p[2] = {{nullptr, 0}, {data, stored}};
      uint8_t head[14];
      if (b.head) {
        if (!address(b.destination, b.destination_num, rec, index, head)) flags |= BUS_CUT;
        if (!address(b.source, b.source_num, rec, index, head + 6)) flags |= BUS_CUT;
        const uint64_t type = static_cast<uint64_t>(b.ether_type.get(rec, index));
        head[12] = static_cast<uint8_t>(type >> 8);
        head[13] = static_cast<uint8_t>(type);
        p[0] = {head, sizeof head};
      }
      r->length = static_cast<uint16_t>(
          std::min<uint64_t>(p[0].size + static_cast<uint64_t>(declared), UINT16_MAX));
      r->flags = flags;
      out.ethernet->commit(ts, p[1], p[0]);
    }
  }
  if (done) *done = i;
  return bad;
}

}  // namespace

BusKind bus_kind(const ChannelGroup& g) {
  if (g.vlsd()) return BusKind::None;
  for (const Channel& c : g.channels)
    for (const BusName& b : BUS_NAMES) {
      const size_t n = std::strlen(b.name);
      if (c.name.compare(0, n, b.name) == 0 && (c.name.size() == n || c.name[n] == '.'))
        return b.kind;
    }
  return BusKind::None;
}

BusLayout bus_layout(BlockReader& r, const ChannelGroup& g, BusKind kind, CanLayout& common) {
  using namespace buses;
  BusLayout b;
  b.kind = kind;
  common = CanLayout{};
  common.kind = FrameKind::OtherBus;
  common.group = g.offset;
  common.record_size = g.record_size();
  make_time(r, g, common.time);
  switch (kind) {
    case BusKind::LinChecksumError:
      b.flags = LIN_ERROR | LIN_CHECKSUM;
      break;
    case BusKind::LinReceiveError:
      b.flags = LIN_ERROR;
      break;
    case BusKind::LinTransmissionError:
    case BusKind::LinSyncError:
      b.flags = LIN_ERROR;
      b.dir_absent = 1;  // sent, or no direction: as the BLF objects say
      break;
    case BusKind::LinWakeUp:
      b.flags = LIN_ERROR | LIN_WAKEUP;
      b.dir_absent = 1;
      break;
    default:
      break;
  }
  // An address given as bytes or as a number.
  auto addr = [&](const Channel& c, DataField& bytes, Field& num) {
    b.head = true;
    if (c.data_type > DT_FLOAT_BE || c.bit_count > 64) {
      if (c.type == CN_VLSD || c.bit_count < 8) return;  // no address there: zeros
      make_data(r, g, c, bytes);
    } else {
      make_field(r, g, c, num);
    }
  };
  each_member(g, bus_name(kind), [&](const std::string& field, const Channel& c) {
    Field* f = nullptr;
    if (field == "BusChannel")
      f = &b.channel;
    else if (field == "ID")
      f = &b.id;
    else if (field == "Dir")
      f = &b.dir;
    else if (field == "Checksum")
      f = &b.checksum;
    else if (field == "DataLength")
      f = &b.data_length;
    else if (field == "ReceivedDataByteCount")
      f = &b.received;
    else if (field == "DataBytes")
      make_data(r, g, c, common.data);
    else if (kind == BusKind::EthFrame && field == "Destination")
      addr(c, b.destination, b.destination_num);
    else if (kind == BusKind::EthFrame && field == "Source")
      addr(c, b.source, b.source_num);
    else if (kind == BusKind::EthFrame && field == "EtherType") {
      b.head = true;
      f = &b.ether_type;
    }
    if (f) make_field(r, g, c, *f);
  });
  return b;
}

size_t decode_bus_records(const CanLayout& l, const BusLayout& b, const uint8_t* records, size_t n,
                          uint64_t index0, int64_t start_ns, const SignalData& sd,
                          const BusColumns& out, size_t* done) {
  const size_t rs = static_cast<size_t>(l.record_size);
  return decode_bus(
      l, b, [records, rs](size_t i) { return records + i * rs; }, n, index0, start_ns, sd, out,
      done);
}

size_t decode_bus_record_list(const CanLayout& l, const BusLayout& b, const uint8_t* const* records,
                              size_t n, uint64_t index0, int64_t start_ns, const SignalData& sd,
                              const BusColumns& out, size_t* done) {
  return decode_bus(
      l, b, [records](size_t i) { return records[i]; }, n, index0, start_ns, sd, out, done);
}

}  // namespace korvel::mf4

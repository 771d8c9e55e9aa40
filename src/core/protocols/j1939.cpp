// Sessions are keyed as the standards key them: transport protocol sessions
// by channel, source and destination (one BAM and one RTS/CTS session per
// pair at a time), fast packets by channel, source, PGN and sequence counter.
// A session takes only what continues it in order; anything else that claims
// to belong ends it with the status that says why. The packets held are
// always the first ones of the message: a CTS may ask again for any of them
// (each comes again in its place) or for the next one.
#include "protocols/j1939.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace korvel::protocols {

namespace {

// Control bytes of TP.CM and ETP.CM.
constexpr uint8_t TP_RTS = 0x10;
constexpr uint8_t TP_CTS = 0x11;
constexpr uint8_t TP_EOMA = 0x13;
constexpr uint8_t TP_BAM = 0x20;
constexpr uint8_t ETP_RTS = 0x14;
constexpr uint8_t ETP_CTS = 0x15;
constexpr uint8_t ETP_DPO = 0x16;
constexpr uint8_t ETP_EOMA = 0x17;
constexpr uint8_t ABORT = 0xFF;

constexpr uint8_t GLOBAL = 0xFF;

enum Family : uint64_t { TP = 1, EXTENDED_TP = 2, FAST = 3 };

uint64_t tp_key(Family family, uint8_t channel, uint8_t source, uint8_t destination) {
  return family << 60 | uint64_t{channel} << 16 | uint64_t{source} << 8 | destination;
}

uint64_t fast_key(uint8_t channel, uint8_t source, uint32_t pgn, uint8_t sequence) {
  return uint64_t{FAST} << 60 | uint64_t{channel} << 32 | uint64_t{pgn} << 11 |
         uint64_t{sequence} << 8 | source;
}

uint32_t le16(const uint8_t* p) { return p[0] | uint32_t{p[1]} << 8; }
uint32_t le24(const uint8_t* p) { return le16(p) | uint32_t{p[2]} << 16; }
uint32_t le32(const uint8_t* p) { return le24(p) | uint32_t{p[3]} << 24; }

struct Session {
  bool open = false;
  Transfer t;
  uint32_t pgn = 0;
  uint32_t packets = 0;  // announced packet count (TP, ETP)
  uint32_t next = 1;     // the next packet (TP, ETP) or frame counter (fast packet) expected
  uint32_t held = 0;     // TP, ETP: packets 1..held are held
  uint32_t dpo = 0;      // ETP: the data packet offset in force
  std::vector<uint8_t> bytes;
};

struct Frame {
  size_t index;
  int64_t timestamp;
  uint32_t id;
  uint8_t channel;
  uint8_t flags;
  const uint8_t* data;
  size_t count;
  uint8_t source() const { return static_cast<uint8_t>(id); }
  uint8_t destination() const { return static_cast<uint8_t>(id >> 8); }
};

class Reassembler {
 public:
  explicit Reassembler(TransferList& out) : out_(out) {}

  void tp_cm(const Frame& f, Family family) {
    if (f.count < 8) return;
    const uint8_t* d = f.data;
    const uint8_t control = d[0];
    const uint32_t pgn = le24(d + 5) & 0x3FFFF;
    const bool extended = family == EXTENDED_TP;
    if ((!extended && (control == TP_RTS || control == TP_BAM)) ||
        (extended && control == ETP_RTS)) {
      const bool bam = control == TP_BAM;
      const uint32_t size = extended ? le32(d + 1) : le16(d + 1);
      const uint32_t limit = extended ? ETP_MAX_SIZE : TP_MAX_SIZE;
      const uint32_t packets = (size + 6) / 7;
      // Broadcasts go to everyone, connections to one node.
      if (size < 9 || size > limit || (bam != (f.destination() == GLOBAL))) return;
      if (!extended && d[3] != packets) return;
      announce(f, tp_key(family, f.channel, f.source(), f.destination()), pgn, size, packets,
               bam        ? BAM
               : extended ? ETP
                          : CMDT);
      return;
    }
    if (control == ABORT) {
      // Either side may abort: the originator to the receiver, or back.
      for (uint64_t key : {tp_key(family, f.channel, f.source(), f.destination()),
                           tp_key(family, f.channel, f.destination(), f.source())}) {
        Session* s = find(key, pgn);
        if (s && s->t.record.protocol != BAM) {
          take(*s, f);
          close(*s, ABORTED);
          return;
        }
      }
      return;
    }
    // The rest travel from the receiver back to the originator.
    const uint64_t key = tp_key(family, f.channel, f.destination(), f.source());
    Session* s = find(key, pgn);
    if (!s || s->t.record.protocol == BAM) return;
    if (control == (extended ? ETP_CTS : TP_CTS)) {
      const uint32_t next = extended ? le24(d + 2) : d[2];
      take(*s, f);
      // The packets asked for come next, in order; those held stay held.
      if (d[1] > 0 && next >= 1) s->next = next;
    } else if (control == (extended ? ETP_EOMA : TP_EOMA)) {
      take(*s, f);
      close(*s, s->bytes.size() == s->t.record.size ? COMPLETE : GAP);
    }
  }

  // ETP.DPO travels from the originator: the packets that follow count from
  // its offset.
  void etp_dpo(const Frame& f) {
    if (f.count < 8 || f.data[0] != ETP_DPO) return;
    const uint64_t key = tp_key(EXTENDED_TP, f.channel, f.source(), f.destination());
    Session* s = find(key, le24(f.data + 5) & 0x3FFFF);
    if (!s) return;
    const uint32_t offset = le24(f.data + 2);
    take(*s, f);
    s->next = offset + 1;
    s->dpo = offset;
  }

  void tp_dt(const Frame& f, Family family) {
    if (f.count < 1) return;
    const uint64_t key = tp_key(family, f.channel, f.source(), f.destination());
    Session* open = open_.find(key);
    if (!open) return;
    Session& s = *open;
    const uint32_t seq = f.data[0];
    const uint32_t packet = family == EXTENDED_TP ? s.dpo + seq : seq;
    if (seq >= 1 && packet < s.next) return;  // a repeat of a packet already sent
    // Out of order, beyond the message, or past a packet never held.
    if (seq == 0 || packet != s.next || packet > s.packets || packet > s.held + 1) {
      close(s, GAP);
      return;
    }
    if (!packet_data(s, f, packet)) {
      close(s, GAP);
      return;
    }
    ++s.next;
    if (s.t.record.protocol == BAM && s.bytes.size() == s.t.record.size) close(s, COMPLETE);
  }

  void fast_packet(const Frame& f, uint32_t pgn) {
    if (f.count < 1) return;
    const uint8_t counter = f.data[0] & 0x1F;
    const uint64_t key = fast_key(f.channel, f.source(), pgn, f.data[0] >> 5);
    if (counter == 0) {
      if (f.count < 2) return;
      const uint32_t size = f.data[1];
      if (size < 1 || size > FAST_PACKET_MAX_SIZE) return;
      Session& s = announce(f, key, pgn, size, 0, FAST_PACKET);
      // The frame's own identifier is the message's (priority, PGN, source,
      // and a PDU1 destination).
      s.t.record.can_id = f.id;
      s.t.record.destination = j1939_pdu1(pgn) ? f.destination() : GLOBAL;
      if (!data(s, f, 2, 6))
        close(s, GAP);
      else
        finish_fast(s);
      return;
    }
    Session* open = open_.find(key);
    if (!open) return;
    Session& s = *open;
    if (counter < s.next) return;  // a repeat
    if (counter != s.next || !data(s, f, 1, 7)) {
      close(s, GAP);
      return;
    }
    ++s.next;
    finish_fast(s);
  }

  // Every session still open when the log ends was cut.
  void finish() {
    open_.for_each_open([this](Session& s) { close(s, CUT); });
  }

 private:
  Session& announce(const Frame& f, uint64_t key, uint32_t pgn, uint32_t size, uint32_t packets,
                    Protocol protocol) {
    Session& s = open_.slot(key);
    if (s.open) close(s, INTERRUPTED);
    s.open = true;
    s.t = Transfer{};
    s.next = 1;
    s.held = 0;
    s.dpo = 0;
    s.pgn = pgn;
    s.packets = packets;
    TransferRecord& r = s.t.record;
    r.start = r.stop = f.timestamp;
    r.channel = f.channel;
    r.flags = 0x40;  // CAN FD only where a frame carrying data was
    r.protocol = protocol;
    r.source = f.source();
    r.destination = protocol == BAM ? GLOBAL : f.destination();
    r.size = size;
    // As the message would be sent in one frame: the announcing frame's
    // priority, the PGN and the source; a PDU1 PGN carries the destination.
    uint32_t id = (f.id & 0x1C000000u) | pgn << 8 | f.source();
    if (j1939_pdu1(pgn)) id = (id & ~0xFF00u) | uint32_t{r.destination} << 8;
    r.can_id = id;
    s.t.first_frame = f.index;
    return s;
  }

  Session* find(uint64_t key, uint32_t pgn) {
    Session* s = open_.find(key);
    return s && s->pgn == pgn ? s : nullptr;
  }

  // The frame belongs to the session.
  static void take(Session& s, const Frame& f) { s.t.record.stop = f.timestamp; }

  // Up to `width` bytes of the frame from `from` on, as many as the message
  // still needs; false when the frame holds fewer.
  static bool data(Session& s, const Frame& f, size_t from, size_t width) {
    const size_t size = s.t.record.size;
    const size_t want = std::min(width, size - s.bytes.size());
    const size_t have = f.count > from ? f.count - from : 0;
    append_bounded(s.bytes, f.data + from, std::min(want, have), size);
    take(s, f);
    s.t.record.flags |= f.flags & FLAG_FD;
    return have >= want;
  }

  // A TP or ETP data packet: the next one, or one held, sent again (it
  // replaces the bytes held). False when the frame holds fewer bytes than
  // the packet carries.
  static bool packet_data(Session& s, const Frame& f, uint32_t packet) {
    if (packet == s.held + 1) {
      if (!data(s, f, 1, 7)) return false;
      s.held = packet;
      return true;
    }
    const size_t at = size_t{packet - 1} * 7;
    const size_t want = std::min<size_t>(7, s.bytes.size() - at);
    if (f.count < 1 + want) return false;
    std::memcpy(s.bytes.data() + at, f.data + 1, want);
    take(s, f);
    s.t.record.flags |= f.flags & FLAG_FD;
    return true;
  }

  void finish_fast(Session& s) {
    if (s.bytes.size() >= s.t.record.size) close(s, COMPLETE);
  }

  void close(Session& s, Status status) {
    s.t.record.status = status;
    out_.add(s.t, s.bytes.data(), s.bytes.size());
    s.open = false;
    recycle(s.bytes);
  }

  TransferList& out_;
  Sessions<Session> open_;
};

}  // namespace

struct J1939Reassembler::State {
  explicit State(TransferList& out) : sessions(out) {}
  Reassembler sessions;
};

J1939Reassembler::J1939Reassembler(J1939Options options)
    : options_(std::move(options)), state_(new State(done)) {
  std::sort(options_.fast_packet.begin(), options_.fast_packet.end());
}

J1939Reassembler::~J1939Reassembler() { delete state_; }

void J1939Reassembler::finish() { state_->sessions.finish(); }

FrameFault J1939Reassembler::feed(const FrameView& frames) {
  FrameFault fault;
  Reassembler& r = state_->sessions;
  const bool fast = !options_.fast_packet.empty();
  const bool all_channels = options_.channels.empty();
  const char* rec = frames.records;
  for (size_t i = 0; i < frames.n; ++i, rec += frames.stride) {
    DT_t d;
    std::memcpy(&d, rec, sizeof d);
    if ((d.flags & (FLAG_ERROR | FLAG_REMOTE)) || !(d.flags & FLAG_EXTENDED)) continue;
    if (!all_channels && !options_.channels[d.channel]) continue;
    const uint32_t id = d.can_id & 0x1FFFFFFF;
    const uint32_t pgn = j1939_pgn(id);
    const bool transport =
        pgn == PGN_TP_CM || pgn == PGN_TP_DT || pgn == PGN_ETP_CM || pgn == PGN_ETP_DT;
    const bool fast_packet =
        fast && std::binary_search(options_.fast_packet.begin(), options_.fast_packet.end(), pgn);
    if (!transport && !fast_packet) continue;
    const uint8_t* data = fault.payload(frames, i, d.loc);
    if (!fault.ok) break;
    const uint64_t count = loc_count(d.loc);
    const Frame f{frames_seen_ + i, d.timestamp, id, d.channel, d.flags, data, count};
    if (fast_packet)
      r.fast_packet(f, pgn);
    else if (pgn == PGN_TP_CM)
      r.tp_cm(f, TP);
    else if (pgn == PGN_TP_DT)
      r.tp_dt(f, TP);
    else if (pgn == PGN_ETP_CM && count >= 1 && f.data[0] == ETP_DPO)
      r.etp_dpo(f);
    else if (pgn == PGN_ETP_CM)
      r.tp_cm(f, EXTENDED_TP);
    else
      r.tp_dt(f, EXTENDED_TP);
  }
  frames_seen_ += fault.ok ? frames.n : fault.frame;
  return fault;
}

}  // namespace korvel::protocols

// J1939 transfer reassembly over frames built from the input: mostly
// transport protocol and fast-packet frames between a few addresses, with
// short payloads, wild locators, channels, flags and timestamps that go
// back, and long runs of ETP packets. The frames are fed in up to three
// pieces, each its own records (walked by any stride) and payload array
// (no pointer when empty, as FrameView has it by default), and the
// transfers must match those of one whole feed without the channel filter,
// where the frames it drops are made plain non-J1939 frames instead. Every
// piece must stop exactly at its first frame whose payload lies outside its
// array. Each transfer must keep its bounds, start at a frame that
// announces it, hold only packets its own data frames brought (and be CAN FD
// only where one of those was), and hold no more than the frames brought in
// all; the transfers must order and lay out exactly.
#include <algorithm>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "common.hpp"
#include "protocols/j1939.hpp"
#include "protocols/transfers.hpp"

namespace {

using korvel::DT_t;
namespace kp = korvel::protocols;

constexpr uint8_t ADDRESSES[4] = {0x10, 0x20, 0x30, 0xFF};
constexpr size_t COUNTS[16] = {8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 0, 1, 4, 7, 12, 64};
// 0 stands for a control byte taken raw from the input.
constexpr uint8_t CONTROLS[16] = {0x10, 0x10, 0x11, 0x11, 0x13, 0x20, 0x20, 0xFF,
                                  0x14, 0x14, 0x15, 0x15, 0x16, 0x17, 0x16, 0};
constexpr uint32_t PGNS[3] = {0xFEF1, 0xEF00, 0x1FECA};
constexpr uint32_t FAST_PGNS[2] = {0x1F805, 0x1EF00};
constexpr size_t MAX_FRAMES = 2048;
// Runs of ETP packets, to carry transfers past what the input could spell
// out frame by frame (past 64 KiB); rare and bounded, as they are slow.
constexpr size_t RUN_UNIT = 40;
constexpr size_t MAX_RUN_PACKETS = 255 * RUN_UNIT;

enum Kind { TP_CM, TP_DT, ETP_CM, ETP_DT, FAST, RAW };
constexpr Kind KINDS[8] = {TP_CM, TP_DT, TP_DT, ETP_CM, ETP_DT, ETP_DT, FAST, RAW};

struct Piece {
  std::vector<DT_t> recs;
  std::vector<uint8_t> chunk;
};

uint32_t le24(const uint8_t* p) { return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16; }

void put_le(uint8_t* p, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The payload of one frame: the fields the reassembler looks at come from
// small tables most of the time, so sessions line up often.
std::vector<uint8_t> payload(fuzz::Input& in, Kind kind, size_t count) {
  std::vector<uint8_t> d(std::max<size_t>(count, 8), 0xFF);
  size_t raw_from = 0;
  if (kind == TP_CM || kind == ETP_CM) {
    const uint8_t c = in.take<uint8_t>();
    const uint8_t a = in.take<uint8_t>();
    const bool wide = c & 0x40;
    uint8_t control = CONTROLS[c & 15];
    if (control == 0) control = in.take<uint8_t>();
    d[0] = control;
    if (control == 0x10 || control == 0x20) {
      const uint32_t size = wide ? in.take<uint16_t>() : a & 0x3Fu;
      put_le(&d[1], size, 2);
      d[3] = c & 0x80 ? in.take<uint8_t>() : static_cast<uint8_t>((size + 6) / 7);
    } else if (control == 0x14) {
      put_le(&d[1], wide ? in.take<uint32_t>() : a & 0x7Fu, 4);
    } else if (control == 0x11) {
      d[1] = a >> 5;
      d[2] = a & 0x1F;
    } else if (control == 0x15 || control == 0x16) {
      d[1] = a >> 5;
      put_le(&d[2], wide ? in.take<uint32_t>() & 0xFFFFFF : a & 0x1Fu, 3);
    } else {
      d[1] = a;
    }
    const unsigned p = (c >> 4) & 3;
    put_le(&d[5], p < 3 ? PGNS[p] : in.take<uint32_t>() & 0xFFFFFF, 3);
    raw_from = 8;
  } else if (kind == TP_DT || kind == ETP_DT) {
    d[0] = in.take<uint8_t>();
    raw_from = 1;
  } else if (kind == FAST) {
    d[0] = in.take<uint8_t>();
    if ((d[0] & 0x1F) == 0) {
      d[1] = in.take<uint8_t>();
      raw_from = 2;
    } else {
      raw_from = 1;
    }
  }
  for (size_t i = raw_from; i < count; ++i) d[i] = in.take<uint8_t>();
  d.resize(count);
  return d;
}

// `n` ETP packets from `src` to `dst`, numbered on from `first`, each 255
// behind a data packet offset for `pgn`.
void etp_run(Piece& piece, int64_t ts, uint32_t src, uint32_t dst, uint32_t pgn, uint32_t first,
             size_t n) {
  auto add = [&](uint32_t pf, const uint8_t* d) {
    DT_t r{};
    r.timestamp = ts;
    r.can_id = 6u << 26 | pf << 16 | dst << 8 | src;
    r.flags = korvel::FLAG_EXTENDED | korvel::FLAG_RX;
    r.len = 8;
    r.loc = korvel::make_loc(piece.chunk.size(), 8);
    piece.chunk.insert(piece.chunk.end(), d, d + 8);
    piece.recs.push_back(r);
  };
  for (size_t i = 0; i < n; ++i) {
    const uint32_t packet = first + static_cast<uint32_t>(i);
    uint8_t d[8];
    if (i % 255 == 0) {
      d[0] = 0x16;
      d[1] = static_cast<uint8_t>(std::min<size_t>(255, n - i));
      put_le(&d[2], packet - 1, 3);
      put_le(&d[5], pgn, 3);
      add(0xC8, d);
    }
    d[0] = static_cast<uint8_t>(i % 255 + 1);
    for (int j = 1; j < 8; ++j) d[j] = static_cast<uint8_t>(packet * 7 + j) ^ (packet >> 8);
    add(0xC7, d);
  }
}

struct Setup {
  unsigned pieces = 1;
  size_t cuts[2] = {0, 0};
  bool filter = false, keep_going = false, drain = false, reversed = false, runs = false;
  size_t gap = 0;
  std::vector<bool> channels;  // empty: every channel
  std::vector<uint32_t> fast;
};

bool channel_taken(const Setup& s, uint8_t ch) { return s.channels.empty() || s.channels[ch]; }

// What the reassembler makes of a frame, worked out apart from it.
enum Role { NONE, AS_FAST, AS_TP_CM, AS_TP_DT, AS_ETP_CM, AS_ETP_DT };

uint32_t pgn_of(uint32_t can_id) {
  const uint32_t pgn = (can_id >> 8) & 0x3FFFF;
  return ((pgn >> 8) & 0xFF) < 240 ? pgn & 0x3FF00 : pgn;
}

Role role(const Setup& s, const DT_t& r) {
  if ((r.flags & (korvel::FLAG_ERROR | korvel::FLAG_REMOTE)) || !(r.flags & korvel::FLAG_EXTENDED))
    return NONE;
  if (!channel_taken(s, r.channel)) return NONE;
  const uint32_t pgn = pgn_of(r.can_id);
  if (std::find(s.fast.begin(), s.fast.end(), pgn) != s.fast.end()) return AS_FAST;
  switch (pgn) {
    case 0xEC00:
      return AS_TP_CM;
    case 0xEB00:
      return AS_TP_DT;
    case 0xC800:
      return AS_ETP_CM;
    case 0xC700:
      return AS_ETP_DT;
    default:
      return NONE;
  }
}

// Whether the reassembler looks at the frame's payload (and must check it).
bool reaches_payload(const Setup& s, const DT_t& r) { return role(s, r) != NONE; }

bool in_chunk(const DT_t& r, size_t chunk_size) {
  const uint64_t off = korvel::loc_offset(r.loc), cnt = korvel::loc_count(r.loc);
  return off <= chunk_size && cnt <= chunk_size - off;
}

// What is kept of a transfer to compare runs (offsets differ by batch).
struct Kept {
  kp::TransferRecord record;
  size_t first_frame;
  std::vector<uint8_t> bytes;
  bool operator<(const Kept& o) const {
    return std::tie(record.start, first_frame) < std::tie(o.record.start, o.first_frame);
  }
};

struct Run {
  std::vector<Kept> kept;
  size_t held = 0;  // bytes of all transfers
};

// The frames the reassembler took, in the order it numbered them.
struct Taken {
  std::vector<DT_t> recs;
  std::vector<Role> roles;
  std::vector<const uint8_t*> data;  // each frame's payload in its own piece
  size_t fed = 0;                    // payload bytes of the frames it read
  // Built before each check: frames by role, channel and source, and the
  // last frame of each timestamp.
  std::unordered_map<uint32_t, std::vector<size_t>> senders;
  std::unordered_map<int64_t, size_t> last_at;

  static uint32_t sender(Role role, uint8_t channel, uint8_t source) {
    return uint32_t{role} | uint32_t{channel} << 8 | uint32_t{source} << 16;
  }
  void index() {
    senders.clear();
    last_at.clear();
    for (size_t i = 0; i < recs.size(); ++i) {
      senders[sender(roles[i], recs[i].channel, static_cast<uint8_t>(recs[i].can_id))].push_back(i);
      last_at[recs[i].timestamp] = i;
    }
  }
};

// Every packet of a transfer's bytes came from a data frame of its session
// that followed the announcement: same channel and addresses (for fast
// packets the same PGN and sequence counter) and the packet number the
// frame carries (for ETP counted from the last data packet offset the
// originator sent for the session's PGN).
void check_bytes(const Taken& taken, const Kept& t) {
  const kp::TransferRecord& r = t.record;
  const bool fast = r.protocol == kp::FAST_PACKET;
  const Role data_role = fast ? AS_FAST : r.protocol == kp::ETP ? AS_ETP_DT : AS_TP_DT;
  const uint8_t* first = taken.data[t.first_frame];
  const size_t head = fast ? 6 : 0;
  // CAN FD only where a frame that carried data was: for fast packets the
  // first frame too, never a connection management frame.
  bool fd = fast && (taken.recs[t.first_frame].flags & korvel::FLAG_FD);
  std::vector<size_t> from;
  auto same_sender = taken.senders.find(Taken::sender(data_role, r.channel, r.source));
  if (same_sender == taken.senders.end()) {
    FUZZ_CHECK(t.bytes.size() <= head);
    FUZZ_CHECK(fd || !(r.flags & korvel::FLAG_FD));
    return;
  }
  for (size_t i : same_sender->second) {
    const DT_t& f = taken.recs[i];
    if (i <= t.first_frame || korvel::loc_count(f.loc) < 1) continue;
    // Fast packets are keyed without the destination or the priority.
    if (fast ? pgn_of(f.can_id) != pgn_of(r.can_id) || taken.data[i][0] >> 5 != first[0] >> 5
             : ((f.can_id >> 8) & 0xFF) != r.destination)
      continue;
    from.push_back(i);
  }
  for (size_t i : from) fd = fd || (taken.recs[i].flags & korvel::FLAG_FD);
  FUZZ_CHECK(fd || !(r.flags & korvel::FLAG_FD));
  std::vector<uint32_t> packet(from.size());
  for (size_t c = 0; c < from.size(); ++c)
    packet[c] = taken.data[from[c]][0] & (fast ? 0x1F : 0xFF);
  auto dpo_frames = taken.senders.find(Taken::sender(AS_ETP_CM, r.channel, r.source));
  if (data_role == AS_ETP_DT && dpo_frames != taken.senders.end()) {
    const uint32_t pgn = le24(first + 5) & 0x3FFFF;
    uint32_t dpo = 0;
    size_t c = 0;
    for (size_t j : dpo_frames->second) {
      const uint8_t* d = taken.data[j];
      if (j <= t.first_frame || korvel::loc_count(taken.recs[j].loc) < 8 || d[0] != 0x16 ||
          ((taken.recs[j].can_id >> 8) & 0xFF) != r.destination || (le24(d + 5) & 0x3FFFF) != pgn)
        continue;
      for (; c < from.size() && from[c] < j; ++c) packet[c] += dpo;
      dpo = le24(d + 2);
    }
    for (; c < from.size(); ++c) packet[c] += dpo;
  }
  std::vector<std::pair<uint32_t, size_t>> by_packet;
  for (size_t c = 0; c < from.size(); ++c) by_packet.emplace_back(packet[c], from[c]);
  std::sort(by_packet.begin(), by_packet.end());
  for (size_t at = head, k = 1; at < t.bytes.size(); at += 7, ++k) {
    const size_t n = std::min<size_t>(7, t.bytes.size() - at);
    bool found = false;
    auto c = std::lower_bound(by_packet.begin(), by_packet.end(),
                              std::make_pair(uint32_t(k), size_t{0}));
    for (; c != by_packet.end() && c->first == k && !found; ++c) {
      const size_t i = c->second;
      found = korvel::loc_count(taken.recs[i].loc) >= 1 + n &&
              std::memcmp(taken.data[i] + 1, t.bytes.data() + at, n) == 0;
    }
    FUZZ_CHECK(found);
  }
}

void check_transfer(const Setup& s, const Taken& taken, const Kept& t, bool finished,
                    bool monotonic) {
  const kp::TransferRecord& r = t.record;
  FUZZ_CHECK(t.bytes.size() <= r.size);
  FUZZ_CHECK(r.status <= kp::CUT);
  FUZZ_CHECK(finished || r.status != kp::CUT);
  if (r.status == kp::COMPLETE) FUZZ_CHECK(t.bytes.size() == r.size);
  FUZZ_CHECK((r.flags & 0x40) && !(r.flags & ~0x48));
  FUZZ_CHECK(r.can_id <= 0x1FFFFFFF);
  FUZZ_CHECK((r.can_id & 0xFF) == r.source);
  switch (r.protocol) {
    case kp::BAM:
      FUZZ_CHECK(r.destination == 0xFF);
      FUZZ_CHECK(r.status != kp::ABORTED);
      FUZZ_CHECK(r.size >= 9 && r.size <= kp::TP_MAX_SIZE);
      break;
    case kp::CMDT:
      FUZZ_CHECK(r.destination != 0xFF);
      FUZZ_CHECK(r.size >= 9 && r.size <= kp::TP_MAX_SIZE);
      break;
    case kp::ETP:
      FUZZ_CHECK(r.destination != 0xFF);
      FUZZ_CHECK(r.size >= 9 && r.size <= kp::ETP_MAX_SIZE);
      break;
    case kp::FAST_PACKET:
      FUZZ_CHECK(r.status != kp::ABORTED);
      FUZZ_CHECK(r.size >= 1 && r.size <= kp::FAST_PACKET_MAX_SIZE);
      break;
    default:
      FUZZ_CHECK(!"unknown protocol");
  }
  // The first frame announced it.
  FUZZ_CHECK(t.first_frame < taken.recs.size());
  const DT_t& first = taken.recs[t.first_frame];
  const Role announced = r.protocol == kp::FAST_PACKET ? AS_FAST
                         : r.protocol == kp::ETP       ? AS_ETP_CM
                                                       : AS_TP_CM;
  FUZZ_CHECK(taken.roles[t.first_frame] == announced);
  FUZZ_CHECK(channel_taken(s, r.channel));
  FUZZ_CHECK(r.start == first.timestamp);
  FUZZ_CHECK(r.channel == first.channel);
  FUZZ_CHECK(r.source == (first.can_id & 0xFF));
  if (r.protocol == kp::FAST_PACKET) {
    FUZZ_CHECK(r.can_id == (first.can_id & 0x1FFFFFFF));
    FUZZ_CHECK(r.size == taken.data[t.first_frame][1]);
    // The first frame's bytes after the counter and the size open the message.
    const size_t n = std::min<size_t>(t.bytes.size(), 6);
    FUZZ_CHECK(std::equal(t.bytes.begin(), t.bytes.begin() + static_cast<ptrdiff_t>(n),
                          taken.data[t.first_frame] + 2));
  } else {
    // Its announcement: the control byte, the size, and the PGN that makes the
    // identifier with the announcing frame's priority and addresses.
    const uint8_t* d = taken.data[t.first_frame];
    FUZZ_CHECK(korvel::loc_count(first.loc) >= 8);
    FUZZ_CHECK(d[0] == (r.protocol == kp::BAM ? 0x20 : r.protocol == kp::CMDT ? 0x10 : 0x14));
    FUZZ_CHECK(r.size ==
               (r.protocol == kp::ETP ? le24(d + 1) | uint32_t{d[4]} << 24 : le24(d + 1) & 0xFFFF));
    FUZZ_CHECK(r.destination == ((first.can_id >> 8) & 0xFF));
    const uint32_t pgn = le24(d + 5) & 0x3FFFF;
    uint32_t id = (first.can_id & 0x1C000000) | pgn << 8 | r.source;
    if (((pgn >> 8) & 0xFF) < 240) id = (id & ~0xFF00u) | uint32_t{r.destination} << 8;
    FUZZ_CHECK(r.can_id == id);
  }
  // The last frame that belonged to it is one of its first frame's successors.
  auto last = taken.last_at.find(r.stop);
  FUZZ_CHECK(last != taken.last_at.end() && last->second >= t.first_frame);
  if (monotonic) FUZZ_CHECK(r.start <= r.stop);
  check_bytes(taken, t);
}

// Field by field: the record has padding.
bool same_record(const kp::TransferRecord& x, const kp::TransferRecord& y, bool offsets) {
  return x.start == y.start && x.stop == y.stop && x.can_id == y.can_id && x.channel == y.channel &&
         x.flags == y.flags && x.protocol == y.protocol && x.status == y.status &&
         x.source == y.source && x.destination == y.destination && x.size == y.size &&
         x.received == y.received && (!offsets || x.offset == y.offset);
}

// Takes the finished transfers as the bindings do: ordered, then laid out
// into arrays of exactly the size asked for.
void drain(const Setup& s, Taken& taken, kp::J1939Reassembler& r, bool finished, bool monotonic,
           Run& run) {
  kp::TransferList& done = r.done;
  taken.index();
  // The store holds their bytes and nothing else.
  size_t held = 0;
  for (const kp::Transfer& t : done.items) {
    FUZZ_CHECK(t.held_at == held);
    held += t.record.received;
  }
  FUZZ_CHECK(held == done.held.size());
  run.held += held;
  auto kept = [&](const kp::Transfer& t) {
    const uint8_t* b = done.held.data() + t.held_at;
    return Kept{t.record, t.first_frame, std::vector<uint8_t>(b, b + t.record.received)};
  };
  for (const kp::Transfer& t : done.items) check_transfer(s, taken, kept(t), finished, monotonic);

  const size_t total = kp::order_transfers(done);
  const size_t n = done.items.size();
  size_t at = 0;
  std::vector<uint8_t> expected;
  std::vector<kp::TransferRecord> records;
  for (size_t i = 0; i < n; ++i) {
    const kp::Transfer& t = done.items[i];
    if (i) {
      const kp::Transfer& p = done.items[i - 1];
      FUZZ_CHECK(p.record.start < t.record.start ||
                 (p.record.start == t.record.start && p.first_frame < t.first_frame));
    }
    FUZZ_CHECK(t.record.offset == at);
    FUZZ_CHECK(t.record.received <= t.record.size);
    Kept k = kept(t);
    at += k.bytes.size();
    expected.insert(expected.end(), k.bytes.begin(), k.bytes.end());
    records.push_back(t.record);
    run.kept.push_back(std::move(k));
  }
  FUZZ_CHECK(total == at);
  std::unique_ptr<kp::TransferRecord[]> laid(new kp::TransferRecord[n ? n : 1]);
  std::unique_ptr<uint8_t[]> payload(new uint8_t[total ? total : 1]);
  kp::lay_out_transfers(done, laid.get(), payload.get());
  if (total) FUZZ_CHECK(std::memcmp(payload.get(), expected.data(), total) == 0);
  for (size_t i = 0; i < n; ++i) {
    FUZZ_CHECK(same_record(laid[i], records[i], true));
    // Records go out as they are: no stray bytes in the padding.
    FUZZ_CHECK(!laid[i].unused0[0] && !laid[i].unused0[1]);
    FUZZ_CHECK(std::all_of(laid[i].unused1, laid[i].unused1 + 4, [](uint8_t b) { return !b; }));
  }
  FUZZ_CHECK(done.items.empty() && done.held.empty());
}

void check_same(std::vector<Kept> a, std::vector<Kept> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  FUZZ_CHECK(a.size() == b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    FUZZ_CHECK(same_record(a[i].record, b[i].record, false));
    FUZZ_CHECK(a[i].first_frame == b[i].first_frame);
    FUZZ_CHECK(a[i].bytes == b[i].bytes);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  Setup s;
  const uint8_t mode = in.take<uint8_t>();
  s.pieces = 1 + (mode & 3) % 3;
  s.filter = mode & 4;
  s.keep_going = mode & 8;
  s.drain = mode & 16;
  s.reversed = mode & 32;
  s.gap = (mode >> 6) * 8;
  s.cuts[0] = in.take<uint8_t>();
  s.cuts[1] = in.take<uint8_t>();
  const uint8_t channel_mask = in.take<uint8_t>();
  if (s.filter) {
    s.channels.assign(256, false);
    for (unsigned c = 0; c < 8; ++c) s.channels[c] = channel_mask >> c & 1;
  }
  const uint8_t extra = in.take<uint8_t>();
  s.runs = (extra & 0x1C) == 0x1C;
  switch (extra & 3) {
    case 1:
      s.fast = {FAST_PGNS[0], FAST_PGNS[1]};
      break;
    case 2:
      s.fast = {FAST_PGNS[1], FAST_PGNS[0], 0xEB00};
      break;  // unsorted, takes TP.DT
    case 3:
      s.fast = {FAST_PGNS[0]};
      break;
    default:
      break;
  }

  // Build the frames, each piece with its own payload array.
  std::vector<Piece> pieces(s.pieces);
  int64_t ts = 1000000000;
  bool monotonic = true;
  size_t frames = 0, run_packets = 0;
  while (in.left() && frames < MAX_FRAMES) {
    size_t p = 0;
    if (s.pieces > 1 && frames >= s.cuts[0]) p = 1;
    if (s.pieces > 2 && frames >= s.cuts[0] + s.cuts[1]) p = 2;
    Piece& piece = pieces[p];
    ++frames;
    const uint8_t k = in.take<uint8_t>();
    if (s.runs && k == 0x7F) {
      const uint8_t b = in.take<uint8_t>();
      const uint32_t first = b & 0x40 ? in.take<uint32_t>() & 0xFFFFFF : 1;
      const size_t n =
          std::min<size_t>(in.take<uint8_t>() * RUN_UNIT, MAX_RUN_PACKETS - run_packets);
      run_packets += n;
      etp_run(piece, ts, ADDRESSES[b & 3], ADDRESSES[(b >> 2) & 3], PGNS[((b >> 4) & 3) % 3],
              std::max<uint32_t>(first, 1), n);
      continue;
    }
    const uint8_t shape = in.take<uint8_t>();
    const uint16_t odd = k & 0x80 ? in.take<uint16_t>() : 0;
    const Kind kind = KINDS[k & 7];
    const uint32_t src = ADDRESSES[(k >> 3) & 3], dst = ADDRESSES[(k >> 5) & 3];
    const size_t count = COUNTS[shape & 15];
    const unsigned step = (shape >> 4) & 7;
    if (step == 7) {
      ts -= 1000 * (1 + int64_t{in.take<uint8_t>()});
      monotonic = false;
    } else {
      ts += 1000 * int64_t{step};
    }
    DT_t r{};
    r.timestamp = ts;
    r.channel = static_cast<uint8_t>((shape >> 7) | ((odd >> 4) & 3) << 1);
    static constexpr uint8_t FLAGS[4] = {
        korvel::FLAG_EXTENDED | korvel::FLAG_RX, korvel::FLAG_EXTENDED | korvel::FLAG_FD,
        korvel::FLAG_EXTENDED | korvel::FLAG_ERROR, korvel::FLAG_RX};
    r.flags = FLAGS[(odd >> 2) & 3];
    static constexpr uint32_t PRIORITIES[4] = {6, 3, 7, 0};
    const uint32_t prio = PRIORITIES[(odd >> 6) & 3] << 26;
    switch (kind) {
      case TP_CM:
        r.can_id = prio | 0xEC0000 | dst << 8 | src;
        break;
      case TP_DT:
        r.can_id = prio | 0xEB0000 | dst << 8 | src;
        break;
      case ETP_CM:
        r.can_id = prio | 0xC80000 | dst << 8 | src;
        break;
      case ETP_DT:
        r.can_id = prio | 0xC70000 | dst << 8 | src;
        break;
      case FAST: {
        const uint32_t pgn = FAST_PGNS[(k >> 5) & 1];
        r.can_id = prio | pgn << 8 | (pgn < 0x1F000 ? dst << 8 : 0) | src;
        break;
      }
      case RAW:
        r.can_id = in.take<uint32_t>();
        break;
    }
    const std::vector<uint8_t> d = payload(in, kind, count);
    r.len = static_cast<uint8_t>(count);
    const uint64_t param = odd >> 8;
    switch (odd & 3) {
      case 0:  // its own bytes
        r.loc = korvel::make_loc(piece.chunk.size(), count);
        break;
      case 1:  // past any array
        r.loc = korvel::make_loc(korvel::LOC_OFFSET_MASK - param, count);
        break;
      case 2:  // longer than any array
        r.loc = korvel::make_loc(piece.chunk.size(), 0xFFFF - param);
        break;
      default:  // bytes earlier frames brought, or just past the end
        r.loc = korvel::make_loc(param % (piece.chunk.size() + 2), count);
        break;
    }
    piece.chunk.insert(piece.chunk.end(), d.begin(), d.end());
    piece.recs.push_back(r);
  }

  // Feed the pieces.
  kp::J1939Options options;
  options.fast_packet = s.fast;
  options.channels = s.channels;
  kp::J1939Reassembler b(options);
  Run run_b;
  Taken taken;  // as the reassembler numbered them
  std::vector<size_t> taken_piece;
  bool faulted = false;
  for (size_t p = 0; p < pieces.size() && (!faulted || s.keep_going); ++p) {
    const Piece& piece = pieces[p];
    const size_t n = piece.recs.size();
    const size_t stride = sizeof(DT_t) + s.gap;
    std::unique_ptr<char[]> table(new char[n ? n * stride : 1]);
    for (size_t i = 0; i < n; ++i) {
      const size_t slot = s.reversed ? n - 1 - i : i;
      std::memcpy(table.get() + slot * stride, &piece.recs[i], sizeof(DT_t));
    }
    auto chunk = fuzz::exact_copy(piece.chunk.data(), piece.chunk.size());
    korvel::FrameView view;
    view.records = s.reversed && n ? table.get() + (n - 1) * stride : table.get();
    view.n = n;
    view.stride = s.reversed ? -static_cast<ptrdiff_t>(stride) : static_cast<ptrdiff_t>(stride);
    // An empty payload array as FrameView has it by default: no pointer.
    view.chunk = piece.chunk.empty() ? nullptr : chunk.get();
    view.chunk_size = piece.chunk.size();
    const kp::FrameFault fault = b.feed(view);

    size_t first_bad = n;
    for (size_t i = 0; i < n && first_bad == n; ++i)
      if (reaches_payload(s, piece.recs[i]) && !in_chunk(piece.recs[i], piece.chunk.size()))
        first_bad = i;
    FUZZ_CHECK(fault.ok == (first_bad == n));
    if (!fault.ok) {
      FUZZ_CHECK(fault.frame == first_bad);
      FUZZ_CHECK(fault.offset == korvel::loc_offset(piece.recs[first_bad].loc));
      FUZZ_CHECK(fault.length == korvel::loc_count(piece.recs[first_bad].loc));
      faulted = true;
    }
    for (size_t i = 0; i < first_bad; ++i) {
      const DT_t& r = piece.recs[i];
      taken.recs.push_back(r);
      taken.roles.push_back(role(s, r));
      taken_piece.push_back(p);
      taken.data.push_back(pieces[p].chunk.data() +
                           (in_chunk(r, piece.chunk.size()) ? korvel::loc_offset(r.loc) : 0));
      if (reaches_payload(s, r)) taken.fed += korvel::loc_count(r.loc);
    }
    if (s.drain) drain(s, taken, b, false, monotonic, run_b);
  }
  b.finish();
  drain(s, taken, b, true, monotonic, run_b);
  FUZZ_CHECK(run_b.held <= taken.fed);

  // The same frames in one piece, the filtered channels' frames turned into
  // standard-identifier frames, and no channel filter.
  Setup whole = s;
  whole.channels.clear();
  std::vector<size_t> base(pieces.size(), 0);
  for (size_t p = 1; p < pieces.size(); ++p) base[p] = base[p - 1] + pieces[p - 1].chunk.size();
  std::vector<uint8_t> all;
  for (const Piece& p : pieces) all.insert(all.end(), p.chunk.begin(), p.chunk.end());
  Taken taken_a = taken;
  std::vector<DT_t>& recs = taken_a.recs;
  for (size_t i = 0; i < recs.size(); ++i) {
    DT_t& r = recs[i];
    if (reaches_payload(s, r))
      r.loc = korvel::make_loc(korvel::loc_offset(r.loc) + base[taken_piece[i]],
                               korvel::loc_count(r.loc));
    else if (!channel_taken(s, r.channel))
      r.flags &= static_cast<uint8_t>(~korvel::FLAG_EXTENDED);
    taken_a.roles[i] = role(whole, r);
    FUZZ_CHECK(taken_a.roles[i] == taken.roles[i]);
  }
  auto chunk = fuzz::exact_copy(all.data(), all.size());
  korvel::FrameView view;
  view.records = reinterpret_cast<const char*>(recs.data());
  view.n = recs.size();
  view.stride = sizeof(DT_t);
  view.chunk = chunk.get();
  view.chunk_size = all.size();
  kp::J1939Options plain;
  plain.fast_packet = s.fast;
  kp::J1939Reassembler a(plain);
  FUZZ_CHECK(a.feed(view).ok);
  a.finish();
  Run run_a;
  drain(whole, taken_a, a, true, monotonic, run_a);
  FUZZ_CHECK(run_a.held <= taken_a.fed);
  check_same(run_a.kept, run_b.kept);
  return 0;
}

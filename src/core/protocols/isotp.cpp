// One open transfer per channel, identifier and address byte. A frame that
// breaks the protocol is ignored; what it breaks shows when the next
// consecutive frame does not follow. Segmentation is fixed: a first frame
// fills its frame, and every consecutive frame but the last is as long as
// the first frame; a shorter (or longer) one is a gap, as is a last one too
// short for the bytes still missing.
#include "protocols/isotp.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace korvel::protocols {

namespace {

constexpr uint8_t PCI_SINGLE = 0, PCI_FIRST = 1, PCI_CONSECUTIVE = 2;

// Disjoint sorted runs of identifiers, plus the stepped ranges as given.
class IdSet {
 public:
  explicit IdSet(const std::vector<IdRange>& ranges) {
    for (const IdRange& r : ranges) {
      if (r.lo > r.hi) continue;
      if (r.step > 1)
        stepped_.push_back(r);
      else
        runs_[r.extended].push_back({r.lo, r.hi});
    }
    for (auto& runs : runs_) {
      std::sort(runs.begin(), runs.end());
      std::vector<std::pair<uint32_t, uint32_t>> merged;
      for (const auto& r : runs) {
        if (!merged.empty() && r.first <= merged.back().second + uint64_t{1})
          merged.back().second = std::max(merged.back().second, r.second);
        else
          merged.push_back(r);
      }
      runs = std::move(merged);
    }
  }

  bool contains(uint32_t id, bool extended) const {
    const auto& runs = runs_[extended];
    auto it = std::upper_bound(runs.begin(), runs.end(), std::make_pair(id, UINT32_MAX));
    if (it != runs.begin() && id <= std::prev(it)->second) return true;
    for (const IdRange& r : stepped_)
      if (r.extended == extended && id >= r.lo && id <= r.hi && (id - r.lo) % r.step == 0)
        return true;
    return false;
  }

 private:
  std::vector<std::pair<uint32_t, uint32_t>> runs_[2];
  std::vector<IdRange> stepped_;
};

uint64_t session_key(uint8_t channel, uint32_t id, bool extended, int address) {
  return uint64_t{channel} << 40 | uint64_t{extended} << 39 |
         uint64_t(static_cast<uint32_t>(address + 1) & 0x1FF) << 30 | id;
}

// Normal fixed and mixed addressing carry target and source in a 29-bit
// identifier: 0x18DA/0x18DB (physical/functional), 0x18CE/0x18CD (mixed).
bool fixed_addressing(uint32_t id, bool extended) {
  const uint32_t pf = (id >> 16) & 0xFF;
  return extended && (pf == 0xDA || pf == 0xDB || pf == 0xCE || pf == 0xCD);
}

}  // namespace

std::vector<IdRange> standard_diagnostic_ids() {
  return {{0x7DF, 0x7DF, 1, false},
          {0x7E0, 0x7EF, 1, false},
          {0x18DA0000, 0x18DAFFFF, 1, true},
          {0x18DB0000, 0x18DBFFFF, 1, true}};
}

struct IsotpReassembler::State {
  State(IsotpOptions o, TransferList& d) : options(std::move(o)), ids(options.ids), out(d) {}

  struct Session {
    bool open = false;
    Transfer t;
    std::vector<uint8_t> bytes;
    uint8_t next = 1;  // the sequence number expected
    size_t width = 8;  // the first frame's length, which consecutive frames keep
  };

  IsotpOptions options;
  IdSet ids;
  TransferList& out;
  Sessions<Session> open;

  void close(Session& s, Status status) {
    s.t.record.status = status;
    out.add(s.t, s.bytes.data(), s.bytes.size());
    s.open = false;
    recycle(s.bytes);
  }

  Transfer start(size_t index, const DT_t& d, int address, Protocol protocol, uint32_t size) {
    Transfer t;
    TransferRecord& r = t.record;
    const bool extended = d.flags & FLAG_EXTENDED;
    const uint32_t id = d.can_id & 0x1FFFFFFF;
    r.start = r.stop = d.timestamp;
    r.can_id = id;
    r.channel = d.channel;
    r.flags = static_cast<uint8_t>((d.flags & (FLAG_EXTENDED | FLAG_FD)));
    r.protocol = protocol;
    r.size = size;
    if (fixed_addressing(id, extended)) {
      r.destination = static_cast<uint8_t>(id >> 8);
      r.source = static_cast<uint8_t>(id);
    }
    if (address >= 0) r.destination = static_cast<uint8_t>(address);
    t.first_frame = index;
    return t;
  }

  void frame(size_t index, const DT_t& d, const uint8_t* data, size_t count) {
    const size_t a = options.addressing == Addressing::normal ? 0 : 1;
    if (count < a + 1) return;
    const int address = a ? data[0] : -1;
    const bool extended = d.flags & FLAG_EXTENDED;
    const uint64_t key = session_key(d.channel, d.can_id & 0x1FFFFFFF, extended, address);
    const uint8_t pci = data[a] >> 4;
    // Frames up to 8 bytes are classic-sized; longer ones use the CAN FD escapes.
    const bool fd_sized = count > 8;

    if (pci == PCI_SINGLE) {
      size_t len = data[a] & 0xF, from = a + 1;
      if (len == 0 && fd_sized && count >= a + 2) {
        len = data[a + 1];
        from = a + 2;
      }
      if (len == 0 || from + len > count) return;
      if (Session* s = open.find(key)) close(*s, INTERRUPTED);
      Transfer t = start(index, d, address, ISOTP_SINGLE, static_cast<uint32_t>(len));
      t.record.status = COMPLETE;
      out.add(t, data + from, len);
      return;
    }
    if (pci == PCI_FIRST) {
      if (count < a + 2) return;
      uint64_t len = (uint64_t{data[a] & 0xFu} << 8) | data[a + 1];
      size_t from = a + 2;
      if (len == 0) {  // 32-bit length escape: only for what 12 bits cannot hold
        if (count < a + 6) return;
        len = uint64_t{data[a + 2]} << 24 | uint64_t{data[a + 3]} << 16 |
              uint64_t{data[a + 4]} << 8 | data[a + 5];
        from = a + 6;
        if (len <= 0xFFF) return;
      }
      // A first frame announces more than a single frame of its size could hold.
      const size_t single_max = fd_sized ? count - a - 2 : 7 - a;
      if (len <= single_max || from > count) return;
      Session& s = open.slot(key);
      if (s.open) close(s, INTERRUPTED);
      s.open = true;
      s.t = start(index, d, address, ISOTP_MULTI, static_cast<uint32_t>(len));
      const size_t take = std::min<uint64_t>(count - from, len);
      append_bounded(s.bytes, data + from, take, len);
      s.next = 1;
      s.width = count;
      if (count < 8) close(s, GAP);  // a first frame fills a frame of at least 8 bytes
      return;
    }
    if (pci == PCI_CONSECUTIVE) {
      Session* open_session = open.find(key);
      if (!open_session) return;
      Session& s = *open_session;
      if ((data[a] & 0xF) != s.next) {
        close(s, GAP);
        return;
      }
      const size_t size = s.t.record.size;
      const size_t missing = size - s.bytes.size();
      const size_t room = s.width - a - 1;  // what a consecutive frame carries
      // Every one but the last is as long as the first frame; the last holds
      // what is missing, in a frame no longer than that.
      if (missing > room ? count != s.width : count > s.width || count - a - 1 < missing) {
        close(s, GAP);
        return;
      }
      const size_t take = std::min(count - a - 1, missing);
      append_bounded(s.bytes, data + a + 1, take, size);
      s.t.record.stop = d.timestamp;
      s.t.record.flags |= d.flags & FLAG_FD;
      s.next = static_cast<uint8_t>((s.next + 1) & 0xF);
      if (s.bytes.size() == size) close(s, COMPLETE);
    }
    // Flow control carries no payload; other types are not ISO-TP.
  }
};

IsotpReassembler::IsotpReassembler(IsotpOptions options)
    : state_(new State(std::move(options), done)) {}

IsotpReassembler::~IsotpReassembler() { delete state_; }

void IsotpReassembler::finish() {
  state_->open.for_each_open([this](State::Session& s) { state_->close(s, CUT); });
}

FrameFault IsotpReassembler::feed(const FrameView& frames) {
  FrameFault fault;
  State& st = *state_;
  const bool all_channels = st.options.channels.empty();
  const char* rec = frames.records;
  for (size_t i = 0; i < frames.n; ++i, rec += frames.stride) {
    DT_t d;
    std::memcpy(&d, rec, sizeof d);
    if (d.flags & (FLAG_ERROR | FLAG_REMOTE)) continue;
    if (!all_channels && !st.options.channels[d.channel]) continue;
    if (!st.ids.contains(d.can_id & 0x1FFFFFFF, d.flags & FLAG_EXTENDED)) continue;
    const uint8_t* data = fault.payload(frames, i, d.loc);
    if (!fault.ok) break;
    const uint64_t count = loc_count(d.loc);
    st.frame(frames_seen_ + i, d, data, count);
  }
  frames_seen_ += fault.ok ? frames.n : fault.frame;
  return fault;
}

}  // namespace korvel::protocols

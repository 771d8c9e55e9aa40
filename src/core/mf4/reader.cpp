#include "mf4/reader.hpp"

#include <algorithm>
#include <future>
#include <numeric>
#include <queue>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "mf4/datalist.hpp"
#include "workpool.hpp"

namespace korvel::mf4 {

struct Reader::Target {
  const ChannelGroup* group = nullptr;
  CanLayout layout;
  FrameSink* sink = nullptr;
  // A LIN or Ethernet group: its records into columns of its own.
  BusLayout bus;
  std::unique_ptr<buses::RecordColumn<buses::LinRecord>> lin;
  std::unique_ptr<buses::RecordColumn<buses::EthernetRecord>> ethernet;
  BusColumns columns() const { return {lin.get(), ethernet.get()}; }
  size_t decode(const uint8_t* recs, size_t n, uint64_t index0, int64_t start_ns,
                const SignalData& sd, size_t* done = nullptr) {
    if (bus.kind != BusKind::None)
      return decode_bus_records(layout, bus, recs, n, index0, start_ns, sd, columns(), done);
    const size_t bad = decode_records(layout, recs, n, index0, start_ns, sd, *sink, done);
    look();
    return bad;
  }
  size_t decode_list(const uint8_t* const* recs, size_t n, uint64_t index0, int64_t start_ns,
                     const SignalData& sd, size_t* done = nullptr) {
    if (bus.kind != BusKind::None)
      return decode_bus_record_list(layout, bus, recs, n, index0, start_ns, sd, columns(), done);
    const size_t bad = decode_record_list(layout, recs, n, index0, start_ns, sd, *sink, done);
    look();
    return bad;
  }
  std::unique_ptr<LocalFrames> local;
  // Whether the frames decoded so far are in time order, looked at just
  // after each decode (while they are in cache) instead of once at the end.
  size_t checked = 0;
  int64_t last = INT64_MIN;
  bool in_order = true;
  void look() {
    const DT_t* r = sink->records;
    bool ok = true;
    int64_t prev = last;
    for (size_t i = checked; i < sink->record_count; ++i) {
      ok &= r[i].timestamp >= prev;
      prev = r[i].timestamp;
    }
    in_order = in_order && ok;
    last = prev;
    checked = sink->record_count;
  }
};

Reader::Reader(RandomSource& src, ReadOptions options)
    : src_(src), options_(options), blocks_(src) {}

void Reader::open() {
  id_ = blocks_.read_id();
  header_ = blocks_.read_header();
  groups_ = read_groups(blocks_, header_.dg_first);
}

namespace {
std::string num(uint64_t v) { return std::to_string(v); }
}  // namespace

void Reader::bad_records(const CanLayout& l, size_t bad) {
  if (!bad) return;
  const std::string what = "(DataBytes of the channel group at byte offset " + num(l.group) +
                           ") points outside its signal data in " + num(bad) +
                           (bad == 1 ? " record" : " records");
  if (!options_.skip) throw Mf4Error("CN", l.data.channel, what);
  notices_.push_back("left out the records whose data cannot be found: " +
                     Mf4Error::describe("CN", l.data.channel, what));
}

void Reader::signal_data(const DataGroup& dg, const CanLayout& l, ByteBuffer& out) {
  (void)dg;
  if (!l.data.source) return;
  const Listing list =
      list_data(blocks_, l.data.source, "SD", where("CN", l.data.channel), false, options_.skip);
  load_pieces(src_, list.pieces, options_.threads,
              [&](size_t i, const uint8_t* bytes, size_t size, const std::string* damage) {
                if (damage) {
                  if (!options_.skip) throw Mf4Error(*damage);
                  notices_.push_back("skipped the " + list.pieces[i].id + " block at byte offset " +
                                     num(list.pieces[i].block) +
                                     " and the rest of the signal data of the channel at byte "
                                     "offset " +
                                     num(l.data.channel) + ": " + *damage);
                  return false;
                }
                std::memcpy(out.reserve_more(size), bytes, size);
                out.commit(size);
                return true;
              });
}

namespace {

// The records of every group of one bus appended to `out` in time order,
// ties in group order (then record order).
template <class Target, class Record>
void gather(std::vector<std::unique_ptr<Target>>& targets, buses::RecordColumn<Record>* out,
            std::unique_ptr<buses::RecordColumn<Record>> Target::*member) {
  std::vector<buses::RecordColumn<Record>*> cols;
  for (auto& t : targets)
    if (auto& col = (*t).*member) cols.push_back(col.get());
  if (cols.size() == 1 && out->count() == 0) {
    // One group in time order (a logger's usual file): taken over as it is.
    const Record* r = cols[0]->data();
    bool sorted = true;
    for (size_t i = 1; i < cols[0]->count() && sorted; ++i)
      sorted = r[i - 1].timestamp <= r[i].timestamp;
    if (sorted) {
      *out = std::move(*cols[0]);
      return;
    }
  }
  buses::RecordColumn<Record> all;
  for (auto& t : targets)
    if (auto& col = (*t).*member) {
      all.append(*col);
      col.reset();
    }
  const size_t n = all.count();
  const Record* r = all.data();
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(),
                   [r](size_t a, size_t b) { return r[a].timestamp < r[b].timestamp; });
  for (size_t i : order) {
    Record* slot = out->slot();
    *slot = r[i];
    const buses::Payload p{all.payload.data() + loc_offset(r[i].loc), loc_count(r[i].loc)};
    out->commit(r[i].timestamp, p);
  }
}

}  // namespace

void Reader::read(FrameSink& sink, int64_t start_ns, const BusColumns& buses) {
  std::vector<std::unique_ptr<Target>> targets;
  size_t can_targets = 0;
  for (const DataGroup& dg : groups_)
    for (const ChannelGroup& cg : dg.groups) {
      const FrameKind k = group_kind(cg);
      if (k == FrameKind::OtherBus) {
        const BusKind b = bus_kind(cg);
        if ((is_lin(b) && buses.lin) || (b == BusKind::EthFrame && buses.ethernet)) {
          auto t = std::make_unique<Target>();
          t->group = &cg;
          t->bus = bus_layout(blocks_, cg, b, t->layout);
          if (is_lin(b)) {
            t->lin = std::make_unique<buses::RecordColumn<buses::LinRecord>>();
            ++counts_.lin_groups;
          } else {
            t->ethernet = std::make_unique<buses::RecordColumn<buses::EthernetRecord>>();
            ++counts_.ethernet_groups;
          }
          targets.push_back(std::move(t));
          continue;
        }
        if (b != BusKind::None && options_.buses) continue;
        ++counts_.other_bus_groups;
        counts_.other_bus_names.push_back(
            cg.acq_name.empty() && !cg.channels.empty() ? cg.channels.back().name : cg.acq_name);
      }
      if (k != FrameKind::Data && k != FrameKind::Remote && k != FrameKind::Error) continue;
      if (!options_.can) continue;
      auto t = std::make_unique<Target>();
      t->group = &cg;
      t->layout = can_layout(blocks_, cg, k);
      targets.push_back(std::move(t));
      ++can_targets;
    }
  counts_.can_groups = can_targets;
  const bool direct = can_targets == 1;
  Target* only = nullptr;
  for (auto& t : targets) {
    if (t->bus.kind != BusKind::None) continue;
    if (direct) {
      t->sink = &sink;
      only = t.get();
    } else {
      t->local = std::make_unique<LocalFrames>();
      t->sink = t->local.get();
    }
  }
  const size_t before = sink.record_count;
  if (direct) only->checked = before;
  for (const DataGroup& dg : groups_) {
    std::vector<Target*> here;
    for (auto& t : targets)
      for (const ChannelGroup& cg : dg.groups)
        if (t->group == &cg) here.push_back(t.get());
    if (here.empty()) continue;
    ++counts_.data_groups;
    if (dg.rec_id_size == 0) {
      if (dg.groups.size() != 1)
        throw Mf4Error("DG", dg.offset,
                       "holds " + num(dg.groups.size()) +
                           " channel groups but declares no record ids to tell them apart");
      read_sorted(dg, *here[0], start_ns);
    } else {
      read_unsorted(dg, here, start_ns);
    }
  }
  if (buses.lin) gather(targets, buses.lin, &Target::lin);
  if (buses.ethernet) gather(targets, buses.ethernet, &Target::ethernet);
  if (direct) {
    if (!only->in_order) sort_frames(sink, before);
    return;
  }
  std::vector<LocalFrames*> parts;
  for (auto& t : targets) {
    if (t->bus.kind != BusKind::None) continue;
    if (!t->in_order) sort_frames(*t->local, 0);
    parts.push_back(t->local.get());
  }
  merge_frames(parts, sink);
}

void Reader::read_sorted(const DataGroup& dg, Target& t, int64_t start_ns) {
  const CanLayout& l = t.layout;
  const size_t rs = static_cast<size_t>(l.record_size);
  if (rs == 0) throw Mf4Error("CG", l.group, "declares records of 0 bytes");
  ByteBuffer sd_buf;
  if (l.data.mode == DataField::Vlsd) signal_data(dg, l, sd_buf);
  const SignalData sd{sd_buf.data(), sd_buf.size()};
  // A finished file says how many records there are; a logger's unfinished
  // one counts none of them.
  const uint64_t limit = id_.unfinalized ? UINT64_MAX : t.group->cycle_count;
  const bool open_last =
      id_.unfinalized && (id_.unfin_flags == 0 || (id_.unfin_flags & UNFIN_LAST_DT));
  const Listing list =
      list_data(blocks_, dg.data, "DT", where("DG", dg.offset), open_last, options_.skip);
  const auto& pieces = list.pieces;
  ByteBuffer carry;
  uint64_t index = 0;
  size_t bad = 0;
  bool resync = false;
  auto decode = [&](const uint8_t* recs, uint64_t m) {
    bad += t.decode(recs, static_cast<size_t>(m), index, start_ns, sd);
    index += m;
  };
  if (limit)
    load_pieces(
        src_, pieces, options_.threads,
        [&](size_t i, const uint8_t* bytes, size_t size, const std::string* damage) {
          const Piece& p = pieces[i];
          if (damage) {
            if (!options_.skip) throw Mf4Error(*damage);
            carry.clear();
            const bool more = i + 1 < pieces.size() && pieces[i + 1].logical != UNKNOWN;
            notices_.push_back("skipped the " + p.id + " block at byte offset " + num(p.block) +
                               " of the data group at byte offset " + num(dg.offset) +
                               (more ? "" : " and the rest of its records") + ": " + *damage);
            resync = true;
            return more;
          }
          const uint8_t* b = bytes;
          size_t left = size;
          if (resync) {
            // After a hole: the first whole record of this piece.
            if (p.logical == UNKNOWN) return false;
            const uint64_t boundary = (p.logical + rs - 1) / rs * rs;
            const uint64_t skip = boundary - p.logical;
            if (skip >= left) return true;
            resync = false;
            b += skip;
            left -= static_cast<size_t>(skip);
            index = boundary / rs;
          }
          if (carry.size()) {
            const size_t take = std::min(rs - carry.size(), left);
            std::memcpy(carry.reserve_more(take), b, take);
            carry.commit(take);
            b += take;
            left -= take;
            if (carry.size() < rs) return true;
            decode(carry.data(), 1);
            carry.clear();
          }
          const uint64_t m = std::min<uint64_t>(left / rs, limit - std::min(limit, index));
          if (m) decode(b, m);
          b += m * rs;
          left -= static_cast<size_t>(m * rs);
          if (index >= limit) return false;
          if (left) {
            std::memcpy(carry.reserve_more(left), b, left);
            carry.commit(left);
          }
          return true;
        });
  bad_records(l, bad);
}

namespace {

// What records of each id are to an unsorted group's walk.
struct Slot {
  enum Kind : uint8_t { Skip, Can, Vlsd } kind = Skip;
  bool variable = false;  // a VLSD group: uint32 length, then the bytes
  uint64_t size = 0;      // bytes after the id (fixed records)
  size_t out = 0;         // the target (Can) or the VLSD group (Vlsd)
};

// A record id of `n` bytes (1, 2, 4 or 8), little-endian.
template <size_t N>
uint64_t record_id(const uint8_t* p) {
  if constexpr (N == 1) {
    return p[0];
  } else {
    uint64_t v = 0;
    std::memcpy(&v, p, N);
    return v;
  }
}

}  // namespace

// An unsorted group piece by piece: a walk over the piece's records notes
// where each CAN record lies and appends VLSD entries to their signal
// data; then the CAN records are decoded from where they lie. A record
// whose VLSD data has not come yet (a logger writes the entry after its
// record) waits, copied, with the records of its group after it, for the
// pieces that follow. With threads, a worker decodes piece i while this
// thread walks piece i + 1: the walk fills `here`, the decode takes
// `ready`, and signal data only grows past what the decode was shown, in
// room reserved up front (the walk waits for the decode when it is not).
void Reader::read_unsorted(const DataGroup& dg, std::vector<Target*>& targets, int64_t start_ns) {
  const size_t idsz = dg.rec_id_size;  // 1, 2, 4 or 8 (read_groups checks)
  std::vector<Slot> slots(dg.groups.size());
  std::vector<std::unique_ptr<ByteBuffer>> vlsd(dg.groups.size());
  std::vector<int> vlsd_of(targets.size(), -1);
  std::unordered_map<uint64_t, Slot*> by_id;
  // Ids below 4096 by table: loggers number their groups 1, 2, 3, ...
  std::vector<Slot*> small(4096, nullptr);
  for (size_t j = 0; j < dg.groups.size(); ++j) {
    const ChannelGroup& cg = dg.groups[j];
    Slot& s = slots[j];
    s.variable = cg.vlsd();
    s.size = cg.record_size();
    if (by_id.count(cg.record_id))
      throw Mf4Error("CG", cg.offset,
                     "declares record id " + num(cg.record_id) +
                         ", which another channel group of its data group has");
    by_id[cg.record_id] = &s;
    if (cg.record_id < small.size()) small[cg.record_id] = &s;
    for (size_t k = 0; k < targets.size(); ++k) {
      if (targets[k]->group == &cg) {
        if (cg.record_size() == 0) throw Mf4Error("CG", cg.offset, "declares records of 0 bytes");
        s.kind = Slot::Can;
        s.out = k;
      }
      const DataField& d = targets[k]->layout.data;
      if (d.mode == DataField::Vlsd && d.source == cg.offset && cg.vlsd()) {
        if (!vlsd[j]) vlsd[j] = std::make_unique<ByteBuffer>();
        s.kind = Slot::Vlsd;
        s.out = j;
        vlsd_of[k] = static_cast<int>(j);
      }
    }
  }
  const bool lookup_small = std::all_of(dg.groups.begin(), dg.groups.end(),
                                        [&](const ChannelGroup& c) { return c.record_id < 4096; });
  // What each target decodes from: its signal data (VLSD entries as they
  // come, or SD blocks read whole first), its records of this piece, those
  // still waiting, and how many it has decoded.
  struct Out {
    SignalData sd;
    bool growing = false;  // sd grows as the walk goes
    ByteBuffer sd_blocks;
    std::vector<const uint8_t*> here, ready;
    ByteBuffer waiting;
    uint64_t decoded = 0;
    size_t bad = 0;
  };
  std::vector<Out> outs(targets.size());
  for (size_t k = 0; k < targets.size(); ++k) {
    const CanLayout& l = targets[k]->layout;
    if (l.data.mode != DataField::Vlsd) continue;
    if (vlsd_of[k] >= 0) {
      outs[k].growing = true;
    } else {
      signal_data(dg, l, outs[k].sd_blocks);
      outs[k].sd = {outs[k].sd_blocks.data(), outs[k].sd_blocks.size()};
    }
  }
  auto refresh_sd = [&](size_t k) {
    if (!outs[k].growing) return;
    const ByteBuffer& b = *vlsd[static_cast<size_t>(vlsd_of[k])];
    outs[k].sd = {b.data(), b.size()};
  };
  // Decodes target k's waiting records, then its ready ones; with `last`,
  // whatever is left (records whose data never came are left out).
  auto decode = [&](size_t k, bool last) {
    Out& o = outs[k];
    Target& t = *targets[k];
    const CanLayout& l = t.layout;
    const size_t rs = static_cast<size_t>(l.record_size);
    size_t* stop = o.growing && !last ? new size_t(0) : nullptr;
    std::unique_ptr<size_t> stop_owner(stop);
    if (o.waiting.size()) {
      const size_t m = o.waiting.size() / rs;
      o.bad += t.decode(o.waiting.data(), m, o.decoded, start_ns, o.sd, stop);
      const size_t did = stop ? *stop : m;
      o.decoded += did;
      o.waiting.consume_front(did * rs);
    }
    size_t did = 0;
    if (!o.waiting.size() && !o.ready.empty()) {
      o.bad += t.decode_list(o.ready.data(), o.ready.size(), o.decoded, start_ns, o.sd, stop);
      did = stop ? *stop : o.ready.size();
      o.decoded += did;
    }
    for (size_t i = did; i < o.ready.size(); ++i) {
      std::memcpy(o.waiting.reserve_more(rs), o.ready[i], rs);
      o.waiting.commit(rs);
    }
    o.ready.clear();
  };
  const bool open_last =
      id_.unfinalized && (id_.unfin_flags == 0 || (id_.unfin_flags & UNFIN_LAST_DT));
  const Listing list =
      list_data(blocks_, dg.data, "DT", where("DG", dg.offset), open_last, options_.skip);
  const auto& pieces = list.pieces;
  {
    // Room for the signal data at once, as far as the group's bytes go
    // (and the file justifies: compressed blocks past that grow it).
    uint64_t bytes = 0;
    for (const Piece& p : pieces)
      if (p.size != UNKNOWN) bytes += p.size;
    bytes = std::min(bytes, blocks_.file_size() * 8 + (uint64_t(1) << 20));
    for (auto& b : vlsd)
      if (b) b->reserve_more(static_cast<size_t>(bytes));
  }
  ByteBuffer pending;      // a record begun in the pieces before
  ByteBuffer straddle[2];  // ... once whole, when it is a CAN record (by piece parity)
  uint64_t consumed = 0;   // bytes of the group's records walked
  // Notes a whole record (`len` bytes from its id at `p`).
  // `end`: how far the bytes at `p` may be read.
  auto note = [&](const uint8_t* p, const Slot& s, uint64_t len, const uint8_t* end)
      __attribute__((always_inline)) {
    if (s.kind == Slot::Can) {
      outs[s.out].here.push_back(p + idsz);
    } else if (s.kind == Slot::Vlsd) {
      const size_t n = static_cast<size_t>(len - idsz);
      ByteBuffer& b = *vlsd[s.out];
      if (n <= 16 && end - (p + idsz) >= 16) {
        // A frame's few bytes: one fixed-size copy instead of a call.
        std::memcpy(b.reserve_more(16), p + idsz, 16);
      } else {
        std::memcpy(b.reserve_more(n), p + idsz, n);
      }
      b.commit(n);
    }
  };
  auto unknown = [&](const Piece& p, uint64_t id, uint64_t at) {
    if (id_.unfinalized) return false;  // what an unfinished file holds past its records
    const std::string what = "holds record id " + num(id) + " (at offset " + num(at) +
                             " of its data group's records), which names none of the channel "
                             "groups of the " +
                             where("DG", dg.offset);
    if (!options_.skip) throw Mf4Error(p.id, p.block, what);
    notices_.push_back("skipped the rest of the data group at byte offset " + num(dg.offset) +
                       ": " + Mf4Error::describe(p.id, p.block, what));
    return false;
  };
  // The walk over one piece from `pos`: returns where it stopped (n, or
  // the start of a record the piece holds only part of); `bad_id` is set
  // when a record's id names no group.
  auto walk = [&](auto id_bytes, const uint8_t* bytes, size_t n, size_t pos, bool& bad_id,
                  uint64_t& id) {
    const size_t from = pos;
    const bool by_table = lookup_small;
    Slot* const* table = small.data();
    while (pos < n) {
      const uint8_t* p = bytes + pos;
      const size_t avail = n - pos;
      if (avail < idsz) break;
      id = record_id<decltype(id_bytes)::value>(p);
      Slot* s;
      if (by_table) {
        s = id < 4096 ? table[static_cast<size_t>(id)] : nullptr;
      } else {
        auto it = by_id.find(id);
        s = it == by_id.end() ? nullptr : it->second;
      }
      if (!s) {
        bad_id = true;
        break;
      }
      uint64_t len;
      if (s->variable) {
        if (avail < idsz + 4) break;
        len = idsz + 4 + uint64_t(u32le(p + idsz));
      } else {
        len = idsz + s->size;
      }
      if (len > avail) break;
      note(p, *s, len, bytes + n);
      pos += static_cast<size_t>(len);
    }
    consumed += pos - from;
    return pos;
  };
  // The length of the record whose first bytes are in `pending`: 0 while
  // its head is not all there; `slot` null for an id of no group.
  auto measure = [&](Slot*& slot, uint64_t& id) -> uint64_t {
    const uint8_t* p = pending.data();
    slot = nullptr;
    if (pending.size() < idsz) return 0;
    id = 0;
    std::memcpy(&id, p, idsz);
    if (auto it = by_id.find(id); it != by_id.end()) slot = it->second;
    if (!slot) return 0;
    if (!slot->variable) return idsz + slot->size;
    if (pending.size() < idsz + 4) return 0;
    return idsz + 4 + uint64_t(u32le(p + idsz));
  };
  const bool overlap = options_.threads > 1 && pieces.size() > 1;
  std::future<void> job;
  std::exception_ptr job_error;
  auto settle = [&] {
    if (job.valid()) job.get();
    if (job_error) std::rethrow_exception(std::exchange(job_error, nullptr));
  };
  // After a piece (or at the end): every target decodes what it can, on a
  // worker unless `last`.
  auto decode_all = [&](bool last) {
    settle();
    for (size_t k = 0; k < targets.size(); ++k) {
      std::swap(outs[k].ready, outs[k].here);
      refresh_sd(k);
    }
    if (!overlap || last) {
      for (size_t k = 0; k < targets.size(); ++k) decode(k, last);
      return;
    }
    job = shared_pool(options_.threads - 1)
              .submit(
                  [&] {
                    try {
                      for (size_t k = 0; k < targets.size(); ++k) decode(k, false);
                    } catch (...) {
                      job_error = std::current_exception();
                    }
                  },
                  true);
  };
  // Room the walk over `n` more bytes may append to signal data without
  // moving it under a decode.
  auto make_room = [&](size_t n) {
    for (auto& b : vlsd)
      if (b && b->capacity() - b->size() < n + 64) {
        settle();
        return;
      }
  };
  load_pieces(
      src_, pieces, options_.threads,
      [&](size_t i, const uint8_t* bytes, size_t n, const std::string* damage) {
        const Piece& p = pieces[i];
        if (damage) {
          if (!options_.skip) throw Mf4Error(*damage);
          // Records are not aligned to blocks: nothing after a hole can be found.
          notices_.push_back("skipped the " + p.id + " block at byte offset " + num(p.block) +
                             " and the rest of the data group at byte "
                             "offset " +
                             num(dg.offset) + ": " + *damage);
          return false;
        }
        if (overlap) make_room(n + pending.size());
        size_t pos = 0;
        while (pending.size() && pos < n) {
          Slot* slot = nullptr;
          uint64_t id = 0;
          const uint64_t len = measure(slot, id);
          if (!slot && pending.size() >= idsz) return unknown(p, id, consumed);
          const size_t want = len == 0 ? 1 : static_cast<size_t>(len - pending.size());
          const size_t take = std::min(want, n - pos);
          std::memcpy(pending.reserve_more(take), bytes + pos, take);
          pending.commit(take);
          pos += take;
          if (len && pending.size() == len) {
            if (slot->kind == Slot::Can) {
              // A copy of its own, kept until this piece is decoded.
              ByteBuffer& copy = straddle[i % 2];
              copy.clear();
              std::memcpy(copy.reserve_more(len), pending.data(), len);
              copy.commit(len);
              note(copy.data(), *slot, len, copy.data() + len);
            } else {
              note(pending.data(), *slot, len, pending.data() + len);
            }
            consumed += len;
            pending.clear();
          }
        }
        bool bad_id = false;
        uint64_t id = 0;
        switch (idsz) {
          case 1:
            pos = walk(std::integral_constant<size_t, 1>(), bytes, n, pos, bad_id, id);
            break;
          case 2:
            pos = walk(std::integral_constant<size_t, 2>(), bytes, n, pos, bad_id, id);
            break;
          case 4:
            pos = walk(std::integral_constant<size_t, 4>(), bytes, n, pos, bad_id, id);
            break;
          default:
            pos = walk(std::integral_constant<size_t, 8>(), bytes, n, pos, bad_id, id);
        }
        decode_all(false);
        if (bad_id) return unknown(p, id, consumed);
        if (pos < n) {
          std::memcpy(pending.reserve_more(n - pos), bytes + pos, n - pos);
          pending.commit(n - pos);
        }
        return true;
      },
      overlap ? std::function<void()>(settle) : std::function<void()>());
  decode_all(true);
  for (size_t k = 0; k < targets.size(); ++k) bad_records(targets[k]->layout, outs[k].bad);
}

void sort_frames(FrameSink& sink, size_t from) {
  const size_t n = sink.record_count - from;
  const DT_t* r = sink.records + from;
  bool sorted = true;
  for (size_t i = 1; i < n && sorted; ++i) sorted = r[i - 1].timestamp <= r[i].timestamp;
  if (sorted) return;
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(),
                   [r](size_t a, size_t b) { return r[a].timestamp < r[b].timestamp; });
  const uint64_t p0 = loc_offset(r[0].loc);
  std::vector<DT_t> recs(r, r + n);
  std::vector<uint8_t> pay(sink.payload + p0, sink.payload + sink.payload_size);
  uint64_t at = p0;
  for (size_t i = 0; i < n; ++i) {
    DT_t f = recs[order[i]];
    const uint64_t c = loc_count(f.loc);
    if (c) std::memcpy(sink.payload + at, pay.data() + (loc_offset(f.loc) - p0), c);
    f.loc = make_loc(at, c);
    at += c;
    sink.records[from + i] = f;
  }
}

void merge_frames(const std::vector<LocalFrames*>& parts, FrameSink& sink) {
  size_t records = 0, bytes = 0;
  for (const LocalFrames* p : parts) {
    records += p->record_count;
    bytes += p->payload_size;
  }
  if (sink.record_count + records > sink.record_capacity ||
      sink.payload_size + bytes > sink.payload_capacity)
    sink.grow(sink.record_count + records, sink.payload_size + bytes);
  using Head = std::pair<int64_t, size_t>;  // time, part: ties go to the earlier part
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  std::vector<size_t> next(parts.size(), 0);
  for (size_t k = 0; k < parts.size(); ++k)
    if (parts[k]->record_count) heads.push({parts[k]->records[0].timestamp, k});
  DT_t* out = sink.records + sink.record_count;
  uint64_t at = sink.payload_size;
  while (!heads.empty()) {
    const size_t k = heads.top().second;
    heads.pop();
    const LocalFrames& p = *parts[k];
    // Every frame of this part up to the next part's time goes at once.
    const int64_t until = heads.empty() ? INT64_MAX : heads.top().first;
    const size_t later = heads.empty() ? SIZE_MAX : heads.top().second;
    size_t i = next[k];
    do {
      DT_t f = p.records[i];
      const uint64_t c = loc_count(f.loc);
      if (c) std::memcpy(sink.payload + at, p.payload + loc_offset(f.loc), c);
      f.loc = make_loc(at, c);
      at += c;
      *out++ = f;
      ++i;
    } while (i < p.record_count &&
             (p.records[i].timestamp < until || (p.records[i].timestamp == until && k < later)));
    next[k] = i;
    if (i < p.record_count) heads.push({p.records[i].timestamp, k});
  }
  sink.record_count = static_cast<size_t>(out - sink.records);
  sink.payload_size = static_cast<size_t>(at);
}

}  // namespace korvel::mf4

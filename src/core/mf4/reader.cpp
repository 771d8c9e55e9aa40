#include "mf4/reader.hpp"

#include <algorithm>
#include <numeric>
#include <queue>
#include <unordered_map>

#include "mf4/datalist.hpp"

namespace korvel::mf4 {

struct Reader::Target {
  const ChannelGroup* group = nullptr;
  CanLayout layout;
  FrameSink* sink = nullptr;
  std::unique_ptr<LocalFrames> local;
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

void Reader::read(FrameSink& sink, int64_t start_ns) {
  std::vector<std::unique_ptr<Target>> targets;
  for (const DataGroup& dg : groups_)
    for (const ChannelGroup& cg : dg.groups) {
      const FrameKind k = group_kind(cg);
      if (k == FrameKind::OtherBus) {
        ++counts_.other_bus_groups;
        counts_.other_bus_names.push_back(
            cg.acq_name.empty() && !cg.channels.empty() ? cg.channels.back().name : cg.acq_name);
      }
      if (k != FrameKind::Data && k != FrameKind::Remote && k != FrameKind::Error) continue;
      auto t = std::make_unique<Target>();
      t->group = &cg;
      t->layout = can_layout(blocks_, cg, k);
      targets.push_back(std::move(t));
    }
  counts_.can_groups = targets.size();
  const bool direct = targets.size() == 1;
  for (auto& t : targets) {
    if (direct) {
      t->sink = &sink;
    } else {
      t->local = std::make_unique<LocalFrames>();
      t->sink = t->local.get();
    }
  }
  const size_t before = sink.record_count;
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
  if (direct) {
    sort_frames(sink, before);
    return;
  }
  std::vector<LocalFrames*> parts;
  for (auto& t : targets) {
    sort_frames(*t->local, 0);
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
    bad += decode_records(l, recs, static_cast<size_t>(m), index, start_ns, sd, *t.sink);
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

// Where records of each id go while an unsorted group is split.
struct Slot {
  enum Kind : uint8_t { Skip, Can, Vlsd } kind = Skip;
  bool variable = false;  // a VLSD group: uint32 length, then the bytes
  uint64_t size = 0;      // bytes after the id (fixed records)
  ByteBuffer* out = nullptr;
};

}  // namespace

void Reader::read_unsorted(const DataGroup& dg, std::vector<Target*>& targets, int64_t start_ns) {
  const size_t idsz = dg.rec_id_size;
  std::vector<Slot> slots(dg.groups.size());
  std::vector<ByteBuffer> recs(targets.size());
  std::vector<std::unique_ptr<ByteBuffer>> vlsd(dg.groups.size());
  std::vector<int> vlsd_of(targets.size(), -1);
  std::unordered_map<uint64_t, Slot*> by_id;
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
        s.out = &recs[k];
      }
      const DataField& d = targets[k]->layout.data;
      if (d.mode == DataField::Vlsd && d.source == cg.offset && cg.vlsd()) {
        if (!vlsd[j]) vlsd[j] = std::make_unique<ByteBuffer>();
        s.kind = Slot::Vlsd;
        s.out = vlsd[j].get();
        vlsd_of[k] = static_cast<int>(j);
      }
    }
  }
  const bool lookup_small = std::all_of(dg.groups.begin(), dg.groups.end(),
                                        [&](const ChannelGroup& c) { return c.record_id < 4096; });
  auto find = [&](uint64_t id) -> Slot* {
    if (lookup_small) return id < small.size() ? small[id] : nullptr;
    auto it = by_id.find(id);
    return it == by_id.end() ? nullptr : it->second;
  };
  // 1: a whole record of `len` bytes; 0: its head is not all there; -1: an id of no group.
  auto measure = [&](const uint8_t* p, size_t avail, Slot*& slot, uint64_t& len, uint64_t& id) {
    if (avail < idsz) return 0;
    id = 0;
    std::memcpy(&id, p, idsz);
    slot = find(id);
    if (!slot) return -1;
    if (slot->variable) {
      if (avail < idsz + 4) return 0;
      len = idsz + 4 + uint64_t(u32le(p + idsz));
    } else {
      len = idsz + slot->size;
    }
    return 1;
  };
  auto keep = [&](const uint8_t* p, const Slot* slot, uint64_t len) {
    if (slot->kind == Slot::Skip) return;
    const size_t n = static_cast<size_t>(len - idsz);
    std::memcpy(slot->out->reserve_more(n), p + idsz, n);
    slot->out->commit(n);
  };
  const bool open_last =
      id_.unfinalized && (id_.unfin_flags == 0 || (id_.unfin_flags & UNFIN_LAST_DT));
  const Listing list =
      list_data(blocks_, dg.data, "DT", where("DG", dg.offset), open_last, options_.skip);
  const auto& pieces = list.pieces;
  ByteBuffer pending;
  uint64_t consumed = 0;  // bytes of the group's records walked
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
  load_pieces(src_, pieces, options_.threads,
              [&](size_t i, const uint8_t* bytes, size_t n, const std::string* damage) {
                const Piece& p = pieces[i];
                if (damage) {
                  if (!options_.skip) throw Mf4Error(*damage);
                  // Records are not aligned to blocks: nothing after a hole can be found.
                  notices_.push_back("skipped the " + p.id + " block at byte offset " +
                                     num(p.block) +
                                     " and the rest of the data group at byte "
                                     "offset " +
                                     num(dg.offset) + ": " + *damage);
                  return false;
                }
                size_t pos = 0;
                Slot* slot = nullptr;
                uint64_t len = 0, id = 0;
                while (pending.size() && pos < n) {
                  const int r = measure(pending.data(), pending.size(), slot, len, id);
                  if (r < 0) return unknown(p, id, consumed);
                  const size_t want = r == 0 ? 1 : static_cast<size_t>(len - pending.size());
                  const size_t take = std::min(want, n - pos);
                  std::memcpy(pending.reserve_more(take), bytes + pos, take);
                  pending.commit(take);
                  pos += take;
                  if (r == 1 && pending.size() == len) {
                    keep(pending.data(), slot, len);
                    consumed += len;
                    pending.clear();
                  }
                }
                while (pos < n) {
                  const int r = measure(bytes + pos, n - pos, slot, len, id);
                  if (r < 0) return unknown(p, id, consumed);
                  if (r == 0 || len > n - pos) {
                    std::memcpy(pending.reserve_more(n - pos), bytes + pos, n - pos);
                    pending.commit(n - pos);
                    break;
                  }
                  keep(bytes + pos, slot, len);
                  consumed += len;
                  pos += static_cast<size_t>(len);
                }
                return true;
              });
  for (size_t k = 0; k < targets.size(); ++k) {
    Target& t = *targets[k];
    const CanLayout& l = t.layout;
    ByteBuffer sd_buf;
    SignalData sd;
    if (l.data.mode == DataField::Vlsd) {
      if (vlsd_of[k] >= 0) {
        const ByteBuffer& b = *vlsd[static_cast<size_t>(vlsd_of[k])];
        sd = {b.data(), b.size()};
      } else {
        signal_data(dg, l, sd_buf);
        sd = {sd_buf.data(), sd_buf.size()};
      }
    }
    const size_t rs = static_cast<size_t>(l.record_size);
    bad_records(l,
                decode_records(l, recs[k].data(), recs[k].size() / rs, 0, start_ns, sd, *t.sink));
  }
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

#include "blf/stitch.hpp"

#include <algorithm>
#include <cstring>

#include "blf/format.hpp"

namespace korvel {

using namespace blf;

namespace {

void append_versions(ScanResult& to, const ScanResult& from) {
  to.unknown_versions.insert(to.unknown_versions.end(), from.unknown_versions.begin(),
                             from.unknown_versions.end());
  to.wide.merge(from.wide);
}

// Bytes kept after a resynchronisation found no object yet: from a header
// that the next container's data may confirm, up to this many.
constexpr size_t UNDECIDED_KEEP = size_t(64) << 10;

// A fault of `from`, whose offsets count from `shift` in the region.
void take_fault(ScanResult& to, const ScanResult& from, size_t shift) {
  to.status = from.status;
  to.offset = from.offset + shift;
  to.object_size = from.object_size;
  to.object_type = from.object_type;
  to.required = from.required;
}

}  // namespace

void scan_ahead(const InnerScanner& scanner, const uint8_t* data, size_t len, AheadScan& out) {
  scanner.take_objects(out.frames);
  out.reset();
  out.start = plausible_start(data, len);
  if (out.start == NO_OBJECT) return;
  out.result = scanner.scan(data + out.start, len - out.start, out.frames);
}

void OrderedScan::keep_tail(const uint8_t* region, size_t len, size_t consumed, bool in_tail) {
  // Zero padding after the last object: 8 bytes of it behave as any longer
  // run (dropped at the end of the log, a fault before an object), so a run
  // of zero containers cannot grow the tail.
  if (len - consumed > 8 && all_zero(region + consumed, len - consumed)) consumed = len - 8;
  if (in_tail) {
    tail_.consume_front(consumed);
    trim_pieces(len);
    return;
  }
  tail_.clear();
  const size_t rest = len - consumed;
  if (rest) {
    std::memcpy(tail_.reserve_more(rest), region + consumed, rest);
    tail_.commit(rest);
  }
  trim_pieces(len);
}

void OrderedScan::add_piece(size_t pos, size_t len, const DataOrigin& origin) {
  if (len) pieces_.push_back(TailPiece{pos, origin, 0});
}

void OrderedScan::trim_pieces(size_t region_len) {
  // The tail is always the end of the region it was cut from.
  const size_t cut = region_len - tail_.size();
  size_t first = 0;
  while (first + 1 < pieces_.size() && pieces_[first + 1].pos <= cut) ++first;
  if (tail_.size() == 0 || pieces_.empty()) {
    pieces_.clear();
    return;
  }
  pieces_.erase(pieces_.begin(), pieces_.begin() + static_cast<ptrdiff_t>(first));
  if (pieces_[0].pos < cut) pieces_[0].data_offset += cut - pieces_[0].pos;
  pieces_[0].pos = cut;
  for (TailPiece& pc : pieces_) pc.pos -= cut;
}

const uint8_t* OrderedScan::join(uint8_t* data, size_t len, size_t& rlen, bool& in_tail) {
  const size_t carried = tail_.size();
  in_tail = false;
  if (carried <= HEADROOM) {
    uint8_t* start = data - carried;
    if (carried) std::memcpy(start, tail_.data(), carried);
    rlen = carried + len;
    return start;
  }
  // A tail larger than the headroom (an object bigger than it).
  if (len) {
    std::memcpy(tail_.reserve_more(len), data, len);
    tail_.commit(len);
  }
  rlen = tail_.size();
  in_tail = true;
  return tail_.data();
}

size_t OrderedScan::clean_start(const uint8_t* data, size_t len, size_t limit, size_t* undecided) {
  const StartPoint s = start_point(data, len, 0, limit);
  if (undecided) *undecided = s.undecided;
  return s.pos;
}

ScanResult OrderedScan::lead_in_at(const uint8_t* data, size_t len, size_t start,
                                   const std::vector<TailPiece>& pieces, FrameSink* sink) {
  tail_.clear();
  pieces_ = pieces;
  resync_ = false;
  drop_ = 0;
  discard_.clear();
  ScanResult r = scanner_.scan(data + start, len - start, sink ? *sink : discard_);
  discard_.clear();
  if (r.status != ScanStatus::Done) {
    r.offset += start;
    resync();
    return r;
  }
  keep_tail(data, len, start + r.consumed, false);
  if (!sink) drop_carried();
  return r;
}

ScanResult OrderedScan::finish_resync(FrameSink& sink) {
  ScanResult res;
  if (!resync_ || tail_.size() == 0) return res;
  const size_t limit = range_limit_ ? range_limit_ : SIZE_MAX;
  const size_t start = start_point(tail_.data(), tail_.size(), 0, limit, SIZE_MAX, true).pos;
  if (start != NO_OBJECT) {
    res = scanner_.scan(tail_.data() + start, tail_.size() - start, sink, limit - start);
    if (res.status != ScanStatus::Done) res.offset += start;
  }
  resync();
  return res;
}

ScanResult OrderedScan::feed_tail(FrameSink& sink) {
  ScanResult r = scanner_.scan(tail_.data(), tail_.size(), sink);
  if (r.status == ScanStatus::Done) keep_tail(tail_.data(), tail_.size(), r.consumed, true);
  return r;
}

int OrderedScan::carried_time(int64_t& ts) const {
  const size_t start = cut_object_start(tail_.data(), tail_.size());
  if (resync_ || drop_ || start == NO_OBJECT) return 0;
  const size_t n = tail_.size() - start;
  if (n < sizeof(ObjHeaderBase_t)) return 2;
  auto base = load<ObjHeaderBase_t>(tail_.data() + start);
  const uint32_t headers = header_bytes(base.header_version);
  if (!headers) return 0;  // skipped whole: no frame
  if (n < headers) return 2;
  ts = scanner_.timestamp_of(tail_.data() + start);
  return 1;
}

size_t OrderedScan::restart_point(size_t from, size_t limit, size_t stop, bool at_end) const {
  return start_point(tail_.data(), tail_.size(), from, limit, stop, at_end).pos;
}

void OrderedScan::take_at(size_t at, ByteBuffer& bytes, std::vector<TailPiece>& pieces) {
  bytes.clear();
  pieces.clear();
  size_t k = 0;
  while (k + 1 < pieces_.size() && pieces_[k + 1].pos <= at) ++k;
  if (at < tail_.size() && k < pieces_.size()) {
    const size_t len = tail_.size() - at;
    std::memcpy(bytes.reserve_more(len), tail_.data() + at, len);
    bytes.commit(len);
    pieces.assign(pieces_.begin() + static_cast<ptrdiff_t>(k), pieces_.end());
    pieces[0].data_offset += at - pieces[0].pos;
    pieces[0].pos = at;
    for (TailPiece& pc : pieces) pc.pos -= at;
  }
  tail_.clear();
  pieces_.clear();
  resync_ = false;
  drop_ = 0;
}

ScanResult OrderedScan::finish_cut_object_resync(uint8_t* data, size_t len, FrameSink& sink,
                                                 bool& more, const DataOrigin& origin) {
  // No clean object since the last fault: one may still begin in the bytes
  // kept from the end of the range's last container, as the whole walk
  // would find it.
  ScanResult res;
  const size_t carried = tail_.size();
  if (!carried) return res;
  const size_t limit = range_limit_ ? range_limit_ : carried;
  add_piece(carried, len, origin);
  size_t rlen;
  bool in_tail;
  const uint8_t* region = join(data, len, rlen, in_tail);
  size_t undecided = NO_OBJECT;
  const size_t start = clean_start(region, rlen, limit, &undecided);
  if (start == NO_OBJECT) {
    if (undecided != NO_OBJECT && undecided < limit && rlen - undecided <= UNDECIDED_KEEP) {
      // The next container's data may confirm it.
      keep_tail(region, rlen, undecided, in_tail);
      range_limit_ = limit - undecided;
      more = true;
      return res;
    }
    resync();
    return res;
  }
  resync_ = false;
  range_limit_ = 0;
  // Every object that begins in the range's bytes (more than one when bytes
  // were kept for a header that this data confirmed).
  res = scanner_.scan(region + start, rlen - start, sink, limit - start);
  if (res.status != ScanStatus::Done) {
    res.offset += start;
    return res;
  }
  res.consumed += start;
  size_t next = next_object(region, rlen, res.consumed);
  if (next == NO_OBJECT) {
    next = cut_object_start(region + res.consumed, rlen - res.consumed);
    if (next != NO_OBJECT) next += res.consumed;
  }
  keep_tail(region, rlen, res.consumed, in_tail);
  more = next != NO_OBJECT && next < limit;
  return res;
}

bool OrderedScan::cut_object() const {
  if (resync_) return tail_.size() != 0;
  return drop_ == 0 && cut_object_start(tail_.data(), tail_.size()) != NO_OBJECT;
}

ScanResult OrderedScan::feed(uint8_t* data, size_t len, const AheadScan* ahead, FrameSink& sink,
                             const DataOrigin& origin) {
  add_piece(tail_.size(), len, origin);
  return feed_data(data, len, ahead, sink);
}

ScanResult OrderedScan::feed_data(uint8_t* data, size_t len, const AheadScan* ahead,
                                  FrameSink& sink) {
  const size_t carried = tail_.size();
  size_t rlen;
  bool in_tail;
  const uint8_t* region = join(data, len, rlen, in_tail);

  ScanResult res;
  size_t pos = 0;
  if (resync_) {
    size_t undecided = NO_OBJECT;
    pos = clean_start(region, rlen, SIZE_MAX, &undecided);
    if (pos == NO_OBJECT) {
      // No object is known to begin here. The next container's data may
      // confirm an object that runs past this one's end; else the last bytes
      // may begin a header that it completes.
      size_t keep = std::min(rlen, sizeof(blf::ObjHeaderBase_t) - 1);
      if (undecided != NO_OBJECT && rlen - undecided <= UNDECIDED_KEEP) keep = rlen - undecided;
      res.consumed = rlen - keep;
      keep_tail(region, rlen, res.consumed, in_tail);
      return res;
    }
    resync_ = false;
    ahead = nullptr;
  } else if (drop_) {
    ScanResult head;
    const bool unfinished = skip_unwanted(region, rlen, head);
    append_versions(res, head);
    if (head.status != ScanStatus::Done) {
      take_fault(res, head, 0);
      return res;
    }
    pos = head.consumed;
    ahead = nullptr;
    if (unfinished) {  // nothing after it is here yet
      res.consumed = pos;
      keep_tail(region, rlen, pos, in_tail);
      return res;
    }
  }
  if (ahead && ahead->start != NO_OBJECT) {
    // Up to the first object that starts inside this container.
    ScanResult head = scanner_.scan(region, rlen, sink, carried);
    append_versions(res, head);
    if (head.status != ScanStatus::Done) {
      take_fault(res, head, 0);
      return res;
    }
    pos = head.consumed;
    if (next_object(region, rlen, pos) == carried + ahead->start) {
      sink.append(ahead->frames);
      append_versions(res, ahead->result);
      const size_t shift = carried + ahead->start;
      if (ahead->result.status != ScanStatus::Done) {
        take_fault(res, ahead->result, shift);
        return res;
      }
      // An in-order walk that takes no object here stays where it stood,
      // before any padding in front of the next header.
      res.consumed = ahead->result.consumed ? shift + ahead->result.consumed : pos;
      keep_tail(region, rlen, res.consumed, in_tail);
      return res;
    }
  }
  // In order from `pos`.
  ScanResult rest = scanner_.scan(region + pos, rlen - pos, sink);
  append_versions(res, rest);
  if (rest.status != ScanStatus::Done) {
    take_fault(res, rest, pos);
    return res;
  }
  res.consumed = pos + rest.consumed;
  keep_tail(region, rlen, res.consumed, in_tail);
  return res;
}

ScanResult OrderedScan::finish_cut_object(uint8_t* data, size_t len, FrameSink& sink, bool& more,
                                          const DataOrigin& origin) {
  more = false;
  ScanResult res;
  if (resync_) return finish_cut_object_resync(data, len, sink, more, origin);
  const size_t start = cut_object_start(tail_.data(), tail_.size());
  if (start == NO_OBJECT) return res;
  add_piece(tail_.size(), len, origin);
  size_t rlen;
  bool in_tail;
  const uint8_t* region = join(data, len, rlen, in_tail);
  res = scanner_.scan(region, rlen, sink, start + 1);
  if (res.status != ScanStatus::Done) return res;
  keep_tail(region, rlen, res.consumed, in_tail);
  more = res.consumed <= start;
  return res;
}

bool OrderedScan::follow_unwanted(uint8_t* data, size_t len, const DataOrigin& origin) {
  if (!drop_) return false;
  add_piece(tail_.size(), len, origin);
  size_t rlen;
  bool in_tail;
  const uint8_t* region = join(data, len, rlen, in_tail);
  ScanResult head;
  const bool unfinished = skip_unwanted(region, rlen, head);
  if (head.status != ScanStatus::Done) {
    resync();
    return false;
  }
  keep_tail(region, rlen, head.consumed, in_tail);
  return unfinished;
}

bool OrderedScan::skip_unwanted(const uint8_t* region, size_t rlen, ScanResult& head) {
  head = scanner_.scan(region, rlen, discard_, drop_);
  discard_.clear();
  if (head.status != ScanStatus::Done) return false;
  const size_t pos = head.consumed;
  size_t next = next_object(region, rlen, pos);
  if (next == NO_OBJECT) {
    next = cut_object_start(region + pos, rlen - pos);
    if (next != NO_OBJECT) next += pos;
  }
  const bool unfinished = next != NO_OBJECT && next < drop_;
  drop_ = unfinished ? drop_ - pos : 0;
  return unfinished;
}

bool OrderedScan::carried_object(CarriedObject& out) const {
  const uint8_t* t = tail_.data();
  const size_t n = tail_.size();
  if (resync_ || n < 4) return false;
  // A whole signature within the padding the walk allows in front of it.
  size_t start = next_object(t, n, 0);
  if (start == NO_OBJECT) return false;
  out = CarriedObject{};
  out.tail_pos = start;
  out.unwanted = start < drop_;
  out.present = n - start;
  out.header_whole = out.present >= sizeof(ObjHeaderBase_t);
  if (out.header_whole) out.declared = load<ObjHeaderBase_t>(t + start).object_size;
  out.next_piece = pieces_.size();
  for (size_t k = 0; k < pieces_.size(); ++k) {
    if (pieces_[k].pos <= start) {
      out.origin = pieces_[k].origin;
      out.data_offset = pieces_[k].data_offset + (start - pieces_[k].pos);
    } else {
      out.next_piece = k;
      break;
    }
  }
  return true;
}

void OrderedScan::take_from(size_t k, ByteBuffer& bytes, std::vector<TailPiece>& pieces) {
  bytes.clear();
  pieces.clear();
  if (k < pieces_.size()) {
    const size_t from = pieces_[k].pos;
    const size_t len = tail_.size() - from;
    std::memcpy(bytes.reserve_more(len), tail_.data() + from, len);
    bytes.commit(len);
    pieces.assign(pieces_.begin() + static_cast<ptrdiff_t>(k), pieces_.end());
    for (TailPiece& pc : pieces) pc.pos -= from;
  }
  resync();
}

}  // namespace korvel

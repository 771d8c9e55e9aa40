#include "stitch.hpp"

#include <algorithm>
#include <cstring>

#include "blf_format.hpp"

namespace korvel {

using namespace blf;

void LocalFrames::grow(size_t min_records, size_t min_payload) {
  if (min_records > record_capacity) {
    size_t cap = std::max<size_t>({min_records, record_capacity * 2, 256});
    std::unique_ptr<DT_t[]> r(new DT_t[cap]);
    if (record_count) std::memcpy(r.get(), records, record_count * sizeof(DT_t));
    records_ = std::move(r);
    records = records_.get();
    record_capacity = cap;
  }
  if (min_payload > payload_capacity) {
    size_t cap = std::max<size_t>({min_payload, payload_capacity * 2, 4096});
    std::unique_ptr<uint8_t[]> p(new uint8_t[cap]);
    if (payload_size) std::memcpy(p.get(), payload, payload_size);
    payload_ = std::move(p);
    payload = payload_.get();
    payload_capacity = cap;
  }
}

namespace {

inline bool is_lobj(const uint8_t* p) { return load<uint32_t>(p) == OBJ_SIGNATURE; }

// First offset holding an object header that the scan would accept.
size_t plausible_start(const uint8_t* data, size_t len) {
  if (len < sizeof(ObjHeaderBase_t)) return NO_START;
  const size_t last = len - sizeof(ObjHeaderBase_t);
  for (size_t i = 0; i <= last;) {
    const void* hit = std::memchr(data + i, 'L', last + 1 - i);
    if (!hit) break;
    i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    if (is_lobj(data + i)) {
      auto base = load<ObjHeaderBase_t>(data + i);
      uint32_t header = base.header_version == 1   ? OBJ_HEADER_V1_TOTAL
                        : base.header_version == 2 ? OBJ_HEADER_V2_TOTAL
                                                   : 0;
      if (header && base.object_size >= min_object_size(base.object_type, header)) return i;
    }
    ++i;
  }
  return NO_START;
}

// Where an in-order walk standing at `pos` takes its next object (the
// signature within the next four bytes), or NO_START.
size_t next_object(const uint8_t* data, size_t len, size_t pos) {
  for (size_t k = 0; k < 4 && pos + k + 4 <= len; ++k)
    if (is_lobj(data + pos + k)) return pos + k;
  return NO_START;
}

void append_versions(ScanResult& to, const ScanResult& from) {
  to.unknown_versions.insert(to.unknown_versions.end(), from.unknown_versions.begin(),
                             from.unknown_versions.end());
}

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
  out.reset();
  out.start = plausible_start(data, len);
  if (out.start == NO_START) return;
  out.result = scanner.scan(data + out.start, len - out.start, out.frames);
}

void copy_frames(const FrameSink& frames, DT_t* out, uint8_t* payload_out, uint64_t rebase) {
  for (size_t i = 0; i < frames.record_count; ++i) {
    DT_t r = frames.records[i];
    r.loc += rebase;  // the offset part; counts sit above bit 48
    out[i] = r;
  }
  if (frames.payload_size) std::memcpy(payload_out, frames.payload, frames.payload_size);
}

void append_frames(const FrameSink& frames, FrameSink& sink) {
  const size_t m = frames.record_count;
  if (m == 0) return;
  if (sink.record_count + m > sink.record_capacity ||
      sink.payload_size + frames.payload_size > sink.payload_capacity)
    sink.grow(sink.record_count + m, sink.payload_size + frames.payload_size);
  copy_frames(frames, sink.records + sink.record_count, sink.payload + sink.payload_size,
              sink.payload_size);
  sink.record_count += m;
  sink.payload_size += frames.payload_size;
}

void FrameSink::append(const FrameSink& frames) { append_frames(frames, *this); }

void OrderedScan::keep_tail(const uint8_t* region, size_t len, size_t consumed, bool in_tail) {
  if (in_tail) {
    tail_.consume_front(consumed);
    return;
  }
  tail_.clear();
  const size_t rest = len - consumed;
  if (rest) {
    std::memcpy(tail_.reserve_more(rest), region + consumed, rest);
    tail_.commit(rest);
  }
}

ScanResult OrderedScan::feed(uint8_t* data, size_t len, const AheadScan* ahead, FrameSink& sink) {
  const size_t carried = tail_.size();
  const uint8_t* region;
  size_t rlen;
  bool in_tail = false;
  if (carried <= HEADROOM) {
    uint8_t* start = data - carried;
    if (carried) std::memcpy(start, tail_.data(), carried);
    region = start;
    rlen = carried + len;
  } else {
    // A tail larger than the headroom (an object bigger than it).
    if (len) {
      std::memcpy(tail_.reserve_more(len), data, len);
      tail_.commit(len);
    }
    region = tail_.data();
    rlen = tail_.size();
    in_tail = true;
  }

  ScanResult res;
  size_t pos = 0;
  if (ahead && ahead->start != NO_START) {
    // Up to the first object that starts inside this container.
    ScanResult head = scanner_.scan(region, rlen, sink, carried);
    append_versions(res, head);
    if (head.status != ScanStatus::Done) {
      take_fault(res, head, 0);
      return res;
    }
    pos = head.consumed;
    if (pos >= carried && next_object(region, rlen, pos) == carried + ahead->start) {
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

}  // namespace korvel

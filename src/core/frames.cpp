#include "frames.hpp"

#include <algorithm>
#include <cstring>

namespace korvel {

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

void FrameSink::append(const FrameSink& frames) {
  if (others && frames.others) others->append(*frames.others);
  append_frames(frames, *this);
}

size_t keep_window(DT_t* records, size_t from, size_t n, uint8_t* payload, size_t& payload_size,
                   int64_t start, int64_t stop) {
  size_t w = from;
  size_t at = from < n ? static_cast<size_t>(loc_offset(records[from].loc)) : payload_size;
  for (size_t i = from; i < n; ++i) {
    const DT_t r = records[i];
    if (r.timestamp < start || r.timestamp >= stop) continue;
    const uint64_t count = loc_count(r.loc), offset = loc_offset(r.loc);
    if (offset != at && count) std::memmove(payload + at, payload + offset, count);
    records[w] = r;
    records[w].loc = make_loc(at, count);
    at += count;
    ++w;
  }
  if (w != n) payload_size = at;
  return w;
}

}  // namespace korvel

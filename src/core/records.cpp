#include "records.hpp"

#include <algorithm>
#include <cstring>

namespace korvel {

namespace {

template <class T>
inline T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The 16 header bytes of a record (the DT_t fields before loc); loc is 0.
inline DT_t load_header(const char* p) {
  DT_t r{};
  std::memcpy(&r, p, RECORD_DATA_OFFSET);
  return r;
}

}  // namespace

bool pair_payload(const PairRecords& src, const DT_t& r, const uint8_t** data, size_t* n) {
  const uint64_t off = loc_offset(r.loc);
  const uint64_t cnt = std::min<uint64_t>(loc_count(r.loc), MAX_DATA_WIDTH);
  *n = static_cast<size_t>(cnt);
  if (cnt == 0) {
    *data = src.chunk;
    return true;
  }
  if (off > src.chunk_size || cnt > src.chunk_size - off) return false;
  *data = src.chunk + off;
  return true;
}

PairScan scan_pair(const PairRecords& src) {
  PairScan s{src.count, 0, 0, 0};
  const char* p = src.base;
  for (size_t i = 0; i < src.count; ++i, p += src.stride) {
    const DT_t r = load<DT_t>(reinterpret_cast<const uint8_t*>(p));
    const uint8_t* d;
    size_t n;
    if (!pair_payload(src, r, &d, &n)) {
      s.bad_index = i;
      return s;
    }
    s.max_len = std::max<uint32_t>(s.max_len, r.len);
    if (i == 0) {
      s.min_ts = s.max_ts = r.timestamp;
    } else {
      s.min_ts = std::min(s.min_ts, r.timestamp);
      s.max_ts = std::max(s.max_ts, r.timestamp);
    }
  }
  return s;
}

void timestamp_range(const InlineRecords& src, int64_t* min_ts, int64_t* max_ts) {
  if (src.count == 0) return;
  const char* p = src.base;
  int64_t lo = load<int64_t>(reinterpret_cast<const uint8_t*>(p)), hi = lo;
  for (size_t i = 1; i < src.count; ++i) {
    p += src.stride;
    const int64_t t = load<int64_t>(reinterpret_cast<const uint8_t*>(p));
    lo = std::min(lo, t);
    hi = std::max(hi, t);
  }
  *min_ts = lo;
  *max_ts = hi;
}

void pair_to_inline(const PairRecords& src, char* out, ptrdiff_t out_stride, size_t out_width) {
  const char* p = src.base;
  for (size_t i = 0; i < src.count; ++i, p += src.stride, out += out_stride) {
    const DT_t r = load<DT_t>(reinterpret_cast<const uint8_t*>(p));
    std::memcpy(out, p, RECORD_DATA_OFFSET);
    const uint8_t* d = nullptr;
    size_t n;
    if (!pair_payload(src, r, &d, &n)) n = 0;
    n = std::min(n, out_width);
    uint8_t* data = reinterpret_cast<uint8_t*>(out) + RECORD_DATA_OFFSET;
    if (n) std::memcpy(data, d, n);
    std::memset(data + n, 0, out_width - n);
  }
}

uint64_t inline_payload_total(const InlineRecords& src) {
  uint64_t total = 0;
  const char* p = src.base;
  for (size_t i = 0; i < src.count; ++i, p += src.stride)
    total += std::min<size_t>(static_cast<uint8_t>(p[offsetof(DT_t, len)]), src.data_width);
  return total;
}

void inline_to_pair(const InlineRecords& src, DT_t* out, uint8_t* payload) {
  uint64_t offset = 0;
  const char* p = src.base;
  for (size_t i = 0; i < src.count; ++i, p += src.stride) {
    DT_t r = load_header(p);
    const size_t n = std::min<size_t>(r.len, src.data_width);
    std::memcpy(payload + offset, p + RECORD_DATA_OFFSET, n);
    r.loc = make_loc(offset, n);
    std::memcpy(out + i, &r, sizeof r);
    offset += n;
  }
}

void copy_rebased(const char* base, size_t count, ptrdiff_t stride, uint64_t rebase, DT_t* out) {
  for (size_t i = 0; i < count; ++i, base += stride) {
    DT_t r = load<DT_t>(reinterpret_cast<const uint8_t*>(base));
    r.loc += rebase;
    std::memcpy(out + i, &r, sizeof r);
  }
}

}  // namespace korvel

#include "stats/busload.hpp"

#include <cstring>
#include <limits>

namespace korvel::stats {

namespace {

inline int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b) < 0) --q;
  return q;
}

// w * window, saturated (windows of timestamps near the ends of int64).
inline int64_t window_start(int64_t w, int64_t window) {
  const __int128 s = static_cast<__int128>(w) * window;
  if (s < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  if (s > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(s);
}

}  // namespace

LoadOutcome busload(const FrameView& f, const LoadOptions& o, LoadTable& out) {
  LoadOutcome res;
  // The span of each channel, in windows.
  int64_t lo[256], hi[256];
  bool seen[256] = {};
  for (size_t i = 0; i < f.n; ++i) {
    DT_t r;
    std::memcpy(&r, f.records + static_cast<ptrdiff_t>(i) * f.stride, sizeof r);
    const unsigned c = r.channel;
    // A record left out takes no part in its channel's span either.
    if (o.skip && kind_fault(r.can_id, r.len, r.flags, r.is64) != BitsFault::None) continue;
    if (!seen[c]) {
      seen[c] = true;
      lo[c] = hi[c] = r.timestamp;
    } else if (r.timestamp < lo[c]) {
      lo[c] = r.timestamp;
    } else if (r.timestamp > hi[c]) {
      hi[c] = r.timestamp;
    }
  }
  int64_t first_window[256];
  uint64_t base[256];
  uint64_t rows = 0;
  for (unsigned c = 0; c < 256; ++c) {
    if (!seen[c]) continue;
    if (!(o.nominal_rate[c] > 0)) {
      res.fault = LoadFault::NoRate;
      res.channel = c;
      return res;
    }
    first_window[c] = floor_div(lo[c], o.window);
    base[c] = rows;
    rows += static_cast<uint64_t>(floor_div(hi[c], o.window)) -
            static_cast<uint64_t>(first_window[c]) + 1;
    if (rows > o.max_rows) {
      res.fault = LoadFault::TooManyRows;
      res.rows = rows;
      return res;
    }
  }
  out.frames.assign(rows, 0);
  out.data_frames.assign(rows, 0);
  out.remote_frames.assign(rows, 0);
  out.error_frames.assign(rows, 0);
  out.nominal_bits.assign(rows, 0);
  out.data_bits.assign(rows, 0);

  int64_t* frames = out.frames.data();
  int64_t* remote = out.remote_frames.data();
  int64_t* errors = out.error_frames.data();
  int64_t* nominal = out.nominal_bits.data();
  int64_t* data = out.data_bits.data();
  for (size_t i = 0; i < f.n; ++i) {
    DT_t r;
    std::memcpy(&r, f.records + static_cast<ptrdiff_t>(i) * f.stride, sizeof r);
    WireBits w;
    const BitsFault fault = record_bits(f, r, w);
    if (fault != BitsFault::None && o.skip && fault != BitsFault::Payload) {
      if (!res.skipped++) {
        res.first_skipped = i;
        res.skipped_bits = fault;
      }
      continue;
    }
    if (fault != BitsFault::None) {
      res.fault = LoadFault::Frame;
      res.frame = i;
      res.bits = fault;
      return res;
    }
    const unsigned c = r.channel;
    if (w.data && !(o.data_rate[c] > 0)) {
      res.fault = LoadFault::NoDataRate;
      res.frame = i;
      res.channel = c;
      return res;
    }
    const uint64_t row = base[c] + (static_cast<uint64_t>(floor_div(r.timestamp, o.window)) -
                                    static_cast<uint64_t>(first_window[c]));
    frames[row] += 1;
    remote[row] += (r.flags & (FLAG_REMOTE | FLAG_ERROR)) == FLAG_REMOTE;
    errors[row] += (r.flags & FLAG_ERROR) != 0;
    nominal[row] += w.nominal;
    data[row] += w.data;
  }

  out.start.resize(rows);
  out.channel.resize(rows);
  out.bits.resize(rows);
  out.busy.resize(rows);
  out.load.resize(rows);
  const double window_s = static_cast<double>(o.window) * 1e-9;
  for (unsigned c = 0; c < 256; ++c) {
    if (!seen[c]) continue;
    const uint64_t count = static_cast<uint64_t>(floor_div(hi[c], o.window)) -
                           static_cast<uint64_t>(first_window[c]) + 1;
    for (uint64_t k = 0; k < count; ++k) {
      const uint64_t row = base[c] + k;
      out.start[row] = window_start(first_window[c] + static_cast<int64_t>(k), o.window);
      out.channel[row] = static_cast<uint8_t>(c);
      out.data_frames[row] = frames[row] - remote[row] - errors[row];
      out.bits[row] = nominal[row] + data[row];
      double busy = static_cast<double>(nominal[row]) / o.nominal_rate[c];
      if (data[row]) busy += static_cast<double>(data[row]) / o.data_rate[c];
      out.busy[row] = busy;
      out.load[row] = busy / window_s;
    }
  }
  return res;
}

}  // namespace korvel::stats

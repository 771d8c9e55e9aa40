// Bits on the wire, bus load and cycle times over arbitrary frame records:
// every kind and flag combination, any identifier and length, stored counts
// short of the length, locators outside the payload now and then. The
// table-driven bit counts must equal a bit-by-bit reference built here (the
// frame's bits, CRC, stuffing bit by bit, stuff count, fixed stuff bits),
// faults included; bus load must account for every frame and bit (with
// skip, every frame a bus could carry, the others counted); cycle rows for
// every data frame and gap, gaps only where the options allow them.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "common.hpp"
#include "stats/bits.hpp"
#include "stats/busload.hpp"
#include "stats/cycles.hpp"

namespace {

using korvel::DT_t;
namespace ks = korvel::stats;

constexpr size_t MAX_FRAMES = 2048;
constexpr int FD_LEN[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

using Bits = std::vector<uint8_t>;

void put(Bits& b, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>((v >> i) & 1));
}

uint32_t crc(const Bits& bits, uint32_t poly, int width, uint32_t init) {
  uint32_t reg = init;
  const uint32_t mask = (1u << width) - 1;
  for (uint8_t b : bits) {
    const uint32_t feedback = ((reg >> (width - 1)) & 1) ^ b;
    reg = (reg << 1) & mask;
    if (feedback) reg ^= poly;
  }
  return reg;
}

// Stuffed copy; marks the stuff bits.
Bits stuff(const Bits& in, std::vector<bool>& marks) {
  Bits out;
  int last = -1, run = 0;
  for (uint8_t b : in) {
    out.push_back(b);
    marks.push_back(false);
    run = b == last ? run + 1 : 1;
    last = b;
    if (run == 5) {
      out.push_back(static_cast<uint8_t>(1 - b));
      marks.push_back(true);
      last = 1 - b;
      run = 1;
    }
  }
  return out;
}

ks::BitsFault reference(const DT_t& r, const uint8_t* chunk, size_t chunk_size, ks::WireBits& w) {
  if (r.flags & korvel::FLAG_ERROR) {
    w = {17, 0};
    return ks::BitsFault::None;
  }
  const uint64_t off = korvel::loc_offset(r.loc), cnt = korvel::loc_count(r.loc);
  if (off > chunk_size || cnt > chunk_size - off) return ks::BitsFault::Payload;
  const bool ext = r.flags & korvel::FLAG_EXTENDED;
  if (!ext && r.can_id > 0x7FF) return ks::BitsFault::BaseId;
  auto byte = [&](size_t i) -> uint8_t { return i < cnt ? chunk[off + i] : 0; };
  const uint32_t id = r.can_id & 0x1FFFFFFF;
  Bits frame{0};
  if (ext) {
    put(frame, id >> 18, 11);
    put(frame, 3, 2);
    put(frame, id & 0x3FFFF, 18);
  } else {
    put(frame, id, 11);
  }
  if (!(r.flags & korvel::FLAG_FD)) {
    int dlc = -1;
    if (!r.is64 || r.len <= 8) {
      if (r.len <= 15) dlc = r.len;
    } else {
      for (int c = 9; c < 16; ++c)
        if (FD_LEN[c] == r.len) dlc = c;
    }
    if (dlc < 0) return ks::BitsFault::ClassicLength;
    const bool remote = r.flags & korvel::FLAG_REMOTE;
    const size_t n = remote ? 0 : std::min(dlc, 8);
    put(frame, remote, 1);
    put(frame, 0, 2);
    put(frame, static_cast<uint64_t>(dlc), 4);
    for (size_t i = 0; i < n; ++i) put(frame, byte(i), 8);
    put(frame, crc(frame, 0x4599, 15, 0), 15);
    std::vector<bool> marks;
    w = {static_cast<uint16_t>(stuff(frame, marks).size() + 13), 0};
    return ks::BitsFault::None;
  }
  if (r.flags & korvel::FLAG_REMOTE) return ks::BitsFault::FdRemote;
  if (r.len > 64) return ks::BitsFault::FdLength;
  int dlc = 0;
  while (FD_LEN[dlc] < r.len) ++dlc;
  const auto n = static_cast<size_t>(FD_LEN[dlc]);
  put(frame, 0, 1);            // RRS
  if (!ext) put(frame, 0, 1);  // IDE
  put(frame, 2, 2);            // FDF, res
  const size_t brs_at = frame.size();
  const bool brs = r.flags & korvel::FLAG_BRS;
  put(frame, brs, 1);
  put(frame, (r.flags & korvel::FLAG_ESI) ? 1 : 0, 1);
  put(frame, static_cast<uint64_t>(dlc), 4);
  for (size_t i = 0; i < n; ++i) put(frame, byte(i), 8);
  std::vector<bool> marks;
  Bits wire = stuff(frame, marks);
  if (marks.back()) {
    wire.pop_back();
    marks.pop_back();
  }
  const auto count = static_cast<unsigned>(std::count(marks.begin(), marks.end(), true));
  const unsigned gray = (count % 8) ^ ((count % 8) >> 1);
  Bits tail;
  put(tail, gray, 3);
  put(tail, __builtin_popcount(gray) & 1, 1);
  Bits covered = wire;
  covered.insert(covered.end(), tail.begin(), tail.end());
  const int width = n > 16 ? 21 : 17;
  put(tail, crc(covered, n > 16 ? 0x102899 : 0x1685B, width, 1u << (width - 1)), width);
  size_t fixed = 1;
  for (size_t i = 1; i <= tail.size(); ++i)
    if (i % 4 == 0 && i < tail.size()) ++fixed;
  size_t before = 0, seen = 0;
  for (bool m : marks) {
    if (!m && seen == brs_at) break;
    ++before;
    seen += !m;
  }
  const size_t total = wire.size() + tail.size() + fixed;
  if (brs)
    w = {static_cast<uint16_t>(before + 1 + 13), static_cast<uint16_t>(total - before - 1)};
  else
    w = {static_cast<uint16_t>(total + 13), 0};
  return ks::BitsFault::None;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int64_t window = 1000 + in.take<uint16_t>();
  std::vector<DT_t> recs;
  std::vector<uint8_t> chunk;
  int64_t t = 0;
  while (in.left() && recs.size() < MAX_FRAMES) {
    const uint8_t kind = in.take<uint8_t>();
    const uint8_t shape = in.take<uint8_t>();
    DT_t d{};
    d.flags = kind & 0x7B;
    d.is64 = kind >> 7;
    d.len = in.take<uint8_t>();
    if (shape & 0x80) d.len &= 0x4F;  // mostly lengths a frame can have
    d.can_id = in.take<uint32_t>();
    if (shape & 0x40) d.can_id &= (d.flags & korvel::FLAG_EXTENDED) ? 0x1FFFFFFF : 0x7FF;
    d.channel = shape & 3;
    t += (shape & 0x20) ? -(shape & 7) : (shape & 0x1C) * 37;
    d.timestamp = t;
    const size_t stored = std::min<size_t>(in.take<uint8_t>() & 0x7F, in.left());
    uint64_t at = chunk.size();
    chunk.insert(chunk.end(), in.rest(), in.rest() + stored);
    in.skip(stored);
    if ((shape & 0x1F) == 0x1F) at += 1 + in.take<uint8_t>();  // now and then outside
    d.loc = korvel::make_loc(at, stored);
    recs.push_back(d);
  }
  const auto payload = fuzz::exact_copy(chunk.data(), chunk.size());
  korvel::FrameView f;
  f.records = reinterpret_cast<const char*>(recs.data());
  f.n = recs.size();
  f.stride = sizeof(DT_t);
  f.chunk = payload.get();
  f.chunk_size = chunk.size();

  // Bits: every frame against the reference, up to the first fault.
  std::vector<uint16_t> total(recs.size());
  const ks::BitsOutcome bits = ks::frames_bits(f, total.data());
  size_t good = recs.size();
  int64_t sum_bits = 0;
  for (size_t i = 0; i < recs.size(); ++i) {
    ks::WireBits want, got;
    const ks::BitsFault fault = reference(recs[i], payload.get(), chunk.size(), want);
    FUZZ_CHECK(ks::record_bits(f, recs[i], got) == fault);
    if (fault != ks::BitsFault::None) {
      FUZZ_CHECK(bits.bad == i && bits.fault == fault);
      good = i;
      break;
    }
    FUZZ_CHECK(got.nominal == want.nominal && got.data == want.data);
    FUZZ_CHECK(total[i] == want.nominal + want.data);
    sum_bits += total[i];
  }
  if (good == recs.size()) FUZZ_CHECK(bits.bad == SIZE_MAX);

  // Skipping: records no bus could carry get 0 bits and are counted; a
  // payload fault still stops the pass.
  std::vector<uint16_t> skipped_total(recs.size());
  const ks::BitsOutcome skipping = ks::frames_bits(f, skipped_total.data(), true);
  size_t kind_faults = 0, first_kind = SIZE_MAX, payload_fault = SIZE_MAX;
  int64_t carried_bits = 0;
  for (size_t i = 0; i < recs.size(); ++i) {
    ks::WireBits want;
    const ks::BitsFault fault = reference(recs[i], payload.get(), chunk.size(), want);
    if (fault != ks::BitsFault::Payload)
      FUZZ_CHECK(ks::kind_fault(recs[i].can_id, recs[i].len, recs[i].flags, recs[i].is64) == fault);
    if (fault == ks::BitsFault::Payload) {
      payload_fault = i;
      break;
    }
    if (fault != ks::BitsFault::None) {
      if (!kind_faults++) first_kind = i;
      FUZZ_CHECK(skipped_total[i] == 0);
      continue;
    }
    FUZZ_CHECK(skipped_total[i] == want.nominal + want.data);
    carried_bits += skipped_total[i];
  }
  if (payload_fault != SIZE_MAX) {
    FUZZ_CHECK(skipping.bad == payload_fault && skipping.fault == ks::BitsFault::Payload);
  } else {
    FUZZ_CHECK(skipping.skipped == kind_faults);
    if (kind_faults) FUZZ_CHECK(skipping.bad == first_kind);
  }

  // Load: every frame and bit in some window, or the same first fault.
  ks::LoadOptions o;
  std::fill(std::begin(o.nominal_rate), std::end(o.nominal_rate), 500000.0);
  std::fill(std::begin(o.data_rate), std::end(o.data_rate), 2000000.0);
  o.window = window;
  ks::LoadTable load;
  const ks::LoadOutcome lo = ks::busload(f, o, load);
  if (good < recs.size()) {
    FUZZ_CHECK(lo.fault == ks::LoadFault::Frame && lo.frame == good && lo.bits == bits.fault);
  } else {
    FUZZ_CHECK(lo.fault == ks::LoadFault::None);
    FUZZ_CHECK(std::accumulate(load.frames.begin(), load.frames.end(), int64_t{0}) ==
               static_cast<int64_t>(recs.size()));
    FUZZ_CHECK(std::accumulate(load.bits.begin(), load.bits.end(), int64_t{0}) == sum_bits);
    for (size_t r = 0; r < load.start.size(); ++r) {
      FUZZ_CHECK(load.frames[r] ==
                 load.data_frames[r] + load.remote_frames[r] + load.error_frames[r]);
      FUZZ_CHECK(load.busy[r] >= 0 && std::isfinite(load.load[r]));
      if (r && load.channel[r] == load.channel[r - 1])
        FUZZ_CHECK(load.start[r] == load.start[r - 1] + window);
    }
  }

  ks::LoadOptions skip_o = o;
  skip_o.skip = true;
  ks::LoadTable skip_load;
  const ks::LoadOutcome slo = ks::busload(f, skip_o, skip_load);
  if (payload_fault == SIZE_MAX) {
    FUZZ_CHECK(slo.fault == ks::LoadFault::None && slo.skipped == kind_faults);
    FUZZ_CHECK(std::accumulate(skip_load.frames.begin(), skip_load.frames.end(), int64_t{0}) ==
               static_cast<int64_t>(recs.size() - kind_faults));
    FUZZ_CHECK(std::accumulate(skip_load.bits.begin(), skip_load.bits.end(), int64_t{0}) ==
               carried_bits);
  }

  // Cycles: a row for every data frame, a gap row for every gap counted;
  // expected periods from the input, by identifier and by PGN.
  ks::CycleOptions co;
  const uint8_t mode = static_cast<uint8_t>(window & 3);
  co.only_expected = mode == 1;
  co.transport_without_gaps = mode == 2;
  for (const DT_t& r : recs) {
    if (r.timestamp % 3) continue;
    const uint32_t key = ks::message_key(r.can_id, r.flags & korvel::FLAG_EXTENDED);
    if (std::find(co.expected_keys.begin(), co.expected_keys.end(), key) != co.expected_keys.end())
      continue;
    co.expected_keys.push_back(key);
  }
  std::sort(co.expected_keys.begin(), co.expected_keys.end());
  for (size_t k = 0; k < co.expected_keys.size(); ++k) co.expected.push_back(k % 2 ? 500.0 : NAN);
  co.pgn_keys = {0xEC00, 0xF004, 0x1FECA};
  co.pgn_expected = {100.0, 200.0, NAN};
  co.pgn_source_keys = {0xF00400};
  co.pgn_source_expected = {50.0};
  ks::CycleTable cyc;
  ks::GapTable gaps;
  ks::cycles(f, co, cyc, gaps);
  int64_t data_frames = 0, counted = 0, gap_rows = 0;
  for (const DT_t& r : recs) data_frames += !(r.flags & (korvel::FLAG_ERROR | korvel::FLAG_REMOTE));
  for (size_t r = 0; r < cyc.count.size(); ++r) {
    counted += cyc.count[r];
    gap_rows += cyc.gaps[r];
    FUZZ_CHECK(cyc.first[r] <= cyc.last[r]);
    if (cyc.count[r] > 1)
      FUZZ_CHECK(cyc.period_min[r] <= cyc.period[r] && cyc.period[r] <= cyc.period_max[r] &&
                 cyc.jitter[r] >= 0);
  }
  FUZZ_CHECK(counted == data_frames);
  for (size_t r = 0; r < cyc.count.size(); ++r) {
    if (co.only_expected && !(cyc.expected[r] > 0)) FUZZ_CHECK(cyc.gaps[r] == 0);
    if (co.transport_without_gaps &&
        ks::transport_traffic(static_cast<uint32_t>(cyc.can_id[r]), cyc.extended[r]))
      FUZZ_CHECK(cyc.gaps[r] == 0);
  }
  FUZZ_CHECK(gap_rows == static_cast<int64_t>(gaps.start.size()));
  for (size_t g = 0; g < gaps.start.size(); ++g)
    FUZZ_CHECK(gaps.length[g] == gaps.stop[g] - gaps.start[g] && gaps.length[g] > 0);
  return 0;
}

// Signal layouts and the extraction loop against a bit-by-bit reference
// decoder written from the signal rules (start bit, length, byte order,
// sign, float kinds, scale and offset), on records walked by any stride and
// locators that may point anywhere. Also the exact scaling of the tables
// (an integer raw value times an integer scale plus an offset, rounded once)
// against the C library's correctly rounded reading of the exact sum's
// decimal digits, wherever that sum fits 127 bits.
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "common.hpp"
#include "decode/exact.hpp"
#include "decode/signals.hpp"

namespace {

using korvel::DT_t;

struct Layout {
  int32_t start, length;
  bool big_endian, is_signed, is_float;
  double scale, offset;
};

// Bit positions of the signal, most significant first.
std::vector<uint32_t> bit_positions(const Layout& s) {
  std::vector<uint32_t> msb_first(static_cast<size_t>(s.length));
  if (s.big_endian) {
    uint32_t pos = static_cast<uint32_t>(s.start);
    for (int32_t i = 0; i < s.length; ++i) {
      msb_first[static_cast<size_t>(i)] = pos;
      pos = pos % 8 == 0 ? pos + 15 : pos - 1;
    }
  } else {
    for (int32_t i = 0; i < s.length; ++i)
      msb_first[static_cast<size_t>(s.length - 1 - i)] = static_cast<uint32_t>(s.start + i);
  }
  return msb_first;
}

// NaN when the stored payload lacks any byte of the signal.
double reference(const Layout& s, const uint8_t* payload, uint64_t count) {
  uint64_t raw = 0;
  for (uint32_t pos : bit_positions(s)) {
    if (pos / 8 >= count) return std::nan("");
    raw = (raw << 1) | ((payload[pos / 8] >> (pos % 8)) & 1u);
  }
  double v;
  if (s.is_float && s.length == 32) {
    uint32_t b = static_cast<uint32_t>(raw);
    float f;
    std::memcpy(&f, &b, 4);
    v = f;
  } else if (s.is_float) {
    std::memcpy(&v, &raw, 8);
  } else if (s.is_signed) {
    uint64_t sign = uint64_t(1) << (s.length - 1);
    int64_t x = s.length == 64 ? static_cast<int64_t>(raw)
                               : static_cast<int64_t>(raw ^ sign) - static_cast<int64_t>(sign);
    v = static_cast<double>(x);
  } else {
    v = static_cast<double>(raw);
  }
  return v * s.scale + s.offset;
}

bool same(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

using u128 = unsigned __int128;

std::string decimal(u128 v) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v);
  return digits;
}

int bit_length(u128 v) {
  int n = 0;
  for (; v; v >>= 1) ++n;
  return n;
}

// The first 40 bytes (zeros past the input) as a raw value and a scaling.
void check_exact(const uint8_t* data, size_t size) {
  uint8_t b[40] = {};
  if (size) std::memcpy(b, data, size < sizeof b ? size : sizeof b);
  fuzz::Input in(b, sizeof b);
  namespace kt = korvel::tables;
  const uint8_t mode = in.take<uint8_t>();
  const bool neg = mode & 1;
  const uint64_t mag = in.take<uint64_t>() >> (in.take<uint8_t>() % 64);
  kt::ExactScaling e;
  e.kind = mode & 2 ? kt::Exact::float_offset : kt::Exact::int_offset;
  e.scale.neg = mode & 4;
  e.scale.lo = in.take<uint64_t>() >> (in.take<uint8_t>() % 64);
  e.scale.exp = in.take<uint8_t>() % 72;
  e.offset.neg = mode & 8;
  e.offset.lo = in.take<uint64_t>() >> (in.take<uint8_t>() % 64);
  e.offset.exp = in.take<uint8_t>() % 72;
  const double float_offset = static_cast<double>(in.take<int32_t>()) / 64.0;
  const u128 product = u128{mag} * e.scale.lo;
  if (bit_length(product) + e.scale.exp > 126 || bit_length(e.offset.lo) + e.offset.exp > 126)
    return;
  const u128 p = product << e.scale.exp, o = u128{e.offset.lo} << e.offset.exp;
  const bool p_neg = neg != e.scale.neg && p;
  double want;
  if (e.kind == kt::Exact::float_offset) {
    want = std::strtod(decimal(p).c_str(), nullptr);
    want = (p_neg ? -want : want) + float_offset;
  } else {
    const bool o_neg = e.offset.neg && o;
    u128 sum;
    bool sum_neg;
    if (p_neg == o_neg) {
      sum = p + o;
      sum_neg = p_neg;
    } else {
      sum = p >= o ? p - o : o - p;
      sum_neg = p >= o ? p_neg : o_neg;
    }
    want = std::strtod(decimal(sum).c_str(), nullptr);
    if (sum_neg && sum) want = -want;
  }
  const double got = kt::exact_value(neg, mag, e, float_offset);
  FUZZ_CHECK(std::memcmp(&got, &want, sizeof got) == 0);
}

const double SCALES[] = {1.0, 0.1, 0.25, -2.0, 1e-300, 3.0e300};
const double OFFSETS[] = {0.0, -40.0, 0.5, 1e10};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_exact(data, size);
  fuzz::Input in(data, size);
  Layout s;
  s.start = in.take<uint16_t>() % 600;
  s.length = 1 + in.take<uint8_t>() % 64;
  const uint8_t mode = in.take<uint8_t>();
  s.big_endian = mode & 1;
  s.is_signed = mode & 2;
  s.is_float = (mode & 4) && (s.length == 32 || s.length == 64);
  const bool pad = mode & 8;
  const bool reversed = mode & 16;
  const size_t gap = (mode >> 5) * 8;  // extra bytes between records
  s.scale = SCALES[in.take<uint8_t>() % 6];
  s.offset = OFFSETS[in.take<uint8_t>() % 4];
  const uint32_t can_id = 0x123;

  const size_t n = in.take<uint8_t>() % 48;
  const size_t stride = sizeof(DT_t) + gap;
  std::vector<DT_t> recs(n);
  for (auto& r : recs) {
    uint8_t sel = in.take<uint8_t>();
    uint16_t off = in.take<uint16_t>();
    uint8_t cnt = in.take<uint8_t>();
    r = DT_t{};
    r.can_id = sel & 1 ? can_id : 0x124;
    // Mostly sensible locators, sometimes wild ones.
    uint64_t count = sel & 0x80 ? uint64_t(0xFFFF) : cnt % 72;
    uint64_t offset = sel & 0x40 ? (uint64_t(1) << 48) - 1 - (off & 0xFF) : off;
    r.loc = korvel::make_loc(offset, count);
  }
  const size_t chunk_size = in.left();
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[chunk_size ? chunk_size : 1]);
  if (chunk_size) std::memcpy(chunk.get(), in.rest(), chunk_size);

  // Lay the records out with the stride, in order or reversed.
  std::unique_ptr<char[]> table(new char[n * stride + 1]);
  for (size_t i = 0; i < n; ++i) {
    size_t slot = reversed ? n - 1 - i : i;
    std::memcpy(table.get() + slot * stride, &recs[i], sizeof(DT_t));
  }

  std::vector<int32_t> ims;
  FUZZ_CHECK(korvel::signal_ims(s.start, s.length, s.big_endian ? -1 : 1, ims) ==
             korvel::LayoutError::ok);
  std::vector<korvel::Piece> pieces;
  uint32_t needed = 0;
  size_t bad = 0;
  FUZZ_CHECK(korvel::parse_triples(reinterpret_cast<const char*>(ims.data()), ims.size(),
                                   sizeof(int32_t), pieces, needed,
                                   bad) == korvel::TriplesError::ok);

  korvel::ExtractArgs a;
  a.records = reversed && n ? table.get() + (n - 1) * stride : table.get();
  a.n = n;
  a.stride = reversed ? -static_cast<ptrdiff_t>(stride) : static_cast<ptrdiff_t>(stride);
  a.chunk = chunk.get();
  a.chunk_size = chunk_size;
  a.pieces = pieces.data();
  a.n_pieces = pieces.size();
  a.needed = needed;
  a.can_id = can_id;
  a.rshift = s.is_signed ? s.length - 64 : 64 - s.length;
  a.valtype = !s.is_float      ? korvel::VALTYPE_INTEGER
              : s.length == 32 ? korvel::VALTYPE_SINGLE
                               : korvel::VALTYPE_DOUBLE;
  if (a.valtype == korvel::VALTYPE_INTEGER && !s.is_signed && s.length == 64)
    a.valtype = korvel::VALTYPE_UNSIGNED;
  a.scale = s.scale;
  a.offset = s.offset;
  a.pad = pad;

  std::vector<double> out(n + 1);
  korvel::ExtractStatus st = korvel::extract_values(a, out.data());

  // The first matching record whose payload lies outside the chunk stops it.
  size_t first_bad = n;
  for (size_t i = 0; i < n && first_bad == n; ++i) {
    const DT_t& r = recs[i];
    uint64_t off = korvel::loc_offset(r.loc), cnt = korvel::loc_count(r.loc);
    if (r.can_id == can_id && (off > chunk_size || cnt > chunk_size - off)) first_bad = i;
  }
  if (first_bad < n) {
    FUZZ_CHECK(!st.ok);
    FUZZ_CHECK(st.frame == first_bad);
    return 0;
  }
  FUZZ_CHECK(st.ok);
  double carried = std::nan("");
  for (size_t i = 0; i < n; ++i) {
    const DT_t& r = recs[i];
    double want = std::nan("");
    if (r.can_id == can_id)
      want = reference(s, chunk.get() + korvel::loc_offset(r.loc), korvel::loc_count(r.loc));
    // With pad, frames without the signal carry the last decoded value.
    bool decoded = r.can_id == can_id && korvel::loc_count(r.loc) >= needed;
    if (pad) {
      if (!decoded) want = carried;
      carried = want;
    }
    FUZZ_CHECK(same(out[i], want));
  }
  return 0;
}

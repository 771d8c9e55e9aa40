// Signal bit layouts -> extraction triples; the extraction and flag loops.
// Built with -ffp-contract=off: the physical value is a multiplication
// followed by an addition, rounded twice, exactly as Python computes it.
#include "decode/signals.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "frames.hpp"

namespace korvel {

namespace {

constexpr size_t CAN_ID_OFFSET = offsetof(DT_t, can_id);
constexpr size_t FLAGS_OFFSET = offsetof(DT_t, flags);
constexpr size_t LOC_OFFSET = offsetof(DT_t, loc);

inline uint32_t load_u32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t load_u64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

LayoutError signal_ims(int32_t start, int32_t length, int32_t inc, std::vector<int32_t>& out) {
  out.clear();
  if (length < 1 || length > 64) return LayoutError::bad_length;
  if (start < 0) return LayoutError::bad_start;
  if (inc != 1 && inc != -1) return LayoutError::bad_direction;

  int32_t remaining = length;
  int32_t consumed = 0;
  int32_t byte = start / 8;
  int32_t first_bit = start % 8;
  while (remaining > 0) {
    int32_t mask = 0;
    int32_t taken = 0;
    for (int32_t bit = first_bit; remaining > 0 && bit >= 0 && bit <= 7; bit += inc) {
      mask |= 1 << bit;
      --remaining;
      ++taken;
    }
    // Little-endian: the lowest bit taken (first_bit) lands on word bit
    // 64 - length + consumed. Big-endian: the highest bit taken (first_bit)
    // lands on word bit 63 - consumed.
    int32_t shift = inc > 0 ? 64 - length + consumed - first_bit : 63 - consumed - first_bit;
    out.push_back(byte);
    out.push_back(mask);
    out.push_back(shift);
    consumed += taken;
    ++byte;
    first_bit = inc > 0 ? 0 : 7;
  }
  return LayoutError::ok;
}

TriplesError parse_triples(const char* items, size_t count, ptrdiff_t stride,
                           std::vector<Piece>& pieces, uint32_t& needed, size_t& bad_item) {
  pieces.clear();
  needed = 0;
  bad_item = 0;
  if (count % 3 != 0) return TriplesError::bad_count;
  auto item = [&](size_t i) {
    int32_t v;
    std::memcpy(&v, items + static_cast<ptrdiff_t>(i) * stride, sizeof v);
    return v;
  };
  for (size_t i = 0; i < count; i += 3) {
    int32_t byte = item(i), mask = item(i + 1), shift = item(i + 2);
    if (byte < 0) {
      bad_item = i;
      return TriplesError::bad_byte;
    }
    if (mask < 0 || mask > 255) {
      bad_item = i + 1;
      return TriplesError::bad_mask;
    }
    if (shift < -63 || shift > 63) {
      bad_item = i + 2;
      return TriplesError::bad_shift;
    }
    Piece p;
    p.byte = static_cast<uint32_t>(byte);
    p.mask = static_cast<uint32_t>(mask);
    p.lshift = shift >= 0 ? static_cast<uint32_t>(shift) : 0u;
    p.rshift = shift < 0 ? static_cast<uint32_t>(-shift) : 0u;
    pieces.push_back(p);
    if (p.byte + 1 > needed) needed = p.byte + 1;
  }
  return TriplesError::ok;
}

namespace {

// Whether every multiplexer on the chain selects the frame.
bool selected(const MuxTest* mux, size_t n_mux, const uint8_t* p, uint64_t count) {
  for (size_t k = 0; k < n_mux; ++k) {
    const MuxTest& t = mux[k];
    if (count < t.needed) return false;
    uint64_t w = 0;
    for (const Piece& pc : t.pieces)
      w |= (static_cast<uint64_t>(p[pc.byte] & pc.mask) << pc.lshift) >> pc.rshift;
    const int64_t raw =
        t.is_signed ? static_cast<int64_t>(w) >> t.shift : static_cast<int64_t>(w >> t.shift);
    if (!std::binary_search(t.ids.begin(), t.ids.end(), raw)) return false;
  }
  return true;
}

// Frames are taken in blocks. A first pass over a block sets every value to
// NaN and lists the frames of the identifier, without branches; the second
// decodes the listed frames. Decoding from a list lets the payload loads of
// consecutive matches overlap (and be prefetched ahead) instead of each one
// stalling the scan, and keeps unpredictable branches out of the scan. With
// pad, a third pass carries the last decoded value forward through the block.
constexpr size_t BLOCK = 2048;
constexpr size_t PREFETCH_AHEAD = 8;

template <class Convert>
ExtractStatus extract_loop(const ExtractArgs& a, double* out, Convert convert) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const ptrdiff_t stride = a.stride;
  const uint32_t can_id = a.can_id;
  const Piece* pieces = a.pieces;
  const size_t n_pieces = a.n_pieces;
  const uint8_t* chunk = a.chunk;
  const size_t chunk_size = a.chunk_size;
  const uint32_t first_byte = n_pieces ? pieces[0].byte : 0;
  const double scale = a.scale, offset = a.offset;
  const bool pad = a.pad;
  double fill = nan;  // with pad: the last decoded value
  uint32_t hits[BLOCK];
  uint8_t decoded[BLOCK];

  for (size_t b0 = 0; b0 < a.n; b0 += BLOCK) {
    const size_t len = a.n - b0 < BLOCK ? a.n - b0 : BLOCK;
    const char* block = a.records + static_cast<ptrdiff_t>(b0) * stride;
    double* res = out + b0;

    size_t m = 0;
    const char* rec = block;
    for (size_t i = 0; i < len; ++i, rec += stride) {
      res[i] = nan;
      hits[m] = static_cast<uint32_t>(i);
      m += load_u32(rec + CAN_ID_OFFSET) == can_id;
    }
    if (pad) std::memset(decoded, 0, len);

    for (size_t h = 0; h < m; ++h) {
      if (h + PREFETCH_AHEAD < m) {
        const uint64_t ahead =
            loc_offset(load_u64(block + static_cast<ptrdiff_t>(hits[h + PREFETCH_AHEAD]) * stride +
                                LOC_OFFSET)) +
            first_byte;
        if (ahead < chunk_size) __builtin_prefetch(chunk + ahead);
      }
      const uint32_t i = hits[h];
      const uint64_t loc = load_u64(block + static_cast<ptrdiff_t>(i) * stride + LOC_OFFSET);
      const uint64_t base = loc_offset(loc), count = loc_count(loc);
      if (base > chunk_size || count > chunk_size - base) {
        ExtractStatus s;
        s.ok = false;
        s.frame = b0 + i;
        s.offset = base;
        s.count = count;
        return s;
      }
      if (count < a.needed) continue;  // stays NaN; not decoded
      const uint8_t* p = chunk + base;
      if (a.n_mux && !selected(a.mux, a.n_mux, p, count)) continue;
      uint64_t w = 0;
      for (size_t k = 0; k < n_pieces; ++k) {
        const Piece& pc = pieces[k];
        w |= (static_cast<uint64_t>(p[pc.byte] & pc.mask) << pc.lshift) >> pc.rshift;
      }
      res[i] = convert(w) * scale + offset;
      decoded[i] = 1;  // read only with pad
    }

    if (pad) {
      for (size_t i = 0; i < len; ++i) {
        const double v = decoded[i] ? res[i] : fill;
        res[i] = v;
        fill = v;
      }
    }
  }
  return ExtractStatus{};
}

// The physical value of an integer word with an exact scaling: in doubles
// while they are exact, else as integers rounded once. Signed: the word read
// as a signed number after the shift (Arithmetic: an arithmetic shift).
template <bool Signed, bool Arithmetic>
struct ExactWord {
  uint32_t shift;
  double scale, offset;
  const tables::ExactScaling* e;
  double operator()(uint64_t w) const {
    const int64_t v = !Signed      ? 0
                      : Arithmetic ? static_cast<int64_t>(w) >> shift
                                   : static_cast<int64_t>(w >> shift);
    const bool neg = v < 0;
    const uint64_t mag =
        Signed ? (neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v)) : w >> shift;
    if (mag <= e->fast_up_to)
      return (Signed ? static_cast<double>(v) : static_cast<double>(mag)) * scale + offset;
    return tables::exact_value(neg, mag, *e, offset);
  }
};

ExtractStatus extract_exact(const ExtractArgs& a, double* out) {
  ExtractArgs plain = a;  // the functor scales: the loop's own scaling is the identity
  plain.scale = 1.0;
  plain.offset = 0.0;
  const double s = a.scale, o = a.offset;
  if (a.valtype == VALTYPE_UNSIGNED)
    return extract_loop(plain, out,
                        ExactWord<false, false>{static_cast<uint32_t>(a.rshift), s, o, a.exact});
  if (a.rshift < 0)
    return extract_loop(plain, out,
                        ExactWord<true, true>{static_cast<uint32_t>(-a.rshift), s, o, a.exact});
  // A logical shift: a value of fewer than 64 bits is never negative.
  if (a.rshift > 0)
    return extract_loop(plain, out,
                        ExactWord<false, false>{static_cast<uint32_t>(a.rshift), s, o, a.exact});
  return extract_loop(plain, out, ExactWord<true, false>{0, s, o, a.exact});
}

}  // namespace

ExtractStatus extract_values(const ExtractArgs& a, double* out) {
  using namespace word;
  if (a.exact && (a.valtype == VALTYPE_INTEGER || a.valtype == VALTYPE_UNSIGNED))
    return extract_exact(a, out);
  switch (a.valtype) {
    case VALTYPE_INTEGER:
      if (a.rshift < 0) return extract_loop(a, out, SignedInt{static_cast<uint32_t>(-a.rshift)});
      return extract_loop(a, out, UnsignedAsSigned{static_cast<uint32_t>(a.rshift)});
    case VALTYPE_UNSIGNED:
      return extract_loop(a, out, UnsignedInt{static_cast<uint32_t>(a.rshift)});
    case VALTYPE_SINGLE:
      return extract_loop(a, out, Single{});
    default:
      return extract_loop(a, out, Double{});
  }
}

void flag_loop(const char* records, size_t n, ptrdiff_t stride, uint8_t mask, bool* out) {
  const char* p = records + FLAGS_OFFSET;
  for (size_t i = 0; i < n; ++i, p += stride) out[i] = (static_cast<uint8_t>(*p) & mask) != 0;
}

}  // namespace korvel

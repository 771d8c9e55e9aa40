// Physical values of integer signals as cantools computes them: an integer
// scale multiplies the raw integer exactly, and an integer offset is added
// exactly, before the one rounding to a double (Python's int arithmetic);
// with a float offset the exact product is rounded, then the offset added.
// Doubles give the same wherever every step is exact; elsewhere (raw values
// or results beyond 2^53, large scales) the numbers are held as integers of
// a few 64-bit words and rounded once, to nearest with ties to even.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace korvel::tables {

// An integer as sign, magnitude (below 2^128) and power of two:
// (-1)^neg * (hi * 2^64 + lo) * 2^exp.
struct ExactInt {
  bool neg = false;
  uint64_t lo = 0, hi = 0;
  int32_t exp = 0;
};

enum class Exact : uint8_t {
  none,          // doubles: raw * scale + offset
  int_offset,    // round(raw * scale + offset), scale and offset integers
  float_offset,  // round(raw * scale) + offset, an integer scale
};

struct ExactScaling {
  Exact kind = Exact::none;
  ExactInt scale, offset;  // offset: with int_offset only
  // Raw magnitudes up to this one give exact doubles all the way.
  uint64_t fast_up_to = 0;
};

namespace exact_detail {

// 512 bits: a 192-bit product shifted by up to FAR + 1, and the sum.
constexpr int WORDS = 8;
constexpr int FAR = 264, KEEP = 72;
using u128 = unsigned __int128;

struct Big {
  uint64_t w[WORDS] = {};

  static Big of(const ExactInt& x) {
    Big b;
    b.w[0] = x.lo;
    b.w[1] = x.hi;
    return b;
  }
  static Big product(uint64_t a, const ExactInt& x) {  // a * |x| without its power of two
    Big b;
    const u128 low = u128{a} * x.lo, high = u128{a} * x.hi + static_cast<uint64_t>(low >> 64);
    b.w[0] = static_cast<uint64_t>(low);
    b.w[1] = static_cast<uint64_t>(high);
    b.w[2] = static_cast<uint64_t>(high >> 64);
    return b;
  }
  static Big one() {
    Big b;
    b.w[0] = 1;
    return b;
  }
  void shift_left(int n) {  // the bits shifted out are zero
    const int words = n / 64, bits = n % 64;
    for (int i = WORDS - 1; i >= 0; --i) {
      const int from = i - words;
      uint64_t v = from >= 0 ? w[from] << bits : 0;
      if (bits && from - 1 >= 0) v |= w[from - 1] >> (64 - bits);
      w[i] = v;
    }
  }
  int top() const {  // the highest bit set, -1 for zero
    for (int i = WORDS - 1; i >= 0; --i)
      if (w[i]) return i * 64 + 63 - __builtin_clzll(w[i]);
    return -1;
  }
  bool bit(int i) const { return i >= 0 && ((w[i / 64] >> (i % 64)) & 1); }
  bool any_below(int i) const {  // a bit set below position i
    if (i <= 0) return false;
    for (int k = 0; k < i / 64; ++k)
      if (w[k]) return true;
    return i % 64 && (w[i / 64] & ((uint64_t{1} << (i % 64)) - 1));
  }
  uint64_t bits53(int lo) const {  // 53 bits from position lo
    const int word = lo / 64, bit = lo % 64;
    u128 v = w[word];
    if (word + 1 < WORDS) v |= u128{w[word + 1]} << 64;
    return static_cast<uint64_t>(v >> bit) & ((uint64_t{1} << 53) - 1);
  }
  bool less(const Big& o) const {
    for (int i = WORDS - 1; i >= 0; --i)
      if (w[i] != o.w[i]) return w[i] < o.w[i];
    return false;
  }
  void add(const Big& o) {
    uint64_t carry = 0;
    for (int i = 0; i < WORDS; ++i) {
      const u128 s = u128{w[i]} + o.w[i] + carry;
      w[i] = static_cast<uint64_t>(s);
      carry = static_cast<uint64_t>(s >> 64);
    }
  }
  void subtract(const Big& o) {  // o <= *this
    uint64_t borrow = 0;
    for (int i = 0; i < WORDS; ++i) {
      const u128 d = u128{w[i]} - o.w[i] - borrow;
      w[i] = static_cast<uint64_t>(d);
      borrow = static_cast<uint64_t>(d >> 64) & 1;
    }
  }
};

// (-1)^neg * b * 2^exp, rounded once to nearest, ties to even (as Python's
// float() of an int); zero is +0.0, as an int has no sign.
inline double rounded(const Big& b, bool neg, int exp) {
  const int top = b.top();
  if (top < 0) return 0.0;
  uint64_t mantissa;
  int at = 0;
  if (top <= 52) {
    mantissa = b.w[0];
  } else {
    at = top - 52;
    mantissa = b.bits53(at);
    if (b.bit(at - 1) && (b.any_below(at - 1) || (mantissa & 1))) {
      if (++mantissa >> 53) {
        mantissa >>= 1;
        ++at;
      }
    }
  }
  const double v = std::ldexp(static_cast<double>(mantissa), at + exp);
  return neg ? -v : v;
}

// (-1)^neg * v * 2^exp rounded once, as `rounded` (the common case: a
// product of two 64-bit magnitudes, in two words).
inline double rounded(u128 v, bool neg, int exp) {
  if (!v) return 0.0;
  const uint64_t hi = static_cast<uint64_t>(v >> 64);
  const int top = hi ? 127 - __builtin_clzll(hi) : 63 - __builtin_clzll(static_cast<uint64_t>(v));
  uint64_t mantissa = static_cast<uint64_t>(v);
  int at = 0;
  if (top > 52) {
    at = top - 52;
    mantissa = static_cast<uint64_t>(v >> at);
    const u128 rest = v & ((u128{1} << at) - 1), half = u128{1} << (at - 1);
    if ((rest > half || (rest == half && (mantissa & 1))) && ++mantissa >> 53) {
      mantissa >>= 1;
      ++at;
    }
  }
  const double m = neg ? -static_cast<double>(mantissa) : static_cast<double>(mantissa);
  const int e = at + exp;
  if (e <= 960) {  // a power of two a double holds exactly: one exact multiplication
    const uint64_t bits = static_cast<uint64_t>(1023 + e) << 52;
    double p;
    std::memcpy(&p, &bits, sizeof p);
    return m * p;
  }
  return std::ldexp(m, e);
}

// a * 2^ea + b * 2^eb (signed magnitudes below 2^192), rounded once.
inline double rounded_sum(Big a, bool a_neg, int ea, Big b, bool b_neg, int eb) {
  if (b.top() < 0) return rounded(a, a_neg, ea);
  if (a.top() < 0) return rounded(b, b_neg, eb);
  int scale = ea < eb ? ea : eb;
  int da = ea - scale, db = eb - scale;
  // Far apart, the smaller term only decides the direction from the larger
  // (it lies far below the larger's rounding bit): a 1 just below the
  // larger's lowest bit stands in for it.
  if (da > FAR) {
    scale += da - KEEP;
    da = KEEP;
    b = Big::one();
    db = 0;
  } else if (db > FAR) {
    scale += db - KEEP;
    db = KEEP;
    a = Big::one();
    da = 0;
  }
  a.shift_left(da);
  b.shift_left(db);
  if (a_neg == b_neg) {
    a.add(b);
    return rounded(a, a_neg, scale);
  }
  if (a.less(b)) {
    b.subtract(a);
    return rounded(b, b_neg, scale);
  }
  a.subtract(b);
  return rounded(a, a_neg, scale);
}

}  // namespace exact_detail

// The physical value of the raw integer (-1)^neg * mag; `offset` is the
// offset as a double (float_offset).
inline double exact_value(bool neg, uint64_t mag, const ExactScaling& e, double offset) {
  using namespace exact_detail;
  const bool product_neg = neg != e.scale.neg;
  if (!e.scale.hi) {  // the product in two words
    const u128 product = u128{mag} * e.scale.lo;
    if (e.kind == Exact::float_offset) return rounded(product, product_neg, e.scale.exp) + offset;
    if (!e.offset.lo && !e.offset.hi) return rounded(product, product_neg, e.scale.exp);
    if (!e.offset.hi && e.offset.exp == e.scale.exp) {
      // Below 2^128 - 2^65 + 1 and 2^64: the sum stays within two words.
      const u128 o = e.offset.lo;
      if (product_neg == e.offset.neg) return rounded(product + o, product_neg, e.scale.exp);
      return product >= o ? rounded(product - o, product_neg, e.scale.exp)
                          : rounded(o - product, e.offset.neg, e.scale.exp);
    }
  }
  const Big product = Big::product(mag, e.scale);
  if (e.kind == Exact::float_offset) return rounded(product, product_neg, e.scale.exp) + offset;
  return rounded_sum(product, product_neg, e.scale.exp, Big::of(e.offset), e.offset.neg,
                     e.offset.exp);
}

// Whether raw values of a signal of `length` bits need `e` to come out as
// cantools computes them (else doubles do); sets e.fast_up_to, the largest
// raw magnitude doubles still take exactly.
inline bool prepare_exact(ExactScaling& e, uint32_t length, bool is_signed) {
  e.fast_up_to = 0;
  if (e.kind == Exact::none) return false;
  constexpr uint64_t EXACT = uint64_t{1} << 53;  // doubles hold every integer up to here
  // Scaling by a power of two is exact in doubles, so the one rounding is
  // the raw value's own.
  if (e.scale.hi == 0 && e.scale.lo <= 1 &&
      (e.kind == Exact::float_offset || (e.offset.lo == 0 && e.offset.hi == 0)))
    return false;
  // An integer up to 2^53, or 0 where it is larger.
  auto small = [&](const ExactInt& x) -> uint64_t {
    if (x.hi || !x.lo) return 0;
    const int bits = 64 - __builtin_clzll(x.lo) + x.exp;
    return bits <= 53 ? x.lo << x.exp : 0;
  };
  const uint64_t scale = small(e.scale);
  const uint64_t offset = e.kind == Exact::int_offset ? small(e.offset) : 0;
  const bool offset_small =
      e.kind != Exact::int_offset || (e.offset.lo == 0 && e.offset.hi == 0) || offset;
  uint64_t fast = 0;
  if (scale && offset_small && offset <= EXACT) fast = (EXACT - offset) / scale;
  const uint64_t most = is_signed      ? uint64_t{1} << (length - 1)
                        : length == 64 ? ~uint64_t{0}
                                       : (uint64_t{1} << length) - 1;
  if (fast >= most) return false;
  e.fast_up_to = fast;
  return true;
}

}  // namespace korvel::tables

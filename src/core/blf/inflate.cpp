#include "blf/inflate.hpp"

#include <zlib.h>
#ifdef KORVEL_HAVE_LIBDEFLATE
#include <libdeflate.h>

#include <memory>
#endif

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

namespace korvel {

namespace {
// Deflate cannot expand data by more than about 1032:1.
constexpr size_t MAX_RATIO = 1032;

InflateResult fail(int code, const z_stream& zs, size_t produced) {
  InflateResult r;
  r.code = code;
  r.produced = produced;
  r.message = "Error " + std::to_string(code) + " while decompressing data";
  if (code == Z_BUF_ERROR)
    r.message += ": incomplete or truncated stream";
  else if (zs.msg)
    r.message += std::string(": ") + zs.msg;
  return r;
}
}  // namespace

namespace {

InflateResult inflate_zlib(const uint8_t* src, size_t n, size_t size_hint, ByteBuffer& out,
                           bool allow_truncated) {
  z_stream zs{};
  size_t start = out.size();
  int rc = inflateInit2(&zs, 15);
  if (rc != Z_OK) return fail(rc, zs, 0);

  size_t bound = n > SIZE_MAX / MAX_RATIO ? SIZE_MAX : n * MAX_RATIO + 64;
  size_t chunk = std::max<size_t>(std::min(size_hint, bound), 1024);
  const uint8_t* in = src;
  size_t in_left = n;
  size_t produced = 0;

  for (;;) {
    uint8_t* dst = out.reserve_more(chunk);
    zs.next_out = dst;
    zs.avail_out = static_cast<uInt>(std::min<size_t>(chunk, UINT_MAX));
    size_t out_before = zs.avail_out;
    if (zs.avail_in == 0 && in_left) {
      size_t take = std::min<size_t>(in_left, UINT_MAX);
      zs.next_in = const_cast<Bytef*>(in);
      zs.avail_in = static_cast<uInt>(take);
      in += take;
      in_left -= take;
    }
    rc = inflate(&zs, Z_NO_FLUSH);
    size_t got = out_before - zs.avail_out;
    out.commit(got);
    produced += got;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_OK) {
      if (zs.avail_out == 0) chunk = std::max<size_t>(chunk, produced);  // grow geometrically
      continue;
    }
    if (rc == Z_BUF_ERROR && zs.avail_out != 0 && zs.avail_in == 0 && in_left == 0) {
      // Input exhausted before the end of the stream.
      if (allow_truncated) break;
      InflateResult r = fail(Z_BUF_ERROR, zs, produced);
      inflateEnd(&zs);
      return r;
    }
    if (rc == Z_BUF_ERROR) continue;
    InflateResult r = fail(rc, zs, produced);
    inflateEnd(&zs);
    return r;
  }
  inflateEnd(&zs);
  InflateResult r;
  r.produced = out.size() - start;
  return r;
}

#ifdef KORVEL_HAVE_LIBDEFLATE
struct DecompressorFree {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One decompressor per thread, reused across containers and calls.
libdeflate_decompressor* thread_decompressor() {
  thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> d(
      libdeflate_alloc_decompressor());
  return d.get();
}

// Whole-buffer inflation; false when zlib must take over (bad data, or no
// decompressor), with `out` unchanged.
bool inflate_libdeflate(const uint8_t* src, size_t n, size_t size_hint, ByteBuffer& out,
                        InflateResult& r) {
  libdeflate_decompressor* d = thread_decompressor();
  if (!d) return false;
  size_t bound = n > SIZE_MAX / MAX_RATIO ? SIZE_MAX : n * MAX_RATIO + 64;
  size_t room = std::max<size_t>(std::min(size_hint, bound), 64);
  for (;;) {
    uint8_t* dst = out.reserve_more(room);
    size_t in_used = 0, got = 0;
    libdeflate_result rc = libdeflate_zlib_decompress_ex(d, src, n, dst, room, &in_used, &got);
    if (rc == LIBDEFLATE_SUCCESS) {
      out.commit(got);
      r = InflateResult{};
      r.produced = got;
      return true;
    }
    if (rc != LIBDEFLATE_INSUFFICIENT_SPACE || room >= bound) return false;
    room = std::min(bound, room * 2);
  }
}
#endif

}  // namespace

const char* inflater_name() {
#ifdef KORVEL_HAVE_LIBDEFLATE
  return "libdeflate";
#else
  return "zlib";
#endif
}

InflateResult inflate_append(const uint8_t* src, size_t n, size_t size_hint, ByteBuffer& out,
                             bool allow_truncated, bool use_libdeflate) {
#ifdef KORVEL_HAVE_LIBDEFLATE
  InflateResult r;
  if (!allow_truncated && use_libdeflate && inflate_libdeflate(src, n, size_hint, out, r)) return r;
#else
  (void)use_libdeflate;
#endif
  return inflate_zlib(src, n, size_hint, out, allow_truncated);
}

}  // namespace korvel

namespace korvel {

namespace {

// A canonical Huffman code as deflate defines it: how many codes there are
// of each length, and the symbols in code order. Short codes are looked up
// in one table; longer ones are walked a length at a time: for the few
// hundred symbols before a container's first object that costs less than
// building zlib's tables.
struct Code {
  uint16_t count[16];
  // In code order; past the first 288, where symbols without a code land
  // while placing (a store is cheaper than a branch there).
  uint16_t symbol[2 * 288];
  unsigned max;  // the longest code length; 0 when there is no code
  // Codes of up to FAST bits looked up by their next FAST input bits:
  // symbol << 4 | length, 0 where a longer code (or none) begins.
  static constexpr unsigned FAST = 10;
  unsigned bits;  // of the table: FAST, or fewer when no code is longer
  uint16_t fast[1u << FAST];
};

// Every FAST-bit value reversed.
constexpr auto REVERSED = [] {
  std::array<uint16_t, 1u << Code::FAST> t{};
  for (unsigned i = 0; i < t.size(); ++i)
    for (unsigned b = 0; b < Code::FAST; ++b)
      t[i] = static_cast<uint16_t>(t[i] | ((i >> b) & 1u) << (Code::FAST - 1 - b));
  return t;
}();

// The `len` (at most FAST) low bits of `code` in reverse order.
inline unsigned reversed(unsigned code, unsigned len) {
  return REVERSED[code << (Code::FAST - len)];
}

// Runs of equal lengths make counting and placing one long chain of
// increments of the same counter through memory; the symbols are taken in
// four quarters, each with counters of its own, so that four chains run side
// by side (the quarters keep symbol order within each length).
constexpr unsigned Q = 4;

// The quarters of n symbols: [cut[q], cut[q + 1]), none shorter than cut[1].
inline void quarters(unsigned n, unsigned (&cut)[Q + 1]) {
  for (unsigned q = 0; q <= Q; ++q) cut[q] = n * q / Q;
}

// Fills `c` from `n` code lengths, given how many of each length each
// quarter holds (counts[16 * q + length]); returns the code space left
// unused (0: complete), or -1 when the lengths over-subscribe it.
int build_counted(Code& c, const uint8_t* lens, unsigned n, const uint16_t* counts) {
  unsigned cut[Q + 1];
  quarters(n, cut);
  for (unsigned len = 0; len < 16; ++len) {
    unsigned sum = 0;
    for (unsigned q = 0; q < Q; ++q) sum += counts[16 * q + len];
    c.count[len] = static_cast<uint16_t>(sum);
  }
  c.count[0] = 0;
  c.max = 0;
  int left = 1;
  for (unsigned len = 1; len < 16; ++len) {
    if (c.count[len]) c.max = len;
    left = 2 * left - c.count[len];
    if (left < 0) return -1;
  }
  // Where each quarter's symbols of each length go; those of length 0
  // past the codes, each quarter in its own room.
  uint16_t next[Q][16];
  uint16_t at = 0;
  for (unsigned len = 1; len < 16; ++len)
    for (unsigned q = 0; q < Q; ++q) {
      next[q][len] = at;
      at = static_cast<uint16_t>(at + counts[16 * q + len]);
    }
  for (unsigned q = 0; q < Q; ++q) next[q][0] = static_cast<uint16_t>(288 + cut[q]);
  for (unsigned k = 0; k < cut[1]; ++k)
    for (unsigned q = 0; q < Q; ++q) {
      const unsigned i = cut[q] + k;
      c.symbol[next[q][lens[i]]++] = static_cast<uint16_t>(i);
    }
  for (unsigned q = 0; q < Q; ++q)  // the last quarters may be one longer
    for (unsigned i = cut[q] + cut[1]; i < cut[q + 1]; ++i)
      c.symbol[next[q][lens[i]]++] = static_cast<uint16_t>(i);
  // The lookup table: codes are sent from their first bit on, so an entry's
  // index is the code reversed, with every value of the bits after it. The
  // table grows a length at a time: doubling it copies the shorter codes'
  // entries to both values of the new bit, then each code of the new
  // length takes one entry.
  c.bits = std::min(std::max(c.max, 1u), Code::FAST);
  c.fast[0] = c.fast[1] = 0;
  unsigned code = 0, index = 0;
  for (unsigned len = 1; len <= c.bits; ++len, code <<= 1) {
    if (len > 1) std::memcpy(c.fast + (1u << (len - 1)), c.fast, sizeof(uint16_t) << (len - 1));
    for (unsigned k = 0; k < c.count[len]; ++k, ++code, ++index)
      c.fast[reversed(code, len)] = static_cast<uint16_t>(c.symbol[index] << 4 | len);
  }
  return left;
}

// The same from the lengths alone.
int build(Code& c, const uint8_t* lens, unsigned n) {
  unsigned cut[Q + 1];
  quarters(n, cut);
  uint16_t counts[Q * 16] = {};
  for (unsigned k = 0; k < cut[1]; ++k)
    for (unsigned q = 0; q < Q; ++q) ++counts[16 * q + lens[cut[q] + k]];
  for (unsigned q = 0; q < Q; ++q)
    for (unsigned i = cut[q] + cut[1]; i < cut[q + 1]; ++i) ++counts[16 * q + lens[i]];
  return build_counted(c, lens, n, counts);
}

constexpr int PAST_END = -1;  // the input ends inside the symbol
constexpr int NO_CODE = -2;   // a bit pattern no symbol has (incomplete codes)

// The input a bit at a time, least significant first, through a 64-bit
// buffer: a symbol costs a table lookup and a shift, not a load from the
// input at a bit position (the chain of those set the pace of the few
// hundred code lengths before a container's first bytes).
struct Bits {
  const uint8_t* src;
  size_t n;
  size_t next = 0;   // the next byte to load
  uint64_t buf = 0;  // bits from pos() on; those past `cnt` may be loaded already
  unsigned cnt = 0;  // bits of buf accounted for

  Bits(const uint8_t* s, size_t len) : src(s), n(len) { refill(); }

  uint64_t pos() const { return uint64_t(next) * 8 - cnt; }
  bool has(unsigned k) const { return pos() + k <= uint64_t(n) * 8; }
  // At least 57 bits in the buffer, or every bit left.
  void refill() {
    if (cnt > 56) return;
    if (n - next >= 8) {
      uint64_t v;
      std::memcpy(&v, src + next, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      v = __builtin_bswap64(v);
#endif
      // Bits of a byte loaded twice land where they were: or-ing is harmless.
      buf |= v << cnt;
      next += (63 - cnt) >> 3;
      cnt |= 56;
    } else {
      while (cnt <= 56 && next < n) {
        buf |= uint64_t(src[next++]) << cnt;
        cnt += 8;
      }
    }
  }
  // At least 56 bits in the buffer without asking whether they are there
  // already (that branch goes as the data goes); false, having refilled
  // as refill() does, within 8 bytes of the end.
  bool top_up() {
    if (n - next < 8) {
      refill();
      return false;
    }
    uint64_t v;
    std::memcpy(&v, src + next, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    buf |= v << cnt;  // cnt < 64 here
    next += (63 - cnt) >> 3;
    cnt |= 56;
    return true;
  }
  void drop(unsigned k) {
    buf >>= k;
    cnt -= k;
  }
  // To the next byte boundary.
  void align() { drop(cnt & 7); }
  // k <= 16 bits; has(k) is the caller's.
  unsigned take(unsigned k) {
    refill();
    const unsigned v = static_cast<unsigned>(buf & ((uint64_t(1) << k) - 1));
    drop(k);
    return v;
  }
  // take() and decode() with the bits known to be in the buffer (15 for a
  // symbol): no refill.
  unsigned take_in(unsigned k) {
    const unsigned v = static_cast<unsigned>(buf & ((uint64_t(1) << k) - 1));
    drop(k);
    return v;
  }
  [[gnu::always_inline]] int decode_in(const Code& c) {
    const uint16_t e = c.fast[buf & ((1u << c.bits) - 1)];
    if (e) {
      drop(e & 15u);
      return e >> 4;
    }
    return finish_slow(c, decode_slow(c, buf, cnt));
  }
  // Kept inline with the loops that call it, so that the buffer stays in
  // registers from one symbol to the next.
  [[gnu::always_inline]] int decode(const Code& c) {
    refill();
    if (cnt >= c.bits) {  // every bit left is in the buffer after a refill
      const uint16_t e = c.fast[buf & ((1u << c.bits) - 1)];
      if (e) {
        drop(e & 15u);
        return e >> 4;
      }
    }
    return finish_slow(c, decode_slow(c, buf, cnt));
  }
  int finish_slow(const Code& c, int r) {
    if (r < 0) {
      // What a failed search read: the bits left, or the longest code's
      // (one for an empty code). Where the stream stops counts.
      drop(r == PAST_END ? cnt : c.max ? c.max : 1);
      return r;
    }
    drop(static_cast<unsigned>(r) & 15u);
    return r >> 4;
  }

  // Longer codes, bit patterns of no code, and the input's last bits, from
  // the next `avail` bits of the input (all that is left when fewer than a
  // code's longest): symbol << 4 | length, or the failure.
  [[gnu::noinline]] static int decode_slow(const Code& c, uint64_t peek, unsigned avail) {
    int code = 0, first = 0, index = 0;
    // An empty code reads one bit before it fails, as zlib's tables do.
    const unsigned top = c.max ? c.max : 1;
    for (unsigned len = 1; len <= top; ++len) {
      if (len > avail) return PAST_END;
      code |= static_cast<int>((peek >> (len - 1)) & 1u);
      const int count = c.count[len];
      if (code - first < count) return c.symbol[index + code - first] << 4 | static_cast<int>(len);
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return NO_CODE;
  }
};

const uint16_t LEN_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t LEN_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t DIST_BASE[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint8_t CODE_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct FixedCodes {
  Code lit, dist;
  FixedCodes() {
    uint8_t lens[288];
    std::memset(lens, 8, 144);
    std::memset(lens + 144, 9, 112);
    std::memset(lens + 256, 7, 24);
    std::memset(lens + 280, 8, 8);
    build(lit, lens, 288);
    std::memset(lens, 5, 32);  // 30 and 31 have codes but no meaning
    build(dist, lens, 32);
  }
};

enum class Stop { Full, End, Bad, Short };

struct Prefix {
  size_t produced;
  uint64_t bits;  // of input read
  Stop stop;
};

// What a symbol of the code lengths' code does, as dynamic_codes looks it
// up: a field a byte, so that each is one load and not a shift and a mask.
struct LengthStep {
  uint8_t drop;   // the symbol's width and its extra bits'
  uint8_t width;  // where its extra bits begin
  uint8_t mask;   // of its extra bits
  uint8_t base;   // its run before them
  uint8_t lit;    // the length it gives (0 for a repeat)
  uint8_t again;  // 0xFF for a repeat of the length before
  uint8_t pad[2];
};

constexpr auto LENGTH_STEP = [] {
  std::array<LengthStep, 19> t{};
  for (unsigned sym = 0; sym < 19; ++sym) {
    const unsigned extra = sym < 16 ? 0 : sym == 16 ? 2 : sym == 17 ? 3 : 7;
    t[sym] = LengthStep{static_cast<uint8_t>(extra),
                        0,
                        static_cast<uint8_t>((1u << extra) - 1),
                        static_cast<uint8_t>(sym < 16    ? 1
                                             : sym == 18 ? 11
                                                         : 3),
                        static_cast<uint8_t>(sym < 16 ? sym : 0),
                        static_cast<uint8_t>(sym == 16 ? 0xFF : 0),
                        {0, 0}};
  }
  return t;
}();

// Counts `copy` lengths `len` from `have` on, across the ends of quarters.
inline void counted_run(uint16_t*& region, unsigned& r, const unsigned* bound, unsigned& have,
                        unsigned copy, unsigned len, uint16_t* counts) {
  for (;;) {
    const unsigned here = std::min(copy, bound[r] - have);
    region[len] = static_cast<uint16_t>(region[len] + here);
    have += here;
    copy -= here;
    if (have == bound[r] && r < Q) region = counts + 16 * ++r;
    if (!copy) return;
  }
}

// Reads a dynamic block's codes; Full when they are fine.
Stop dynamic_codes(Bits& in, Code& lit, Code& dist) {
  if (!in.has(14)) return Stop::Short;
  const unsigned nlen = in.take(5) + 257, ndist = in.take(5) + 1, ncode = in.take(4) + 4;
  if (nlen > 286 || ndist > 30) return Stop::Bad;
  uint8_t lens[320] = {};
  for (unsigned i = 0; i < ncode; ++i) {
    if (!in.has(3)) return Stop::Short;
    lens[CODE_ORDER[i]] = static_cast<uint8_t>(in.take(3));
  }
  Code cl;
  const int unused = build(cl, lens, 19);
  // zlib takes a code-length code without any code as coding every length
  // as 0 in one bit (the missing end-of-block code is then the fault).
  if (cl.max && unused != 0) return Stop::Bad;
  // The lengths, and how many of each every quarter of the literal/length
  // code holds, counted on the way (region Q takes the distances').
  uint8_t all[320 + 8] = {};  // runs are stored 8 bytes at a time
  uint16_t counts[(Q + 1) * 16] = {};
  uint16_t* region = counts;
  unsigned cut[Q + 1];
  quarters(nlen, cut);
  const unsigned total = nlen + ndist;
  unsigned bound[Q + 1];  // where each region ends
  for (unsigned q = 0; q < Q; ++q) bound[q] = cut[q + 1];
  bound[Q] = total;
  unsigned r = 0;
  unsigned have = 0;
  // Where a symbol and its extra bits are surely in the buffer, one lookup
  // gives what the symbol does, and every symbol stores 8 bytes of its
  // length: no branch depends on which symbol came (mispredicted, they took
  // half the time). The zeros of a longer run are there already.
  LengthStep step[1u << 7];
  if (cl.max) {
    // Laid out as build() lays out the fast table.
    step[0] = step[1] = LengthStep{};
    unsigned code = 0, index = 0;
    for (unsigned len = 1; len <= cl.bits; ++len, code <<= 1) {
      if (len > 1) std::memcpy(step + (1u << (len - 1)), step, sizeof(LengthStep) << (len - 1));
      for (unsigned k = 0; k < cl.count[len]; ++k, ++code, ++index) {
        LengthStep e = LENGTH_STEP[cl.symbol[index]];
        e.drop = static_cast<uint8_t>(e.drop + len);
        e.width = static_cast<uint8_t>(len);
        step[reversed(code, len)] = e;
      }
    }
  }
  const uint64_t mask = (uint64_t(1) << cl.bits) - 1;
  unsigned last = 0;  // the length before (kept here, not loaded from `all`)
  while (have < total) {
    if (in.top_up() && cl.max) {
      const LengthStep& first = step[in.buf & mask];
      if (have == 0 && first.again) {  // a repeat with nothing before it
        in.drop(first.drop);
        return Stop::Bad;
      }
      // Four symbols of at most 14 bits each from one refill: a refill's
      // load waits for the bits the symbol before used.
      for (unsigned k = 0; k < 4 && have < total; ++k) {
        const LengthStep& e = step[in.buf & mask];
        const unsigned copy = e.base + (static_cast<unsigned>(in.buf >> e.width) & e.mask);
        in.drop(e.drop);
        if (have + copy > total) return Stop::Bad;
        // Written as arithmetic: the compiler makes branches of selects here.
        const unsigned len = e.lit | (last & e.again);
        last = len;
        const uint64_t run = len * 0x0101010101010101ull;
        std::memcpy(all + have, &run, 8);  // a repeat of the last is at most 6 long
        if (have + copy < bound[r]) {
          region[len] = static_cast<uint16_t>(region[len] + copy);
          have += copy;
        } else {
          counted_run(region, r, bound, have, copy, len, counts);
        }
      }
      continue;
    }
    int sym = 0;
    if (!cl.max) {
      if (!in.has(1)) return Stop::Short;
      in.take(1);
    } else if ((sym = in.decode(cl)) < 0) {
      return Stop::Short;
    }
    unsigned copy = 1, len = static_cast<unsigned>(sym);
    if (sym >= 16) {
      const unsigned extra = sym == 16 ? 2 : sym == 17 ? 3 : 7;
      if (!in.has(extra)) return Stop::Short;
      copy = in.take(extra) + (sym == 18 ? 11 : 3);
      if (sym == 16 && have == 0) return Stop::Bad;
      len = sym == 16 ? last : 0;
      if (have + copy > total) return Stop::Bad;
    }
    last = len;
    const uint64_t run = len * 0x0101010101010101ull;
    for (unsigned k = 0; k < copy; k += 8) std::memcpy(all + have + k, &run, 8);
    counted_run(region, r, bound, have, copy, len, counts);
  }
  if (all[256] == 0) return Stop::Bad;
  // Incomplete codes are taken only with a single one-bit code (or, for
  // distances, none), as zlib takes them.
  int left = build_counted(lit, all, nlen, counts);
  if (left < 0 || (left > 0 && lit.max > 1)) return Stop::Bad;
  left = build(dist, all + nlen, ndist);
  if (left < 0 || (left > 0 && dist.max > 1)) return Stop::Bad;
  return Stop::Full;
}

// Inflates a raw deflate stream into out[0, limit) from its start (bytes
// up to out[limit + 7] may be written over), stopping
// where zlib's inflate() asked for `limit` bytes stops: it reads on past the
// last byte it writes until it has the next symbol to write (block headers
// and codes in between included), and fails where zlib fails.
Prefix inflate_prefix(const uint8_t* src, size_t n, uint8_t* out, size_t limit) {
  static const FixedCodes fixed;
  Bits in{src, n};
  size_t put = 0;
  auto stop = [&](Stop s) { return Prefix{put, in.pos(), s}; };
  Code lit, dist;
  for (;;) {
    if (!in.has(3)) return stop(Stop::Short);
    const unsigned last = in.take(1);
    const unsigned type = in.take(2);
    if (type == 0) {
      in.align();
      if (!in.has(32)) return stop(Stop::Short);
      const unsigned len = in.take(16);
      if (len != (in.take(16) ^ 0xFFFFu)) return stop(Stop::Bad);
      for (unsigned k = 0; k < len; ++k) {
        if (put == limit) return stop(Stop::Full);
        if (!in.has(8)) return stop(Stop::Short);
        out[put++] = static_cast<uint8_t>(in.take(8));
      }
    } else if (type == 3) {
      return stop(Stop::Bad);
    } else {
      if (type == 2) {
        const Stop s = dynamic_codes(in, lit, dist);
        if (s != Stop::Full) return stop(s);
      }
      const Code& lc = type == 1 ? fixed.lit : lit;
      const Code& dc = type == 1 ? fixed.dist : dist;
      for (;;) {
        // With 8 bytes of input left, a symbol and its match (at most 48
        // bits) are in the buffer: no refill, and no asking, until the next
        // symbol.
        const bool sure = in.top_up();
        int sym = sure ? in.decode_in(lc) : in.decode(lc);
        if (sym < 0) return stop(sym == PAST_END ? Stop::Short : Stop::Bad);
        if (sym < 256) {
          if (put == limit) return stop(Stop::Full);
          out[put++] = static_cast<uint8_t>(sym);
          continue;
        }
        if (sym == 256) break;
        sym -= 257;
        if (sym >= 29) return stop(Stop::Bad);
        unsigned length;
        size_t d;
        if (sure) {
          length = LEN_BASE[sym] + in.take_in(LEN_EXTRA[sym]);
          const int ds = in.decode_in(dc);
          if (ds < 0 || ds >= 30) return stop(Stop::Bad);
          d = DIST_BASE[ds] + in.take_in(DIST_EXTRA[ds]);
        } else {
          if (!in.has(LEN_EXTRA[sym])) return stop(Stop::Short);
          length = LEN_BASE[sym] + in.take(LEN_EXTRA[sym]);
          const int ds = in.decode(dc);
          if (ds < 0) return stop(ds == PAST_END ? Stop::Short : Stop::Bad);
          if (ds >= 30) return stop(Stop::Bad);
          if (!in.has(DIST_EXTRA[ds])) return stop(Stop::Short);
          d = DIST_BASE[ds] + in.take(DIST_EXTRA[ds]);
        }
        // zlib looks at the distance only once it has room to copy.
        if (put == limit) return stop(Stop::Full);
        if (d > put) return stop(Stop::Bad);
        const size_t room = std::min<size_t>(length, limit - put);
        // 8 bytes at a time, up to 7 past the match (`out` has room for
        // them; later bytes overwrite them).
        uint8_t* to = out + put;
        const uint8_t* from = to - d;
        if (d >= 8) {
          for (size_t k = 0; k < room; k += 8) std::memcpy(to + k, from + k, 8);
        } else if (d == 1) {
          const uint64_t run = from[0] * 0x0101010101010101ull;
          for (size_t k = 0; k < room; k += 8) std::memcpy(to + k, &run, 8);
        } else {
          for (size_t k = 0; k < room; ++k) to[k] = from[k];
        }
        put += room;
        if (room < length) return stop(Stop::Full);
      }
    }
    if (last) return stop(Stop::End);
  }
}

}  // namespace

struct PrefixInflater::State {
  const uint8_t* start = nullptr;  // the zlib header
  const uint8_t* src = nullptr;    // the raw deflate stream after it
  size_t n = 0;
  bool ended = true;
  bool bad = false;  // the stream's own header is not a zlib header
  size_t produced = 0;
  size_t used = 0;
  ByteBuffer all;  // everything inflated so far (matches reach back into it)
};

PrefixInflater::PrefixInflater() : state_(new State) {}

PrefixInflater::~PrefixInflater() { delete state_; }

// The zlib header is checked here and the stream inflated raw: a prefix
// never reaches the checksum.
void PrefixInflater::begin(const uint8_t* src, size_t n) {
  State& s = *state_;
  // CMF and FLG: deflate, a window of at most 32 KiB, no preset dictionary,
  // and the check bits.
  s.bad = n < 2 || (src[0] & 0x0F) != 8 || (src[0] >> 4) > 7 || (src[1] & 0x20) ||
          ((src[0] << 8) | src[1]) % 31 != 0;
  const size_t skip = n < 2 ? n : 2;
  s.start = src;
  s.src = src + skip;
  s.n = n - skip;
  s.ended = s.bad;
  s.produced = 0;
  s.used = skip;
}

size_t PrefixInflater::used() const { return state_->used; }

// Each call inflates again from the stream's start (the first call is by far
// the most common, and the steps grow geometrically), ending and failing
// exactly where zlib would after the same requests: ended once the stream
// ends or its input is all read, failed on bad data read before that.
size_t PrefixInflater::next(ByteBuffer& out, size_t more, bool& ended, bool& failed) {
  State& s = *state_;
  failed = s.bad;
  ended = s.ended;
  if (ended || more == 0) return 0;
  const size_t limit = s.produced + more;
  s.all.clear();
  uint8_t* room = s.all.reserve_more(limit + 8);
  const Prefix p = inflate_prefix(s.src, s.n, room, limit);
  const size_t got = p.produced - s.produced;
  if (got) {
    std::memcpy(out.reserve_more(got), room + s.produced, got);
    out.commit(got);
  }
  s.produced = p.produced;
  s.used = static_cast<size_t>(s.src - s.start) + std::min<size_t>(s.n, (p.bits + 7) / 8);
  const bool read_all = p.stop == Stop::Short || (p.bits + 7) / 8 >= s.n;
  if (p.stop == Stop::End || read_all) {
    s.ended = ended = true;
  } else if (p.stop == Stop::Bad) {
    s.ended = ended = true;
    failed = true;
  }
  return got;
}

}  // namespace korvel

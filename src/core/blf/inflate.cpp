#include "blf/inflate.hpp"

#include <zlib.h>
#ifdef KORVEL_HAVE_LIBDEFLATE
#include <libdeflate.h>

#include <memory>
#endif

#include <algorithm>
#include <climits>

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

struct PrefixInflater::State {
  z_stream zs{};
  bool ready = false;
  bool ended = false;
  bool bad = false;  // the stream's own header is not a zlib header
};

// The zlib header is checked here and the stream inflated raw: a prefix
// never reaches the checksum, so computing it would be wasted.
PrefixInflater::PrefixInflater() : state_(new State) {
  state_->ready = inflateInit2(&state_->zs, -15) == Z_OK;
}

PrefixInflater::~PrefixInflater() {
  if (state_->ready) inflateEnd(&state_->zs);
  delete state_;
}

void PrefixInflater::begin(const uint8_t* src, size_t n) {
  z_stream& zs = state_->zs;
  if (state_->ready) inflateReset(&zs);
  // CMF and FLG: deflate, a window of at most 32 KiB, no preset dictionary,
  // and the check bits.
  state_->bad = n < 2 || (src[0] & 0x0F) != 8 || (src[0] >> 4) > 7 || (src[1] & 0x20) ||
                ((src[0] << 8) | src[1]) % 31 != 0;
  const size_t skip = n < 2 ? n : 2;
  zs.next_in = const_cast<Bytef*>(src + skip);
  zs.avail_in = static_cast<uInt>(std::min<size_t>(n - skip, UINT_MAX));
  state_->ended = !state_->ready || state_->bad;
}

size_t PrefixInflater::next(ByteBuffer& out, size_t more, bool& ended, bool& failed) {
  failed = !state_->ready || state_->bad;
  ended = state_->ended;
  if (ended || more == 0) return 0;
  z_stream& zs = state_->zs;
  more = std::min<size_t>(more, UINT_MAX);
  zs.next_out = out.reserve_more(more);
  zs.avail_out = static_cast<uInt>(more);
  const int rc = inflate(&zs, Z_NO_FLUSH);
  const size_t got = more - zs.avail_out;
  out.commit(got);
  if (rc == Z_STREAM_END || zs.avail_in == 0) {
    state_->ended = ended = true;
  } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && got)) {
    state_->ended = ended = true;
    failed = true;
  }
  return got;
}

}  // namespace korvel

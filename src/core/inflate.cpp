#include "inflate.hpp"

#include <zlib.h>

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

InflateResult inflate_append(const uint8_t* src, size_t n, size_t size_hint, ByteBuffer& out,
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

}  // namespace korvel

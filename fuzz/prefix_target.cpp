// The first bytes of a container's stream, as find_first asks for them: the
// small inflater must give what zlib's inflate() gives when asked for the
// same amounts one call after another (bytes, and where it ends or fails),
// since first timestamps must not depend on which inflater found them.
#include <zlib.h>

#include <climits>
#include <string>
#include <vector>

#include "blf/inflate.hpp"
#include "common.hpp"

namespace {

// zlib, driven as the reader drove it before the small inflater.
struct Reference {
  z_stream zs{};
  bool ended = false, bad = false;

  Reference(const uint8_t* src, size_t n) {
    FUZZ_CHECK(inflateInit2(&zs, -15) == Z_OK);
    bad = n < 2 || (src[0] & 0x0F) != 8 || (src[0] >> 4) > 7 || (src[1] & 0x20) ||
          ((src[0] << 8) | src[1]) % 31 != 0;
    const size_t skip = n < 2 ? n : 2;
    zs.next_in = const_cast<Bytef*>(src + skip);
    zs.avail_in = static_cast<uInt>(n - skip);
    ended = bad;
  }
  ~Reference() { inflateEnd(&zs); }

  std::string next(size_t more, bool& end, bool& failed) {
    failed = bad;
    end = ended;
    if (end || more == 0) return {};
    std::string out(more, '\0');
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = static_cast<uInt>(more);
    const int rc = inflate(&zs, Z_NO_FLUSH);
    const size_t got = more - zs.avail_out;
    out.resize(got);
    if (rc == Z_STREAM_END || zs.avail_in == 0) {
      ended = end = true;
    } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && got)) {
      ended = end = true;
      failed = true;
    }
    return out;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  // Up to four requests of 1 to 4096 bytes, then the stream.
  const uint8_t steps = in.take<uint8_t>() % 5;
  std::vector<size_t> asks;
  for (uint8_t i = 0; i < steps; ++i) asks.push_back(in.take<uint16_t>() % 4096 + 1);
  if (asks.empty()) asks = {256, 512, 1024, 2048};
  auto src = fuzz::exact_copy(in.rest(), in.left());
  const size_t n = in.left();

  Reference ref(src.get(), n);
  korvel::PrefixInflater ours;
  ours.begin(src.get(), n);
  korvel::ByteBuffer got;
  std::string want;
  for (size_t ask : asks) {
    bool ref_end, ref_failed, end, failed;
    want += ref.next(ask, ref_end, ref_failed);
    const size_t before = got.size();
    const size_t k = ours.next(got, ask, end, failed);
    FUZZ_CHECK(got.size() == before + k);
    FUZZ_CHECK(k <= ask);
    FUZZ_CHECK(end == ref_end);
    FUZZ_CHECK(failed == ref_failed);
    FUZZ_CHECK(std::string(reinterpret_cast<const char*>(got.data()), got.size()) == want);
    if (end) break;
  }
  return 0;
}

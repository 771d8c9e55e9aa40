// Container inflation on arbitrary streams and size hints. The libdeflate
// fast path must give exactly what zlib gives (bytes, failure code and
// message), since a build's choice of inflater must not change results.
#include <string>

#include "blf/inflate.hpp"
#include "common.hpp"

namespace {

struct Run {
  korvel::InflateResult r;
  std::string bytes;
};

Run run(const uint8_t* src, size_t n, size_t hint, bool truncated, size_t prefix, bool fast) {
  Run out;
  korvel::ByteBuffer buf;
  // Output is appended after what the buffer already holds (the headroom).
  if (prefix) {
    std::memset(buf.reserve_more(prefix), 0xAB, prefix);
    buf.commit(prefix);
  }
  out.r = korvel::inflate_append(src, n, hint, buf, truncated, fast);
  FUZZ_CHECK(buf.size() == prefix + out.r.produced || !out.r.ok());
  for (size_t i = 0; i < prefix; ++i) FUZZ_CHECK(buf.data()[i] == 0xAB);
  if (out.r.ok())
    out.bytes.assign(reinterpret_cast<const char*>(buf.data()) + prefix, out.r.produced);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t mode = in.take<uint8_t>();
  const uint32_t hint = in.take<uint32_t>();
  const bool truncated = mode & 1;
  const size_t prefix = (mode >> 1) * 37;
  auto src = fuzz::exact_copy(in.rest(), in.left());
  const size_t n = in.left();

  Run fast = run(src.get(), n, hint, truncated, prefix, true);
  Run slow = run(src.get(), n, hint, truncated, prefix, false);
  FUZZ_CHECK(fast.r.code == slow.r.code);
  FUZZ_CHECK(fast.r.message == slow.r.message);
  FUZZ_CHECK(fast.bytes == slow.bytes);
  // Deflate cannot expand beyond about 1032:1.
  FUZZ_CHECK(fast.bytes.size() <= n * 1032 + 64);
  return 0;
}

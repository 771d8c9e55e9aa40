// Records with arbitrary fields encoded into container data and scanned
// back: the writer's objects must always scan cleanly and give back the
// frames as the format can carry them.
#include <algorithm>
#include <vector>

#include "blf/encoder.hpp"
#include "blf/scanner.hpp"
#include "common.hpp"

namespace {

using namespace korvel;

uint8_t expected_flags(uint8_t f, uint32_t can_id) {
  uint8_t ext = ((f & FLAG_EXTENDED) || (can_id & blf::CAN_ID_EXTENDED)) ? FLAG_EXTENDED : 0;
  if (f & FLAG_ERROR) return FLAG_ERROR | ext;
  if (f & FLAG_FD) return (f & (FLAG_REMOTE | FLAG_RX | FLAG_BRS | FLAG_ESI)) | FLAG_FD | ext;
  return (f & (FLAG_REMOTE | FLAG_RX)) | ext;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const size_t width = in.take<uint8_t>() % 72;  // data bytes per inline record
  // At least one object of the largest kind fits any container.
  const size_t capacity = enc::MAX_OBJ_SIZE + in.take<uint16_t>() % 4096;
  const int64_t start = in.take<int32_t>();
  const size_t stride = RECORD_DATA_OFFSET + width;
  const size_t n = in.left() / stride;
  if (n == 0) return 0;
  std::unique_ptr<char[]> recs(new char[n * stride]);
  std::memcpy(recs.get(), in.rest(), n * stride);
  InlineRecords src{recs.get(), n, static_cast<ptrdiff_t>(stride), width};

  InnerScanner scanner(start);
  fuzz::ExactSink sink;
  size_t first = 0;
  while (first < n) {
    std::unique_ptr<uint8_t[]> buf(new uint8_t[capacity]);
    size_t used = 0;
    size_t took = enc::fill_container(src, first, start, buf.get(), capacity, &used);
    FUZZ_CHECK(used <= capacity);
    FUZZ_CHECK(took > 0);  // every object fits an empty container
    const size_t before = sink.record_count;
    ScanResult r = scanner.scan(buf.get(), used, sink);
    FUZZ_CHECK(r.status == ScanStatus::Done);
    FUZZ_CHECK(r.consumed == used);
    FUZZ_CHECK(sink.record_count == before + took);
    first += took;
  }

  for (size_t i = 0; i < n; ++i) {
    DT_t h;
    std::memcpy(&h, recs.get() + i * stride, RECORD_DATA_OFFSET);
    const uint8_t* d =
        reinterpret_cast<const uint8_t*>(recs.get() + i * stride) + RECORD_DATA_OFFSET;
    const DT_t& got = sink.records[i];
    FUZZ_CHECK(got.can_id == (h.can_id & blf::CAN_ID_MASK));
    FUZZ_CHECK(got.channel == h.channel);
    FUZZ_CHECK(got.flags == expected_flags(h.flags, h.can_id));
    const bool fd = !(h.flags & FLAG_ERROR) && (h.flags & FLAG_FD);
    FUZZ_CHECK(got.is64 == (fd ? 1 : 0));
    FUZZ_CHECK(got.len == (fd ? canfd_dlc_to_len(canfd_len_to_dlc(h.len)) : h.len));
    const size_t field = fd ? 64 : 8;
    const size_t stored = std::min<size_t>(h.len, field);
    FUZZ_CHECK(loc_count(got.loc) == stored);
    const size_t copied = std::min({stored, width, MAX_DATA_WIDTH});
    const uint8_t* p = sink.payload + loc_offset(got.loc);
    FUZZ_CHECK(std::memcmp(p, d, copied) == 0);
    for (size_t k = copied; k < stored; ++k) FUZZ_CHECK(p[k] == 0);
    // Timestamps go through a double on the way back; exact while small.
    const int64_t rel =
        static_cast<int64_t>(static_cast<uint64_t>(h.timestamp) - static_cast<uint64_t>(start));
    if (rel > -(int64_t(1) << 52) && rel < (int64_t(1) << 52) && h.timestamp - rel == start)
      FUZZ_CHECK(got.timestamp == h.timestamp);
  }
  return 0;
}

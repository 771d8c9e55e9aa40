// The inner-object scan over arbitrary container data, fed whole and in
// pieces (the way containers arrive, with the unfinished object carried
// over). Both must decode the same frames and stop on the same fault, and
// every record must point inside the payload that was written.
#include <vector>

#include "blf/scanner.hpp"
#include "common.hpp"

namespace {

struct Outcome {
  fuzz::ExactSink sink;
  korvel::ScanStatus status = korvel::ScanStatus::Done;
  std::vector<uint16_t> unknown;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const unsigned pieces = in.take<uint8_t>() % 8;
  std::vector<size_t> sizes;
  for (unsigned i = 0; i < pieces; ++i) sizes.push_back(in.take<uint16_t>());
  const int64_t start = in.take<int64_t>();
  const uint8_t* body = in.rest();
  const size_t n = in.left();
  korvel::InnerScanner scanner(start);

  Outcome whole;
  {
    auto buf = fuzz::exact_copy(body, n);
    korvel::ScanResult r = scanner.scan(buf.get(), n, whole.sink);
    whole.status = r.status;
    whole.unknown = r.unknown_versions;
    FUZZ_CHECK(r.consumed <= n);
    if (r.status != korvel::ScanStatus::Done) FUZZ_CHECK(r.offset < n);
  }
  fuzz::check_sink(whole.sink);

  Outcome split;
  std::vector<uint8_t> tail;
  size_t pos = 0;
  for (size_t k = 0; k <= sizes.size() && split.status == korvel::ScanStatus::Done; ++k) {
    size_t take = k < sizes.size() ? std::min(sizes[k], n - pos) : n - pos;
    std::vector<uint8_t> joined(tail);
    joined.insert(joined.end(), body + pos, body + pos + take);
    pos += take;
    auto buf = fuzz::exact_copy(joined.data(), joined.size());
    korvel::ScanResult r = scanner.scan(buf.get(), joined.size(), split.sink);
    split.status = r.status;
    split.unknown.insert(split.unknown.end(), r.unknown_versions.begin(), r.unknown_versions.end());
    FUZZ_CHECK(r.consumed <= joined.size());
    tail.assign(joined.begin() + static_cast<ptrdiff_t>(r.consumed), joined.end());
  }
  fuzz::check_sink(split.sink);

  FUZZ_CHECK(split.status == whole.status);
  FUZZ_CHECK(split.unknown == whole.unknown);
  fuzz::check_same_frames(split.sink, whole.sink);
  return 0;
}

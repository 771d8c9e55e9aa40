// Containers scanned ahead (as the workers do) and stitched in file order
// must give exactly what one in-order scan gives: the same frames, the same
// fault at the same offset, the same carried tail.
#include <vector>

#include "blf/stitch.hpp"
#include "common.hpp"

namespace {

struct Run {
  fuzz::ExactSink sink;
  std::vector<korvel::ScanResult> results;
  size_t tail = 0;
};

Run run(const korvel::InnerScanner& scanner, const uint8_t* body, size_t n,
        const std::vector<size_t>& sizes, bool ahead) {
  Run out;
  korvel::OrderedScan ordered(scanner);
  korvel::AheadScan scan;
  size_t pos = 0;
  for (size_t k = 0; k <= sizes.size(); ++k) {
    size_t take = k < sizes.size() ? std::min(sizes[k], n - pos) : n - pos;
    // Exactly the headroom and the data, so overruns hit the allocation's end.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[korvel::OrderedScan::HEADROOM + take]);
    uint8_t* data = buf.get() + korvel::OrderedScan::HEADROOM;
    if (take) std::memcpy(data, body + pos, take);
    pos += take;
    if (ahead) korvel::scan_ahead(scanner, data, take, scan);
    korvel::ScanResult r = ordered.feed(data, take, ahead ? &scan : nullptr, out.sink);
    out.results.push_back(r);
    if (r.status != korvel::ScanStatus::Done) break;
  }
  out.tail = ordered.tail_size();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const unsigned pieces = in.take<uint8_t>() % 12;
  std::vector<size_t> sizes;
  for (unsigned i = 0; i < pieces; ++i) sizes.push_back(in.take<uint16_t>() % 20000);
  const uint8_t* body = in.rest();
  const size_t n = in.left();
  korvel::InnerScanner scanner(0);

  Run seq = run(scanner, body, n, sizes, false);
  Run par = run(scanner, body, n, sizes, true);
  FUZZ_CHECK(seq.results.size() == par.results.size());
  for (size_t i = 0; i < seq.results.size(); ++i) {
    const korvel::ScanResult &a = seq.results[i], &b = par.results[i];
    FUZZ_CHECK(a.status == b.status);
    FUZZ_CHECK(a.unknown_versions == b.unknown_versions);
    if (a.status == korvel::ScanStatus::Done) {
      FUZZ_CHECK(a.consumed == b.consumed);
    } else {
      FUZZ_CHECK(a.offset == b.offset);
      FUZZ_CHECK(a.object_size == b.object_size);
      FUZZ_CHECK(a.object_type == b.object_type);
    }
  }
  FUZZ_CHECK(seq.tail == par.tail);
  fuzz::check_same_frames(seq.sink, par.sink);
  fuzz::check_sink(par.sink);
  return 0;
}

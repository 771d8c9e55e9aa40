// The ASC reader: whole against blocks and pieces (text_common.hpp); times
// never before the header's (FakeClock's dates are positive); and what it
// reads, written again by the ASC writer and read back, must come back frame
// for frame (every kind; times to the nearest microsecond). With LIN and
// Ethernet records wanted, the CAN frames stay the same, the lines read as
// records are exactly the lines no longer skipped, and every record's bytes
// lie inside its column.
#include "text/asc.hpp"
#include "text/asc_writer.hpp"
#include "text_common.hpp"

namespace {

auto make = [](korvel::text::LocalClock& c) {
  return std::make_unique<korvel::text::AscParser>(c);
};

// The reader with the other buses' columns, against `plain` (without them).
void with_buses(const char* text, size_t n, const fuzz::Outcome& plain) {
  using namespace korvel::buses;
  fuzz::FakeClock clock;
  korvel::text::AscParser parser(clock);
  RecordColumn<LinRecord> lin;
  RecordColumn<EthernetRecord> eth;
  parser.set_buses({&lin, &eth});
  fuzz::ExactSink sink;
  uint64_t error_line = 0;
  try {
    parser.parse(text, text + n, true, sink, SIZE_MAX);
  } catch (const korvel::text::TextError& e) {
    error_line = e.line;
  }
  std::vector<fuzz::Frame> frames;
  fuzz::collect(sink, frames);
  const auto& c = parser.counts();
  if (error_line != plain.error_line || frames != plain.frames) std::abort();
  if (c.lin != lin.count() || c.ethernet != eth.count()) std::abort();
  if (!error_line && c.skipped + c.lin + c.ethernet != plain.counts.skipped) std::abort();
  auto inside = [](uint64_t loc, size_t size, uint64_t most) {
    const uint64_t off = korvel::loc_offset(loc), cnt = korvel::loc_count(loc);
    if (cnt > most || off > size || cnt > size - off) std::abort();
  };
  for (size_t i = 0; i < lin.count(); ++i) inside(lin.data()[i].loc, lin.payload.size(), 8);
  for (size_t i = 0; i < eth.count(); ++i) inside(eth.data()[i].loc, eth.payload.size(), n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::check(data, size, make);
  if (size < 2) return 0;
  const char* text = reinterpret_cast<const char*>(data + 2);
  const fuzz::Outcome first = fuzz::whole(text, size - 2, make);
  with_buses(text, size - 2, first);
  if (first.error_line || first.frames.empty()) return 0;
  // Frames laid out again, written from the earliest, read back.
  std::vector<korvel::DT_t> recs;
  std::string chunk;
  int64_t base = first.frames[0].rec.timestamp, last = base;
  for (const auto& f : first.frames) {
    if (f.rec.timestamp < 0) std::abort();  // a sum that wrapped
    last = std::max(last, f.rec.timestamp);
    korvel::DT_t r = f.rec;
    r.loc = korvel::make_loc(chunk.size(), f.data.size());
    chunk += f.data;
    recs.push_back(r);
    if (r.timestamp < base) base = r.timestamp;
  }
  korvel::FrameView v;
  v.records = reinterpret_cast<const char*>(recs.data());
  v.n = recs.size();
  v.stride = sizeof(korvel::DT_t);
  v.chunk = reinterpret_cast<const uint8_t*>(chunk.data());
  v.chunk_size = chunk.size();
  korvel::ByteBuffer out;
  korvel::text::CivilTime epoch;
  korvel::text::asc_header(out, epoch);
  if (korvel::text::asc_lines(v, 0, v.n, base, out) != v.n) std::abort();
  korvel::text::asc_footer(out);
  // The header's date reads as FakeClock's number for it; times count from there.
  fuzz::FakeClock clock;
  int64_t start;
  clock.to_ns(epoch, start);
  // Spans too long to count from the written date stay out of the round trip.
  if (static_cast<uint64_t>(last - base) / 1000 + 1 >
      static_cast<uint64_t>(INT64_MAX - start) / 1000)
    return 0;
  const fuzz::Outcome back =
      fuzz::whole(reinterpret_cast<const char*>(out.data()), out.size(), make);
  if (back.error_line || back.frames.size() != recs.size() || back.counts.skipped) std::abort();
  for (size_t i = 0; i < recs.size(); ++i) {
    const korvel::DT_t& a = recs[i];
    const korvel::DT_t& b = back.frames[i].rec;
    const uint64_t d = static_cast<uint64_t>(a.timestamp) - static_cast<uint64_t>(base);
    const uint64_t us = d / 1000 + (d % 1000 >= 500);
    if (static_cast<uint64_t>(b.timestamp) - static_cast<uint64_t>(start) != us * 1000)
      std::abort();
    if (a.can_id != b.can_id || a.channel != b.channel || (a.flags & 0x7F) != (b.flags & 0x7F))
      std::abort();
    if (a.len != b.len || back.frames[i].data != first.frames[i].data) std::abort();
  }
  return 0;
}

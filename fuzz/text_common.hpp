// The text readers' fuzz oracle: the parser over the whole input against the
// same parser fed as the bindings feed it (blocks of a size the input picks,
// pieces of at most a few frames, an unparsed tail carried to the next
// block). Both must agree frame for frame, or fail on the same line (the
// pieces before it a prefix of the whole); every
// frame's payload must lie inside the payload written, at most 64 bytes, none
// for a remote frame and at most 8 for a classic one; input rejected as no
// log of the format gave no frame.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common.hpp"
#include "text/scan.hpp"

namespace fuzz {

// Dates to numbers without the interpreter: distinct, exact, and out of
// range past the year 9000 (as far dates are for the int64 ns range).
class FakeClock : public korvel::text::LocalClock {
 public:
  bool to_ns(const korvel::text::CivilTime& t, int64_t& out) override {
    if (!korvel::text::civil_valid(t)) std::abort();  // the readers pass valid dates alone
    const int64_t s =
        ((((int64_t(t.year) * 12 + t.month) * 31 + t.day) * 24 + t.hour) * 60 + t.minute) * 61 +
        t.second;
    out = s * 1000000 + t.nanos % 1000000;
    return t.year <= 9000;
  }
};

struct Frame {
  korvel::DT_t rec;
  std::string data;
  bool operator==(const Frame& o) const {
    return std::memcmp(&rec, &o.rec, 16) == 0 && data == o.data &&
           korvel::loc_count(rec.loc) == korvel::loc_count(o.rec.loc);
  }
};

struct Outcome {
  std::vector<Frame> frames;
  uint64_t error_line = 0;  // 0: none
  std::string error;
  korvel::text::Counts counts;
};

inline void collect(const ExactSink& sink, std::vector<Frame>& out) {
  for (size_t i = 0; i < sink.record_count; ++i) {
    const korvel::DT_t& r = sink.records[i];
    const uint64_t off = korvel::loc_offset(r.loc), n = korvel::loc_count(r.loc);
    if (n > 64 || off > sink.payload_size || n > sink.payload_size - off) std::abort();
    out.push_back({r, std::string(reinterpret_cast<const char*>(sink.payload + off), n)});
  }
}

template <class Make>
Outcome whole(const char* b, size_t n, Make make) {
  Outcome o;
  FakeClock clock;
  auto parser = make(clock);
  ExactSink sink;
  try {
    if (parser->parse(b, b + n, true, sink, SIZE_MAX) != n) std::abort();
  } catch (const korvel::text::TextError& e) {
    o.error_line = e.line;
    o.error = e.what();
  }
  collect(sink, o.frames);
  o.counts = parser->counts();
  return o;
}

template <class Make>
Outcome blocks(const char* b, size_t n, size_t block, size_t piece, Make make) {
  Outcome o;
  FakeClock clock;
  auto parser = make(clock);
  std::string buf;
  size_t fed = 0, pos = 0;
  bool eof = n == 0;
  try {
    for (;;) {
      ExactSink sink;
      bool done = false;
      for (;;) {
        pos += parser->parse(buf.data() + pos, buf.data() + buf.size(), eof, sink, piece);
        if (sink.record_count >= piece) break;
        if (eof) {
          done = true;
          break;
        }
        buf.erase(0, pos);
        pos = 0;
        const size_t take = std::min(block, n - fed);
        buf.append(b + fed, take);
        fed += take;
        eof = fed == n;
      }
      if (sink.record_count > piece) std::abort();
      collect(sink, o.frames);
      if (done) break;
    }
  } catch (const korvel::text::TextError& e) {
    o.error_line = e.line;
  }
  o.counts = parser->counts();
  return o;
}

template <class Make>
void check(const uint8_t* data, size_t size, Make make) {
  Input in(data, size);
  const size_t block = 1 + in.take<uint8_t>() % 97;
  const size_t piece = 1 + in.take<uint8_t>() % 7;
  const char* text = reinterpret_cast<const char*>(in.rest());
  const Outcome a = whole(text, in.left(), make);
  const Outcome b = blocks(text, in.left(), block, piece, make);
  if (a.error_line != b.error_line) std::abort();
  // After a fault the pieces handed out before it stand; the piece it cut is lost.
  if (a.error_line ? b.frames.size() > a.frames.size() ||
                         !std::equal(b.frames.begin(), b.frames.end(), a.frames.begin())
                   : !(a.frames == b.frames))
    std::abort();
  if (!a.error_line && (a.counts.lines != b.counts.lines || a.counts.skipped != b.counts.skipped ||
                        a.counts.first_skipped != b.counts.first_skipped))
    std::abort();
  if (a.counts.skipped && (!a.counts.first_skipped || a.counts.first_skipped > a.counts.lines))
    std::abort();
  // Not a log only when no line was one.
  const std::string not_a_log = "line " + std::to_string(a.error_line) + ": not a line of ";
  if (a.error.compare(0, not_a_log.size(), not_a_log) == 0 && !a.frames.empty()) std::abort();
  for (const Frame& f : a.frames) {
    const uint8_t flags = f.rec.flags;
    if (flags & korvel::FLAG_REMOTE
            ? !f.data.empty()
            : !(flags & (korvel::FLAG_FD | korvel::FLAG_ERROR)) && f.data.size() > 8)
      std::abort();
  }
}

}  // namespace fuzz

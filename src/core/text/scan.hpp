// Scanning text logs in place: lines found with memchr, tokens as pointer
// pairs, numbers parsed from the bytes where they lie. Nothing here allocates;
// a parser walks the whole buffer once and writes frames straight into a sink.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "buses/sink.hpp"
#include "frames.hpp"

namespace korvel::text {

// A run of bytes [b, e).
struct Span {
  const char* b = nullptr;
  const char* e = nullptr;
  size_t size() const { return static_cast<size_t>(e - b); }
  bool empty() const { return b == e; }
};

// Spaces, tabs, carriage returns and the other control characters.
inline bool is_blank(char c) { return static_cast<unsigned char>(c) <= ' '; }
inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
inline bool is_alpha(char c) { return static_cast<unsigned char>((c | 0x20) - 'a') < 26; }
inline char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c | 0x20) : c; }

// Hex digit values by byte, -1 for other bytes: one load instead of branches.
struct HexTable {
  int8_t v[256];
  constexpr HexTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<int8_t>(i);
    for (int i = 0; i < 6; ++i) {
      v['a' + i] = static_cast<int8_t>(10 + i);
      v['A' + i] = static_cast<int8_t>(10 + i);
    }
  }
};
inline constexpr HexTable HEX_TABLE{};

inline int hex_value(char c) { return HEX_TABLE.v[static_cast<unsigned char>(c)]; }

// The next blank-separated token of `s`, consumed from its front; empty at
// the end of the line.
inline Span next_token(Span& s) {
  const char* p = s.b;
  // Column padding: eight spaces at a time.
  while (s.e - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (w != 0x2020202020202020ull) break;
    p += 8;
  }
  while (p < s.e && is_blank(*p)) ++p;
  const char* t = p;
  while (p < s.e && !is_blank(*p)) ++p;
  s.b = p;
  return Span{t, p};
}

inline Span trim(Span s) {
  while (s.b < s.e && is_blank(*s.b)) ++s.b;
  while (s.e > s.b && is_blank(s.e[-1])) --s.e;
  return s;
}

// Case-insensitive equality with a lowercase literal.
inline bool equals(Span s, const char* lit) {
  const size_t n = std::strlen(lit);
  if (s.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (lower(s.b[i]) != lit[i]) return false;
  return true;
}

// Case-insensitive prefix test with a lowercase literal.
inline bool starts_with(Span s, const char* lit) {
  const size_t n = std::strlen(lit);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (lower(s.b[i]) != lit[i]) return false;
  return true;
}

// The whole span as an unsigned number in base 10 or 16, at most `max`.
inline bool parse_uint(Span s, int base, uint64_t max, uint64_t& out) {
  if (s.empty() || s.size() > 20) return false;
  uint64_t v = 0;
  for (const char* p = s.b; p < s.e; ++p) {
    const int d = base == 16 ? hex_value(*p) : (is_digit(*p) ? *p - '0' : -1);
    if (d < 0 || static_cast<uint64_t>(d) > max) return false;
    if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  out = v;
  return true;
}

// `n` blank-separated byte tokens of one or two hex digits (the common two
// first, read without finding the token's end) from the front of `rest`.
inline bool hex_byte_tokens(Span& rest, size_t n, uint8_t* dst) {
  const char* p = rest.b;
  const char* const e = rest.e;
  for (size_t i = 0; i < n; ++i) {
    while (p < e && is_blank(*p)) ++p;
    if (e - p >= 2 && (e - p == 2 || is_blank(p[2]))) {
      const int hi = hex_value(p[0]), lo = hex_value(p[1]);
      if ((hi | lo) < 0) return false;
      dst[i] = static_cast<uint8_t>(hi << 4 | lo);
      p += 2;
      continue;
    }
    if (e - p >= 1 && (e - p == 1 || is_blank(p[1]))) {
      const int v = hex_value(p[0]);
      if (v < 0) return false;
      dst[i] = static_cast<uint8_t>(v);
      ++p;
      continue;
    }
    return false;
  }
  rest.b = p;
  return true;
}

// A decimal "123.456789" (the fraction optional) as an integer count of
// 10^-scale units: seconds with scale 9 give nanoseconds, milliseconds with
// scale 6 give nanoseconds. Digits past the scale are dropped. Fails on
// anything else and on values past about 9.2e18 units.
inline bool parse_fixed(Span s, int scale, int64_t& out) {
  const char* p = s.b;
  bool negative = false;
  if (p < s.e && (*p == '-' || *p == '+')) negative = *p++ == '-';
  const char* int_begin = p;
  uint64_t v = 0;
  while (p < s.e && is_digit(*p)) {
    if (p - int_begin >= 19 - scale) return false;  // keeps v * 10^scale in 64 bits
    v = v * 10 + static_cast<uint64_t>(*p++ - '0');
  }
  if (p == int_begin) return false;
  int digits = 0;
  uint64_t frac = 0;
  if (p < s.e && *p == '.') {
    ++p;
    while (p < s.e && is_digit(*p)) {
      if (digits < scale) {
        frac = frac * 10 + static_cast<uint64_t>(*p - '0');
        ++digits;
      }
      ++p;
    }
  }
  if (p != s.e) return false;
  uint64_t unit = 1;
  for (int i = 0; i < scale; ++i) unit *= 10;
  for (int i = digits; i < scale; ++i) frac *= 10;
  const uint64_t total = v * unit + frac;
  if (total > static_cast<uint64_t>(INT64_MAX)) return false;
  out = negative ? -static_cast<int64_t>(total) : static_cast<int64_t>(total);
  return true;
}

// a + b into `out`; false when the sum leaves the int64 range (a line time
// that fits alone may not once the header's base is added).
inline bool add_ns(int64_t a, int64_t b, int64_t& out) {
  return !__builtin_add_overflow(a, b, &out);
}

// "123" or "12.5": the shape of a line's time, whatever its range.
inline bool looks_like_time(Span s) {
  const char* p = s.b;
  while (p < s.e && is_digit(*p)) ++p;
  if (p == s.b) return false;
  if (p < s.e && *p == '.') ++p;
  while (p < s.e && is_digit(*p)) ++p;
  return p == s.e;
}

// A wall-clock date as a log's header writes it, in the recording's local
// time; `nanos` is the part below the second.
struct CivilTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  int64_t nanos = 0;
};

// A date the calendar has: years 1 to 9999, days of the month, seconds
// below 60 (a leap second names no instant a clock converts).
inline bool civil_valid(const CivilTime& t) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1) return false;
  const bool leap = t.year % 4 == 0 && (t.year % 100 != 0 || t.year % 400 == 0);
  const int last = days[t.month - 1] + (t.month == 2 && leap);
  return t.day <= last && t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 &&
         t.second >= 0 && t.second < 60;
}

// Local wall-clock time -> ns since the epoch. The owner supplies it (the
// bindings read it as the BLF header's date is read). Given valid dates
// only; false when the instant lies outside the int64 ns range.
class LocalClock {
 public:
  virtual ~LocalClock() = default;
  virtual bool to_ns(const CivilTime& t, int64_t& out) = 0;
};

// A line the reader cannot go on from (a file that is not a log of the
// format, a date header it cannot read); `line` counts from 1.
struct TextError : std::runtime_error {
  uint64_t line;
  TextError(uint64_t line_no, const std::string& what)
      : std::runtime_error("line " + std::to_string(line_no) + ": " + what), line(line_no) {}
};

// The text of a line for a message: at most 60 bytes of it, control bytes
// (a NUL among them) as replacement characters, so that the message stays
// one whole C string; bytes that are no UTF-8 are replaced when it is shown.
inline std::string quote(Span s) {
  s = trim(s);
  const size_t n = std::min<size_t>(s.size(), 60);
  std::string t = "'";
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s.b[i]);
    if (c < 0x20 && c != '\t')
      t += "\xEF\xBF\xBD";
    else
      t += static_cast<char>(c);
  }
  if (s.size() > 60) t += "...";
  return t + "'";
}

// What a parser has seen so far.
struct Counts {
  uint64_t lines = 0;          // lines consumed
  uint64_t frames = 0;         // frames written
  uint64_t skipped = 0;        // lines neither header, frame nor blank
  uint64_t first_skipped = 0;  // line number of the first of them (0: none)
  uint64_t lin = 0;            // LIN records written
  uint64_t ethernet = 0;       // Ethernet frames written
};

// Where a parser puts the records of other buses it reads; a bus without a
// column is not wanted, and its lines are skipped like any other.
struct BusOutput {
  buses::RecordColumn<buses::LinRecord>* lin = nullptr;
  buses::RecordColumn<buses::EthernetRecord>* ethernet = nullptr;
};

// Frames into a FrameSink: room is made before a line is parsed, so a line
// that turns out malformed leaves nothing behind.
class Emitter {
 public:
  explicit Emitter(FrameSink& sink) : sink_(sink) {}

  // Room for one more frame of up to 64 payload bytes; the payload is
  // written at data() and kept by commit().
  uint8_t* data() {
    if (sink_.record_count + 1 > sink_.record_capacity ||
        sink_.payload_size + 64 > sink_.payload_capacity)
      sink_.grow(sink_.record_count + 1, sink_.payload_size + 64);
    return sink_.payload + sink_.payload_size;
  }

  void commit(int64_t ts, uint32_t id, uint8_t channel, uint8_t len, uint8_t flags, bool is64,
              size_t stored) {
    DT_t& r = sink_.records[sink_.record_count++];
    r.timestamp = ts;
    r.can_id = id;
    r.is64 = is64 ? 1 : 0;
    r.channel = channel;
    r.len = len;
    r.flags = flags;
    r.loc = make_loc(sink_.payload_size, stored);
    sink_.payload_size += stored;
  }

  size_t count() const { return sink_.record_count; }

 private:
  FrameSink& sink_;
};

// A text log reader: feed it the bytes front to back; it keeps its state
// (header facts, interfaces seen) between feeds.
//
// Lines it cannot read are skipped and counted wherever they stand. Only
// input in which no line has the shape of a line of the format (a header
// line, a line led by a time) is not such a log: a TextError naming its
// first line once the input ends, or at once at a line holding a NUL byte
// (binary input, which no text log has).
class TextParser {
 public:
  virtual ~TextParser() = default;
  // Parses the whole lines of [b, e) (with `final`, a last line without a
  // newline too) into `sink`, stopping once the sink holds `max_records`
  // records. Returns the bytes consumed: the unparsed rest must be fed
  // again, with more bytes after it. Throws TextError.
  size_t parse(const char* b, const char* e, bool final, FrameSink& sink, size_t max_records);
  const Counts& counts() const { return counts_; }
  void set_buses(const BusOutput& out) { buses_ = out; }

 protected:
  // One line without its newline (and without a trailing '\r').
  virtual void line(Span s, Emitter& out) = 0;
  // "an ASC log", "a candump log", ...
  virtual const char* log_name() const = 0;
  // A line skipped: counted, and remembered while no line has placed the
  // input as a log of the format.
  void skip(Span s) {
    ++counts_.skipped;
    if (!counts_.first_skipped) counts_.first_skipped = counts_.lines;
    if (!placed_ && !stray_line_) {
      stray_line_ = counts_.lines;
      stray_ = quote(s);
    }
  }
  [[noreturn]] void not_a_log() const {
    throw TextError(stray_line_, std::string("not a line of ") + log_name() + ": " + stray_);
  }
  Counts counts_;
  BusOutput buses_;
  bool placed_ = false;  // a line of the format's shape seen

 private:
  uint64_t stray_line_ = 0;  // the first line skipped before placed_ (0: none)
  std::string stray_;
};

inline size_t TextParser::parse(const char* b, const char* e, bool final, FrameSink& sink,
                                size_t max_records) {
  Emitter out(sink);
  const char* p = b;
  while (p < e && sink.record_count < max_records) {
    const void* nl = std::memchr(p, '\n', static_cast<size_t>(e - p));
    const char* end = nl ? static_cast<const char*>(nl) : (final ? e : nullptr);
    if (!end) break;
    ++counts_.lines;
    const size_t before = sink.record_count;
    Span l{p, end};
    // Editors on Windows open a file with a byte order mark.
    if (counts_.lines == 1 && l.size() >= 3 && std::memcmp(l.b, "\xEF\xBB\xBF", 3) == 0) l.b += 3;
    if (!placed_ && std::memchr(l.b, 0, l.size())) {
      skip(l);
      not_a_log();
    }
    line(l, out);
    counts_.frames += sink.record_count - before;
    p = nl ? end + 1 : end;
  }
  if (final && p == e && !placed_ && stray_line_) not_a_log();
  return static_cast<size_t>(p - b);
}

// The formats, for sniffing.
enum class Format { Unknown, Asc, Candump, Trc };

// The format the first non-blank line of `head` suggests.
Format sniff(const char* head, size_t n);

// FD data length <-> code.
inline bool fd_length_valid(size_t n) {
  return n <= 64 && static_cast<size_t>(CANFD_LEN[canfd_len_to_dlc(static_cast<uint32_t>(n))]) == n;
}

}  // namespace korvel::text

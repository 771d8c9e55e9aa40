#include "text/trc.hpp"

#include <cmath>
#include <cstdlib>

namespace korvel::text {

namespace {

// Days since 1970-01-01 -> civil date (proleptic Gregorian).
void civil_from_days(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

constexpr int64_t DAYS_1899_12_30 = -25569;  // before 1970-01-01

bool is_version(Span v, const char* lit) { return equals(v, lit); }

}  // namespace

bool trc_start_time(double days, CivilTime& t) {
  if (!std::isfinite(days) || days < 0 || days > 3e6) return false;
  // timedelta(days=x): whole days, then the seconds of the fraction, then
  // the microseconds of theirs, rounded half to even.
  double whole_days;
  const double frac = std::modf(days, &whole_days);
  double whole_seconds;
  const double sec_frac = std::modf(frac * 86400.0, &whole_seconds);
  int64_t us = static_cast<int64_t>(std::nearbyint(sec_frac * 1e6));
  int64_t seconds = static_cast<int64_t>(whole_seconds);
  if (us >= 1000000) seconds += 1, us -= 1000000;
  int64_t day = static_cast<int64_t>(whole_days) + DAYS_1899_12_30 + seconds / 86400;
  seconds %= 86400;
  civil_from_days(day, t.year, t.month, t.day);
  t.hour = static_cast<int>(seconds / 3600);
  t.minute = static_cast<int>(seconds / 60 % 60);
  t.second = static_cast<int>(seconds % 60);
  t.nanos = us * 1000;
  return true;
}

void TrcParser::header(Span s) {
  Span body{s.b + 1, s.e};
  const char* eq = static_cast<const char*>(std::memchr(body.b, '=', body.size()));
  if (!starts_with(body, "$") || !eq) return;  // a comment
  const Span key = trim(Span{body.b, eq}), value = trim(Span{eq + 1, body.e});
  if (equals(key, "$fileversion")) {
    if (is_version(value, "1.0"))
      version_ = 10;
    else if (is_version(value, "1.1"))
      version_ = 11;
    else if (is_version(value, "1.3"))
      version_ = 13;
    else if (is_version(value, "2.0"))
      version_ = 20;
    else if (is_version(value, "2.1"))
      version_ = 21;
    else
      throw TextError(counts_.lines, "a PCAN trace version this reader does not read: " + quote(s));
  } else if (equals(key, "$starttime")) {
    char buf[64];
    const size_t n = std::min<size_t>(value.size(), sizeof buf - 1);
    std::memcpy(buf, value.b, n);
    buf[n] = 0;
    char* end = nullptr;
    const double days = std::strtod(buf, &end);
    CivilTime c;
    if (end != buf + n || n == 0 || !trc_start_time(days, c))
      throw TextError(counts_.lines, "a start time in an unknown form: " + quote(s));
    if (!civil_valid(c) || !clock_.to_ns(c, start_))
      throw TextError(counts_.lines, "a start time out of range: " + quote(s));
  } else if (equals(key, "$columns")) {
    ncolumns_ = 0;
    for (const char* p = value.b; p < value.e; ++p) {
      if (*p == ',' || is_blank(*p)) continue;
      if (ncolumns_ == sizeof columns_) break;
      columns_[ncolumns_++] = *p;
    }
  }
}

void TrcParser::line(Span s, Emitter& out) {
  const Span t = trim(s);
  if (t.empty()) return;
  if (*t.b == ';') {
    if (!body_) header(t);
    placed_ = true;
    return;
  }
  if (!body_) {
    body_ = true;
    if (version_ >= 20 && !ncolumns_)
      throw TextError(counts_.lines, "a version 2 trace without $COLUMNS");
  }
  // A number and a time after it ("1)  12.5", "1 12.5"): a line of a trace,
  // whatever follows.
  if (!placed_) {
    Span rest = t;
    const Span number = next_token(rest), offset = next_token(rest);
    placed_ = is_digit(*number.b) && looks_like_time(offset);
  }
  if (version_ >= 20 ? frame_v2(t, out) : frame_v1(t, out)) {
    placed_ = true;
    return;
  }
  skip(s);
}

bool TrcParser::hex_bytes(Span& rest, size_t n, uint8_t* dst) {
  return hex_byte_tokens(rest, n, dst);
}

// 1.0: "N) O ID DLC bytes|RTR"; 1.1: "N) O Rx|Tx ID DLC ..."; 1.3:
// "N) O bus Rx|Tx ID - DLC ...".
bool TrcParser::frame_v1(Span s, Emitter& out) {
  const Span number = next_token(s);
  if (number.size() < 2 || number.e[-1] != ')') return false;
  int64_t offset;
  if (!parse_fixed(next_token(s), 6, offset)) return false;
  uint64_t bus = 1;
  uint8_t flags = FLAG_RX;
  if (version_ == 13 && !parse_uint(next_token(s), 10, 255, bus)) return false;
  if (version_ >= 11) {
    const Span dir = next_token(s);
    if (equals(dir, "tx"))
      flags = 0;
    else if (!equals(dir, "rx"))
      return false;  // warnings, errors and other events
  }
  const Span idtok = next_token(s);
  uint64_t id;
  if (!parse_uint(idtok, 16, 0xFFFFFFFF, id)) return false;
  if (version_ == 10 && id == 0xFFFFFFFF) return false;  // a bus information line
  if (id > 0x1FFFFFFF) return false;
  if (version_ == 13 && !equals(next_token(s), "-")) return false;
  uint64_t dlc;
  if (!parse_uint(next_token(s), 10, 8, dlc)) return false;
  if (idtok.size() > 4) flags |= FLAG_EXTENDED;
  int64_t ts;
  if (!add_ns(start_, offset, ts)) return false;
  uint8_t* dst = out.data();
  Span look = s;
  if (equals(next_token(look), "rtr")) {
    out.commit(ts, static_cast<uint32_t>(id), static_cast<uint8_t>(bus), static_cast<uint8_t>(dlc),
               flags | FLAG_REMOTE, false, 0);
    return true;
  }
  if (!hex_bytes(s, dlc, dst) || !next_token(s).empty()) return false;
  out.commit(ts, static_cast<uint32_t>(id), static_cast<uint8_t>(bus), static_cast<uint8_t>(dlc),
             flags, false, dlc);
  return true;
}

// 2.x: the columns $COLUMNS names, the data bytes last.
bool TrcParser::frame_v2(Span s, Emitter& out) {
  Span type, idtok;
  int64_t offset = -1;
  uint64_t bus = 1, id = 0, dlc = 16, length = 65;
  uint8_t flags = FLAG_RX;
  bool has_dir = false;
  for (size_t c = 0; c < ncolumns_; ++c) {
    if (columns_[c] == 'D') break;
    const Span tok = next_token(s);
    if (tok.empty()) return false;
    switch (columns_[c]) {
      case 'O':
        if (!parse_fixed(tok, 6, offset)) return false;
        break;
      case 'T':
        type = tok;
        break;
      case 'B':
        if (!parse_uint(tok, 10, 255, bus)) return false;
        break;
      case 'I':
        idtok = tok;
        break;
      case 'd':
        has_dir = true;
        if (equals(tok, "tx"))
          flags = 0;
        else if (!equals(tok, "rx"))
          return false;
        break;
      case 'L':
        if (!parse_uint(tok, 10, 15, dlc)) return false;
        break;
      case 'l':
        if (!parse_uint(tok, 10, 64, length)) return false;
        break;
      default:  // the message number, reserved columns
        break;
    }
  }
  (void)has_dir;
  int64_t ts;
  if (offset < 0 || type.empty() || !add_ns(start_, offset, ts)) return false;
  uint8_t* dst = out.data();
  if (equals(type, "er")) {
    out.commit(ts, 0, static_cast<uint8_t>(bus), 0, static_cast<uint8_t>(flags | FLAG_ERROR), false,
               0);
    return true;
  }
  bool fd = false;
  if (equals(type, "fd") || equals(type, "fb") || equals(type, "fe") || equals(type, "bi")) {
    fd = true;
    flags |= FLAG_FD;
    if (equals(type, "fb") || equals(type, "bi")) flags |= FLAG_BRS;
    if (equals(type, "fe") || equals(type, "bi")) flags |= FLAG_ESI;
  } else if (equals(type, "rr")) {
    flags |= FLAG_REMOTE;
  } else if (!equals(type, "dt")) {
    return false;  // events, status and error counter lines
  }
  if (!parse_uint(idtok, 16, 0x1FFFFFFF, id)) return false;
  if (idtok.size() > 4) flags |= FLAG_EXTENDED;
  // The length: from the data length column, else from the code.
  if (length == 65) {
    if (dlc == 16) return false;
    length = fd ? canfd_dlc_to_len(static_cast<uint8_t>(dlc)) : dlc;
  }
  if (fd ? !fd_length_valid(length) : length > 8) return false;
  if (flags & FLAG_REMOTE) {
    out.commit(ts, static_cast<uint32_t>(id), static_cast<uint8_t>(bus),
               static_cast<uint8_t>(length), flags, false, 0);
    return true;
  }
  if (!hex_bytes(s, length, dst) || !next_token(s).empty()) return false;
  out.commit(ts, static_cast<uint32_t>(id), static_cast<uint8_t>(bus), static_cast<uint8_t>(length),
             flags, fd, length);
  return true;
}

}  // namespace korvel::text

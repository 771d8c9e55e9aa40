#include "text/asc.hpp"

namespace korvel::text {

namespace {

int month_number(Span t) {
  static const char* const names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                      "jul", "aug", "sep", "oct", "nov", "dec"};
  if (t.size() < 3) return 0;
  for (int m = 0; m < 12; ++m)
    if (starts_with(t, names[m])) return m + 1;
  // German abbreviations CANoe writes on German systems.
  if (starts_with(t, "m\xc3\xa4r") || starts_with(t, "mrz")) return 3;
  if (starts_with(t, "mai")) return 5;
  if (starts_with(t, "okt")) return 10;
  if (starts_with(t, "dez")) return 12;
  return 0;
}

bool all_alpha(Span t) {
  if (t.empty()) return false;
  for (const char* p = t.b; p < t.e; ++p)
    if (!is_alpha(*p) && !(static_cast<unsigned char>(*p) & 0x80)) return false;
  return true;
}

bool all_digits(Span t) {
  if (t.empty()) return false;
  for (const char* p = t.b; p < t.e; ++p)
    if (!is_digit(*p)) return false;
  return true;
}

// "hh:mm:ss[.fraction]"
bool clock_time(Span t, CivilTime& c) {
  const char* p = t.b;
  int parts[3] = {0, 0, 0};
  for (int k = 0; k < 3; ++k) {
    const char* d = p;
    while (p < t.e && is_digit(*p) && p - d < 2) parts[k] = parts[k] * 10 + (*p++ - '0');
    if (p == d) return false;
    if (k < 2) {
      if (p >= t.e || *p != ':') return false;
      ++p;
    }
  }
  int64_t nanos = 0;
  if (p < t.e && *p == '.') {
    ++p;
    int digits = 0;
    while (p < t.e && is_digit(*p)) {
      if (digits < 9) nanos = nanos * 10 + (*p - '0'), ++digits;
      ++p;
    }
    if (!digits) return false;
    while (digits++ < 9) nanos *= 10;
  }
  if (p != t.e) return false;
  c.hour = parts[0];
  c.minute = parts[1];
  c.second = parts[2];
  c.nanos = nanos;
  return c.minute < 60 && c.second <= 60;
}

// The channel of a LIN line: "L<n>", and "Li" as logs converted from BLF
// name the first channel.
bool lin_channel(Span k, uint16_t& ch) {
  if (k.size() < 2 || lower(*k.b) != 'l') return false;
  Span d{k.b + 1, k.e};
  if (lower(*d.b) == 'i') {
    if (d.size() == 1) {
      ch = 1;
      return true;
    }
    ++d.b;
  }
  uint64_t v;
  if (!parse_uint(d, 10, 0xFFFF, v)) return false;
  ch = static_cast<uint16_t>(v);
  return true;
}

// Moves `rest` past the tokens "<key> =" (case aside); false when the line
// has no such pair.
bool seek_key(Span& rest, const char* key) {
  for (;;) {
    const Span k = next_token(rest);
    if (k.empty()) return false;
    if (equals(k, key)) {
      Span r = rest;
      if (equals(next_token(r), "=")) {
        rest = r;
        return true;
      }
    }
  }
}

}  // namespace

bool parse_asc_date(Span s, CivilTime& t) {
  Span tok[7];
  int n = 0;
  for (;;) {
    Span x = next_token(s);
    if (x.empty()) break;
    if (n == 7) return false;
    tok[n++] = x;
  }
  int i = 0;
  if (n >= 2 && all_alpha(tok[0]) && all_alpha(tok[1])) ++i;  // the weekday
  if (n - i < 4) return false;
  CivilTime c;
  c.month = month_number(tok[i]);
  if (!c.month || !all_alpha(tok[i])) return false;
  uint64_t v;
  if (!parse_uint(tok[i + 1], 10, 31, v) || v == 0) return false;
  c.day = static_cast<int>(v);
  if (!clock_time(tok[i + 2], c)) return false;
  int k = i + 3;
  if (k < n && (equals(tok[k], "am") || equals(tok[k], "pm"))) {
    if (c.hour < 1 || c.hour > 12) return false;
    c.hour = c.hour % 12 + (equals(tok[k], "pm") ? 12 : 0);
    ++k;
  } else if (c.hour > 23) {
    return false;
  }
  if (k != n - 1 || tok[k].size() != 4 || !parse_uint(tok[k], 10, 9999, v) || v == 0) return false;
  c.year = static_cast<int>(v);
  t = c;
  return true;
}

void AscParser::set_start(Span date, Span whole) {
  CivilTime c;
  if (!parse_asc_date(date, c))
    throw TextError(counts_.lines, "a date in an unknown form: " + quote(whole));
  if (!civil_valid(c)) throw TextError(counts_.lines, "an impossible date: " + quote(whole));
  if (!clock_.to_ns(c, start_))
    throw TextError(counts_.lines, "a date out of range: " + quote(whole));
  last_ = 0;
}

void AscParser::line(Span s, Emitter& out) {
  Span rest = s;
  const Span first = next_token(rest);
  if (first.empty()) return;  // blank
  if (is_digit(*first.b)) return timed_line(s, rest, first, out);
  if (equals(first, "date")) {
    placed_ = true;
    return set_start(rest, s);
  }
  if (equals(first, "base")) {
    placed_ = true;
    const Span b = next_token(rest);
    if (equals(b, "hex"))
      base_ = 16;
    else if (equals(b, "dec"))
      base_ = 10;
    else
      throw TextError(counts_.lines, "an unknown number base: " + quote(s));
    const Span kw = next_token(rest), mode = next_token(rest);
    if (equals(kw, "timestamps")) {
      if (equals(mode, "relative"))
        relative_ = true;
      else if (equals(mode, "absolute"))
        relative_ = false;
      else
        throw TextError(counts_.lines, "unknown timestamps: " + quote(s));
    }
    return;
  }
  if (equals(first, "begin") && equals(next_token(rest), "triggerblock")) {
    placed_ = true;
    if (!trim(rest).empty()) set_start(rest, s);
    last_ = 0;
    return;
  }
  if (equals(first, "end") && equals(next_token(rest), "triggerblock")) {
    placed_ = true;
    return;
  }
  if (equals(first, "internal") || equals(first, "no")) {
    Span r = s;
    next_token(r);
    if (equals(first, "no")) next_token(r);
    if (equals(next_token(r), "events") && equals(next_token(r), "logged")) {
      placed_ = true;
      return;
    }
  }
  if (starts_with(first, "//")) placed_ = true;  // a comment, as headers hold
  skip(s);
}

void AscParser::timed_line(Span s, Span rest, Span first, Emitter& out) {
  // A time with more after it: a line of an ASC log, whatever it holds.
  if (!placed_ && looks_like_time(first) && !trim(rest).empty()) placed_ = true;
  // Times out of range, alone or once the base or the running time is
  // added, are skipped; a relative time runs on from the last line in range.
  int64_t t, run, ts;
  if (!parse_fixed(first, 9, t) || t < 0) return skip(s);
  run = t;
  if (relative_ && !add_ns(last_, t, run)) return skip(s);
  if (!add_ns(start_, run, ts)) return skip(s);
  if (relative_) last_ = run;
  const Span kind = next_token(rest);
  bool ok = false;
  if (equals(kind, "canfd")) {
    ok = fd(rest, ts, out);
  } else if (!kind.empty() && is_digit(*kind.b)) {
    uint64_t ch;
    ok = parse_uint(kind, 10, 255, ch) && classic(rest, ts, static_cast<uint8_t>(ch), out);
  } else if (buses_.ethernet && equals(kind, "eth")) {
    ok = ethernet(rest, ts);
  } else if (uint16_t lch; buses_.lin && lin_channel(kind, lch)) {
    ok = lin(rest, ts, lch);
  }
  if (ok) {
    placed_ = true;
    return;
  }
  skip(s);
}

bool AscParser::identifier(Span tok, uint32_t& id, bool& extended) const {
  extended = !tok.empty() && lower(tok.e[-1]) == 'x';
  if (extended) --tok.e;
  uint64_t v;
  if (!parse_uint(tok, base_, 0x1FFFFFFF, v)) return false;
  id = static_cast<uint32_t>(v);
  return true;
}

bool AscParser::data_bytes(Span& rest, size_t n, uint8_t* dst) const {
  if (base_ == 16) return hex_byte_tokens(rest, n, dst);
  for (size_t i = 0; i < n; ++i) {
    const Span tok = next_token(rest);
    // The common case first: two hex digits.
    if (base_ == 16 && tok.size() == 2) {
      const int hi = hex_value(tok.b[0]), lo = hex_value(tok.b[1]);
      if ((hi | lo) < 0) return false;
      dst[i] = static_cast<uint8_t>(hi << 4 | lo);
      continue;
    }
    uint64_t v;
    if (!parse_uint(tok, base_, 255, v)) return false;
    dst[i] = static_cast<uint8_t>(v);
  }
  return true;
}

// "<id>[x] Rx|Tx d <dlc> <bytes> ..." or "<id>[x] Rx|Tx r [<dlc>]" or
// "ErrorFrame ..." after the channel.
bool AscParser::classic(Span rest, int64_t ts, uint8_t channel, Emitter& out) {
  const Span idtok = next_token(rest);
  if (starts_with(idtok, "errorframe")) {
    out.data();
    out.commit(ts, 0, channel, 0, FLAG_ERROR, false, 0);
    return true;
  }
  uint32_t id;
  bool extended;
  if (!identifier(idtok, id, extended)) return false;
  const Span dir = next_token(rest);
  const bool rx = equals(dir, "rx");
  if (!rx && !equals(dir, "tx")) return false;
  uint8_t flags = static_cast<uint8_t>((rx ? FLAG_RX : 0) | (extended ? FLAG_EXTENDED : 0));
  const Span type = next_token(rest);
  uint64_t dlc = 0;
  if (equals(type, "r")) {
    const Span d = next_token(rest);
    if (!d.empty() && !parse_uint(d, base_, 15, dlc)) dlc = 0;
    out.data();
    out.commit(ts, id, channel, static_cast<uint8_t>(dlc), flags | FLAG_REMOTE, false, 0);
    return true;
  }
  if (!equals(type, "d") || !parse_uint(next_token(rest), base_, 15, dlc)) return false;
  // A code above 8 reads as python-can reads it: the CAN FD length of the
  // code, with the 8 bytes a classic frame carries.
  const uint8_t len = canfd_dlc_to_len(static_cast<uint8_t>(dlc));
  const size_t stored = len < 8 ? len : 8;
  uint8_t* dst = out.data();
  if (!data_bytes(rest, stored, dst)) return false;
  out.commit(ts, id, channel, len, flags, false, stored);
  return true;
}

// "CANFD <ch> Rx|Tx <id>[x] [name] <brs> <esi> <dlc> <length> <bytes> ...
// <duration> <bit count> <flags> ..." or "CANFD <ch> Rx|Tx ErrorFrame ...".
bool AscParser::fd(Span rest, int64_t ts, Emitter& out) {
  uint64_t ch;
  if (!parse_uint(next_token(rest), 10, 255, ch)) return false;
  const uint8_t channel = static_cast<uint8_t>(ch);
  const Span dir = next_token(rest);
  const bool rx = equals(dir, "rx");
  if (!rx && !equals(dir, "tx")) return false;
  uint8_t flags = rx ? FLAG_RX : 0;
  const Span idtok = next_token(rest);
  if (starts_with(idtok, "errorframe")) {
    out.data();
    out.commit(ts, 0, channel, 0, flags | FLAG_FD | FLAG_ERROR, true, 0);
    return true;
  }
  uint32_t id;
  bool extended;
  if (!identifier(idtok, id, extended)) return false;
  if (extended) flags |= FLAG_EXTENDED;
  Span brs = next_token(rest);
  if (!all_digits(brs)) brs = next_token(rest);  // a symbolic name came first
  const Span esi = next_token(rest);
  if (!all_digits(brs) || !all_digits(esi)) return false;
  uint64_t dlc, length;
  if (!parse_uint(next_token(rest), base_, 15, dlc) ||
      !parse_uint(next_token(rest), 10, 64, length))
    return false;
  uint8_t* dst = out.data();
  if (!data_bytes(rest, length, dst)) return false;
  // The flags column says what the frame was; a line that ends before it,
  // the CANFD line and its BRS and ESI columns.
  next_token(rest);  // duration
  next_token(rest);  // bit count
  const Span column = next_token(rest);
  uint64_t f =
      ASC_FD_EDL | (equals(brs, "1") ? ASC_FD_BRS : 0) | (equals(esi, "1") ? ASC_FD_ESI : 0);
  if (!column.empty() && !parse_uint(column, 16, 0xFFFFFFFF, f)) return false;
  // BRS and ESI are bits of CAN FD frames alone.
  const bool edl = f & ASC_FD_EDL;
  if (edl) flags |= FLAG_FD | (f & ASC_FD_BRS ? FLAG_BRS : 0) | (f & ASC_FD_ESI ? FLAG_ESI : 0);
  // A remote frame by its flag; or a code but no bytes, as python-can writes
  // a CAN FD message marked remote. A code of 0 without bytes is a data frame.
  if ((f & ASC_FD_REMOTE) || (length == 0 && dlc != 0)) {
    if (length) return false;
    const uint8_t len =
        edl ? canfd_dlc_to_len(static_cast<uint8_t>(dlc)) : static_cast<uint8_t>(dlc);
    out.commit(ts, id, channel, len, flags | FLAG_REMOTE, true, 0);
    return true;
  }
  // Without EDL a classic frame: the 8 bytes it carries of a longer code.
  const uint8_t len = canfd_dlc_to_len(static_cast<uint8_t>(dlc));
  if (length != (edl || len < 8 ? len : 8)) return false;
  out.commit(ts, id, channel, len, flags, true, length);
  return true;
}

// After the channel: "<id> Rx|Tx [CSErr] <dlc> <bytes> ... checksum = <cs>
// ...", "<id> CSErr Rx|Tx ...", "<id> <dlc> RcvError: ... HasDatabytes = 1
// <bytes> ...", "<id> TransmErr ...", "SyncError ...", "WakeupFrame Rx|Tx
// ...", "SleepModeEvent ...". Other LIN events (spikes, statistics, baud
// rates, scheduler changes, ...) are no records, as in BLF logs.
bool AscParser::lin(Span rest, int64_t ts, uint16_t channel) {
  using namespace buses;
  LinRecord r{};
  r.channel = channel;
  uint8_t data[8];
  size_t stored = 0;
  // dlc bytes of the 8 a LIN frame has; a larger dlc keeps 8, flagged.
  auto bytes = [&](uint64_t dlc) {
    r.dlc = static_cast<uint8_t>(dlc);
    if (dlc > 8) r.flags |= BUS_CUT;
    stored = std::min<size_t>(dlc, 8);
    return data_bytes(rest, stored, data);
  };
  const Span tok = next_token(rest);
  if (equals(tok, "syncerror")) {
    r.flags = LIN_ERROR;
  } else if (equals(tok, "sleepmodeevent")) {
    r.flags = LIN_ERROR | LIN_SLEEP;
  } else if (equals(tok, "wakeupframe")) {
    const Span dir = next_token(rest);
    const bool rx = equals(dir, "rx");
    if (!rx && !equals(dir, "tx")) return false;
    r.flags = LIN_ERROR | LIN_WAKEUP | (rx ? BUS_RX : 0);
  } else {
    uint64_t id, dlc;
    if (!parse_uint(tok, base_, 0xFF, id)) return false;
    r.id = static_cast<uint8_t>(id);
    Span t = next_token(rest);
    if (equals(t, "transmerr")) {
      r.flags = LIN_ERROR;
    } else if (!t.empty() && is_digit(*t.b)) {
      if (!parse_uint(t, base_, 15, dlc) || !starts_with(next_token(rest), "rcverror"))
        return false;
      r.flags = LIN_ERROR | BUS_RX;
      r.dlc = static_cast<uint8_t>(dlc);
      if (seek_key(rest, "hasdatabytes") && equals(next_token(rest), "1") && !bytes(dlc))
        return false;
    } else {
      bool crc_error = equals(t, "cserr");
      if (crc_error) t = next_token(rest);
      const bool rx = equals(t, "rx");
      if (!rx && !equals(t, "tx")) return false;
      Span d = next_token(rest);
      if (equals(d, "cserr")) {
        crc_error = true;
        d = next_token(rest);
      }
      if (!parse_uint(d, base_, 15, dlc) || !bytes(dlc)) return false;
      r.flags |= (rx ? BUS_RX : 0) | (crc_error ? LIN_ERROR | LIN_CHECKSUM : 0);
      uint64_t cs;
      if (seek_key(rest, "checksum") && parse_uint(next_token(rest), base_, 0xFFFF, cs))
        r.checksum = static_cast<uint16_t>(cs);
    }
  }
  RecordColumn<LinRecord>& col = *buses_.lin;
  *col.slot() = r;
  const Payload piece{data, stored};
  col.commit(ts, piece);
  ++counts_.lin;
  return true;
}

// "ETH <ch> Rx|Tx <length>:<frame in hex> ...": the frame from its
// destination address. The length is hex as converters write it; under
// "base dec" a decimal length is taken when that is what the bytes count.
bool AscParser::ethernet(Span rest, int64_t ts) {
  using namespace buses;
  uint64_t ch;
  if (!parse_uint(next_token(rest), 10, 0xFFFF, ch)) return false;
  const Span dir = next_token(rest);
  const bool rx = equals(dir, "rx");
  if (!rx && !equals(dir, "tx")) return false;
  const Span d = next_token(rest);
  const char* colon = static_cast<const char*>(std::memchr(d.b, ':', d.size()));
  if (!colon) return false;
  const Span len{d.b, colon}, hex{colon + 1, d.e};
  if (hex.size() % 2) return false;
  const size_t n = hex.size() / 2;
  uint64_t declared, other;
  if (!parse_uint(len, 16, 0xFFFF, declared)) return false;
  if (base_ == 10 && declared != n && parse_uint(len, 10, 0xFFFF, other) && other == n)
    declared = other;
  frame_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const int hi = hex_value(hex.b[2 * i]), lo = hex_value(hex.b[2 * i + 1]);
    if ((hi | lo) < 0) return false;
    frame_[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  EthernetRecord r{};
  r.channel = static_cast<uint16_t>(ch);
  r.length = static_cast<uint16_t>(declared);
  r.flags = (rx ? BUS_RX : 0) | (n < declared ? BUS_CUT : 0);
  RecordColumn<EthernetRecord>& col = *buses_.ethernet;
  *col.slot() = r;
  const Payload piece{frame_.data(), n};
  col.commit(ts, piece);
  ++counts_.ethernet;
  return true;
}

}  // namespace korvel::text

#include "text/asc_writer.hpp"

#include <cstdio>

#include "text/asc.hpp"

namespace korvel::text {

namespace {

const char* const WEEKDAYS[] = {"Thu", "Fri", "Sat", "Sun",
                                "Mon", "Tue", "Wed"};  // from 1970-01-01
const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char HEX[] = "0123456789ABCDEF";

int64_t days_from_civil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void put(ByteBuffer& out, const char* s, size_t n) {
  std::memcpy(out.reserve_more(n), s, n);
  out.commit(n);
}
void put(ByteBuffer& out, const char* s) { put(out, s, std::strlen(s)); }

std::string date_text(const CivilTime& t) {
  int64_t days = days_from_civil(t.year, t.month, t.day);
  const char* wd = WEEKDAYS[((days % 7) + 7) % 7];
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d.%03d %d", wd,
                MONTHS[(t.month - 1) % 12], t.day, t.hour, t.minute, t.second,
                static_cast<int>(t.nanos / 1000000), t.year);
  return buf;
}

// Unsigned decimal into p; returns the end.
char* decimal(char* p, uint64_t v) {
  char tmp[20];
  int n = 0;
  do tmp[n++] = static_cast<char>('0' + v % 10), v /= 10;
  while (v);
  while (n) *p++ = tmp[--n];
  return p;
}

char* hex(char* p, uint32_t v) {
  char tmp[8];
  int n = 0;
  do tmp[n++] = HEX[v & 15], v >>= 4;
  while (v);
  while (n) *p++ = tmp[--n];
  return p;
}

char* pad_to(char* p, char* from, size_t width) {
  while (static_cast<size_t>(p - from) < width) *p++ = ' ';
  return p;
}

// "%11.6f" of a ns count, to the nearest microsecond (halves up).
char* seconds(char* p, uint64_t ns) {
  const uint64_t us = ns / 1000 + (ns % 1000 >= 500);
  char num[32];
  char* e = decimal(num, us / 1000000);
  *e++ = '.';
  uint64_t frac = us % 1000000;
  for (int i = 5; i >= 0; --i) e[i] = static_cast<char>('0' + frac % 10), frac /= 10;
  e += 6;
  const size_t n = static_cast<size_t>(e - num);
  for (size_t k = n; k < 11; ++k) *p++ = ' ';
  std::memcpy(p, num, n);
  return p + n;
}

char* bytes(char* p, const uint8_t* d, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    *p++ = ' ';
    *p++ = HEX[d[i] >> 4];
    *p++ = HEX[d[i] & 15];
  }
  return p;
}

}  // namespace

void asc_header(ByteBuffer& out, const CivilTime& start) {
  const std::string date = date_text(start);
  put(out, "date ");
  put(out, date.c_str());
  put(out, "\nbase hex  timestamps absolute\ninternal events logged\nBegin Triggerblock ");
  put(out, date.c_str());
  put(out, "\n");
}

void asc_footer(ByteBuffer& out) { put(out, "End TriggerBlock\n"); }

size_t asc_lines(const FrameView& v, size_t from, size_t to, int64_t base, ByteBuffer& out) {
  for (size_t i = from; i < to; ++i) {
    DT_t r;
    std::memcpy(&r, v.records + static_cast<ptrdiff_t>(i) * v.stride, sizeof r);
    const uint64_t off = loc_offset(r.loc), count = loc_count(r.loc);
    if (count > 64 || off > v.chunk_size || count > v.chunk_size - off) return i;
    const uint8_t* data = v.chunk + off;
    // A line is at most ~330 bytes (64 data bytes, three characters each).
    char* const line = reinterpret_cast<char*>(out.reserve_more(512));
    // Every record lies at or after base: the difference fits 64 unsigned bits.
    char* p = seconds(line, static_cast<uint64_t>(r.timestamp) - static_cast<uint64_t>(base));
    *p++ = ' ';
    const bool rx = r.flags & FLAG_RX;
    if (r.flags & FLAG_FD) {
      std::memcpy(p, "CANFD ", 6);
      p += 6;
      char* f = p;
      p = decimal(p, r.channel);
      // Right-aligned in three columns.
      if (p - f < 3) {
        const size_t n = static_cast<size_t>(p - f), shift = 3 - n;
        std::memmove(f + shift, f, n);
        std::memset(f, ' ', shift);
        p = f + 3;
      }
      std::memcpy(p, rx ? " Rx   " : " Tx   ", 6);
      p += 6;
      if (r.flags & FLAG_ERROR) {
        std::memcpy(p, "ErrorFrame", 10);
        p += 10;
      } else {
        f = p;
        p = hex(p, r.can_id);
        if (r.flags & FLAG_EXTENDED) *p++ = 'x';
        p = pad_to(p, f, 8);
        // brs esi dlc length
        *p++ = ' ';
        *p++ = r.flags & FLAG_BRS ? '1' : '0';
        *p++ = ' ';
        *p++ = r.flags & FLAG_ESI ? '1' : '0';
        // A remote frame shows its code and no bytes; a data frame the bytes
        // it has, a length no code gives padded up to the next one.
        const bool remote = r.flags & FLAG_REMOTE;
        const size_t n = remote ? 0 : count;
        const uint8_t dlc = canfd_len_to_dlc(static_cast<uint32_t>(remote ? r.len : n));
        const size_t shown = remote ? 0 : static_cast<size_t>(CANFD_LEN[dlc]);
        *p++ = ' ';
        *p++ = HEX[dlc];
        *p++ = ' ';
        p = decimal(p, shown);
        p = bytes(p, data, n);
        for (size_t k = n; k < shown; ++k) std::memcpy(p, " 00", 3), p += 3;
        // message duration, bit count, flags (EDL, BRS, ESI, remote), crc
        const unsigned flags = ASC_FD_EDL | (r.flags & FLAG_BRS ? ASC_FD_BRS : 0) |
                               (r.flags & FLAG_ESI ? ASC_FD_ESI : 0) | (remote ? ASC_FD_REMOTE : 0);
        char tail[48];
        const int m = std::snprintf(tail, sizeof tail, " 0 0 %X 0 0 0 0 0", flags);
        std::memcpy(p, tail, static_cast<size_t>(m));
        p += m;
      }
    } else {
      p = decimal(p, r.channel);
      *p++ = ' ';
      *p++ = ' ';
      if (r.flags & FLAG_ERROR) {
        std::memcpy(p, "ErrorFrame", 10);
        p += 10;
      } else {
        char* f = p;
        p = hex(p, r.can_id);
        if (r.flags & FLAG_EXTENDED) *p++ = 'x';
        p = pad_to(p, f, 15);
        std::memcpy(p, rx ? " Rx   " : " Tx   ", 6);
        p += 6;
        if (r.flags & FLAG_REMOTE) {
          *p++ = 'r';
          *p++ = ' ';
          *p++ = HEX[r.len < 15 ? r.len : 15];
        } else {
          // Up to 8 bytes; a longer length is written as its code.
          size_t n = count < 8 ? count : 8;
          const uint8_t len = r.len;
          uint8_t dlc = len <= 8 ? len : canfd_len_to_dlc(len);
          if (n < (len < 8 ? len : 8)) dlc = static_cast<uint8_t>(n);  // bytes missing
          *p++ = 'd';
          *p++ = ' ';
          *p++ = HEX[dlc];
          if (dlc <= 8 && n > dlc) n = dlc;
          p = bytes(p, data, n);
        }
      }
    }
    *p++ = '\n';
    out.commit(static_cast<size_t>(p - line));
  }
  return to;
}

}  // namespace korvel::text

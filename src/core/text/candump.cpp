#include "text/candump.hpp"

namespace korvel::text {

int CandumpParser::channel(Span name) {
  const size_t n = name.size();
  auto same = [&](int i) {
    const std::string& s = interfaces_[static_cast<size_t>(i)];
    return s.size() == n && std::memcmp(s.data(), name.b, n) == 0;
  };
  if (last_ >= 0 && same(last_)) return last_ + 1;
  for (size_t i = 0; i < interfaces_.size(); ++i)
    if (same(static_cast<int>(i))) {
      last_ = static_cast<int>(i);
      return last_ + 1;
    }
  if (interfaces_.size() >= 255) return -1;
  interfaces_.emplace_back(name.b, n);
  last_ = static_cast<int>(interfaces_.size()) - 1;
  return last_ + 1;
}

void CandumpParser::line(Span s, Emitter& out) {
  if (trim(s).empty()) return;
  if (!placed_) {
    // "(time) ...": a line of a candump log, whatever follows.
    Span rest = s;
    const Span time = next_token(rest);
    placed_ = time.size() > 2 && *time.b == '(' && time.e[-1] == ')' &&
              looks_like_time(Span{time.b + 1, time.e - 1}) && !trim(rest).empty();
  }
  if (frame(s, out)) {
    placed_ = true;
    return;
  }
  skip(s);  // malformed lines, "#" comments
}

bool CandumpParser::frame(Span s, Emitter& out) {
  const Span time = next_token(s);
  if (time.size() < 3 || *time.b != '(' || time.e[-1] != ')') return false;
  int64_t ts;
  if (!parse_fixed(Span{time.b + 1, time.e - 1}, 9, ts)) return false;
  const Span iface = next_token(s), body = next_token(s), dir = next_token(s);
  if (iface.empty() || body.empty() || !next_token(s).empty()) return false;
  uint8_t flags = FLAG_RX;  // no direction reads as received
  if (equals(dir, "t"))
    flags = 0;
  else if (!dir.empty() && !equals(dir, "r"))
    return false;
  const char* hash = static_cast<const char*>(std::memchr(body.b, '#', body.size()));
  if (!hash) return false;
  const Span idtok{body.b, hash};
  uint64_t id;
  if (!parse_uint(idtok, 16, 0xFFFFFFFF, id)) return false;
  // Three digits are a base identifier, more an extended one.
  const bool extended = idtok.size() > 3;
  Span data{hash + 1, body.e};
  bool fd = false;
  if (!data.empty() && *data.b == '#') {
    if (data.size() < 2) return false;
    const int f = hex_value(data.b[1]);
    if (f < 0) return false;
    fd = true;
    flags |= FLAG_FD;
    if (f & 1) flags |= FLAG_BRS;
    if (f & 2) flags |= FLAG_ESI;
    data.b += 2;
  }
  uint8_t* dst = out.data();
  if (extended) flags |= FLAG_EXTENDED;
  if (!fd && !data.empty() && lower(*data.b) == 'r') {
    // A length up to 15, as an ASC "r" line's DLC reads (and python-can reads it).
    uint64_t len = 0;
    if (data.size() > 1 && !parse_uint(Span{data.b + 1, data.e}, 10, 15, len)) return false;
    const int ch = channel(iface);
    if (ch < 0) return false;
    // The error flag wins: an error frame, whatever the rest says.
    const uint8_t kind = id & CAN_ERR_FLAG ? static_cast<uint8_t>((flags & FLAG_RX) | FLAG_ERROR)
                                           : static_cast<uint8_t>(flags | FLAG_REMOTE);
    out.commit(ts, static_cast<uint32_t>(id & 0x1FFFFFFF), static_cast<uint8_t>(ch),
               static_cast<uint8_t>(len), kind, false, 0);
    return true;
  }
  // A classic frame may close with "_<dlc>" (a length code above 8): dropped.
  if (!fd) {
    const char* u = static_cast<const char*>(std::memchr(data.b, '_', data.size()));
    if (u) data.e = u;
  }
  if (data.size() % 2) return false;
  const size_t n = data.size() / 2;
  if (fd ? !fd_length_valid(n) : n > 8) return false;
  for (size_t i = 0; i < n; ++i) {
    const int hi = hex_value(data.b[2 * i]), lo = hex_value(data.b[2 * i + 1]);
    if ((hi | lo) < 0) return false;
    dst[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  if (!(id & CAN_ERR_FLAG) && id > 0x1FFFFFFF) return false;
  // Registered only now: a malformed line names no interface.
  const int ch = channel(iface);
  if (ch < 0) return false;
  if (id & CAN_ERR_FLAG) {
    // The error class stays in the identifier, its details in the data.
    flags = static_cast<uint8_t>((flags & FLAG_RX) | FLAG_ERROR);
    out.commit(ts, static_cast<uint32_t>(id & 0x1FFFFFFF), static_cast<uint8_t>(ch),
               static_cast<uint8_t>(n), flags, false, n);
    return true;
  }
  out.commit(ts, static_cast<uint32_t>(id), static_cast<uint8_t>(ch), static_cast<uint8_t>(n),
             flags, fd, n);
  return true;
}

}  // namespace korvel::text

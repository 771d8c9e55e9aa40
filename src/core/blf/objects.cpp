#include "blf/objects.hpp"

namespace korvel {

size_t plausible_start(const uint8_t* data, size_t len, size_t from) {
  if (len < sizeof(blf::ObjHeaderBase_t)) return NO_OBJECT;
  const size_t last = len - sizeof(blf::ObjHeaderBase_t);
  for (size_t i = from; i <= last;) {
    const void* hit = std::memchr(data + i, 'L', last + 1 - i);
    if (!hit) break;
    i = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    if (is_lobj(data + i)) {
      auto base = blf::load<blf::ObjHeaderBase_t>(data + i);
      const uint32_t headers = header_bytes(base.header_version);
      if (headers && base.object_size >= min_object_size(base.object_type, headers)) return i;
    }
    ++i;
  }
  return NO_OBJECT;
}

namespace {

// Whether the walk of objects from `p` stays clean up to `len`.
bool walks_cleanly(const uint8_t* data, size_t len, size_t p, bool whole) {
  for (int steps = 0; steps < 64; ++steps) {
    auto base = blf::load<blf::ObjHeaderBase_t>(data + p);
    if (base.object_size < sizeof(blf::ObjHeaderBase_t)) return false;
    const uint32_t headers = header_bytes(base.header_version);
    if (headers && base.object_size < min_object_size(base.object_type, headers)) return false;
    const size_t end = p + base.object_size;
    if (end >= len) return true;  // cut by the end of the bytes at hand
    const size_t next = next_object(data, len, end);
    if (next == NO_OBJECT) return !whole || may_continue(data, len, end);
    if (next + sizeof(blf::ObjHeaderBase_t) > len) return true;
    p = next;
  }
  return true;
}

}  // namespace

size_t first_object(const uint8_t* data, size_t len, bool whole) {
  int tries = 0;
  for (size_t p = plausible_start(data, len); p != NO_OBJECT && tries < 16;
       p = plausible_start(data, len, p + 1), ++tries)
    if (walks_cleanly(data, len, p, whole)) return p;
  return NO_OBJECT;
}

}  // namespace korvel

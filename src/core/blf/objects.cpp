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

}  // namespace korvel

// Where inner objects start and what they need: the rules that the in-order
// scan, the early scans of the workers and the stitching between them share,
// so that all of them find the same objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "blf/format.hpp"

namespace korvel {

constexpr size_t NO_OBJECT = SIZE_MAX;

inline bool is_lobj(const uint8_t* p) { return blf::load<uint32_t>(p) == blf::OBJ_SIGNATURE; }

// Bytes of an inner object's headers by header version; 0 for versions the
// reader skips.
inline uint32_t header_bytes(uint16_t version) {
  return version == 1 ? blf::OBJ_HEADER_V1_TOTAL : version == 2 ? blf::OBJ_HEADER_V2_TOTAL : 0;
}

// Least object_size a frame object of this type needs with headers of
// `header_bytes`; just the headers for types that carry no frame.
inline uint32_t min_object_size(uint32_t object_type, uint32_t header_bytes) {
  using namespace blf;
  switch (object_type) {
    case CAN_MESSAGE:
    case CAN_MESSAGE2:
      return header_bytes + sizeof(CanMsg_t);
    case CAN_ERROR_EXT:
      return header_bytes + sizeof(CanErrExt_t);
    case CAN_FD_MESSAGE:
      return header_bytes + sizeof(CanFdMsg_t);
    case CAN_FD_MESSAGE_64:
      return header_bytes + sizeof(CanFdMsg64_t);
    default:
      return header_bytes;
  }
}

// Most zero bytes some writers put after an object to align the next one
// to 8 bytes.
constexpr size_t MAX_ZERO_PADDING = 7;

// Where a walk standing at `pos` (the end of the previous object) takes its
// next object: "LOBJ" at one of the next four offsets, whatever lies in
// between (padding of up to 3 bytes), or after 4 to 7 zero bytes (writers
// that align objects to 8 bytes). NO_OBJECT when no such "LOBJ" lies wholly
// in [pos, len).
inline size_t next_object(const uint8_t* data, size_t len, size_t pos) {
  for (size_t k = 0; k < 4 && pos + k + 4 <= len; ++k)
    if (is_lobj(data + pos + k)) return pos + k;
  size_t z = 0;
  while (z < MAX_ZERO_PADDING && pos + z < len && data[pos + z] == 0) ++z;
  if (z >= 4 && pos + z + 4 <= len && is_lobj(data + pos + z)) return pos + z;
  return NO_OBJECT;
}

inline bool all_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// When no object follows the walk at `pos`: whether the bytes [pos, len)
// may still lead to one in the next container, or are zero padding. They
// are carried over when fewer than 8, all zeros (padding up to the end of
// the last container, dropped there), or up to 7 zeros and the beginning
// of "LOBJ" cut by the end. Anything else is a fault.
inline bool may_continue(const uint8_t* data, size_t len, size_t pos) {
  if (len - pos < 8) return true;
  size_t z = 0;
  while (pos + z < len && data[pos + z] == 0) ++z;
  if (pos + z == len) return true;
  if (z > MAX_ZERO_PADDING) return false;
  const size_t cut = len - pos - z;
  return cut < 4 && std::memcmp(data + pos + z, "LOBJ", cut) == 0;
}

// Where an object begins in bytes left after a walk's last object: the
// next object if its signature is whole, else the beginning of "LOBJ" cut
// by the end (after up to 3 bytes of padding or up to 7 zeros); NO_OBJECT
// when the bytes hold none.
inline size_t cut_object_start(const uint8_t* data, size_t len) {
  const size_t next = next_object(data, len, 0);
  if (next != NO_OBJECT) return next;
  size_t z = 0;
  while (z < MAX_ZERO_PADDING && z < len && data[z] == 0) ++z;
  for (size_t k = 0; k < len && k <= MAX_ZERO_PADDING; ++k) {
    if (k >= 4 && k != z) continue;  // past 3 bytes, only zeros may come first
    const size_t cut = len - k;
    if (cut < 4 && std::memcmp(data + k, "LOBJ", cut) == 0) return k;
  }
  return NO_OBJECT;
}

// First offset in [data, data + len) holding an object header that the
// walk would accept (version 1 or 2, size enough for its type); NO_OBJECT
// when there is none. A guess: payload bytes may look like a header.
size_t plausible_start(const uint8_t* data, size_t len, size_t from = 0);

// How the walk of objects from one header goes on over the bytes at hand,
// by the rules of the scan (headers only, nothing decoded).
struct Walk {
  enum Outcome : uint8_t {
    Fault,    // a size that cannot be, or no object where the next must begin
    Reached,  // an object begins at or past `stop` (or `most` objects were walked)
    Ended,    // the bytes end after a whole object (padding, or the start of a
              // signature, may follow it)
    Cut,      // an object runs past the end of the bytes
  };
  Outcome outcome = Fault;
  size_t objects = 0;  // whole objects walked before the outcome
  size_t pos = 0;      // Reached, Cut: where that object begins; Ended: the end
};
Walk walk_objects(const uint8_t* data, size_t len, size_t p, size_t stop = SIZE_MAX,
                  size_t most = SIZE_MAX);

// Where a walk is taken up in bytes whose object boundaries are not known
// (the start of a container's data, where the end of an object begun earlier
// comes first; or bytes after damage): the first plausible header in [from,
// limit) from which the walk goes on cleanly to the end of the bytes (or to
// the first object at or past `stop`) through at least one whole object.
// Payload bytes can look like a header: a header is passed over when a later
// one inside its first object begins a run of at least two whole objects that
// joins its walk (one header in a payload is likelier than a run of them).
// `pos` is NO_OBJECT when no header qualifies; `undecided` is then the first
// header whose first object runs past the bytes (more bytes may decide it),
// NO_OBJECT when there is none.
struct StartPoint {
  size_t pos = NO_OBJECT;
  size_t undecided = NO_OBJECT;
};
// `at_end`: the bytes end where the log does, so that an object ending them is
// whole; otherwise the last object before their end is not counted (bytes of
// another object may follow it).
StartPoint start_point(const uint8_t* data, size_t len, size_t from = 0, size_t limit = SIZE_MAX,
                       size_t stop = SIZE_MAX, bool at_end = false);

// The first object that begins in a container's data when only its first
// `len` bytes are at hand (the bytes before it finish an object begun in an
// earlier container), by start_point's rule. `whole` says the bytes are the
// container's whole data. NO_OBJECT when none is found; `undecided` is then
// set when more bytes (or, with `whole`, the containers before) could find
// one.
size_t first_object(const uint8_t* data, size_t len, bool whole, bool* undecided = nullptr);

}  // namespace korvel

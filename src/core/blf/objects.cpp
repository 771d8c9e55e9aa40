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

Walk walk_objects(const uint8_t* data, size_t len, size_t p, size_t stop, size_t most) {
  Walk w;
  for (;;) {
    w.pos = p;
    if (len - p < sizeof(blf::ObjHeaderBase_t)) {
      w.outcome = Walk::Cut;
      return w;
    }
    auto base = blf::load<blf::ObjHeaderBase_t>(data + p);
    const uint32_t known = header_bytes(base.header_version);
    const uint32_t headers = known ? known : uint32_t(sizeof(blf::ObjHeaderBase_t));
    if (base.object_size < sizeof(blf::ObjHeaderBase_t) ||
        base.object_size < min_object_size(base.object_type, headers)) {
      w.outcome = Walk::Fault;
      return w;
    }
    if (base.object_size > len - p) {
      w.outcome = Walk::Cut;
      return w;
    }
    const size_t end = p + base.object_size;
    ++w.objects;
    const size_t next = next_object(data, len, end);
    if (next == NO_OBJECT) {
      w.pos = end;
      w.outcome = may_continue(data, len, end) ? Walk::Ended : Walk::Fault;
      return w;
    }
    if (next >= stop || w.objects >= most) {
      w.pos = next;
      w.outcome = Walk::Reached;
      return w;
    }
    p = next;
  }
}

namespace {

constexpr int START_TRIES = 16;  // damaged data full of false starts costs no walk per byte
constexpr int RIVAL_TRIES = 8;

// Whole objects of a walk that are known to be followed by another object
// (or by the end of the log).
size_t confirmed(const Walk& w, bool at_end) {
  return w.outcome == Walk::Ended && !at_end && w.objects ? w.objects - 1 : w.objects;
}

// Whether a header in (p, end) begins a run of at least two whole objects
// that goes on cleanly and, when `join` is given, joins the walk from p at
// `join` (the object after p's first one, or the end of the bytes that
// object reaches: `join_ended`).
bool rival(const uint8_t* data, size_t len, size_t p, size_t end, size_t stop, bool at_end,
           size_t join, bool join_ended) {
  int tries = 0;
  for (size_t q = plausible_start(data, len, p + 1);
       q != NO_OBJECT && q < end && tries < RIVAL_TRIES;
       q = plausible_start(data, len, q + 1), ++tries) {
    if (join == NO_OBJECT) {
      const Walk w = walk_objects(data, len, q, stop);
      if (w.outcome != Walk::Fault && confirmed(w, at_end) >= 2) return true;
    } else if (join_ended) {
      const Walk w = walk_objects(data, len, q);
      if (w.outcome == Walk::Ended && w.pos == join && w.objects >= 2) return true;
    } else {
      const Walk w = walk_objects(data, len, q, join);
      if (w.outcome == Walk::Reached && w.pos == join && w.objects >= 2) return true;
    }
  }
  return false;
}

}  // namespace

StartPoint start_point(const uint8_t* data, size_t len, size_t from, size_t limit, size_t stop,
                       bool at_end) {
  StartPoint out;
  int tries = 0;
  for (size_t p = plausible_start(data, len, from);
       p != NO_OBJECT && p < limit && tries < START_TRIES;
       p = plausible_start(data, len, p + 1), ++tries) {
    const Walk w = walk_objects(data, len, p, stop);
    if (w.outcome == Walk::Fault) continue;
    if (confirmed(w, at_end) == 0) {
      // Its first object runs past the bytes at hand (or may): a run of
      // whole objects inside it is the likelier reading.
      if (rival(data, len, p, len, stop, at_end, NO_OBJECT, false)) continue;
      out.undecided = p;
      return out;
    }
    const Walk first = walk_objects(data, len, p, stop, 1);
    const size_t end = p + blf::load<blf::ObjHeaderBase_t>(data + p).object_size;
    if (rival(data, len, p, end, stop, at_end, first.pos, first.outcome == Walk::Ended)) continue;
    out.pos = p;
    return out;
  }
  return out;
}

size_t first_object(const uint8_t* data, size_t len, bool whole, bool* undecided) {
  const StartPoint s = start_point(data, len, 0, SIZE_MAX, SIZE_MAX, whole);
  if (undecided) *undecided = s.pos == NO_OBJECT && s.undecided != NO_OBJECT;
  return s.pos;
}

}  // namespace korvel

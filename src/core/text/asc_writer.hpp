// ASC text out of frame records: the header lines CANoe and python-can read
// (date, base, internal events, a trigger block) and one line per frame,
// times in microseconds after the header's date.
#pragma once

#include "bytebuf.hpp"
#include "frames.hpp"
#include "text/scan.hpp"

namespace korvel::text {

// "date ...", "base hex  timestamps absolute", "internal events logged",
// "Begin Triggerblock ..." for a start date given in local wall-clock time.
void asc_header(ByteBuffer& out, const CivilTime& start);
void asc_footer(ByteBuffer& out);

// Lines for records [from, to) of `v`, times counted from `base` (ns; no
// record may lie before it).
// Returns `to`, or the first record whose payload lies outside the chunk
// (nothing written for it or after it).
size_t asc_lines(const FrameView& v, size_t from, size_t to, int64_t base, ByteBuffer& out);

}  // namespace korvel::text

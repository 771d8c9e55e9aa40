// Calendar records of the BLF header <-> nanoseconds since the epoch, in the
// host's local time, through the interpreter's datetime and time modules so
// both directions follow exactly the rules Python users see.
#pragma once

#include <cstdint>

#include "blf/format.hpp"

namespace korvel::bind {

// Impossible dates (ValueError, e.g. an all-zero record) give 0; other errors
// propagate.
int64_t systemtime_to_timestamp(const blf::SystemTime_t& st);

// The same instant in integer nanoseconds (seconds and milliseconds added
// exactly); 0 for impossible dates.
int64_t systemtime_to_timestamp_exact(const blf::SystemTime_t& st);

void timestamp_to_systemtime(blf::SystemTime_t& st, int64_t ts);

// A header start for frames from `first` on that reads back exactly: `first`
// rounded down to the millisecond, or an earlier instant when that local
// date is ambiguous (the hour repeated when daylight saving time ends) or
// does not convert back to itself. Returns the instant; fills `st`.
int64_t exact_start(blf::SystemTime_t& st, int64_t first);

}  // namespace korvel::bind

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

void timestamp_to_systemtime(blf::SystemTime_t& st, int64_t ts);

}  // namespace korvel::bind

#include "calendar.hpp"

#include <pybind11/stl.h>

#include <cfenv>
#include <cmath>
#include <vector>

#include "common.hpp"

namespace korvel::bind {

namespace {

// Seconds since the epoch of the record's local date and time (without its
// milliseconds), as time.mktime gives them; false for an impossible date.
bool local_seconds(const blf::SystemTime_t& st, double& seconds) {
  const Globals& g = globals();
  try {
    py::object dt =
        py::handle(g.datetime)(st.year, st.month, st.day, st.hour, st.minute, st.second, 0);
    seconds = py::handle(g.mktime)(dt.attr("timetuple")()).cast<double>();
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ValueError)) return false;
    throw;
  }
  return true;
}

[[noreturn]] void out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "BLF header date lies outside the int64 nanosecond range");
  throw py::error_already_set();
}

int64_t floor_div(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

int64_t systemtime_to_timestamp(const blf::SystemTime_t& st) {
  double seconds;
  if (!local_seconds(st, seconds)) return 0;
  double ns = seconds * 1e9 + static_cast<double>(st.milliseconds) * 1e6;
  if (!(ns > -9.2233720368547758e18 && ns < 9.2233720368547758e18)) out_of_range();
  return static_cast<int64_t>(ns);
}

int64_t systemtime_to_timestamp_exact(const blf::SystemTime_t& st) {
  double seconds;
  if (!local_seconds(st, seconds)) return 0;
  if (!(seconds > -9.2e9 && seconds < 9.2e9)) out_of_range();
  int64_t ns;
  if (__builtin_mul_overflow(static_cast<int64_t>(seconds), int64_t(1000000000), &ns) ||
      __builtin_add_overflow(ns, int64_t(st.milliseconds) * 1000000, &ns))
    out_of_range();
  return ns;
}

static uint16_t field_u16(py::handle v) {
  long x = v.cast<long>();
  if (x < 0 || x > 0xFFFF) {
    PyErr_SetString(PyExc_OverflowError, "calendar field does not fit an unsigned 16-bit integer");
    throw py::error_already_set();
  }
  return static_cast<uint16_t>(x);
}

// A naive datetime's fields (all but the milliseconds) into the record.
static void date_fields(blf::SystemTime_t& st, py::handle dt) {
  st.year = field_u16(dt.attr("year"));
  st.month = field_u16(dt.attr("month"));
  st.day_of_week = static_cast<uint16_t>(dt.attr("isoweekday")().cast<int>() % 7);
  st.day = field_u16(dt.attr("day"));
  st.hour = field_u16(dt.attr("hour"));
  st.minute = field_u16(dt.attr("minute"));
  st.second = field_u16(dt.attr("second"));
}

void timestamp_to_systemtime(blf::SystemTime_t& st, int64_t ts) {
  const Globals& g = globals();
  double seconds = static_cast<double>(ts) * 1e-9;
  py::object dt = py::handle(g.datetime).attr("fromtimestamp")(seconds);
  date_fields(st, dt);
  // Python's round(): halves to even, which is nearbyint in the default mode.
  double ms = std::nearbyint(dt.attr("microsecond").cast<double>() / 1000.0);
  st.milliseconds = static_cast<uint16_t>(ms);
}

int64_t exact_start(blf::SystemTime_t& st, int64_t first) {
  const Globals& g = globals();
  constexpr int64_t MS = 1000000, SECOND = 1000000000, HOUR = 3600 * SECOND;
  int64_t start = floor_div(first, MS) * MS;
  // Two steps of an hour leave any repeated hour; a few more cover odd zones.
  for (int tries = 0; tries < 8; ++tries, start -= HOUR) {
    const int64_t seconds = floor_div(start, SECOND);
    py::object dt = py::handle(g.datetime).attr("fromtimestamp")(seconds);
    date_fields(st, dt);
    st.milliseconds = static_cast<uint16_t>((start - seconds * SECOND) / MS);
    // A local time that means two instants reads back as either, depending
    // on earlier conversions in the reading process.
    py::object early = dt.attr("replace")(py::arg("fold") = 0).attr("timestamp")();
    py::object late = dt.attr("replace")(py::arg("fold") = 1).attr("timestamp")();
    if (!early.equal(late)) continue;
    if (systemtime_to_timestamp_exact(st) == start) return start;
  }
  throw py::value_error("no unambiguous local date for the log's start");
}

}  // namespace korvel::bind

namespace korvel::bind {

// Private hooks so the conversions can be checked on their own.
void register_calendar(py::module_& m) {
  m.def(
      "_systemtime_to_timestamp",
      [](const std::vector<uint16_t>& st) {
        if (st.size() != 8) throw py::value_error("a calendar record has 8 fields");
        blf::SystemTime_t rec{st[0], st[1], st[2], st[3], st[4], st[5], st[6], st[7]};
        return systemtime_to_timestamp(rec);
      },
      py::arg("st"));
  m.def(
      "_timestamp_to_systemtime",
      [](int64_t ts) {
        blf::SystemTime_t st{};
        timestamp_to_systemtime(st, ts);
        return py::make_tuple(st.year, st.month, st.day_of_week, st.day, st.hour, st.minute,
                              st.second, st.milliseconds);
      },
      py::arg("ts"));
}

}  // namespace korvel::bind

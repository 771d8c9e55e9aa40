#include "calendar.hpp"

#include <pybind11/stl.h>

#include <cfenv>
#include <cmath>
#include <vector>

#include "common.hpp"

namespace korvel::bind {

int64_t systemtime_to_timestamp(const blf::SystemTime_t& st) {
  const Globals& g = globals();
  double seconds;
  try {
    py::object dt =
        py::handle(g.datetime)(st.year, st.month, st.day, st.hour, st.minute, st.second, 0);
    seconds = py::handle(g.mktime)(dt.attr("timetuple")()).cast<double>();
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ValueError)) return 0;
    throw;
  }
  double ns = seconds * 1e9 + static_cast<double>(st.milliseconds) * 1e6;
  if (!(ns > -9.2233720368547758e18 && ns < 9.2233720368547758e18)) {
    PyErr_SetString(PyExc_OverflowError, "BLF header date lies outside the int64 nanosecond range");
    throw py::error_already_set();
  }
  return static_cast<int64_t>(ns);
}

static uint16_t field_u16(py::handle v) {
  long x = v.cast<long>();
  if (x < 0 || x > 0xFFFF) {
    PyErr_SetString(PyExc_OverflowError, "calendar field does not fit an unsigned 16-bit integer");
    throw py::error_already_set();
  }
  return static_cast<uint16_t>(x);
}

void timestamp_to_systemtime(blf::SystemTime_t& st, int64_t ts) {
  const Globals& g = globals();
  double seconds = static_cast<double>(ts) * 1e-9;
  py::object dt = py::handle(g.datetime).attr("fromtimestamp")(seconds);
  st.year = field_u16(dt.attr("year"));
  st.month = field_u16(dt.attr("month"));
  st.day_of_week = static_cast<uint16_t>(dt.attr("isoweekday")().cast<int>() % 7);
  st.day = field_u16(dt.attr("day"));
  st.hour = field_u16(dt.attr("hour"));
  st.minute = field_u16(dt.attr("minute"));
  st.second = field_u16(dt.attr("second"));
  // Python's round(): halves to even, which is nearbyint in the default mode.
  double ms = std::nearbyint(dt.attr("microsecond").cast<double>() / 1000.0);
  st.milliseconds = static_cast<uint16_t>(ms);
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

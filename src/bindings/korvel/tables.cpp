// _decode_tables: the native half of korvel.decode. Takes a frames pair and a
// compact plan of the messages, groups and decodes with the interpreter lock
// released, and hands back NumPy arrays: one block per kind of column, each
// message's columns views into them (large blocks get huge pages, and the
// tables need no copy on their way to Arrow).
#include "decode/tables.hpp"

#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "bus_arrays.hpp"
#include "common.hpp"
#include "decode/align.hpp"
#include "workpool.hpp"

namespace korvel::bind {

namespace {

namespace kt = korvel::tables;

int64_t to_int64(py::handle o) {
  PyObject* idx = PyNumber_Index(o.ptr());
  if (!idx) throw py::error_already_set();
  long long v = PyLong_AsLongLong(idx);
  Py_DECREF(idx);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

bool truth(py::handle o) {
  int r = PyObject_IsTrue(o.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

double to_double(py::handle o) {
  double v = PyFloat_AsDouble(o.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

int32_t to_int32(py::handle o, const std::string& what) {
  int64_t v = to_int64(o);
  if (v < INT32_MIN || v > INT32_MAX) throw py::value_error(what + " out of range");
  return static_cast<int32_t>(v);
}

py::tuple items(py::handle o, size_t n, const std::string& what) {
  py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(o));
  if (t.size() != n)
    throw py::value_error(what + " must have " + std::to_string(n) + " items, got " +
                          std::to_string(t.size()));
  return t;
}

const char* plan_error_text(kt::PlanError e) {
  switch (e) {
    case kt::PlanError::bad_length:
      return "length must be within 1..64";
    case kt::PlanError::bad_start:
      return "start bit must not be negative";
    case kt::PlanError::bad_mux:
      return "multiplexer index out of range";
    case kt::PlanError::mux_cycle:
      return "multiplexers select each other in a cycle";
    case kt::PlanError::float_mux:
      return "a multiplexer must be an integer signal";
    default:
      return "bad signal";
  }
}

uint64_t to_uint64(py::handle o) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(o.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

// One part of an exact scaling: (negative, low word, high word, exponent).
kt::ExactInt exact_int(const py::tuple& t, size_t at, const std::string& where) {
  kt::ExactInt x;
  x.neg = truth(t[at]);
  x.lo = to_uint64(t[at + 1]);
  x.hi = to_uint64(t[at + 2]);
  const int64_t e = to_int64(t[at + 3]);
  if (e < 0 || e > 4096) throw py::value_error(where + ": exponent out of range");
  x.exp = static_cast<int32_t>(e);
  return x;
}

// exact: () or (kind, scale_neg, scale_lo, scale_hi, scale_exp, offset_neg,
// offset_lo, offset_hi, offset_exp): kind 1 an integer scale and offset, 2
// an integer scale and the float offset; each (-1)^neg * (hi * 2^64 + lo) *
// 2^exp.
kt::ExactScaling exact_scaling(py::handle item, const std::string& where) {
  py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(item));
  kt::ExactScaling e;
  if (t.empty()) return e;
  if (t.size() != 9) throw py::value_error(where + ": exact scaling must have 9 items");
  const int64_t kind = to_int64(t[0]);
  if (kind != 1 && kind != 2) throw py::value_error(where + ": exact scaling kind must be 1 or 2");
  e.kind = kind == 1 ? kt::Exact::int_offset : kt::Exact::float_offset;
  e.scale = exact_int(t, 1, where);
  e.offset = exact_int(t, 5, where);
  return e;
}

// message: (can_id, extended, channels, signals, by_pgn); channels: a
// sequence of channel numbers, empty for every channel; by_pgn: J1939 frames
// of its PGN fall back to it, and its table has address columns; signal:
// (start, length, big_endian, is_signed, is_float, scale, offset, mux,
// mux_ids, codes, missing_from[, exact]).
kt::MessagePlan message_plan(py::handle item, size_t index, bool& by_channel, bool& any_channel) {
  const std::string where = "message " + std::to_string(index);
  py::tuple t = items(item, 5, where);
  kt::MessagePlan m;
  const int64_t can_id = to_int64(t[0]);
  if (can_id < 0 || can_id > UINT32_MAX) throw py::value_error(where + ": can_id out of range");
  const bool extended = truth(t[1]);
  const bool by_pgn = truth(t[4]);
  if (by_pgn && (!extended || can_id > 0x1FFFFFFF))
    throw py::value_error(where + ": only 29-bit identifiers have a PGN");
  const uint32_t id = static_cast<uint32_t>(can_id);
  const uint32_t pgn = kt::j1939_pgn(id);
  auto add_keys = [&](int channel) {
    m.keys.push_back(kt::frame_key(id, extended, channel));
    if (!by_pgn) return;
    m.fallback_keys.push_back(kt::pgn_key(pgn, static_cast<int>(id & 0xFF), channel));
    m.fallback_keys.push_back(kt::pgn_key(pgn, -1, channel));
  };
  py::tuple channels = py::tuple(py::reinterpret_borrow<py::object>(t[2]));
  for (py::handle c : channels) {
    const int64_t ch = to_int64(c);
    if (ch < 0 || ch > 255) throw py::value_error(where + ": channel must be within 0..255");
    add_keys(static_cast<int>(ch));
  }
  if (channels.empty()) add_keys(-1);
  m.address_columns = by_pgn;
  m.pdu1 = by_pgn && ((id >> 16) & 0xFF) < 240;
  (channels.empty() ? any_channel : by_channel) = true;

  size_t si = 0;
  for (py::handle sig : py::iter(t[3])) {
    const std::string swhere = where + ", signal " + std::to_string(si++);
    py::tuple s = py::tuple(py::reinterpret_borrow<py::object>(sig));
    if (s.size() != 11 && s.size() != 12)
      throw py::value_error(swhere + " must have 11 or 12 items, got " + std::to_string(s.size()));
    kt::SignalPlan p;
    kt::PlanError e =
        kt::plan_signal(to_int32(s[0], swhere + " start"), to_int32(s[1], swhere + " length"),
                        truth(s[2]), truth(s[3]), truth(s[4]), to_double(s[5]), to_double(s[6]), p);
    if (e != kt::PlanError::ok) throw py::value_error(swhere + ": " + plan_error_text(e));
    p.mux = to_int32(s[7], swhere + " multiplexer");
    for (py::handle id : py::iter(s[8])) p.mux_ids.push_back(to_int64(id));
    p.codes = truth(s[9]) && (p.kind == VALTYPE_INTEGER || p.kind == VALTYPE_UNSIGNED);
    const int64_t missing_from = to_int64(s[10]);
    if (missing_from < 0) throw py::value_error(swhere + ": missing_from must not be negative");
    if (p.kind == VALTYPE_UNSIGNED) p.missing_from = static_cast<uint64_t>(missing_from);
    if (s.size() == 12) kt::plan_exact(p, exact_scaling(s[11], swhere));
    m.signals.push_back(std::move(p));
  }
  size_t bad = 0;
  kt::PlanError e = kt::finish_message(m, bad);
  if (e != kt::PlanError::ok)
    throw py::value_error(where + ", signal " + std::to_string(bad) + ": " + plan_error_text(e));
  return m;
}

py::object slice(const py::array& a, size_t from, size_t n) {
  return a[py::slice(static_cast<py::ssize_t>(from), static_cast<py::ssize_t>(from + n), 1)];
}

// -> per message None (no frames) or (timestamps, channels, values, codes):
// values is (signals, frames) float64; codes maps a signal index to
// (int32 codes, int64 raw value of each code).
py::list decode_tables(py::handle index, py::handle chunk, py::handle messages,
                       py::handle threads) {
  StridedView idx = frame_view(index, "index", dt_dtype(), "DT");
  BytesView bytes = bytes_view(chunk, "chunk");
  const unsigned n_threads = thread_count(threads);

  std::vector<kt::MessagePlan> plans;
  bool by_channel = false, any_channel = false;
  for (py::handle m : py::iter(messages))
    plans.push_back(message_plan(m, plans.size(), by_channel, any_channel));
  if (by_channel && any_channel)
    throw py::value_error("either every message names its channels or none does");

  const kt::Frames f = frames_view(idx, bytes);

  // Grouping, the output blocks and decoding under one release of the lock:
  // taken back in between, it would wait a switch interval for any thread
  // holding it (a Dask task beside this one, say).
  kt::Grouping g;
  size_t rows = 0, values = 0, codes = 0, addresses = 0;
  ByteBuffer ts_b, ch_b, vals_b, cds_b, adr_b;
  std::vector<kt::MessageOutput> outs(plans.size());
  std::vector<size_t> row_at(plans.size()), value_at(plans.size()), address_at(plans.size());
  std::vector<std::vector<size_t>> code_at(plans.size());
  {
    py::gil_scoped_release unlocked;
    kt::group_frames(f, plans, by_channel, g, n_threads);
    if (!g.too_many && g.ok) {
      for (size_t m = 0; m < plans.size(); ++m) {
        rows += g.count[m];
        addresses += g.count[m] * (plans[m].address_columns + plans[m].pdu1);
        values += g.count[m] * plans[m].signals.size();
        for (const kt::SignalPlan& s : plans[m].signals) codes += s.codes ? g.count[m] : 0;
      }
      // The tables' columns are cut from these blocks, large ones on kept pages.
      auto* ts = reinterpret_cast<int64_t*>(reserve_block(ts_b, rows, sizeof(int64_t)));
      auto* ch = reserve_block(ch_b, rows, 1);
      auto* vals = reinterpret_cast<double*>(reserve_block(vals_b, values, sizeof(double)));
      auto* cds = reinterpret_cast<int32_t*>(reserve_block(cds_b, codes, sizeof(int32_t)));
      auto* adr = reserve_block(adr_b, addresses, 1);
      size_t r = 0, v = 0, c = 0, a = 0;
      for (size_t m = 0; m < plans.size(); ++m) {
        const size_t n = g.count[m];
        kt::MessageOutput& o = outs[m];
        row_at[m] = r;
        value_at[m] = v;
        o.timestamps = ts + r;
        o.channels = ch + r;
        o.values = vals + v;
        address_at[m] = a;
        if (plans[m].address_columns) {
          o.sources = adr + a;
          a += n;
        }
        if (plans[m].pdu1) {
          o.destinations = adr + a;
          a += n;
        }
        o.codes.assign(plans[m].signals.size(), nullptr);
        code_at[m].assign(plans[m].signals.size(), 0);
        for (size_t s = 0; s < plans[m].signals.size(); ++s) {
          if (!plans[m].signals[s].codes) continue;
          o.codes[s] = cds + c;
          code_at[m][s] = c;
          c += n;
        }
        r += n;
        v += n * plans[m].signals.size();
      }
      kt::decode_messages(f, g, plans, outs, n_threads);
    }
  }
  if (g.too_many) throw py::value_error("too many frames (at most 2**32 - 1)");
  if (!g.ok)
    throw py::value_error("frame " + std::to_string(g.bad_frame) + ": payload of " +
                          std::to_string(g.length) + " bytes at offset " +
                          std::to_string(g.offset) + " lies beyond the payload array of " +
                          std::to_string(bytes.size) + " bytes");
  py::array ts = array_taking(ts_b, py::dtype::of<int64_t>(), rows, true);
  py::array ch = array_taking(ch_b, py::dtype::of<uint8_t>(), rows, true);
  py::array vals = array_taking(vals_b, py::dtype::of<double>(), values, true);
  py::array cds = array_taking(cds_b, py::dtype::of<int32_t>(), codes, true);
  py::array adr = array_taking(adr_b, py::dtype::of<uint8_t>(), addresses, true);

  py::list out;
  for (size_t m = 0; m < plans.size(); ++m) {
    const size_t n = g.count[m];
    if (!n) {
      out.append(py::none());
      continue;
    }
    const size_t n_signals = plans[m].signals.size();
    py::object columns =
        slice(vals, value_at[m], n * n_signals)
            .attr("reshape")(static_cast<py::ssize_t>(n_signals), static_cast<py::ssize_t>(n));
    py::dict code_columns;
    for (size_t s = 0; s < n_signals; ++s) {
      if (!plans[m].signals[s].codes) continue;
      const std::vector<int64_t>& raws = outs[m].raws[s];
      py::array raw = block_array(py::dtype::of<int64_t>(), raws.size());
      if (!raws.empty())
        std::memcpy(raw.mutable_data(), raws.data(), raws.size() * sizeof(int64_t));
      code_columns[py::int_(s)] = py::make_tuple(slice(cds, code_at[m][s], n), raw);
    }
    py::object sources = py::none(), destinations = py::none();
    if (plans[m].address_columns) sources = slice(adr, address_at[m], n);
    if (plans[m].pdu1) destinations = slice(adr, address_at[m] + n, n);
    out.append(py::make_tuple(slice(ts, row_at[m], n), slice(ch, row_at[m], n), columns,
                              code_columns, sources, destinations));
  }
  return out;
}

}  // namespace

namespace {

// A one-dimensional contiguous array of exactly `dtype`.
template <typename T>
const T* column(py::handle obj, const char* argname, const char* dtype, size_t& n) {
  StridedView v = typed_view(obj, argname, py::dtype(dtype), dtype);
  if (v.size > 1 && v.stride != static_cast<py::ssize_t>(sizeof(T)))
    throw py::value_error(std::string(argname) + " must be contiguous");
  n = v.size;
  return reinterpret_cast<const T*>(v.data);
}

// _align: signals onto the time axis `grid`. groups is a list of (times,
// columns): samples whose times (ascending) they share, and columns a list of
// (values, linear, out) with float64 values or int32 label codes, `out` a
// writable contiguous array of that dtype and the grid's length that takes
// the values on the axis (NaN, or code -1, where no sample is held). The
// groups run in parallel on native threads.
struct AlignColumn {
  const void* values;
  void* out;
  bool codes, linear;
};
struct AlignGroup {
  const int64_t* times;
  size_t n;
  std::vector<AlignColumn> columns;
};

void align_group(const AlignGroup& grp, const int64_t* grid, size_t g, int64_t timeout,
                 std::vector<int64_t>& at) {
  at.resize(g);
  last_at_or_before(grp.times, grp.n, grid, g, timeout, at.data());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const AlignColumn& c : grp.columns) {
    if (c.codes)
      hold_values(static_cast<const int32_t*>(c.values), at.data(), g, -1,
                  static_cast<int32_t*>(c.out));
    else if (c.linear)
      interpolate(grp.times, grp.n, static_cast<const double*>(c.values), grid, at.data(), g,
                  static_cast<double*>(c.out));
    else
      hold_values(static_cast<const double*>(c.values), at.data(), g, nan,
                  static_cast<double*>(c.out));
  }
}

void align(py::handle grid_obj, int64_t timeout, py::list groups, py::handle threads) {
  size_t g = 0;
  const int64_t* grid = column<int64_t>(grid_obj, "grid", "int64", g);
  std::vector<AlignGroup> work;
  for (py::handle item : groups) {
    py::tuple gt = py::reinterpret_borrow<py::tuple>(item);
    if (gt.size() != 2) throw py::value_error("groups are (times, columns) pairs");
    AlignGroup grp;
    grp.times = column<int64_t>(gt[0], "times", "int64", grp.n);
    for (py::handle col : py::reinterpret_borrow<py::list>(gt[1])) {
      py::tuple t = py::reinterpret_borrow<py::tuple>(col);
      if (t.size() != 3) throw py::value_error("columns are (values, linear, out) triples");
      const bool codes = py::isinstance<py::array>(t[0]) &&
                         py::reinterpret_borrow<py::array>(t[0]).dtype().kind() == 'i';
      const char* dtype = codes ? "int32" : "float64";
      size_t m = 0, w = 0;
      const void* values = codes
                               ? static_cast<const void*>(column<int32_t>(t[0], "values", dtype, m))
                               : static_cast<const void*>(column<double>(t[0], "values", dtype, m));
      if (m != grp.n) throw py::value_error("values and times differ in length");
      if (!py::isinstance<py::array>(t[2]))
        throw py::type_error("out must be a numpy.ndarray, got " + type_name(t[2]));
      py::array out = py::reinterpret_borrow<py::array>(t[2]);
      if (!out.writeable()) throw py::value_error("out is read-only");
      if (codes)
        column<int32_t>(out, "out", dtype, w);
      else
        column<double>(out, "out", dtype, w);
      if (w != g) throw py::value_error("out and grid differ in length");
      grp.columns.push_back(AlignColumn{values, out.mutable_data(), codes, truth(t[1]) && !codes});
    }
    work.push_back(std::move(grp));
  }
  const unsigned n_threads = thread_count(threads);
  py::gil_scoped_release unlocked;
  std::atomic<size_t> next{0};
  auto run = [&] {
    std::vector<int64_t> at;
    for (size_t k; (k = next.fetch_add(1)) < work.size();)
      align_group(work[k], grid, g, timeout, at);
  };
  const size_t parts = std::max<size_t>(1, std::min<size_t>(n_threads, work.size()));
  run_parts(n_threads, parts, [&](size_t) { run(); });
}

}  // namespace

void register_tables(py::module_& m) {
  m.def("_align", &align, py::arg("times"), py::arg("grid"), py::arg("timeout"), py::arg("columns"),
        "Samples onto a time axis: the last at or before each instant, into out.");
  m.def("_decode_tables", &decode_tables, py::arg("index"), py::arg("chunk"), py::arg("messages"),
        py::arg("threads") = py::none(),
        "_decode_tables(index, chunk, messages, threads=None)\n\n"
        "Every message's signals from a frames pair, decoded natively (korvel.decode's\n"
        "engine); only data frames, keyed by identifier and its extended bit, J1939\n"
        "messages also by PGN.\n"
        "messages: (can_id, extended, channels, signals, by_pgn) per message, signals as\n"
        "(start, length, big_endian, is_signed, is_float, scale, offset, mux, mux_ids,\n"
        "codes, missing_from[, exact]); exact: () or (kind, scale_neg, scale_lo,\n"
        "scale_hi, scale_exp, offset_neg, offset_lo, offset_hi, offset_exp) for integer\n"
        "scales, computed as integers where doubles would round more than once (kind 1:\n"
        "an integer offset, 2: the float offset). Returns per message None or (timestamps, "
        "channels,\n"
        "values, codes, sources, destinations).");
}

tables::ExactScaling parse_exact_scaling(py::handle item, const std::string& where) {
  return exact_scaling(item, where);
}

}  // namespace korvel::bind

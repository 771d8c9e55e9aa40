// sig_values, signal_decoder and flag_test: argument checks and NumPy arrays
// around the core loops of signals.cpp.
//
// The three functions bind their arguments themselves (names, defaults and
// the argument-count messages of a compiled Python function), so that every
// conversion error is the Python one: TypeError for a wrong type,
// OverflowError for an integer outside the 32-bit range.
#include <pybind11/eval.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "common.hpp"
#include "decode/signals.hpp"

namespace korvel::bind {
// An exact scaling given as () or (kind, scale_neg, scale_lo, scale_hi,
// scale_exp, offset_neg, offset_lo, offset_hi, offset_exp) (tables.cpp).
tables::ExactScaling parse_exact_scaling(py::handle item, const std::string& where);
}  // namespace korvel::bind

namespace korvel::bind {

namespace {

// A parameter list: names, how many are required, defaults of the rest.
struct Signature {
  const char* fname;
  std::vector<const char*> names;
  size_t required;
  std::vector<py::object> defaults;  // for names[required..]
};
// Signatures are built once and never freed: their defaults are Python
// objects that must not be released after the interpreter has gone.

std::string count_message(const Signature& s, const char* bound, size_t expected, size_t given) {
  return std::string(s.fname) + "() takes " + bound + " " + std::to_string(expected) +
         " positional argument" + (expected == 1 ? "" : "s") + " (" + std::to_string(given) +
         " given)";
}

std::vector<py::object> bind_args(const Signature& s, const py::args& args,
                                  const py::dict& kwargs) {
  const size_t max = s.names.size();
  const size_t given = args.size();
  const bool exact = s.required == max;
  if (given > max)
    throw py::type_error(count_message(s, exact ? "exactly" : "at most", max, given));

  std::vector<py::object> out(max);
  for (size_t i = 0; i < given; ++i) out[i] = args[i];
  for (auto item : kwargs) {
    std::string key = py::str(item.first);
    size_t i = 0;
    while (i < max && key != s.names[i]) ++i;
    if (i == max)
      throw py::type_error(std::string(s.fname) + "() got an unexpected keyword argument '" + key +
                           "'");
    if (out[i])
      throw py::type_error(std::string(s.fname) + "() got multiple values for argument '" + key +
                           "'");
    out[i] = py::reinterpret_borrow<py::object>(item.second);
  }
  for (size_t i = 0; i < max; ++i) {
    if (out[i]) continue;
    if (i < s.required) {
      if (kwargs.empty())
        throw py::type_error(count_message(s, exact ? "exactly" : "at least", s.required, given));
      throw py::type_error(std::string(s.fname) + "() missing required argument '" + s.names[i] +
                           "' (pos " + std::to_string(i + 1) + ")");
    }
    out[i] = s.defaults[i - s.required];
  }
  return out;
}

// Python integer (anything with __index__) -> int32; TypeError / OverflowError.
int32_t to_int32(const py::object& o) {
  PyObject* idx = PyNumber_Index(o.ptr());
  if (!idx) throw py::error_already_set();
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(idx, &overflow);
  Py_DECREF(idx);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to a 32-bit integer");
    throw py::error_already_set();
  }
  return static_cast<int32_t>(v);
}

double to_double(const py::object& o) {
  double v = PyFloat_AsDouble(o.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

bool truth(const py::object& o) {
  int r = PyObject_IsTrue(o.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

py::array new_array(const py::dtype& dtype, size_t n) {
  return py::array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
}

// Removes `name` from keyword arguments; null when absent.
py::object pop_keyword(py::dict& kwargs, const char* name) {
  if (!kwargs.contains(name)) return py::object();
  py::object v = kwargs[name];
  PyDict_DelItemString(kwargs.ptr(), name);
  return v;
}

std::string layout_message(LayoutError e, int32_t start, int32_t length) {
  if (e == LayoutError::bad_length)
    return "signal length must be within 1..64 (got " + std::to_string(length) + ")";
  return "signal start bit must not be negative (got " + std::to_string(start) + ")";
}

// A multiplexer chain: items (start, length, big_endian, is_signed, ids),
// the signal's own multiplexer first.
std::vector<MuxTest> multiplexer_chain(py::handle chain, py::tuple* normalised = nullptr) {
  std::vector<MuxTest> out;
  py::list items;
  for (py::handle item : py::iter(chain)) {
    py::tuple t = py::tuple(py::reinterpret_borrow<py::object>(item));
    if (t.size() != 5)
      throw py::value_error("a multiplexer is (start, length, big_endian, is_signed, ids), got " +
                            std::to_string(t.size()) + " items");
    const int32_t start = to_int32(t[0]), length = to_int32(t[1]);
    const bool big_endian = truth(t[2]), is_signed = truth(t[3]);
    MuxTest m;
    py::list ids;
    for (py::handle id : py::iter(t[4])) {
      PyObject* idx = PyNumber_Index(id.ptr());
      if (!idx) throw py::error_already_set();
      long long v = PyLong_AsLongLong(idx);
      Py_DECREF(idx);
      if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
      m.ids.push_back(v);
      ids.append(py::int_(v));
    }
    std::sort(m.ids.begin(), m.ids.end());
    std::vector<int32_t> ims;
    LayoutError e = korvel::signal_ims(start, length, big_endian ? -1 : 1, ims);
    if (e != LayoutError::ok)
      throw py::value_error("multiplexer: " + layout_message(e, start, length));
    size_t bad = 0;
    parse_triples(reinterpret_cast<const char*>(ims.data()), ims.size(), sizeof(int32_t), m.pieces,
                  m.needed, bad);
    m.shift = static_cast<uint32_t>(64 - length);
    m.is_signed = is_signed;
    out.push_back(std::move(m));
    items.append(py::make_tuple(start, length, big_endian, is_signed, py::tuple(ids)));
  }
  if (normalised) *normalised = py::tuple(items);
  return out;
}

// ---------------------------------------------------------------------------

const Signature& sig_values_signature() {
  static const Signature& s = *new Signature{
      "sig_values",
      {"index", "chunk", "ims", "can_id", "valtype", "rshift", "scale", "offset", "pad"},
      9,
      {}};
  return s;
}

py::array sig_values(const py::args& args, const py::kwargs& kwargs) {
  // `unsigned` is keyword-only: the nine positional parameters keep their
  // meaning, and an integer whose top bit is set can still come out positive.
  // `mux` (keyword-only too) makes frames whose multiplexers select another
  // group count as frames without the signal.
  py::dict rest(kwargs);
  py::object unsigned_arg = pop_keyword(rest, "unsigned");
  py::object mux_arg = pop_keyword(rest, "mux");
  // `exact` (keyword-only): an integer scale applied as cantools applies it,
  // as the decode plans give it.
  py::object exact_arg = pop_keyword(rest, "exact");
  std::vector<py::object> a = bind_args(sig_values_signature(), args, rest);
  const bool is_unsigned = unsigned_arg && truth(unsigned_arg);
  std::vector<MuxTest> mux;
  if (mux_arg && !mux_arg.is_none()) mux = multiplexer_chain(mux_arg);

  // Every check comes before anything is allocated.
  StridedView index = frame_view(a[0], "index", dt_dtype(), "DT");
  StridedView ims = typed_view(a[2], "ims", py::dtype::of<int32_t>(), "int32");
  if (!py::isinstance<py::array>(a[1]))
    throw py::type_error("Argument 'chunk' has incorrect type (expected numpy.ndarray, got " +
                         type_name(a[1]) + ")");

  ExtractArgs x;
  x.can_id = static_cast<uint32_t>(to_int32(a[3]));
  // valtype 0 is the integer kind, 1 single precision, anything else double.
  const int32_t valtype = to_int32(a[4]);
  x.valtype = valtype == 0   ? (is_unsigned ? VALTYPE_UNSIGNED : VALTYPE_INTEGER)
              : valtype == 1 ? VALTYPE_SINGLE
                             : VALTYPE_DOUBLE;
  x.rshift = to_int32(a[5]);
  x.scale = to_double(a[6]);
  x.offset = to_double(a[7]);
  x.pad = to_int32(a[8]) != 0;

  if (x.valtype == VALTYPE_INTEGER && (x.rshift < -63 || x.rshift > 63))
    throw py::value_error("rshift must be within -63..63 for integer values (got " +
                          std::to_string(x.rshift) + ")");
  if (x.valtype == VALTYPE_UNSIGNED && (x.rshift < 0 || x.rshift > 63))
    throw py::value_error("rshift must be within 0..63 for unsigned values (got " +
                          std::to_string(x.rshift) + ")");
  tables::ExactScaling exact;
  if (exact_arg && !exact_arg.is_none()) {
    exact = parse_exact_scaling(exact_arg, "exact");
    const bool integer = x.valtype == VALTYPE_INTEGER || x.valtype == VALTYPE_UNSIGNED;
    const bool is_signed = x.valtype == VALTYPE_INTEGER && x.rshift <= 0;
    const int32_t length = x.rshift < 0 ? 64 + x.rshift : 64 - x.rshift;
    if (integer && tables::prepare_exact(exact, static_cast<uint32_t>(length), is_signed))
      x.exact = &exact;
  }

  std::vector<Piece> pieces;
  size_t bad = 0;
  switch (parse_triples(ims.data, ims.size, ims.stride, pieces, x.needed, bad)) {
    case TriplesError::ok:
      break;
    case TriplesError::bad_count:
      throw py::value_error("ims must hold triples: its length " + std::to_string(ims.size) +
                            " is not a multiple of 3");
    case TriplesError::bad_byte:
      throw py::value_error("ims[" + std::to_string(bad) + "]: a byte index must not be negative");
    case TriplesError::bad_mask:
      throw py::value_error("ims[" + std::to_string(bad) + "]: a mask must be within 0..255");
    case TriplesError::bad_shift:
      throw py::value_error("ims[" + std::to_string(bad) + "]: a shift must be within -63..63");
  }

  BytesView chunk = bytes_view(a[1], "chunk");  // dtype check; copies a strided view

  x.records = index.data;
  x.n = index.size;
  x.stride = index.stride;
  x.chunk = chunk.data;
  x.chunk_size = chunk.size;
  x.pieces = pieces.data();
  x.n_pieces = pieces.size();
  x.mux = mux.data();
  x.n_mux = mux.size();

  py::array res = new_array(py::dtype::of<double>(), index.size);
  double* values = static_cast<double*>(res.mutable_data());
  ExtractStatus st;
  {
    // The arrays are kept alive by `index`, `chunk` and `res`; the loop
    // touches no Python object, so other threads may run meanwhile.
    py::gil_scoped_release unlocked;
    st = extract_values(x, values);
  }
  if (!st.ok)
    throw py::value_error("frame " + std::to_string(st.frame) + ": payload of " +
                          std::to_string(st.count) + " bytes at offset " +
                          std::to_string(st.offset) + " lies beyond the payload array of " +
                          std::to_string(chunk.size) + " bytes");
  return res;
}

// ---------------------------------------------------------------------------

// Python's text form of a float; non-finite values as float() calls, which
// evaluate in any namespace.
std::string float_text(double v) {
  if (std::isnan(v)) return "float('nan')";
  if (std::isinf(v)) return v > 0 ? "float('inf')" : "float('-inf')";
  return py::repr(py::float_(v));
}

const Signature& signal_decoder_signature() {
  static const Signature& s = *new Signature{
      "signal_decoder",
      {"can_id", "start", "length", "big_endian", "is_signed", "is_float", "scale", "offset"},
      3,
      {py::bool_(true), py::bool_(false), py::bool_(false), py::float_(1.0), py::float_(0.0)}};
  return s;
}

// cantools multiplies a raw integer by an integer scale (and adds an integer
// offset) exactly: such a scale as sig_values' `exact`, () for doubles.
py::tuple exact_of(py::handle scale, py::handle offset, bool is_float) {
  auto is_int = [](py::handle o) { return PyLong_Check(o.ptr()) && !PyBool_Check(o.ptr()); };
  if (is_float || !is_int(scale)) return py::tuple();
  const bool int_offset = is_int(offset);
  py::object binary = py::module_::import("korvel.tables").attr("_binary");
  py::object s = binary(scale),
             o = binary(int_offset ? py::reinterpret_borrow<py::object>(offset) : py::int_(0));
  if (s.is_none() || o.is_none()) return py::tuple();
  py::list parts;
  parts.append(int_offset ? 1 : 2);
  for (py::handle p : s) parts.append(p);
  for (py::handle p : o) parts.append(p);
  return py::tuple(parts);
}

py::object signal_decoder(const py::args& args, const py::kwargs& kwargs) {
  // `multiplexers` is keyword-only: the chain of multiplexers that must
  // select a frame for it to have the signal.
  py::dict rest(kwargs);
  py::object chain_arg = pop_keyword(rest, "multiplexers");
  std::vector<py::object> a = bind_args(signal_decoder_signature(), args, rest);
  const int32_t can_id = to_int32(a[0]);
  const int32_t start = to_int32(a[1]);
  const int32_t length = to_int32(a[2]);
  const bool big_endian = truth(a[3]);
  const bool is_signed = truth(a[4]);
  const bool is_float = truth(a[5]);
  const double scale = to_double(a[6]);
  const double offset = to_double(a[7]);
  const py::tuple exact = exact_of(a[6], a[7], is_float);
  // Python integers stay integers (in the decoder's name too), so that a
  // rebuilt decoder scales as exactly.
  auto kept = [](py::handle o, double d) -> py::object {
    if (PyLong_Check(o.ptr()) && !PyBool_Check(o.ptr())) return py::reinterpret_borrow<py::object>(o);
    return py::float_(d);
  };
  const py::object scale_arg = kept(a[6], scale), offset_arg = kept(a[7], offset);

  const int32_t inc = big_endian ? -1 : 1;
  std::vector<int32_t> ims;
  LayoutError e = korvel::signal_ims(start, length, inc, ims);
  if (e != LayoutError::ok) throw py::value_error(layout_message(e, start, length));
  py::tuple chain;
  if (chain_arg && !chain_arg.is_none()) multiplexer_chain(chain_arg, &chain);
  // Only now that the length is known to be within 1..64.
  int32_t rshift = is_signed ? length - 64 : 64 - length;
  int32_t valtype = !is_float ? 0 : length == 32 ? 1 : 2;
  // The integer kind reads rshift 0 as signed; an unsigned 64-bit signal asks
  // for the unsigned conversion so that a set top bit gives a positive value.
  const bool unsigned64 = !is_float && !is_signed && length == 64;

  std::string src = "lambda arr, pad=0: sig_values(arr[0], arr[1], np.array([";
  for (size_t i = 0; i < ims.size(); ++i) {
    if (i) src += ", ";
    src += std::to_string(ims[i]);
  }
  src += "], np.int32), " + std::to_string(can_id) + ", " + std::to_string(valtype) + ", " +
         std::to_string(rshift) + ", " + float_text(scale) + ", " + float_text(offset) + ", pad" +
         (unsigned64 ? ", unsigned=True" : "");
  if (chain.size()) src += ", mux=" + std::string(py::repr(chain));
  if (exact.size()) src += ", exact=" + std::string(py::repr(exact));
  src += ")";

  py::dict ns = py::reinterpret_borrow<py::dict>(PyModule_GetDict(globals().module));
  py::object decoder = py::eval(src, ns);
  // A function evaluated from text cannot be pickled by value; korvel._decoders
  // names it after these arguments, so that pickle saves it by reference and
  // another process rebuilds it from them.
  py::module_::import("korvel._decoders")
      .attr("_adopt")(decoder, py::make_tuple(can_id, start, length, big_endian, is_signed,
                                              is_float, scale_arg, offset_arg, chain));
  return decoder;
}

// ---------------------------------------------------------------------------

const Signature& flag_test_signature() {
  static const Signature& s = *new Signature{"flag_test", {"index", "mask"}, 2, {}};
  return s;
}

py::array flag_test(const py::args& args, const py::kwargs& kwargs) {
  std::vector<py::object> a = bind_args(flag_test_signature(), args, kwargs);
  StridedView index = frame_view(a[0], "index", dt_dtype(), "DT");
  const int32_t mask = to_int32(a[1]);
  py::array out = new_array(py::dtype::of<bool>(), index.size);
  bool* flags = static_cast<bool*>(out.mutable_data());
  {
    py::gil_scoped_release unlocked;
    flag_loop(index.data, index.size, index.stride, static_cast<uint8_t>(mask & 0xFF), flags);
  }
  return out;
}

}  // namespace

void register_decode(py::module_& m) {
  m.def("sig_values", &sig_values,
        "sig_values(index, chunk, ims, can_id, valtype, rshift, scale, offset, pad, *,\n"
        "           unsigned=False, mux=(), exact=())\n\n"
        "Decode one signal of one message from every frame of a frames pair: a float64\n"
        "array, NaN (or with pad non-zero the last decoded value) for other frames.\n"
        "valtype 0 is an integer, 1 single precision, any other value double precision.\n"
        "With unsigned true an integer is shifted logically by rshift (0..63) and\n"
        "converted unsigned, so a 64-bit value with its top bit set stays positive.\n"
        "mux: multiplexers (start, length, big_endian, is_signed, ids) that must all\n"
        "select a frame (raw value in ids) for it to have the signal.\n"
        "exact: (kind, scale_neg, scale_lo, scale_hi, scale_exp, offset_neg, offset_lo,\n"
        "offset_hi, offset_exp): an integer scale applied to integer values exactly,\n"
        "rounded once, as cantools applies it (kind 1 an integer offset, 2 the float\n"
        "offset given); each part (-1)**neg * (hi * 2**64 + lo) * 2**exp.");
  m.def("signal_decoder", &signal_decoder,
        "signal_decoder(can_id, start, length, big_endian=True, is_signed=False,\n"
        "               is_float=False, scale=1.0, offset=0.0, *, multiplexers=())\n\n"
        "Build a decoder: a function of a frames pair (and optional pad) that returns\n"
        "the signal's physical value for every frame. multiplexers: the chain\n"
        "(start, length, big_endian, is_signed, ids) that must select a frame.");
  m.def("flag_test", &flag_test,
        "flag_test(index, mask)\n\n"
        "Boolean array: whether any bit of mask is set in each frame's flags.");

  publish(m, "sig_values",
          "sig_values(index, chunk, ims, can_id, valtype, rshift, scale, offset, pad, *, "
          "unsigned=False, mux=())\n--\n\n"
          "Decode one signal of one message from every frame of a frames pair: a float64\n"
          "array, NaN (or with pad non-zero the last decoded value) for other frames.\n"
          "ims: the signal's byte map (triples of int32); a frame belongs to the message\n"
          "when its can_id equals can_id. valtype 0 is an integer, 1 single precision,\n"
          "any other value double precision; the raw value is shifted right by rshift\n"
          "and scaled: raw * scale + offset.\n\n"
          "Keywords (extensions):\n"
          "unsigned: an integer is shifted logically and converted unsigned, so a 64-bit\n"
          "    value with its top bit set stays positive.\n"
          "mux: multiplexers (start, length, big_endian, is_signed, ids) that must all\n"
          "    select a frame (raw value in ids) for it to have the signal.\n\n"
          "Raises TypeError or ValueError for arrays of the wrong type or shape, a byte\n"
          "map that is not triples, and payload offsets outside chunk.");
  publish(m, "signal_decoder",
          "signal_decoder(can_id, start, length, big_endian=True, is_signed=False, "
          "is_float=False, scale=1.0, offset=0.0, *, multiplexers=())\n--\n\n"
          "Build a decoder of one DBC signal: decoder(frames, pad=0) returns a float64\n"
          "array with the signal's physical value for every frame of a frames pair, NaN\n"
          "for frames of other identifiers (or with pad=1 the last value decoded).\n"
          "start and length are the DBC's bit position and size; big_endian,\n"
          "is_signed, is_float, scale and offset as the DBC gives them.\n\n"
          "Keywords (extensions):\n"
          "multiplexers: the chain (start, length, big_endian, is_signed, ids) that\n"
          "    must select a frame (raw value in ids) for it to have the signal.\n\n"
          "Decoders pickle (by reference to korvel._decoders).\n\n"
          "Raises ValueError for a length outside 1..64 or a negative start.");
  publish(m, "flag_test",
          "flag_test(index, mask)\n--\n\n"
          "A boolean array: whether any bit of mask is set in each frame's flags\n"
          "(0x01 ESI, 0x02 BRS, 0x04 received, 0x08 CAN FD, 0x10 error frame,\n"
          "0x20 remote frame, 0x40 extended identifier).\n\n"
          "Raises TypeError or ValueError when index is not a one-dimensional array of\n"
          "DT records.");
}

}  // namespace korvel::bind

// korvel.korvel: module init, record types, exceptions and the small
// utilities; each area registers its functions from its own file.
#include <cmath>
#include <cstring>

#include "bus_arrays.hpp"
#include "common.hpp"
#include "pages.hpp"

namespace korvel::bind {
void register_reader(py::module_& m);
void register_calendar(py::module_& m);
void register_writer(py::module_& m);
void register_reshape(py::module_& m);
void register_decode(py::module_& m);
void register_tables(py::module_& m);
void register_protocols(py::module_& m);
void register_stats(py::module_& m);
void register_text(py::module_& m);
void register_buses(py::module_& m);
void register_mf4(py::module_& m);
}  // namespace korvel::bind

using namespace korvel::bind;

namespace {

py::list field_list(const char* last_name, const char* last_code) {
  py::list l;
  l.append(py::make_tuple("timestamp", "i8"));
  l.append(py::make_tuple("can_id", "u4"));
  l.append(py::make_tuple("is64", "u1"));
  l.append(py::make_tuple("channel", "u1"));
  l.append(py::make_tuple("len", "u1"));
  l.append(py::make_tuple("flags", "u1"));
  l.append(py::make_tuple(last_name, last_code));
  return l;
}

py::object new_type(py::handle len) {
  auto def = py::reinterpret_borrow<py::list>(globals().dt64_def);
  py::list copy;
  for (size_t i = 0; i + 1 < def.size(); ++i) copy.append(def[i]);
  copy.append(py::make_tuple("data", py::str(len) + py::str("B")));
  return py::module_::import("numpy").attr("dtype")(copy);
}

// Forward fill of NaNs, in place.
py::object pad(py::object arr) {
  if (py::isinstance<py::array>(arr)) {
    auto a = py::reinterpret_borrow<py::array>(arr);
    if (a.ndim() == 1 && a.dtype().equal(py::dtype::of<double>()) && a.writeable()) {
      char* p = static_cast<char*>(a.mutable_data());
      ptrdiff_t stride = a.strides(0);
      double last = std::nan("");
      // By memcpy: a view into packed records need not be aligned.
      for (ssize_t i = 0; i < a.shape(0); ++i) {
        char* at = p + i * stride;
        double v;
        std::memcpy(&v, at, sizeof v);
        if (std::isnan(v))
          std::memcpy(at, &last, sizeof last);
        else
          last = v;
      }
      return arr;
    }
  }
  // Any other sequence: element by element, as NumPy sees each element.
  if (!PySequence_Check(arr.ptr()))
    throw py::type_error("pad() argument must be an array or a sequence, got " + type_name(arr));
  py::object isnan = py::module_::import("numpy").attr("isnan");
  py::object last = py::float_(std::nan(""));
  ssize_t n = py::len(arr);
  for (ssize_t i = 0; i < n; ++i) {
    py::object v = arr[py::int_(i)];
    if (py::bool_(isnan(v)))
      arr[py::int_(i)] = last;
    else
      last = v;
  }
  return arr;
}

PyObject* new_exception(const char* name, const char* doc) {
  PyObject* e = PyErr_NewExceptionWithDoc(name, doc, PyExc_Exception, nullptr);
  if (!e) throw py::error_already_set();
  return e;
}

}  // namespace

PYBIND11_MODULE(korvel, m) {
  Globals& g = globals();
  g.module = m.ptr();

  // Imported names stay visible as module attributes.
  py::object datetime = py::module_::import("datetime").attr("datetime");
  py::module_ time_mod = py::module_::import("time");
  py::module_ zlib = py::module_::import("zlib");
  py::module_ np = py::module_::import("numpy");
  m.attr("datetime") = datetime;
  m.attr("mktime") = time_mod.attr("mktime");
  m.attr("time") = time_mod.attr("time");
  m.attr("zlib") = zlib;
  m.attr("np") = np;
  g.datetime = datetime.inc_ref().ptr();
  g.mktime = py::object(time_mod.attr("mktime")).release().ptr();
  g.time = py::object(time_mod.attr("time")).release().ptr();
  g.zlib_error = py::object(zlib.attr("error")).release().ptr();
  // Loads NumPy's C interface; the import fails if it cannot.
  (void)py::dtype::of<uint8_t>();

  g.blf_error =
      new_exception("korvel.korvel.BLFError", "BLF file could not be processed correctly.");
  g.continuable =
      new_exception("korvel.korvel.Continuable", "A expected situation, the loop is continuable");
  g.blf_warning = PyErr_NewExceptionWithDoc("korvel.korvel.BLFWarning",
                                            "Damage in a BLF log that the reader read past.",
                                            PyExc_UserWarning, nullptr);
  if (!g.blf_warning) throw py::error_already_set();
  m.attr("BLFWarning") = py::handle(g.blf_warning);
  m.attr("BLFError") = py::handle(g.blf_error);
  m.attr("Continuable") = py::handle(g.continuable);

  py::object dtype = np.attr("dtype");
  py::object dt = dtype(field_list("loc", "u8"));
  py::list dt64_def = field_list("data", "64B");
  py::object dt64 = dtype(dt64_def);
  m.attr("DT") = dt;
  m.attr("DT64_def") = dt64_def;
  m.attr("DT64") = dt64;
  g.dt = dt.inc_ref().ptr();
  g.dt64 = dt64.inc_ref().ptr();
  g.dt64_def = dt64_def.inc_ref().ptr();

  m.def("newType", &new_type, py::arg("_len"),
        "The DT64 record type with a data field of _len bytes.");
  m.def("pad", &pad, py::arg("arr"), "Forward-fill NaN values in place and return the same array.");
  // Uninitialised bytes for results cut into columns, large ones on kept pages.
  m.def(
      "_block",
      [](size_t n, bool estimate) {
        return korvel::bind::block_array(py::dtype::of<uint8_t>(), n, estimate);
      },
      py::arg("nbytes"), py::kw_only(), py::arg("_estimate") = false);
  // The bytes of kept pages now and their bound (for the tests).
  m.def("_kept_pages",
        [] { return py::make_tuple(korvel::pages::kept(), korvel::pages::limit()); });

  register_calendar(m);
  register_reader(m);
  register_reshape(m);
  register_writer(m);
  register_decode(m);
  register_tables(m);
  register_protocols(m);
  register_stats(m);
  register_text(m);
  register_buses(m);
  register_mf4(m);

  publish(m, "newType",
          "newType(_len)\n--\n\n"
          "The DT64 record type with a data field of _len bytes: newType(8) gives\n"
          "24-byte records, newType(64) a type equal to DT64. DT64_def is not changed.\n"
          "An unusable _len fails with NumPy's own error.");
  publish(m, "pad",
          "pad(arr)\n--\n\n"
          "Forward-fill NaN values in place and return the same array: each NaN takes\n"
          "the last value before it that is not NaN (leading NaNs stay NaN).\n\n"
          "Raises TypeError for an argument that is neither an array nor a sequence.");
}

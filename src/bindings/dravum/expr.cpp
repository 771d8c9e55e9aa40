// The expression filter and map: `_exp_repair` rewrites the expression text,
// the interpreter's own eval runs it in a copy of the query's namespace.
#include <string>

#include "common.hpp"

namespace korvel::dravum {

namespace {

const char* const FIELD_ACCESS = R"(frames\[([^]]+)\])";
const char* const QUERY_CALL = R"(__self__.\1()";

const char* const FILTER_DOC =
    "\n"
    "        Demo:\n"
    "        * filter(frames, '(frames[\"can_id\"] == 35) & (signals.VCUMyTestSig1(frames) > 0) "
    "& (signals.VCUMyTestSig1(frames) < 5)')\n"
    "        * filter(frames, 'is_fd(frames) ')\n"
    "\n"
    "        Returns:\n"
    "            (ndarray[DT], ndarray(uint8))\n"
    "        ";

bool allowed_field(const std::string& f) {
  return f == "can_id" || f == "channel" || f == "timestamp" || f == "len";
}

// frames["field"] -> frames[0]['field'] for an allowed field; KeyError with
// the bracket content otherwise.
py::str field_access(py::object match) {
  py::object group = match.attr("group")(1);
  std::string s = group.cast<std::string>();
  size_t n = s.size();
  bool quoted = n >= 1 && (s[0] == '"' || s[0] == '\'') && s[n - 1] == s[0];
  std::string inner = n >= 2 ? s.substr(1, n - 2) : std::string();
  if (!quoted || !allowed_field(inner)) raise_with(PyExc_KeyError, group);
  return py::str("frames[0]['" + inner + "']");
}

py::object exp_repair(py::object e) {
  py::object sub = global("re").attr("sub");
  static PyObject* replace_field = py::cpp_function(&field_access).release().ptr();
  py::object step1 = sub(FIELD_ACCESS, py::handle(replace_field), e);
  return sub(global("QUERY_FUNCS_PTN"), QUERY_CALL, step1);
}

// eval(_exp_repair(expr), dict(self._glob, frames=frames))
py::object evaluate(py::object self, py::object frames, py::object expr) {
  py::handle dict_type((PyObject*)&PyDict_Type);
  py::object gl = dict_type(self.attr("_glob"), py::arg("frames") = frames);
  py::object text = global("_exp_repair")(expr);
  return py::handle(globals().builtin_eval)(text, gl);
}

// A result without a dtype and a shape is no array: it fails the check.
bool array_like(py::handle arr) { return py::hasattr(arr, "dtype") && py::hasattr(arr, "shape"); }

py::object filter(py::object self, py::object frames, py::object expr) {
  auto [index, chunk] = frames_pair(frames);
  py::object arr = evaluate(self, frames, expr);
  if (assertions_enabled()) {
    if (!array_like(arr)) raise_assertion();
    py::handle bool_type((PyObject*)&PyBool_Type);
    if (!truthy(compare(arr.attr("dtype"), bool_type, Py_EQ))) raise_assertion();
    py::object index_shape = index.attr("shape");
    if (!truthy(compare(arr.attr("shape"), index_shape, Py_EQ))) raise_assertion();
  }
  py::object selected = index[arr];
  return py::make_tuple(selected, chunk);
}

py::object map(py::object self, py::object frames, py::object expr) {
  frames_pair(frames);
  py::object arr = evaluate(self, frames, expr);
  if (assertions_enabled()) {
    if (!array_like(arr)) raise_assertion();
    py::handle float_type((PyObject*)&PyFloat_Type);
    if (!truthy(compare(arr.attr("dtype"), float_type, Py_EQ))) raise_assertion();
    if (py::len(arr.attr("shape")) != 1) raise_assertion();
  }
  return arr;
}

}  // namespace

void register_expr(py::module_& m) { m.def("_exp_repair", &exp_repair, py::arg("e")); }

void add_filter_map(py::handle cls) {
  def_method(cls, "filter", &filter, py::arg("frames"), py::arg("expr"), py::doc(FILTER_DOC));
  def_method(cls, "map", &map, py::arg("frames"), py::arg("expr"));
}

}  // namespace korvel::dravum

// The expression filter and map: `_exp_repair` rewrites the expression text,
// the interpreter's own eval runs it in a copy of the query's namespace.
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

// Compared as Python texts: the bracket content may hold any code point,
// lone surrogates included, and must come out whole in the KeyError.
bool allowed_field(py::handle f) {
  for (const char* name : {"can_id", "channel", "timestamp", "len"})
    if (PyUnicode_CompareWithASCIIString(f.ptr(), name) == 0) return true;
  return false;
}

// frames["field"] -> frames[0]['field'] for an allowed field; KeyError with
// the bracket content otherwise.
py::str field_access(py::object match) {
  py::object group = match.attr("group")(1);
  if (!PyUnicode_Check(group.ptr())) raise_with(PyExc_KeyError, group);
  const Py_ssize_t n = PyUnicode_GetLength(group.ptr());
  const Py_UCS4 first = n >= 1 ? PyUnicode_ReadChar(group.ptr(), 0) : 0;
  const bool quoted =
      n >= 2 && (first == '"' || first == '\'') && PyUnicode_ReadChar(group.ptr(), n - 1) == first;
  if (!quoted) raise_with(PyExc_KeyError, group);
  py::object inner = py::reinterpret_steal<py::object>(PyUnicode_Substring(group.ptr(), 1, n - 1));
  if (!inner) throw py::error_already_set();
  if (!allowed_field(inner)) raise_with(PyExc_KeyError, group);
  return py::str("frames[0]['") + py::str(inner) + py::str("']");
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

// `arr.dtype == expected`: a result without a dtype fails with the
// AttributeError of that lookup, as the plain check would.
bool dtype_is(py::handle arr, PyTypeObject* expected) {
  return truthy(compare(arr.attr("dtype"), py::handle((PyObject*)expected), Py_EQ));
}

py::object filter(py::object self, py::object frames, py::object expr) {
  py::object index = frames_index(frames);
  py::object arr = evaluate(self, frames, expr);
  if (assertions_enabled()) {
    if (!dtype_is(arr, &PyBool_Type)) raise_assertion();
    if (!truthy(compare(arr.attr("shape"), index.attr("shape"), Py_EQ))) raise_assertion();
  }
  py::object selected = index[arr];
  return py::make_tuple(selected, frames_chunk(frames));
}

py::object map(py::object self, py::object frames, py::object expr) {
  frames_index(frames);
  py::object arr = evaluate(self, frames, expr);
  if (assertions_enabled()) {
    if (!dtype_is(arr, &PyFloat_Type)) raise_assertion();
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

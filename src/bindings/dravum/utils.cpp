// Array utilities: isin, interp, dt2ts and _lolist. All array work is done by
// NumPy over whole arrays; these functions only choose what to call.
#include <cmath>

#include "common.hpp"

namespace korvel::dravum {

namespace {

const char* const ISIN_DOC =
    "给定数组内元素是否包含于enumOrPortion内。\n"
    "    "
    "如arr的类型是int64，则认为是纳秒时间戳，参数2必须是2元素的字符串列表，解析为起止时间戳，左闭右"
    "开；\n"
    "    如arr的类型是float64，则参数2只能是portion区间类型\n"
    "    如arr的类型是其它整数类型，则参数2可以是视为枚举的整数列表，也可以是portion区间。\n"
    "    例子:\n"
    "    * isin(frame['channel'], [2, 3])\n"
    "    * isin(frame['can_id'], [111, 222, 0x333])\n"
    "    * isin(signals.XXX(frames).astype(np.uint8), [7, 9, 11, 13])\n"
    "    * isin(signals.XXX(frames), P.closedopen(1.5, 5.5))\n"
    "    * isin(frame['timestamp'], ['2023/01/03 15:30:00', '20230103153010'])\n"
    "    ";

bool is_exact(py::handle obj, PyTypeObject* type) { return Py_TYPE(obj.ptr()) == type; }

bool all_exact(py::handle seq, PyTypeObject* type) {
  for (py::handle e : seq)
    if (!is_exact(e, type)) return false;
  return true;
}

py::object bitand_(py::handle a, py::handle b) {
  PyObject* r = PyNumber_And(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object invert(py::handle a) {
  PyObject* r = PyNumber_Invert(a.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// Elements of a float64 array inside the first atomic interval of `portion`.
py::object isin_interval(py::object arr, py::object portion) {
  py::list data = global("P").attr("to_data")(portion);
  // An empty interval has no atomic interval at all: nothing is inside.
  if (data.empty()) return global("np").attr("zeros")(arr.attr("shape"), py::arg("dtype") = "bool");
  py::object first = data[0];
  py::object left, low, up, right;
  {
    py::iterator it = py::iter(first);
    py::object parts[4];
    int n = 0;
    for (; it != py::iterator::sentinel(); ++it) {
      if (n == 4) throw py::value_error("too many values to unpack (expected 4)");
      parts[n++] = py::reinterpret_borrow<py::object>(*it);
    }
    if (n < 4)
      throw py::value_error("not enough values to unpack (expected 4, got " + std::to_string(n) +
                            ")");
    left = parts[0], low = parts[1], up = parts[2], right = parts[3];
  }
  py::object lower = compare(arr, low, truthy(left) ? Py_GE : Py_GT);
  py::object upper = compare(arr, up, truthy(right) ? Py_LE : Py_LT);
  return bitand_(lower, upper);
}

py::object isin(py::object arr, py::object enumOrPortion) {
  if (!py::hasattr(arr, "dtype"))
    throw py::type_error(std::string("isin() argument 'arr' must be an array, got ") +
                         Py_TYPE(arr.ptr())->tp_name);
  py::object t1 = arr.attr("dtype");
  py::handle t2(reinterpret_cast<PyObject*>(Py_TYPE(enumOrPortion.ptr())));
  py::object np = global("np");
  py::object interval = global("P").attr("Interval");

  if (truthy(compare(t1, np.attr("float64"), Py_EQ))) {
    if (assertions_enabled() && !t2.is(interval)) raise_assertion();
    return isin_interval(arr, enumOrPortion);
  }
  if (truthy(compare(t1, np.attr("int64"), Py_EQ))) {
    if (assertions_enabled()) {
      if (t2.ptr() != (PyObject*)&PyList_Type) raise_assertion();
      if (py::len(enumOrPortion) != 2) raise_assertion();
      if (!all_exact(enumOrPortion, &PyUnicode_Type)) raise_assertion();
    }
    py::object dt2ts = global("dt2ts");
    py::object from = compare(arr, dt2ts(enumOrPortion[py::int_(0)]), Py_GE);
    py::object to = compare(arr, dt2ts(enumOrPortion[py::int_(1)]), Py_LT);
    return bitand_(from, to);
  }
  for (const char* name : {"int8", "uint8", "int16", "uint16", "int32", "uint32"}) {
    if (!truthy(compare(t1, np.attr(name), Py_EQ))) continue;
    bool is_list = t2.ptr() == (PyObject*)&PyList_Type;
    if (assertions_enabled()) {
      bool ok = (is_list && all_exact(enumOrPortion, &PyLong_Type)) || t2.is(interval);
      if (!ok) raise_assertion();
    }
    if (is_list) return np.attr("isin")(arr, enumOrPortion);
    return global("isin")(arr.attr("astype")(np.attr("float64")), enumOrPortion);
  }
  return py::none();
}

py::object interp(py::object arr) {
  py::object np = global("np");
  py::object nans = np.attr("isnan")(arr);
  py::object valid = invert(nans);
  auto f = [](py::handle z) -> py::object { return z.attr("nonzero")()[py::int_(0)]; };
  arr[nans] = np.attr("interp")(f(nans), f(valid), arr[valid]);
  return arr;
}

py::object dt2ts(py::object s) {
  double seconds = py::cast<double>(global("parse")(s).attr("timestamp")());
  PyObject* r = PyLong_FromDouble(seconds * 1e9);  // truncates toward zero
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

}  // namespace

py::list lolist(py::object strOrList) {
  py::object lst = strOrList;
  if (is_exact(strOrList, &PyUnicode_Type)) {
    py::list one;
    one.append(strOrList);
    lst = one;
  }
  py::list out;
  for (py::handle e : py::iter(lst)) out.append(e.attr("lower")());
  return out;
}

void register_utils(py::module_& m) {
  m.def("interp", &interp, py::arg("arr"), "对浮点数组中的nan元素进行插值填充");
  m.def("isin", &isin, py::arg("arr"), py::arg("enumOrPortion"), ISIN_DOC);
  m.def("dt2ts", &dt2ts, py::arg("s"), "将时间字符串解析成纳秒级时间戳");
}

void register_lolist(py::module_& m) { m.def("_lolist", &lolist, py::arg("strOrList")); }

}  // namespace korvel::dravum

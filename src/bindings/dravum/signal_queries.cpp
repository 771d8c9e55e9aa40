// Signal queries: select frames through the DBC signals, by record tests and
// by decoded values.
#include <string>
#include <utility>
#include <vector>

#include "patterns.hpp"

namespace korvel::dravum {

py::object signals_matching(py::object self, py::object frames, py::object test_callback);

namespace {

const char* const SIGNAL_VALUE_MATCHES_DOC =
    " 通用的信号属性和信号值匹配查询函数：\n"
    "\n"
    "        Arguments:\n"
    "            signal_cb(Signal -> Any): "
    "用来检测信号是否符合条件的回调，如果不符合条件，需要返回None，否则可返回任意非None值，"
    "此值将被透传给value_cb\n"
    "            value_cb (Any, ndarray(float) -> ndarray(boolean)): "
    "用来逐元素检测信号值是否符合条件的回调，位置参数0为signal_cb返回的非None值，返回布尔数组\n"
    "        ";

py::object add(py::handle a, py::handle b) {
  PyObject* r = PyNumber_Add(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object sub(py::handle a, py::handle b) {
  PyObject* r = PyNumber_Subtract(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object signal_matches(py::object self, py::object frames, py::object test_callback) {
  return signals_matching(self, frames, test_callback);
}

py::object signal_contains(py::object self, py::object frames, py::object strOrList) {
  py::list patterns = lolist(strOrList);
  py::cpp_function predicate(
      [patterns](py::object s) { return name_or_comment_contains(s, patterns); });
  return self.attr("signal_matches")(frames, predicate);
}

py::object signal_value_matches(py::object self, py::object frames, py::object signal_cb,
                                py::object value_cb) {
  if (assertions_enabled()) {
    if (!PyCallable_Check(signal_cb.ptr())) raise_assertion();
    if (!PyCallable_Check(value_cb.ptr())) raise_assertion();
  }
  py::object index = frames_pair(frames).first;
  py::object np = global("np");
  py::object result = np.attr("full")(py::len(index), false);
  py::object container = self.attr("_glob")[py::str("signals")];

  std::vector<std::pair<py::object, py::object>> chosen;  // (signal, value for value_cb)
  for (py::handle s : self.attr("sig_dict").attr("values")()) {
    py::object value = signal_cb(s);
    if (!value.is_none()) chosen.emplace_back(py::reinterpret_borrow<py::object>(s), value);
  }

  // Time sums start as the integer 0, as the printed line shows when unused.
  size_t count = 0;
  py::object tm1 = py::int_(0), tm2 = py::int_(0), tm3 = py::int_(0);
  py::object logical_or = np.attr("logical_or");
  for (auto& [sig, value] : chosen) {
    ++count;
    py::object time = global("time");
    py::object t0 = time();
    py::object decoder = py::getattr(container, sig.attr("name"));
    py::object t1 = time();
    tm1 = add(tm1, sub(t1, t0));
    py::object values = decoder(frames);
    py::object t2 = time();
    tm2 = add(tm2, sub(t2, t1));
    py::object tested = value_cb(value, values);
    py::object t3 = time();
    tm3 = add(tm3, sub(t3, t2));
    logical_or(result, tested, py::arg("out") = result);
  }
  py::print(py::str(">>signal_value_matches: num_signals={}, tm1={}, tm2={}, tm3={}")
                .format(count, tm1, tm2, tm3));
  return result;
}

// The value list of the ready-made value queries: itself when iterable.
py::object value_list(py::object valOrList) {
  int r = PyObject_IsInstance(valOrList.ptr(), global("Iterable").ptr());
  if (r < 0) throw py::error_already_set();
  if (r) return valOrList;
  py::list one;
  one.append(valOrList);
  return one;
}

template <typename ValueTest>
py::object pattern_value_query(py::object self, py::object frames, py::object strOrList,
                               py::object valOrList, ValueTest value_test) {
  py::list patterns = lolist(strOrList);
  py::object val = value_list(valOrList);
  py::cpp_function sig_cb([patterns, val](py::object s) -> py::object {
    if (name_or_comment_contains(s, patterns)) return val;
    return py::none();
  });
  py::cpp_function val_cb(value_test);
  return self.attr("signal_value_matches")(frames, sig_cb, val_cb);
}

py::object signal_contains_and_value_eq(py::object self, py::object frames, py::object strOrList,
                                        py::object valOrList) {
  return pattern_value_query(
      self, frames, strOrList, valOrList,
      [](py::object v, py::object values) { return global("np").attr("isin")(values, v); });
}

py::object signal_contains_and_value_ne(py::object self, py::object frames, py::object strOrList,
                                        py::object valOrList) {
  return pattern_value_query(
      self, frames, strOrList, valOrList, [](py::object v, py::object values) {
        py::object np = global("np");
        py::object known = np.attr("logical_not")(np.attr("isnan")(values));
        py::object other = np.attr("logical_not")(np.attr("isin")(values, v));
        PyObject* r = PyNumber_And(known.ptr(), other.ptr());
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
      });
}

}  // namespace

void add_signal_queries(py::handle cls) {
  def_method(cls, "signal_matches", &signal_matches, py::arg("frames"), py::arg("test_callback"));
  def_method(cls, "signal_contains", &signal_contains, py::arg("frames"), py::arg("strOrList"));
  def_method(cls, "signal_value_matches", &signal_value_matches, py::arg("frames"),
             py::arg("signal_cb"), py::arg("value_cb"), py::doc(SIGNAL_VALUE_MATCHES_DOC));
  def_method(cls, "signal_contains_and_value_eq", &signal_contains_and_value_eq, py::arg("frames"),
             py::arg("strOrList"), py::arg("valOrList"));
  def_method(cls, "signal_contains_and_value_ne", &signal_contains_and_value_ne, py::arg("frames"),
             py::arg("strOrList"), py::arg("valOrList"));
}

}  // namespace korvel::dravum

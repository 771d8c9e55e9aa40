// Message queries: select frames by properties of the DBC messages, linked to
// frames by can_id alone.
#include "patterns.hpp"

namespace korvel::dravum {

bool contains(py::handle text, py::handle pattern) {
  int r = PySequence_Contains(text.ptr(), pattern.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

bool name_or_comment_contains(py::handle record, const py::list& patterns) {
  for (py::handle p : patterns) {
    if (contains(record.attr("name").attr("lower")(), p)) return true;
    py::object comment = record.attr("comment");
    if (truthy(comment) && contains(comment.attr("lower")(), p)) return true;
  }
  return false;
}

bool nodes_contain(py::handle nodes, const py::list& patterns) {
  py::object list = truthy(nodes) ? py::reinterpret_borrow<py::object>(nodes) : py::list();
  py::object text = py::str("|").attr("join")(list).attr("lower")();
  for (py::handle p : patterns)
    if (contains(text, p)) return true;
  return false;
}

namespace {

// np.isin(frames[0]['can_id'], [r.can_id for r in records if test_callback(r)])
py::object records_matching(py::object frames, py::object test_callback, py::object records) {
  if (assertions_enabled() && !PyCallable_Check(test_callback.ptr())) raise_assertion();
  py::object ids = frames_index(frames)[py::str("can_id")];
  py::list wanted;
  for (py::handle r : records.attr("values")())
    if (truthy(test_callback(r))) wanted.append(r.attr("can_id"));
  return global("np").attr("isin")(ids, wanted);
}

py::object message_matches(py::object self, py::object frames, py::object test_callback) {
  return records_matching(frames, test_callback, self.attr("msg_dict"));
}

template <typename Test>
py::object pattern_query(py::object self, py::object frames, py::object strOrList, Test test) {
  py::list patterns = lolist(strOrList);
  py::cpp_function predicate([patterns, test](py::object m) { return test(m, patterns); });
  return self.attr("message_matches")(frames, predicate);
}

py::object message_contains(py::object self, py::object frames, py::object strOrList) {
  return pattern_query(self, frames, strOrList, [](py::object m, const py::list& patterns) {
    return name_or_comment_contains(m, patterns);
  });
}

py::object senders_contains(py::object self, py::object frames, py::object strOrList) {
  return pattern_query(self, frames, strOrList, [](py::object m, const py::list& patterns) {
    return nodes_contain(m.attr("senders"), patterns);
  });
}

py::object receivers_contains(py::object self, py::object frames, py::object strOrList) {
  return pattern_query(self, frames, strOrList, [](py::object m, const py::list& patterns) {
    return nodes_contain(m.attr("receivers"), patterns);
  });
}

}  // namespace

py::object signals_matching(py::object self, py::object frames, py::object test_callback) {
  return records_matching(frames, test_callback, self.attr("sig_dict"));
}

void add_message_queries(py::handle cls) {
  def_method(cls, "message_matches", &message_matches, py::arg("frames"), py::arg("test_callback"));
  def_method(cls, "message_contains", &message_contains, py::arg("frames"), py::arg("strOrList"));
  def_method(cls, "senders_contains", &senders_contains, py::arg("frames"), py::arg("strOrList"));
  def_method(cls, "receivers_contains", &receivers_contains, py::arg("frames"),
             py::arg("strOrList"));
}

}  // namespace korvel::dravum

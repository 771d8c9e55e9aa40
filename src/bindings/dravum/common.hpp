// Shared pieces of the korvel.dravum bindings. The query module is mostly
// interpreter-object work: plain Python classes whose methods are C++
// functions, module globals looked up when a call needs them (as Python code
// would), and assertion checks that follow the interpreter's -O flag.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace py = pybind11;

namespace korvel::dravum {

// Objects fixed at import, held for the life of the process on purpose (no
// static py::object destructors running at interpreter teardown).
struct Globals {
  PyObject* module = nullptr;  // korvel.dravum
  PyObject* signal = nullptr;  // the Signal class
  // signals.Message: the class of a message's signals (kept off the module's
  // names, whose list is fixed).
  PyObject* message_signals = nullptr;
  PyObject* builtin_eval = nullptr;
};
Globals& globals();

// A module-level name of korvel.dravum, looked up now; NameError if absent.
py::object global(const char* name);

// True when the interpreter runs with assertions enabled (sys.flags.optimize
// is 0). Read at every check, like the interpreter's own assert statements.
bool assertions_enabled();

// Raises AssertionError without a message.
[[noreturn]] void raise_assertion();

// Raises `type` with `value` as its single argument (KeyError(name) and the like).
[[noreturn]] void raise_with(PyObject* type, py::handle value);

// Attribute lookup that skips __getattr__ fallbacks (object.__getattribute__).
py::object plain_getattr(py::handle obj, const char* name);

// A new plain class `name` (base object) of korvel.dravum, with `ns` as its
// namespace.
py::object make_class(const char* name, py::dict ns);

// Adds a C++ function to a plain class as an ordinary method: stored in the
// class dict, bound to instances on attribute access.
template <typename F, typename... Extra>
void def_method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
  py::cpp_function fn(std::forward<F>(f), py::name(name), py::is_method(cls), extra...);
  py::setattr(cls, name, fn);
}

// Adds a method returning None to a plain class through the C API, for the
// names pybind11 reserves for the constructors of its own classes (`__init__`,
// `__setstate__`): `body` receives the positional and keyword arguments after
// `self`, parsed by PyArg_ParseTupleAndKeywords with `format` and `keywords`
// (self first).
using InitBody = void (*)(py::object self, py::object arg);
void def_c_method(py::handle cls, const char* name, InitBody body, const char* format,
                  const char* const* keywords);

// Adds `__init__` to a plain class (see def_c_method).
inline void def_init(py::handle cls, InitBody body, const char* format,
                     const char* const* keywords) {
  def_c_method(cls, "__init__", body, format, keywords);
}

// truth value of obj, as `if obj:` tests it.
inline bool truthy(py::handle obj) {
  int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

// Rich comparison result object.
py::object compare(py::handle a, py::handle b, int op);

// `index, chunk = frames` with the index checked as a one-dimensional array of
// records: TypeError / ValueError for anything else, before a query runs any
// callback or expression on them.
std::pair<py::object, py::object> frames_pair(py::handle frames);

// `frames[0]`, checked the same way: a frames pair is anything indexable by 0
// and 1, so a longer tuple or a dict of the two items serves as well.
py::object frames_index(py::handle frames);

// `frames[1]`.
py::object frames_chunk(py::handle frames);

}  // namespace korvel::dravum

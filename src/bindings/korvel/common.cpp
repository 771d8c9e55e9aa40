#include "common.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "workpool.hpp"

namespace korvel::bind {

Globals& globals() {
  static Globals g;
  return g;
}

py::dtype dt_dtype() { return py::reinterpret_borrow<py::dtype>(globals().dt); }
py::dtype dt64_dtype() { return py::reinterpret_borrow<py::dtype>(globals().dt64); }

void raise_blf_error(const char* message) {
  if (message)
    PyErr_SetString(globals().blf_error, message);
  else
    PyErr_SetNone(globals().blf_error);
  throw py::error_already_set();
}

void raise_blf_error(const std::string& message) { raise_blf_error(message.c_str()); }

void raise_zlib_error(const std::string& message) {
  PyErr_SetString(globals().zlib_error, message.c_str());
  throw py::error_already_set();
}

void print_line(const std::string& line) { py::print(line); }

std::string type_name(py::handle obj) {
  return py::str(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

py::array require_1d_array(py::handle obj, const char* argname) {
  if (!py::isinstance<py::array>(obj))
    throw py::type_error(std::string("Argument '") + argname +
                         "' has incorrect type (expected numpy.ndarray, got " + type_name(obj) +
                         ")");
  auto arr = py::reinterpret_borrow<py::array>(obj);
  if (arr.ndim() != 1)
    throw py::value_error("Buffer has wrong number of dimensions (expected 1, got " +
                          std::to_string(arr.ndim()) + ")");
  return arr;
}

StridedView typed_view(py::handle obj, const char* argname, const py::dtype& dtype,
                       const std::string& expected) {
  py::array arr = require_1d_array(obj, argname);
  if (!arr.dtype().equal(dtype))
    throw py::value_error(std::string("Buffer dtype mismatch for argument '") + argname +
                          "' (expected " + expected + ", got " + std::string(py::str(arr.dtype())) +
                          ")");
  StridedView v;
  v.data = static_cast<char*>(const_cast<void*>(arr.data()));
  v.size = static_cast<size_t>(arr.shape(0));
  v.stride = arr.strides(0);
  v.keep = arr;
  return v;
}

StridedView frame_view(py::handle obj, const char* argname, const py::dtype& dtype,
                       const char* dtype_name) {
  return typed_view(obj, argname, dtype, std::string(dtype_name) + " records");
}

BytesView bytes_view(py::handle obj, const char* argname) {
  py::array arr = require_1d_array(obj, argname);
  if (!arr.dtype().equal(py::dtype::of<uint8_t>()))
    throw py::value_error(std::string("Buffer dtype mismatch for argument '") + argname +
                          "' (expected uint8, got " + std::string(py::str(arr.dtype())) + ")");
  if (arr.shape(0) > 1 && arr.strides(0) != 1)
    arr = py::module_::import("numpy").attr("ascontiguousarray")(arr);
  BytesView v;
  v.data = static_cast<const uint8_t*>(arr.data());
  v.size = static_cast<size_t>(arr.shape(0));
  v.keep = arr;
  return v;
}

unsigned thread_count(py::handle threads) {
  if (threads.is_none()) return usable_cores();
  PyObject* idx = PyNumber_Index(threads.ptr());
  if (!idx) throw py::error_already_set();
  int overflow = 0;
  long t = PyLong_AsLongAndOverflow(idx, &overflow);
  Py_DECREF(idx);
  if (t == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow > 0) t = LONG_MAX;  // capped below like any large count
  if (overflow < 0 || t < 1) throw py::value_error("threads must be at least 1");
  return static_cast<unsigned>(std::min<long>(t, 256));
}

py::object path_of(py::handle file) {
  py::module_ os = py::module_::import("os");
  if (!PyUnicode_Check(file.ptr()) && !py::isinstance(file, os.attr("PathLike"))) return {};
  py::object path = os.attr("fsencode")(os.attr("fspath")(file));
  const auto n = static_cast<size_t>(PyBytes_GET_SIZE(path.ptr()));
  if (std::strlen(PyBytes_AS_STRING(path.ptr())) != n) throw py::value_error("embedded null byte");
  return path;
}

std::string text_mode_message(const char* fn, const char* mode) {
  return std::string(fn) + ": the file must be opened in binary mode ('" + mode +
         "') or given as a path, not as a text stream";
}

void check_binary_stream(py::handle file, const char* fn, const char* mode) {
  if (py::isinstance(file, py::module_::import("io").attr("TextIOBase")))
    throw py::type_error(text_mode_message(fn, mode));
  const bool reading = mode[0] == 'r';
  if (!py::hasattr(file, reading ? "read" : "write"))
    throw py::type_error(std::string(fn) + ": file must be a path (str or os.PathLike) or " +
                         (reading ? "a binary stream with read(n)" : "a seekable binary stream") +
                         ", not " + type_name(file));
}

namespace {

// Published functions: each a trampoline of its own into the pybind11
// function it replaces. Held for the life of the process, like Globals.
constexpr size_t MAX_PUBLISHED = 32;
PyObject* published_impl[MAX_PUBLISHED];
PyMethodDef published_def[MAX_PUBLISHED];
size_t published_count = 0;

template <size_t I>
PyObject* call_published(PyObject*, PyObject* args, PyObject* kwargs) {
  return PyObject_Call(published_impl[I], args, kwargs);
}

template <size_t... I>
std::array<PyCFunctionWithKeywords, sizeof...(I)> trampolines(std::index_sequence<I...>) {
  return {&call_published<I>...};
}

}  // namespace

void publish(py::module_& m, const char* name, const char* doc) {
  static const auto calls = trampolines(std::make_index_sequence<MAX_PUBLISHED>{});
  if (published_count == MAX_PUBLISHED) throw std::logic_error("publish: too many functions");
  const size_t i = published_count++;
  published_impl[i] = py::object(m.attr(name)).release().ptr();
  PyMethodDef& d = published_def[i];
  d.ml_name = name;
  // The documented way to store a METH_KEYWORDS function.
  d.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calls[i]));
  d.ml_flags = METH_VARARGS | METH_KEYWORDS;
  d.ml_doc = doc;
  py::object module_name = m.attr("__name__");
  PyObject* f = PyCFunction_NewEx(&d, m.ptr(), module_name.ptr());
  if (!f) throw py::error_already_set();
  m.attr(name) = py::reinterpret_steal<py::object>(f);
}

double now_seconds() { return py::cast<double>(py::handle(globals().time)()); }

std::string format_fixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

korvel::FrameView frames_view(const StridedView& index, const BytesView& chunk) {
  korvel::FrameView f;
  f.records = index.data;
  f.n = index.size;
  f.stride = index.stride;
  f.chunk = chunk.data;
  f.chunk_size = chunk.size;
  return f;
}

}  // namespace korvel::bind

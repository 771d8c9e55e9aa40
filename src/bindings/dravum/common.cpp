#include "common.hpp"

#include <pybind11/numpy.h>

#include <string>

namespace korvel::dravum {

Globals& globals() {
  static Globals g;
  return g;
}

py::object global(const char* name) {
  PyObject* dict = PyModule_GetDict(globals().module);
  PyObject* v = PyDict_GetItemString(dict, name);  // borrowed
  if (!v) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(v);
}

bool assertions_enabled() {
  PyObject* flags = PySys_GetObject("flags");  // borrowed
  if (!flags) return true;
  py::object optimize = py::reinterpret_borrow<py::object>(flags).attr("optimize");
  return py::cast<long>(optimize) == 0;
}

void raise_assertion() {
  PyErr_SetNone(PyExc_AssertionError);
  throw py::error_already_set();
}

void raise_with(PyObject* type, py::handle value) {
  PyErr_SetObject(type, py::make_tuple(value).ptr());
  throw py::error_already_set();
}

py::object plain_getattr(py::handle obj, const char* name) {
  py::str key(name);
  PyObject* v = PyObject_GenericGetAttr(obj.ptr(), key.ptr());
  if (!v) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(v);
}

py::object make_class(const char* name, py::dict ns) {
  ns["__module__"] = "korvel.dravum";
  ns["__qualname__"] = name;
  py::handle type(reinterpret_cast<PyObject*>(&PyType_Type));
  return type(name, py::tuple(), ns);
}

py::object compare(py::handle a, py::handle b, int op) {
  PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

namespace {

// What the queries need of frames[0]: a one-dimensional array of records.
void check_index(py::handle index) {
  if (!py::isinstance<py::array>(index))
    throw py::type_error(std::string("frames[0] must be a numpy array of frame records, got ") +
                         Py_TYPE(index.ptr())->tp_name);
  auto arr = py::reinterpret_borrow<py::array>(index);
  if (arr.ndim() != 1)
    throw py::value_error("frames[0] must be one-dimensional (got " + std::to_string(arr.ndim()) +
                          " dimensions)");
  if (arr.dtype().attr("names").is_none())
    throw py::value_error("frames[0] must hold frame records (got " +
                          std::string(py::str(arr.dtype())) + ")");
}

}  // namespace

std::pair<py::object, py::object> frames_pair(py::handle frames) {
  PyObject* it = PyObject_GetIter(frames.ptr());
  if (!it) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    throw py::type_error(std::string("cannot unpack non-iterable ") +
                         Py_TYPE(frames.ptr())->tp_name + " object");
  }
  py::object iter = py::reinterpret_steal<py::object>(it);
  py::object items[2];
  size_t n = 0;
  while (PyObject* item = PyIter_Next(iter.ptr())) {
    if (n == 2) {
      Py_DECREF(item);
      throw py::value_error("too many values to unpack (expected 2)");
    }
    items[n++] = py::reinterpret_steal<py::object>(item);
  }
  if (PyErr_Occurred()) throw py::error_already_set();
  if (n < 2)
    throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(n) +
                          ")");
  check_index(items[0]);
  return {items[0], items[1]};
}

py::object frames_index(py::handle frames) {
  py::object index = frames[py::int_(0)];
  check_index(index);
  return index;
}

py::object frames_chunk(py::handle frames) { return frames[py::int_(1)]; }

namespace {

struct InitSpec {
  InitBody body;
  const char* format;
  const char* const* keywords;
  PyMethodDef def;  // lives as long as the function object, which owns all of this
};

PyObject* init_trampoline(PyObject* capsule, PyObject* args, PyObject* kwargs) {
  auto* init_spec = static_cast<InitSpec*>(PyCapsule_GetPointer(capsule, nullptr));
  if (!init_spec) return nullptr;
  PyObject* self = nullptr;
  PyObject* arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, init_spec->format,
                                   const_cast<char**>(init_spec->keywords), &self, &arg))
    return nullptr;
  try {
    init_spec->body(py::reinterpret_borrow<py::object>(self),
                    py::reinterpret_borrow<py::object>(arg));
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (py::builtin_exception& e) {
    e.set_error();
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

void def_c_method(py::handle cls, const char* name, InitBody body, const char* format,
                  const char* const* keywords) {
  auto* init_spec = new InitSpec{
      body, format, keywords,
      PyMethodDef{name,
                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&init_trampoline)),
                  METH_VARARGS | METH_KEYWORDS, nullptr}};
  py::capsule holder(init_spec, [](void* p) { delete static_cast<InitSpec*>(p); });
  py::object fn = py::reinterpret_steal<py::object>(PyCFunction_New(&init_spec->def, holder.ptr()));
  if (!fn) throw py::error_already_set();
  PyObject* method = PyInstanceMethod_New(fn.ptr());
  if (!method) throw py::error_already_set();
  py::setattr(cls, name, py::reinterpret_steal<py::object>(method));
}

}  // namespace korvel::dravum

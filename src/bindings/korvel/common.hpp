// Shared pieces of the korvel.korvel bindings: the module's Python-level
// objects, exceptions, and argument checks for frame arrays.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "frames.hpp"

namespace py = pybind11;

namespace korvel::bind {

// Objects fixed at import. Held for the life of the process on purpose: they
// must outlive every call, including calls made during interpreter shutdown.
struct Globals {
  PyObject* module = nullptr;     // korvel.korvel
  PyObject* dt = nullptr;         // numpy dtype DT
  PyObject* dt64 = nullptr;       // numpy dtype DT64
  PyObject* dt64_def = nullptr;   // list of (name, code) pairs
  PyObject* blf_error = nullptr;  // BLFError
  PyObject* continuable = nullptr;
  PyObject* blf_warning = nullptr;  // BLFWarning
  PyObject* zlib_error = nullptr;   // zlib.error
  PyObject* datetime = nullptr;     // datetime.datetime
  PyObject* mktime = nullptr;       // time.mktime
  PyObject* time = nullptr;         // time.time
};
Globals& globals();

py::dtype dt_dtype();
py::dtype dt64_dtype();

// Raises BLFError; without a message when `message` is null.
[[noreturn]] void raise_blf_error(const char* message);
[[noreturn]] void raise_blf_error(const std::string& message);
[[noreturn]] void raise_zlib_error(const std::string& message);

// Prints one line through the interpreter's print().
void print_line(const std::string& line);

// Name of an object's type, for messages.
std::string type_name(py::handle obj);

// TypeError for a non-array, ValueError for more or fewer than one dimension.
py::array require_1d_array(py::handle obj, const char* argname);

// A one-dimensional array walked by its stride.
struct StridedView {
  char* data = nullptr;
  size_t size = 0;
  ptrdiff_t stride = 0;
  py::array keep;  // the array the pointer belongs to
};

// Checks that `obj` is a one-dimensional ndarray whose dtype equals `dtype`;
// TypeError for a non-array, ValueError for a wrong shape or layout or dtype
// (`expected` names the dtype in that message).
StridedView typed_view(py::handle obj, const char* argname, const py::dtype& dtype,
                       const std::string& expected);
// The same for frame records: "<dtype_name> records".
StridedView frame_view(py::handle obj, const char* argname, const py::dtype& dtype,
                       const char* dtype_name);

// A one-dimensional uint8 array as one contiguous run (copied if strided).
struct BytesView {
  const uint8_t* data = nullptr;
  size_t size = 0;
  py::array keep;
};
BytesView bytes_view(py::handle obj, const char* argname);

// A checked frames pair (records and payload) as the core walks it.
korvel::FrameView frames_view(const StridedView& index, const BytesView& chunk);

// The `threads` argument of read and write: all usable cores for None, else an
// integer of at least 1 (ValueError below), capped at 256; TypeError for a
// non-integer.
unsigned thread_count(py::handle threads);

// The file-system path a `file` argument names, as bytes, when it is a str
// or an os.PathLike; null for anything else (a stream). ValueError for an
// embedded null byte.
py::object path_of(py::handle file);

// TypeError for a text-mode stream (an io.TextIOBase) given to `fn`, which
// needs one opened with `mode`, and for anything that is neither a path nor a
// stream with the method `mode` needs (read or write).
std::string text_mode_message(const char* fn, const char* mode);
void check_binary_stream(py::handle file, const char* fn, const char* mode);

// Makes the module function `name` a plain builtin of the module whose help()
// is `doc`: "name(signature)\n--\n\n" then the text (the signature is what
// inspect.signature reads). pybind11's own functions are bound to an
// internal record object, which help() would show, and carry no signature
// inspect can read. `name` and `doc` must be string literals.
void publish(py::module_& m, const char* name, const char* doc);

// Seconds since the epoch, for the timing in diagnostic lines.
double now_seconds();

// "%.2f" of a double, as Python formats it.
std::string format_fixed2(double v);

// An iterator's next() that releases the lock must not be entered again by
// another thread meanwhile: ValueError "<what>: the iterator is already
// running".
class Running {
 public:
  Running(bool& busy, const char* what) : busy_(busy) {
    if (busy_) throw py::value_error(std::string(what) + ": the iterator is already running");
    busy_ = true;
  }
  ~Running() { busy_ = false; }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

 private:
  bool& busy_;
};

}  // namespace korvel::bind

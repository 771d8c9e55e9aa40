// read(file): the core reader over a Python stream, into NumPy arrays. This
// layer adapts the stream and the arrays, prints the notices and turns the
// reader's errors into Python exceptions; the reading itself runs with the
// interpreter lock released, taken back only to call the stream, allocate
// arrays and print.
#include "blf/reader.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "array_sink.hpp"
#include "blf/format.hpp"
#include "blf/inflate.hpp"
#include "bus_arrays.hpp"
#include "buses/count.hpp"
#include "calendar.hpp"
#include "common.hpp"
#include "records.hpp"
#include "walk.hpp"

namespace korvel::bind {

using namespace korvel::blf;

namespace {

// The header's object count may be corrupt: the first allocation trusts it
// up to INITIAL_RECORDS_MAX records only; once the data has filled that, the
// count is plausible and the next step goes straight to it (up to
// TRUSTED_RECORDS_MAX), so a large log grows once instead of doubling
// through zero-filled resizes.
constexpr size_t INITIAL_RECORDS_MAX = size_t(1) << 16;
constexpr size_t TRUSTED_RECORDS_MAX = size_t(1) << 22;
// First guess of payload bytes per record (classic frames); later growth
// follows the ratio seen so far.
constexpr size_t INITIAL_BYTES_PER_RECORD = 8;
constexpr size_t MIN_RECORDS = 1024;

std::string u64(uint64_t v) { return std::to_string(v); }

// The first exception raised by a callback into Python while the reader
// runs; the reader sees ExternalError and stops, and the exception is
// raised once the reader has returned.
class Stash {
 public:
  template <class F>
  auto guard(F&& f) -> decltype(f()) {
    try {
      return f();
    } catch (...) {
      if (!error_) error_ = std::current_exception();
      throw ExternalError();
    }
  }
  [[noreturn]] void rethrow() { std::rethrow_exception(error_); }

 private:
  std::exception_ptr error_;
};

// Frames go straight into native blocks, on kept pages and huge pages when
// large, handed out as NumPy arrays once the read is done: growing takes no
// interpreter lock, which a thread of the caller's holding it (a database
// parse beside the read, a Dask task) would keep the read waiting for, a
// switch interval at each growth. Growing allocates a new block and copies
// the part in use, which touches far less than a resize that zero-fills the
// new part; the final trim hands out the part in use.
class ArraySink : public ArraySinkBase {
 public:
  py::array index;  // set by trim()
  py::array chunk;

  ArraySink(size_t n_records, size_t n_bytes, size_t count_hint, Stash& stash)
      : ArraySinkBase(n_records, n_bytes),
        count_hint_(std::min(count_hint, TRUSTED_RECORDS_MAX)),
        stash_(stash) {}

  // Called by the reader without the interpreter lock.
  void grow(size_t min_records, size_t min_payload) override {
    stash_.guard([&] { grow_locked(min_records, min_payload); });
  }

  // Needs no lock; named for the callers that hold it.
  void grow_locked(size_t min_records, size_t min_payload) {
    if (min_records > record_capacity) {
      size_t cap = std::max({min_records, record_capacity * 2, MIN_RECORDS});
      if (count_hint_ > cap) cap = count_hint_;
      count_hint_ = 0;
      regrow_block(index_, cap, sizeof(DT_t), record_count);
      record_capacity = cap;
      refresh();  // the old block is gone even if the payload's growth fails
    }
    if (min_payload > payload_capacity) {
      // Room for the record capacity at the payload per record seen so far.
      size_t per = record_count ? (payload_size + record_count - 1) / record_count
                                : INITIAL_BYTES_PER_RECORD;
      size_t fit = per * record_capacity + 256;
      size_t cap = std::max({min_payload, payload_capacity * 2, MIN_RECORDS * 64, fit});
      regrow_block(chunk_, cap, 1, payload_size);
      payload_capacity = cap;
    }
    refresh();
  }

  // The arrays, of the part in use (with the lock held); see take().
  void trim(bool compact = false) {
    py::tuple pair = take(compact);
    index = pair[0];
    chunk = pair[1];
  }

 private:
  size_t count_hint_;
  Stash& stash_;
};

void check_bytes(py::handle b) {
  if (PyBytes_Check(b.ptr())) return;
  if (PyUnicode_Check(b.ptr())) throw py::type_error(text_mode_message("read", "rb"));
  throw py::type_error("file.read() must return bytes or None, not " + type_name(b));
}

// A binary stream's read(n), called with the lock taken back.
class StreamSource : public ByteSource {
 public:
  StreamSource(py::handle file, Stash& stash) : read_(file.attr("read")), stash_(stash) {}

  ~StreamSource() override {
    py::gil_scoped_acquire gil;
    read_ = py::object();
  }

  size_t read(uint8_t* dst, size_t n) override { return call_read(n, dst); }

  size_t skip(size_t n) override {
    size_t done = 0;
    while (done < n) {
      const size_t want = std::min(size_t(16) << 20, n - done);
      const size_t got = call_read(want, nullptr);
      done += got;
      if (got < want) break;
    }
    return done;
  }

 private:
  // One read(n): its bytes copied to `dst` (dropped when null). A stream may
  // hand back more than it was asked for; the rest is not ours.
  size_t call_read(size_t n, uint8_t* dst) {
    return stash_.guard([&] {
      py::gil_scoped_acquire gil;
      py::object b = read_(n);
      if (b.is_none()) return size_t(0);
      check_bytes(b);
      const size_t got = std::min(n, static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
      if (dst && got) std::memcpy(dst, PyBytes_AS_STRING(b.ptr()), got);
      return got;
    });
  }

  py::object read_;
  Stash& stash_;
};

std::string inner_object(const ReadError& e) {
  return "the inner object at offset " + u64(e.inner_offset) +
         " of the data of the log container at byte offset " + u64(e.offset);
}

// The reader's errors in words: BLFError's messages, zlib's own wording.
std::string error_text(const ReadError& e) {
  switch (e.code) {
    case ErrorCode::NotBlf:
      return "Unsupported file format. This tool only accepts Vector BLF (Binary Logging Format) "
             "files.";
    case ErrorCode::HeaderTruncated:
      return "The file header is truncated: " + u64(e.present) +
             " bytes present at byte offset 0, " + u64(e.needed) + " needed.";
    case ErrorCode::HeaderSizeTooSmall:
      return "The file header at byte offset 0 declares header_size " + u64(e.size) +
             ", less than its 72 defined bytes.";
    case ErrorCode::NoObjectHeader:
      return "";  // BLFError without a message
    case ErrorCode::ObjectTooSmall:
      return "The log object at byte offset " + u64(e.offset) + " declares object_size " +
             u64(e.size) + ", less than its 16-byte header.";
    case ErrorCode::ContainerTooSmall:
      return "The log container at byte offset " + u64(e.offset) + " declares object_size " +
             u64(e.size) + ", less than its 32 bytes of headers.";
    case ErrorCode::NextObjectNotFound:
      return "Next log object not found.";
    case ErrorCode::InnerObjectTooSmall:
      return "Inner log object of type " + u64(e.object_type) + " at offset " +
             u64(e.inner_offset) + " of the data scanned after the container at byte offset " +
             u64(e.offset) + " declares object_size " + u64(e.size) + ", less than the " +
             u64(e.needed) + " bytes its headers and body need.";
    case ErrorCode::InnerObjectCut:
      return inner_object(e) + " is cut by a log container that is not read";
    case ErrorCode::InnerObjectPastEnd:
      if (!e.needed) return inner_object(e) + " is cut inside its header";
      return inner_object(e) + " declares " + u64(e.size) + " bytes, more than the " +
             u64(e.present) + " left in the log";
    case ErrorCode::Zlib:
      return e.zlib_message;
    case ErrorCode::None:
    case ErrorCode::NoMemory:
    case ErrorCode::External:
      break;
  }
  return {};
}

std::string cause_text(const ReadError& e) {
  if (e.code == ErrorCode::NoObjectHeader)
    return "no log object header at byte offset " + u64(e.offset);
  return error_text(e);
}

std::string damage_text(const Notice& n) {
  if (n.inner)
    return "skipped bytes " + u64(n.data_offset) + " to " + u64(n.data_offset + n.present) +
           " of the data of the log container at byte offset " + u64(n.object_pos) +
           " (container " + u64(n.container) + "): " + cause_text(n.cause);
  const std::string range = "byte offset " + u64(n.object_pos) + " to " + u64(n.declared);
  if (n.whole_container)
    return "skipped the log container at " + range + " (container " + u64(n.container) +
           "): " + cause_text(n.cause);
  return "skipped " + range + " (before container " + u64(n.container) +
         "): " + cause_text(n.cause);
}

// Frames on channels above 255: how many, the numbers stored (the first
// few) and what the records hold.
std::string wide_text(const WideChannels& w) {
  std::string numbers;
  size_t shown = 0;
  for (const auto& c : w.counts) {
    if (shown == 8) {
      numbers += ", ...";
      break;
    }
    numbers += (shown++ ? ", " : "") + u64(c.first);
  }
  return u64(w.frames) + (w.frames == 1 ? " frame is" : " frames are") +
         " on channels above 255 (stored: " + numbers +
         "); their channel field holds the stored number modulo 256";
}

std::string notice_text(const Notice& n) {
  switch (n.kind) {
    case NoticeKind::Truncated:
      if (n.inner)
        return "load blf: log truncated inside the log container at byte offset " +
               u64(n.object_pos) + ": the inner object at offset " + u64(n.data_offset) +
               " of its data " +
               (n.declared
                    ? "declares " + u64(n.declared) + " bytes, " + u64(n.present) + " are present"
                    : "is cut inside its header") +
               "; those " + u64(n.present) + " bytes were not read";
      return "load blf: log truncated at byte offset " + u64(n.object_pos + n.present) +
             ": the object at byte offset " + u64(n.object_pos) + " declares " + u64(n.declared) +
             " bytes, " + u64(n.present) + " are present";
    case NoticeKind::UnknownCompression:
      return "Unknown compression method " + u64(n.value);
    case NoticeKind::UnknownVersion:
      return "Unknown object header version " + u64(n.value);
    case NoticeKind::Damaged:
      return "load blf: " + damage_text(n);
    case NoticeKind::WideChannels:
      return "load blf: " + wide_text(n.wide);
  }
  return {};
}

// A notice as a warning: its line without the reader's label.
std::string warning_text(const Notice& n) {
  std::string text = notice_text(n);
  const std::string label = "load blf: ";
  return text.compare(0, label.size(), label) == 0 ? text.substr(label.size()) : text;
}

// Notices become the reader's printed lines (verbose) or BLFWarnings
// (quiet), and damage read past is a BLFWarning either way: as they happen,
// or (for a read in pieces) once the frames before them have been handed
// out.
class PrintedNotices : public NoticeSink {
 public:
  // `collect`: a list that takes every notice instead, as (kind, text, first
  // byte, end) with kind "truncated", "compression", "version" or "skipped"
  // and the byte range for skipped regions (None otherwise); for callers that
  // must not go through the warnings machinery (threads of a Dask worker).
  PrintedNotices(Stash& stash, bool verbose, bool deferred, py::object collect = py::none())
      : stash_(stash), verbose_(verbose), deferred_(deferred), collect_(std::move(collect)) {}

  void notice(const Notice& n) override {
    if (deferred_) {
      held_.push_back(n);
      return;
    }
    stash_.guard([&] {
      py::gil_scoped_acquire gil;
      emit(n);
    });
  }

  // Held notices dropped unseen.
  void discard() { held_.clear(); }

  // With the lock held.
  void flush() {
    std::vector<Notice> held;
    held.swap(held_);
    for (const Notice& n : held) emit(n);
  }

 private:
  void emit(const Notice& n) {
    if (!collect_.is_none()) {
      static const char* const kinds[] = {"truncated", "compression", "version", "skipped",
                                          "channels"};
      const bool skipped = n.kind == NoticeKind::Damaged;
      py::list(collect_).append(
          py::make_tuple(kinds[static_cast<int>(n.kind)], warning_text(n),
                         skipped ? py::object(py::int_(n.object_pos)) : py::object(py::none()),
                         skipped ? py::object(py::int_(n.declared)) : py::object(py::none())));
      return;
    }
    if (verbose_) print_line(notice_text(n));
    if ((n.kind == NoticeKind::Damaged || !verbose_) &&
        PyErr_WarnEx(globals().blf_warning, warning_text(n).c_str(), 1) < 0)
      throw py::error_already_set();
  }

  Stash& stash_;
  bool verbose_;
  bool deferred_;
  py::object collect_;
  std::vector<Notice> held_;
};

[[noreturn]] void raise_read_error(const ReadError& e, Stash& stash) {
  switch (e.kind()) {
    case ErrorKind::Format:
      if (e.code == ErrorCode::NoObjectHeader) raise_blf_error(nullptr);
      raise_blf_error(error_text(e));
    case ErrorKind::Zlib:
      raise_zlib_error(e.zlib_message);
    case ErrorKind::NoMemory:
      throw std::bad_alloc();
    case ErrorKind::External:
      stash.rethrow();
    case ErrorKind::None:
      break;
  }
  throw std::logic_error("raise_read_error without an error");
}

// A log given as a path (read natively, the lock released) or as a binary
// stream (read through its read(n)).
class Input {
 public:
  Input(py::object file, Stash& stash, const char* fn) {
    py::object path = path_of(file);
    if (path) {
      file_ = std::make_unique<FileSource>(PyBytes_AS_STRING(path.ptr()));
      if (file_->error()) {
        errno = file_->error();
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.ptr());
        throw py::error_already_set();
      }
      name_ = file;
      path_ = path;
    } else {
      check_binary_stream(file, fn, "rb");
      stream_ = std::make_unique<StreamSource>(file, stash);
    }
  }

  // A path read again from its start.
  void reopen() {
    file_ = std::make_unique<FileSource>(PyBytes_AS_STRING(path_.ptr()));
    if (file_->error()) {
      errno = file_->error();
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
      throw py::error_already_set();
    }
  }

  ByteSource& source() {
    if (file_) return *file_;
    return *stream_;
  }

  // An error of the file itself, as OSError naming it; else the stashed one.
  [[noreturn]] void raise(const ReadError& e, Stash& stash) {
    if (e.kind() == ErrorKind::External && file_ && file_->error()) {
      errno = file_->error();
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
      throw py::error_already_set();
    }
    raise_read_error(e, stash);
  }

 private:
  std::unique_ptr<FileSource> file_;
  std::unique_ptr<StreamSource> stream_;
  py::object name_;
  py::object path_;
};

// Options shared by the reading functions.
struct ReadArgs {
  ReaderOptions options;
  bool verbose = true;
  bool exact_time = false;
  py::object notices;  // None, or the list of PrintedNotices' `collect`
};

// The private _notices argument: None or a list.
py::object notices_list(py::object notices) {
  if (!notices.is_none() && !PyList_Check(notices.ptr()))
    throw py::type_error("_notices must be a list, got " + type_name(notices));
  return notices;
}

ReadArgs read_args(py::handle threads, bool verbose, const std::string& errors, bool scan_ahead,
                   bool libdeflate, py::object notices) {
  ReadArgs a;
  a.notices = notices_list(std::move(notices));
  if (errors == "skip")
    a.options.skip_damaged = true;
  else if (errors != "raise")
    throw py::value_error("errors must be 'raise' or 'skip' (got '" + errors + "')");
  a.options.threads = thread_count(threads);
  a.options.always_scan_ahead = scan_ahead;
  a.options.use_libdeflate = libdeflate;
  a.verbose = verbose;
  return a;
}

// An integer argument that must not be negative.
size_t count_arg(py::handle v, const char* what) {
  PyObject* idx = PyNumber_Index(v.ptr());
  if (!idx) throw py::error_already_set();
  py::object i = py::reinterpret_steal<py::object>(idx);
  if (PyObject_RichCompareBool(i.ptr(), py::int_(0).ptr(), Py_LT) == 1)
    throw py::value_error(std::string(what) + " must not be negative (got " +
                          std::string(py::str(i)) + ")");
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow) return SIZE_MAX;
  return static_cast<size_t>(x);
}

// containers=(a, b): log containers a to b-1.
void container_range(py::handle containers, ReaderOptions& o) {
  if (containers.is_none()) return;
  if (!PySequence_Check(containers.ptr()) || py::len(containers) != 2)
    throw py::type_error("containers must be a pair (a, b) of container numbers, got " +
                         type_name(containers));
  py::sequence ab = py::reinterpret_borrow<py::sequence>(containers);
  o.first_container = count_arg(ab[0], "containers[0]");
  o.end_container = count_arg(ab[1], "containers[1]");
  if (o.end_container < o.first_container)
    throw py::value_error("containers=(a, b) needs a <= b (got " +
                          std::to_string(o.first_container) + ", " +
                          std::to_string(o.end_container) + ")");
}

[[noreturn]] void outside_ns(const char* what, py::handle v) {
  throw py::value_error(std::string(what) + " lies outside the int64 nanosecond range (got " +
                        std::string(py::repr(v)) + ")");
}

// A numpy.datetime64 in nanoseconds since the epoch, exactly (floored below
// a nanosecond), where NumPy's own conversion would wrap silently.
int64_t datetime_ns(py::handle v, const char* what) {
  py::tuple unit = py::module_::import("numpy").attr("datetime_data")(v.attr("dtype"));
  const std::string name = py::str(unit[0]);
  py::object count = py::int_(v.attr("astype")("int64")) * unit[1];
  if (name == "Y" || name == "M") {
    // Calendar units: exact in days, as long as they are few.
    if (count > py::int_(100000) || count < py::int_(-100000)) outside_ns(what, v);
    return datetime_ns(v.attr("astype")("datetime64[D]"), what);
  }
  static const struct {
    const char* name;
    long long num, den;  // nanoseconds per unit: num / den
  } units[] = {{"W", 604800000000000LL, 1}, {"D", 86400000000000LL, 1},
               {"h", 3600000000000LL, 1},   {"m", 60000000000LL, 1},
               {"s", 1000000000LL, 1},      {"ms", 1000000LL, 1},
               {"us", 1000LL, 1},           {"ns", 1, 1},
               {"ps", 1, 1000LL},           {"fs", 1, 1000000LL},
               {"as", 1, 1000000000LL}};
  for (const auto& u : units) {
    if (name != u.name) continue;
    py::object ns = (count * py::int_(u.num)).attr("__floordiv__")(py::int_(u.den));
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(ns.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) outside_ns(what, v);
    return static_cast<int64_t>(x);
  }
  throw py::type_error(std::string(what) + " must be a numpy.datetime64 with a time unit, got " +
                       std::string(py::repr(v)));
}

// start=/stop=: int64 nanoseconds since the epoch, or numpy.datetime64.
int64_t time_arg(py::handle v, const char* what) {
  py::module_ np = py::module_::import("numpy");
  if (py::isinstance(v, np.attr("datetime64"))) {
    if (py::bool_(np.attr("isnat")(v)))
      throw py::value_error(std::string(what) + " must be a time, not NaT");
    return datetime_ns(v, what);
  }
  if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr()))
    throw py::type_error(std::string(what) +
                         " must be int nanoseconds since the epoch or numpy.datetime64, got " +
                         type_name(v));
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
  if (!i) throw py::error_already_set();
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow)
    throw py::value_error(std::string(what) + " lies outside the int64 nanosecond range (got " +
                          std::string(py::str(i)) + ")");
  return static_cast<int64_t>(x);
}

// A time window [start, stop); either end may be open.
struct Window {
  bool active = false;
  int64_t start = INT64_MIN;
  int64_t stop = INT64_MAX;
  bool empty() const { return active && start >= stop; }
};

Window window_arg(py::handle start, py::handle stop) {
  Window w;
  if (!start.is_none()) w.start = time_arg(start, "start");
  if (!stop.is_none()) w.stop = time_arg(stop, "stop");
  w.active = !start.is_none() || !stop.is_none();
  if (w.start > w.stop)
    throw py::value_error("start must not lie after stop (got start=" + std::to_string(w.start) +
                          ", stop=" + std::to_string(w.stop) + ")");
  return w;
}

class QuietNotices : public NoticeSink {
 public:
  void notice(const Notice&) override {}
};

// The header, its dates converted; the reader then starts.
FileHeader_t open_log(LogReader& reader, Input& input, Stash& stash, bool exact) {
  FileHeader_t header;
  ReadError err;
  {
    py::gil_scoped_release unlocked;
    err = reader.read_header(header);
  }
  if (err) input.raise(err, stash);
  int64_t start_timestamp = exact ? systemtime_to_timestamp_exact(header.start_timestamp)
                                  : systemtime_to_timestamp(header.start_timestamp);
  systemtime_to_timestamp(header.stop_timestamp);  // must convert, value unused
  reader.start(start_timestamp, exact);
  return header;
}

std::string cost_line(double since, uint64_t object_count, uint64_t records, uint64_t payload) {
  const uint64_t idx_mem = records * sizeof(DT_t);
  return "load blf cost " + format_fixed2((now_seconds() - since) * 1000) +
         "ms, obj_cnt=" + u64(object_count) + ", frm_cnt=" + u64(records) +
         ", idx_mem=" + u64(idx_mem) + ", chk_mem=" + u64(payload) +
         ", tot_mem=" + u64(idx_mem + payload);
}

// For a window on a log given as a path: the containers that can hold its
// frames, found from the first timestamps of all containers (the start of
// each is inflated); the range read is then masked. A stream, or first
// timestamps that decrease somewhere, leave the whole log to be read.
void plan_window(py::object file, const Window& w, bool exact, ReadArgs& args) {
  if (!w.active || w.empty() || !path_of(file)) return;
  Stash stash;
  Input input(file, stash, "read");
  QuietNotices quiet;
  ReaderOptions o;
  o.skip_damaged = args.options.skip_damaged;
  o.threads = args.options.threads;
  auto reader = std::make_unique<LogReader>(input.source(), quiet, o);
  open_log(*reader, input, stash, exact);
  std::vector<ContainerEntry> entries;
  ReadError err;
  size_t first = 0, end = 0;
  bool sure = false;
  {
    py::gil_scoped_release unlocked;
    err = reader->list_containers(entries, true);
    if (!err) sure = window_containers(entries, w.start, w.stop, first, end);
  }
  if (err) input.raise(err, stash);
  if (!sure) return;
  // First times are guesses (frames of one container may be timed past the
  // next one's first): the reader takes in containers on either side of the
  // range while they hold frames of the window, within the containers asked.
  ReaderOptions& r = args.options;
  r.window_guess = true;
  r.window_first = r.first_container;
  r.window_end = r.end_container;
  first = std::max(first, r.window_first);
  if (r.window_end > r.window_first && first >= r.window_end) first = r.window_end - 1;
  r.first_container = first;
  r.end_container = std::max(first, std::min(r.end_container, end));
  // The walk begins a little before the range: the containers the reader
  // looks back through for the range's first object.
  const size_t lead = 72;
  if (r.first_container > lead && r.first_container - lead < entries.size()) {
    r.start_container = r.first_container - lead;
    r.start_offset = entries[r.start_container].offset;
  }
}

// The time window's frames are those the reader keeps (and counts).
void keep_window_args(const Window& w, ReaderOptions& o) {
  if (!w.active) return;
  o.keep_start = w.start;
  o.keep_stop = w.stop;
}

}  // namespace

py::tuple read_walk(py::object file, py::object threads, bool verbose, py::object containers,
                    const std::string& errors, py::object start, py::object stop, bool exact_time,
                    bool all_errors, bool scan_ahead, bool libdeflate, py::object collect,
                    WalkExtras& extras) {
  double tm = now_seconds();
  ReadArgs args = read_args(threads, verbose, errors, scan_ahead, libdeflate, collect);
  args.options.all_errors = all_errors;
  args.options.objects = extras.objects;
  args.options.frames = extras.frames;
  container_range(containers, args.options);
  const Window window = window_arg(start, stop);
  keep_window_args(window, args.options);
  const ReaderOptions asked = args.options;
  if (window.empty()) args.options.end_container = args.options.first_container;
  // Which containers hold a window's frames is judged by its CAN frames; a
  // walk that keeps other objects reads the whole range and masks it.
  if (!extras.objects || extras.objects_count_only) plan_window(file, window, exact_time, args);
  Stash stash;
  Input input(file, stash, "read");
  for (;;) {
    if (extras.objects && extras.objects_count_only) extras.objects->clear();  // a retried walk
    // A guessed window's notices wait until the guess is known to hold.
    const bool guess = args.options.window_guess;
    PrintedNotices notices(stash, args.verbose, guess, args.notices);
    auto reader = std::make_unique<LogReader>(input.source(), notices, args.options);
    const FileHeader_t header = open_log(*reader, input, stash, exact_time);
    const uint32_t object_count = header.object_count;

    size_t cap = std::min<size_t>(object_count, INITIAL_RECORDS_MAX);
    // + the scanner's copy slack
    ArraySink sink(cap, cap * INITIAL_BYTES_PER_RECORD + 256, object_count, stash);
    ReadError err;
    size_t containers_seen = 0;
    bool unsure = false;
    {
      py::gil_scoped_release unlocked;
      bool done = false;
      err = reader->read(sink, SIZE_MAX, done);
      containers_seen = reader->containers_seen();
      unsure = reader->window_unsure();
      // Workers may still use the reader's buffers; let them finish unlocked.
      reader.reset();
    }
    if (guess && unsure && !err) {
      // Frames of the window may lie before every container looked at: the
      // whole read, masked.
      args.options = asked;
      input.reopen();
      continue;
    }
    notices.flush();
    if (err) input.raise(err, stash);
    if (!containers.is_none() && asked.end_container > containers_seen &&
        args.options.end_container == asked.end_container)
      throw py::value_error("containers=(" + std::to_string(asked.first_container) + ", " +
                            std::to_string(asked.end_container) + ") lies outside the log's " +
                            std::to_string(containers_seen) + " containers");
    if (window.active)
      sink.record_count = keep_window(sink.records, 0, sink.record_count, sink.payload,
                                      sink.payload_size, window.start, window.stop);
    extras.windowed = window.active;
    extras.start = window.start;
    extras.stop = window.stop;
    extras.object_count = object_count;

    sink.trim(window.active);
    if (args.verbose && extras.cost_line)
      print_line(cost_line(tm, object_count, sink.record_count, sink.payload_size));
    return py::make_tuple(sink.index, sink.chunk);
  }
}

namespace {

void check_other_buses(py::handle other_buses) {
  if (!other_buses.is_none() && !py::isinstance<py::list>(other_buses))
    throw py::type_error("_other_buses must be a list, got " + type_name(other_buses));
}

void append_counts(const buses::BusCounter& counter, py::handle other_buses) {
  const auto& counts = counter.counts();
  for (size_t bus = 0; bus < counts.size(); ++bus)
    if (counts[bus])
      other_buses.attr("append")(
          py::make_tuple(buses::bus_name(static_cast<buses::Bus>(bus)), counts[bus]));
}

// `other_buses`: None, or a list to which (bus name, objects) pairs are
// appended for the objects of buses other than CAN the read passed over
// (within the window), for callers that say what they leave out.
py::tuple read(py::object file, py::object threads, bool verbose, py::object containers,
               const std::string& errors, py::object start, py::object stop, bool exact_time,
               bool all_errors, bool scan_ahead, bool libdeflate, py::object collect,
               py::object other_buses) {
  WalkExtras extras;
  if (other_buses.is_none())
    return read_walk(file, threads, verbose, containers, errors, start, stop, exact_time,
                     all_errors, scan_ahead, libdeflate, collect, extras);
  check_other_buses(other_buses);
  const Window w = window_arg(start, stop);
  buses::BusCounter counter(w.start, w.stop);
  extras.objects = &counter;
  extras.objects_count_only = true;
  py::tuple frames = read_walk(file, threads, verbose, containers, errors, start, stop, exact_time,
                               all_errors, scan_ahead, libdeflate, collect, extras);
  append_counts(counter, other_buses);
  return frames;
}

// iter_read: the frames in pieces of at most `frames` records, in file
// order. The reader keeps its place (and its containers in flight) between
// pieces.
class PieceReader {
 public:
  // `counter` (or null) counts the objects of other buses, appended to
  // `other_buses` once the pieces are all out.
  PieceReader(py::object file, size_t frames, const ReadArgs& args, const ReaderOptions& asked,
              const Window& window, bool exact, std::unique_ptr<buses::BusCounter> counter,
              py::object other_buses)
      : counter_(std::move(counter)),
        other_buses_(std::move(other_buses)),
        since_(now_seconds()),
        frames_(frames),
        verbose_(args.verbose),
        exact_(exact),
        window_(window),
        guess_(args.options.window_guess),
        asked_(asked),
        input_(file, stash_, "iter_read"),
        notices_(stash_, args.verbose, true, args.notices) {
    reader_ = std::make_unique<LogReader>(input_.source(), notices_, args.options);
    object_count_ = open_log(*reader_, input_, stash_, exact).object_count;
    new_sink(0, nullptr);
  }

  ~PieceReader() {
    py::gil_scoped_release unlocked;
    reader_.reset();
  }

  py::object next() {
    const Running running(busy_, "iter_read");
    for (;;) {
      if (!ready_.empty()) {
        py::object piece = ready_.front();
        ready_.pop_front();
        return piece;
      }
      notices_.flush();
      if (error_) {
        ReadError e = error_;
        error_ = ReadError{};
        finished_ = true;
        input_.raise(e, stash_);
      }
      if (finished_) {
        if (!reported_) {
          reported_ = true;
          if (counter_) append_counts(*counter_, other_buses_);
          if (verbose_)
            print_line(cost_line(since_, object_count_, total_records_, total_payload_));
        }
        throw py::stop_iteration();
      }
      fill();
    }
  }

 private:
  void fill() {
    bool done = false;
    ReadError err;
    {
      py::gil_scoped_release unlocked;
      ArraySink& s = *sink_;
      const size_t before = s.record_count;
      err = reader_->read(s, frames_, done);
      if (window_.active)
        s.record_count = keep_window(s.records, before, s.record_count, s.payload, s.payload_size,
                                     window_.start, window_.stop);
    }
    if (guess_) {
      // Known by the first read: then nothing has been handed out yet.
      guess_ = false;
      if (!err && reader_->window_unsure()) {
        read_whole();
        return;
      }
    }
    if (err) {
      error_ = err;
      done = true;
    }
    cut_pieces(done);
    if (done) {
      finished_ = true;
      py::gil_scoped_release unlocked;
      reader_.reset();
    }
  }

  // A guessed window found unsure: the whole log is read instead, masked.
  void read_whole() {
    notices_.discard();
    if (counter_) counter_->clear();
    {
      py::gil_scoped_release unlocked;
      reader_.reset();
    }
    input_.reopen();
    reader_ = std::make_unique<LogReader>(input_.source(), notices_, asked_);
    open_log(*reader_, input_, stash_, exact_);
    new_sink(0, nullptr);
  }

  // Every whole piece the sink holds, and at the end what is left.
  void cut_pieces(bool done) {
    ArraySink& s = *sink_;
    const size_t n = s.record_count;
    const size_t whole = n / frames_;
    if (whole == 0 && !(done && n)) return;
    total_records_ += done ? n : whole * frames_;
    // Pieces after the first are copied out; the first keeps the sink's
    // arrays, trimmed in place.
    std::vector<py::tuple> later;
    for (size_t k = 1; k < whole; ++k) later.push_back(copy_piece(k * frames_, (k + 1) * frames_));
    const size_t kept = whole ? whole * frames_ : n;
    std::unique_ptr<ArraySink> rest;
    if (kept < n) {
      if (done)
        later.push_back(copy_piece(kept, n));
      else
        new_sink(kept, &rest);
    }
    const size_t first_end = whole ? frames_ : n;
    const uint64_t first_bytes = payload_end(first_end);
    total_payload_ += first_bytes;
    for (auto& p : later) total_payload_ += static_cast<uint64_t>(py::len(p[1]));
    if (!done && kept < n) total_payload_ -= static_cast<uint64_t>(rest->payload_size);
    s.record_count = first_end;
    s.payload_size = first_bytes;
    s.trim();
    ready_.push_back(py::make_tuple(s.index, s.chunk));
    for (auto& p : later) ready_.push_back(p);
    if (rest)
      sink_ = std::move(rest);
    else
      new_sink(0, nullptr);
  }

  // Where the payload of record i begins (the end of the payload before it).
  uint64_t payload_end(size_t i) const {
    const ArraySink& s = *sink_;
    if (i >= s.record_count) return s.payload_size;
    return loc_offset(s.records[i].loc);
  }

  // Records [a, b) and their payload into `records` and `payload`, the
  // payload offsets counting from 0 again.
  void copy_records(size_t a, size_t b, DT_t* records, uint8_t* payload) const {
    const ArraySink& s = *sink_;
    const uint64_t p0 = payload_end(a), p1 = payload_end(b);
    // Adding the two's complement takes p0 off each offset.
    copy_rebased(reinterpret_cast<const char*>(s.records + a), b - a, sizeof(DT_t),
                 uint64_t(0) - p0, records);
    if (p1 > p0) std::memcpy(payload, s.payload + p0, p1 - p0);
  }

  py::tuple copy_piece(size_t a, size_t b) {
    const uint64_t bytes = payload_end(b) - payload_end(a);
    py::array index(dt_dtype(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(b - a)});
    py::array chunk(py::dtype::of<uint8_t>(),
                    std::vector<py::ssize_t>{static_cast<py::ssize_t>(bytes)});
    copy_records(a, b, static_cast<DT_t*>(index.mutable_data()),
                 static_cast<uint8_t*>(chunk.mutable_data()));
    return py::make_tuple(index, chunk);
  }

  // A fresh sink for the next piece; with `rest`, it starts with the
  // records from `from` on of the current one.
  void new_sink(size_t from, std::unique_ptr<ArraySink>* rest) {
    const size_t hint = std::min<size_t>(object_count_, frames_ + frames_ / 8 + 8192);
    const size_t carried = rest ? sink_->record_count - from : 0;
    const size_t cap = std::max(std::min<size_t>(hint, INITIAL_RECORDS_MAX), carried);
    auto next =
        std::make_unique<ArraySink>(cap, cap * INITIAL_BYTES_PER_RECORD + 256, hint, stash_);
    if (rest) {
      const uint64_t bytes = sink_->payload_size - payload_end(from);
      next->grow_locked(carried, bytes + 256);
      copy_records(from, sink_->record_count, next->records, next->payload);
      next->record_count = carried;
      next->payload_size = bytes;
      *rest = std::move(next);
    } else {
      sink_ = std::move(next);
    }
  }

  std::unique_ptr<buses::BusCounter> counter_;  // before reader_, which uses it
  py::object other_buses_;
  double since_;
  size_t frames_;
  bool verbose_;
  bool exact_;
  Window window_;
  bool guess_;
  ReaderOptions asked_;
  Stash stash_;
  Input input_;
  PrintedNotices notices_;
  std::unique_ptr<LogReader> reader_;
  std::unique_ptr<ArraySink> sink_;
  uint32_t object_count_ = 0;
  std::deque<py::object> ready_;
  ReadError error_;
  bool finished_ = false;
  bool reported_ = false;
  bool busy_ = false;
  uint64_t total_records_ = 0;
  uint64_t total_payload_ = 0;
};

py::object iter_read(py::object file, py::object frames, py::object threads, bool verbose,
                     const std::string& errors, py::object start, py::object stop, bool exact_time,
                     bool all_errors, bool scan_ahead, bool libdeflate, py::object collect,
                     py::object other_buses) {
  ReadArgs args = read_args(threads, verbose, errors, scan_ahead, libdeflate, collect);
  args.options.all_errors = all_errors;
  const size_t n = count_arg(frames, "frames");
  if (n == 0) throw py::value_error("frames must be at least 1");
  check_other_buses(other_buses);
  const Window window = window_arg(start, stop);
  keep_window_args(window, args.options);
  std::unique_ptr<buses::BusCounter> counter;
  if (!other_buses.is_none()) {
    counter = std::make_unique<buses::BusCounter>(window.start, window.stop);
    args.options.objects = counter.get();
  }
  const ReaderOptions asked = args.options;
  if (window.empty()) args.options.end_container = 0;
  plan_window(file, window, exact_time, args);
  return py::cast(std::make_unique<PieceReader>(file, n, args, asked, window, exact_time,
                                                std::move(counter), other_buses));
}

const char* application_name(uint8_t id) {
  static const char* const names[] = {
      "Unknown", "CANalyzer", "CANoe",         "CANstress",
      "CANlog",  "CANape",    "CANcaseXL log", "Vector Logger Configurator"};
  return id < sizeof names / sizeof *names ? names[id] : "";
}

py::object info(py::object file, bool verbose, bool times, bool channels, py::object collect) {
  // Where a seekable stream stands, for the channel list walked later.
  py::object at = py::none();
  if (!path_of(file) && py::hasattr(file, "seekable") && py::hasattr(file, "tell")) {
    try {
      if (py::bool_(file.attr("seekable")())) at = file.attr("tell")();
    } catch (py::error_already_set&) {
      at = py::none();
    }
  }
  Stash stash;
  Input input(file, stash, "info");
  PrintedNotices notices(stash, verbose, false, notices_list(std::move(collect)));
  ReaderOptions options;
  if (times) options.threads = thread_count(py::none());
  auto reader = std::make_unique<LogReader>(input.source(), notices, options);
  FileHeader_t header;
  ReadError err;
  {
    py::gil_scoped_release unlocked;
    err = reader->read_header(header);
  }
  if (err) input.raise(err, stash);
  const int64_t start = systemtime_to_timestamp(header.start_timestamp);
  const int64_t stop = systemtime_to_timestamp(header.stop_timestamp);
  reader->start(start);
  std::vector<ContainerEntry> entries;
  {
    py::gil_scoped_release unlocked;
    err = reader->list_containers(entries, times);
  }
  if (err) input.raise(err, stash);

  py::list fields;
  fields.append(py::make_tuple("offset", "<u8"));
  fields.append(py::make_tuple("size", "<u4"));
  fields.append(py::make_tuple("uncompressed_size", "<u4"));
  fields.append(py::make_tuple("method", "<u2"));
  if (times) fields.append(py::make_tuple("first_timestamp", "<i8"));
  py::dtype dtype = py::module_::import("numpy").attr("dtype")(fields);
  // A container in which no object begins (or whose first object lies past
  // the bytes looked at) takes the time of the next object found.
  std::vector<int64_t> firsts(entries.size(), INT64_MAX);
  int64_t next = INT64_MAX;
  for (size_t j = entries.size(); j-- > 0;) {
    if (entries[j].first == FirstObject::Found) next = entries[j].first_timestamp;
    firsts[j] = next;
  }
  py::array table(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(entries.size())});
  char* row = static_cast<char*>(table.mutable_data());
  for (const ContainerEntry& e : entries) {
    std::memcpy(row, &e.offset, 8);
    std::memcpy(row + 8, &e.object_size, 4);
    std::memcpy(row + 12, &e.uncompressed_size, 4);
    std::memcpy(row + 16, &e.method, 2);
    if (times) std::memcpy(row + 18, &firsts[static_cast<size_t>(&e - entries.data())], 8);
    row += dtype.itemsize();
  }

  py::dict application;
  application["id"] = header.application_id;
  application["name"] = application_name(header.application_id);
  application["version"] =
      py::make_tuple(header.application_major, header.application_minor, header.application_build);
  py::dict d;
  d["object_count"] = header.object_count;
  d["application"] = application;
  d["file_size"] = header.filesize;
  d["uncompressed_size"] = header.uncompressed_size;
  d["start"] = start;
  d["stop"] = stop;
  d["containers"] = table;
  // "channels" is walked from the whole log when first asked for.
  py::object result = py::module_::import("korvel._info").attr("Info")(d, file, at);
  if (channels) result["channels"];  // walked now, while the stream stands where it did
  return result;
}

}  // namespace

void register_reader(py::module_& m) {
  m.def("read", &read, py::arg("file"), py::kw_only(), py::arg("threads") = py::none(),
        py::arg("verbose") = true, py::arg("containers") = py::none(), py::arg("errors") = "raise",
        py::arg("start") = py::none(), py::arg("stop") = py::none(), py::arg("exact_time") = false,
        py::arg("all_errors") = false, py::arg("_scan_ahead") = false,
        py::arg("_libdeflate") = true, py::arg("_notices") = py::none(),
        py::arg("_other_buses") = py::none(),
        "Read a BLF log (a path or a binary stream) into a frames pair (index, chunk).");
  py::class_<PieceReader>(m, "_PieceReader")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &PieceReader::next);
  m.def("iter_read", &iter_read, py::arg("file"), py::arg("frames") = 1000000, py::kw_only(),
        py::arg("threads") = py::none(), py::arg("verbose") = true, py::arg("errors") = "raise",
        py::arg("start") = py::none(), py::arg("stop") = py::none(), py::arg("exact_time") = false,
        py::arg("all_errors") = false, py::arg("_scan_ahead") = false,
        py::arg("_libdeflate") = true, py::arg("_notices") = py::none(),
        py::arg("_other_buses") = py::none(),
        "Read a BLF log in frames pairs of at most `frames` records each, in file order.");
  m.def("info", &info, py::arg("file"), py::kw_only(), py::arg("verbose") = true,
        py::arg("times") = false, py::arg("channels") = false, py::arg("_notices") = py::none(),
        "Header facts and the table of log containers, without inflating anything.");
  // Which inflater this build uses for complete containers.
  m.attr("INFLATER") = inflater_name();

  publish(m, "read",
          "read(file, *, threads=None, verbose=True, containers=None, errors='raise',\n"
          "     start=None, stop=None, exact_time=False, all_errors=False)\n--\n\n"
          "Read a BLF log into a frames pair (index, chunk).\n\n"
          "The log is read once, front to back: every CAN, CAN FD and error frame object\n"
          "(objects split across log containers included) becomes a DT record, in file\n"
          "order, and its payload bytes go back to back into chunk; a record finds them\n"
          "through loc = offset + (stored count << 48). Prints \"load blf cost ...ms,\n"
          "obj_cnt=..., frm_cnt=..., idx_mem=..., chk_mem=..., tot_mem=...\", and a line\n"
          "for a log cut short, a container of an unknown compression method or an\n"
          "object of an unknown header version (each skipped), and for frames on\n"
          "channels above 255 (their channel is the stored number modulo 256).\n\n"
          "file: a path (str or os.PathLike), read natively without the interpreter\n"
          "    lock, or a binary stream with read(n).\n\n"
          "Keywords (extensions):\n"
          "threads: native threads inflating and scanning containers (None: all usable\n"
          "    cores); the result is the same for any number.\n"
          "verbose: False prints nothing; what the lines would have said about the log\n"
          "    comes as a BLFWarning instead (a UserWarning).\n"
          "containers: (a, b) gives the frames of the objects that begin in log\n"
          "    containers a to b-1 (counted from 0, see info()); the ranges of any\n"
          "    partition of the containers, joined, equal the whole read.\n"
          "errors: 'raise', or 'skip' to read past damage: a container that cannot be\n"
          "    read, and an object that can never be finished, are left out (the walk\n"
          "    goes on at the next object whose walk is clean), with a BLFWarning for each\n"
          "    region skipped.\n"
          "start, stop: only the frames with start <= timestamp < stop (int64 ns since\n"
          "    the epoch, or numpy.datetime64 within that range; None leaves that end\n"
          "    open): the whole read masked to the window, frame for frame. From a path,\n"
          "    only the containers that can hold such frames are inflated: those the\n"
          "    first timestamps of the containers (info(times=True)) point to, and on\n"
          "    each side the next ones for as long as the last one read holds a frame of\n"
          "    the window. Where those timestamps decrease somewhere, and for a stream,\n"
          "    the whole log is read. Frames beyond a container holding none of the\n"
          "    window on that side cannot be seen.\n"
          "exact_time: timestamps in integer nanoseconds (header start plus object\n"
          "    time) instead of the default double-precision sum, which rounds to about\n"
          "    256 ns; logs written with write(..., exact_time=True) read back exactly.\n"
          "all_errors: True reads the other error frame objects as error-frame records\n"
          "    too, in file order: CAN_ERROR (channel and length only) and\n"
          "    CAN_FD_ERROR_64 (identifier, length, data, FD, BRS and ESI bits). By\n"
          "    default only CAN_ERROR_EXT objects give error frames.\n\n"
          "Returns (index, chunk): a new DT array and a new uint8 array.\n\n"
          "A log cut short returns every frame before the cut and says so. Raises\n"
          "BLFError for a file that is not a BLF log and for format faults (naming the\n"
          "byte offset), zlib.error for corrupt compressed data, OSError when a path\n"
          "cannot be read, TypeError for a text stream or an argument that is neither a\n"
          "path nor a binary stream, ValueError for bad keyword values (start after\n"
          "stop among them).");
  publish(m, "iter_read",
          "iter_read(file, frames=1000000, *, threads=None, verbose=True, errors='raise',\n"
          "          start=None, stop=None, exact_time=False, all_errors=False)\n--\n\n"
          "Read a BLF log in frames pairs of at most `frames` records each, in file\n"
          "order: an iterator whose pieces, joined with concat, equal read(file). Memory\n"
          "stays at one piece plus the containers in flight, whatever the size of the\n"
          "log. The \"load blf cost\" line comes after the last piece.\n\n"
          "file, threads, verbose, errors, start, stop, exact_time, all_errors: as for\n"
          "read().\n\n"
          "Returns an iterator of (index, chunk) pairs.\n\n"
          "Raises what read() raises, once the pieces before the fault are out; notices\n"
          "(lines, or BLFWarnings when quiet) come after the frames before them.\n"
          "ValueError for frames below 1.");
  publish(m, "info",
          "info(file, *, verbose=True, times=False, channels=False)\n--\n\n"
          "Header facts and the table of log containers, without inflating anything.\n\n"
          "Returns a dict: object_count, application (id, name, version), file_size and\n"
          "uncompressed_size (as the header says), start and stop (ns since the epoch),\n"
          "and containers: an array of (offset, size, uncompressed_size, method), one\n"
          "per log container in file order (the numbers read()'s containers= counts).\n"
          "info(file)[\"channels\"] is the channel list, walked from the whole log when\n"
          "first asked for (a stream must be seekable then): a dict of columns, one row\n"
          "per bus and channel: bus ('CAN', 'LIN', 'FLEXRAY', 'ETHERNET', 'MOST', ...),\n"
          "channel, objects (count), first and last (int64 ns), and the name and\n"
          "database the log's APP_TEXT objects give the channel ('' where none).\n\n"
          "file, verbose: as for read() (a log cut short is reported).\n"
          "times: containers gain first_timestamp (int64 ns, as read() gives times): the\n"
          "    time of the first object that begins in the container, found by inflating\n"
          "    only the start of each; a container in which no object begins (or whose\n"
          "    first object lies past the first 1 KiB of its compressed data, or whose\n"
          "    start cannot be inflated) takes that of the next object found (int64 max\n"
          "    when there is none). These are guesses: a payload can look like an\n"
          "    object, and frames of a container may be timed past the next one's first.\n"
          "channels: the channel list is walked at once (channel numbers as the log\n"
          "    stores them: read's records hold numbers above 255 modulo 256).\n\n"
          "Raises what read() raises for the file header and the top-level objects (with\n"
          "channels, what read() raises).");
}

}  // namespace korvel::bind

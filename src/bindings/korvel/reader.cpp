// read(file): the core reader over a Python stream, into NumPy arrays. This
// layer adapts the stream and the arrays, prints the notices and turns the
// reader's errors into Python exceptions; the reading itself runs with the
// interpreter lock released, taken back only to call the stream, allocate
// arrays and print.
#include "reader.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "blf_format.hpp"
#include "calendar.hpp"
#include "common.hpp"
#include "inflate.hpp"

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

// Process-wide switches for tests and benchmarks.
std::atomic<bool> always_scan_ahead{false};
std::atomic<bool> libdeflate_enabled{true};

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

// Frames go straight into NumPy arrays (NumPy allocates large arrays on huge
// pages). Growing allocates a fresh array and copies the part in use, which
// touches far less than a resize that zero-fills the new part; the final
// trim is an in-place resize.
class ArraySink : public FrameSink {
 public:
  py::array index;
  py::array chunk;

  ArraySink(size_t n_records, size_t n_bytes, size_t count_hint, Stash& stash)
      : index(dt_dtype(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n_records)}),
        chunk(py::dtype::of<uint8_t>(),
              std::vector<py::ssize_t>{static_cast<py::ssize_t>(n_bytes)}),
        count_hint_(std::min(count_hint, TRUSTED_RECORDS_MAX)),
        stash_(stash) {
    refresh();
  }

  // Called by the reader without the interpreter lock.
  void grow(size_t min_records, size_t min_payload) override {
    stash_.guard([&] {
      py::gil_scoped_acquire gil;
      grow_locked(min_records, min_payload);
    });
  }

  void trim() {
    index.resize(std::vector<py::ssize_t>{static_cast<py::ssize_t>(record_count)}, false);
    chunk.resize(std::vector<py::ssize_t>{static_cast<py::ssize_t>(payload_size)}, false);
    refresh();
  }

 private:
  void grow_locked(size_t min_records, size_t min_payload) {
    if (min_records > record_capacity) {
      size_t cap = std::max({min_records, record_capacity * 2, MIN_RECORDS});
      if (count_hint_ > cap) cap = count_hint_;
      count_hint_ = 0;
      py::array bigger(dt_dtype(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(cap)});
      if (record_count)
        std::memcpy(bigger.mutable_data(), index.data(), record_count * sizeof(DT_t));
      index = bigger;
    }
    if (min_payload > payload_capacity) {
      // Room for the record capacity at the payload per record seen so far.
      size_t per = record_count ? (payload_size + record_count - 1) / record_count
                                : INITIAL_BYTES_PER_RECORD;
      size_t fit = per * static_cast<size_t>(index.shape(0)) + 256;
      size_t cap = std::max({min_payload, payload_capacity * 2, MIN_RECORDS * 64, fit});
      py::array bigger(py::dtype::of<uint8_t>(),
                       std::vector<py::ssize_t>{static_cast<py::ssize_t>(cap)});
      if (payload_size) std::memcpy(bigger.mutable_data(), chunk.data(), payload_size);
      chunk = bigger;
    }
    refresh();
  }

  void refresh() {
    records = reinterpret_cast<DT_t*>(index.mutable_data());
    record_capacity = static_cast<size_t>(index.shape(0));
    payload = static_cast<uint8_t*>(chunk.mutable_data());
    payload_capacity = static_cast<size_t>(chunk.shape(0));
  }

  size_t count_hint_;
  Stash& stash_;
};

// A binary stream's read(n), called with the lock taken back.
class StreamSource : public ByteSource {
 public:
  StreamSource(py::handle file, Stash& stash) : read_(file.attr("read")), stash_(stash) {}

  ~StreamSource() override {
    py::gil_scoped_acquire gil;
    read_ = py::object();
  }

  size_t read(uint8_t* dst, size_t n) override {
    return stash_.guard([&] {
      py::gil_scoped_acquire gil;
      py::object b = read_(n);
      if (b.is_none()) return size_t(0);
      if (!PyBytes_Check(b.ptr()))
        throw py::type_error("file.read() must return bytes or None, not " + type_name(b));
      // A stream may hand back more than it was asked for; the rest is not ours.
      size_t got = std::min(n, static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
      if (got) std::memcpy(dst, PyBytes_AS_STRING(b.ptr()), got);
      return got;
    });
  }

  size_t skip(size_t n) override {
    size_t done = 0;
    while (done < n) {
      size_t want = std::min(size_t(16) << 20, n - done);
      size_t got = stash_.guard([&] {
        py::gil_scoped_acquire gil;
        py::object b = read_(want);
        if (b.is_none()) return size_t(0);
        if (!PyBytes_Check(b.ptr()))
          throw py::type_error("file.read() must return bytes or None, not " + type_name(b));
        return static_cast<size_t>(PyBytes_GET_SIZE(b.ptr()));
      });
      done += std::min(got, want);
      if (got < want) break;
    }
    return done;
  }

 private:
  py::object read_;
  Stash& stash_;
};

// Notices become the reader's printed lines, as they happen.
class PrintedNotices : public NoticeSink {
 public:
  explicit PrintedNotices(Stash& stash) : stash_(stash) {}

  void notice(const Notice& n) override {
    stash_.guard([&] {
      py::gil_scoped_acquire gil;
      print_line(text(n));
    });
  }

  static std::string text(const Notice& n) {
    switch (n.kind) {
      case NoticeKind::Truncated:
        return "load blf: log truncated at byte offset " + u64(n.object_pos + n.present) +
               ": the object at byte offset " + u64(n.object_pos) + " declares " + u64(n.declared) +
               " bytes, " + u64(n.present) + " are present";
      case NoticeKind::UnknownCompression:
        return "Unknown compression method " + u64(n.value);
      case NoticeKind::UnknownVersion:
        return "Unknown object header version " + u64(n.value);
    }
    return {};
  }

 private:
  Stash& stash_;
};

[[noreturn]] void raise_read_error(const ReadError& e, Stash& stash) {
  switch (e.kind) {
    case ErrorKind::Format:
      if (!e.has_message) raise_blf_error(nullptr);
      raise_blf_error(e.message);
    case ErrorKind::Zlib:
      raise_zlib_error(e.message);
    case ErrorKind::NoMemory:
      throw std::bad_alloc();
    case ErrorKind::External:
      stash.rethrow();
    case ErrorKind::None:
      break;
  }
  throw std::logic_error("raise_read_error without an error");
}

py::tuple read(py::object file, py::object threads) {
  double tm = now_seconds();
  Stash stash;
  ReaderOptions options;
  options.threads = thread_count(threads);
  options.always_scan_ahead = always_scan_ahead.load();
  options.use_libdeflate = libdeflate_enabled.load();
  StreamSource source(file, stash);
  PrintedNotices notices(stash);
  auto reader = std::make_unique<LogReader>(source, notices, options);

  FileHeader_t header;
  ReadError err;
  {
    py::gil_scoped_release unlocked;
    err = reader->read_header(header);
  }
  if (err) raise_read_error(err, stash);
  const uint32_t object_count = header.object_count;
  int64_t start_timestamp = systemtime_to_timestamp(header.start_timestamp);
  systemtime_to_timestamp(header.stop_timestamp);  // must convert, value unused
  reader->start(start_timestamp);

  size_t cap = std::min<size_t>(object_count, INITIAL_RECORDS_MAX);
  // + the scanner's copy slack
  ArraySink sink(cap, cap * INITIAL_BYTES_PER_RECORD + 256, object_count, stash);
  {
    py::gil_scoped_release unlocked;
    bool done = false;
    err = reader->read(sink, SIZE_MAX, done);
    // Workers may still use the reader's buffers; let them finish unlocked.
    reader.reset();
  }
  if (err) raise_read_error(err, stash);

  sink.trim();
  size_t idx_mem = sink.record_count * sizeof(DT_t);
  size_t chk_mem = sink.payload_size;
  print_line("load blf cost " + format_fixed2((now_seconds() - tm) * 1000) +
             "ms, obj_cnt=" + u64(object_count) + ", frm_cnt=" + u64(sink.record_count) +
             ", idx_mem=" + u64(idx_mem) + ", chk_mem=" + u64(chk_mem) +
             ", tot_mem=" + u64(idx_mem + chk_mem));
  return py::make_tuple(sink.index, sink.chunk);
}

}  // namespace

void register_reader(py::module_& m) {
  m.def("read", &read, py::arg("file"), py::kw_only(), py::arg("threads") = py::none(),
        "Read a BLF log from a binary stream into a frames pair (index, chunk).");
  // Which inflater this build uses for complete containers.
  m.attr("INFLATER") = inflater_name();
  m.def(
      "_use_libdeflate", [](bool enabled) { return libdeflate_enabled.exchange(enabled); },
      py::arg("enabled"),
      "Switch libdeflate off or on (tests, benchmarks); returns the old value.");
  m.def(
      "_always_scan_ahead", [](bool enabled) { return always_scan_ahead.exchange(enabled); },
      py::arg("enabled"),
      "Make worker threads scan every container ahead of its turn (tests); returns the old "
      "value.");
}

}  // namespace korvel::bind

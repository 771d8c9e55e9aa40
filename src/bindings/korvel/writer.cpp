// write(file, arr): argument conversion, zlib, the stream writes and the
// summary line. Objects are built by the core encoder straight into one
// reused container buffer.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "blf/encoder.hpp"
#include "blf/format.hpp"
#include "calendar.hpp"
#include "common.hpp"
#include "reshape.hpp"
#include "workpool.hpp"

namespace korvel::bind {

using namespace korvel::blf;

namespace {

constexpr const char* WIDTH_MESSAGE =
    "Data field length exceeds 64 bytes. J1939 reassembled packets require segmentation prior "
    "to export.";
constexpr const char* SEEK_MESSAGE =
    "The file stream does not support random access; the file header cannot be modified.";

std::string u64(uint64_t v) { return std::to_string(v); }
std::string i64(int64_t v) { return std::to_string(v); }

// A method of the file object; TypeError when it has none.
py::object file_method(py::handle file, const char* name) {
  if (!py::hasattr(file, name))
    throw py::type_error(std::string("Argument 'file' has no ") + name + "() method (got " +
                         type_name(file) + ")");
  return file.attr(name);
}

class Stream {
 public:
  explicit Stream(py::handle file) : write_(file_method(file, "write")) {}

  void write(const void* data, size_t n) { write_(py::bytes(static_cast<const char*>(data), n)); }

 private:
  py::object write_;
};

// One container's trip: objects encoded into `buffer` on the calling thread,
// compressed on a worker, written in file order.
struct ContainerJob {
  std::unique_ptr<uint8_t[]> buffer{new uint8_t[WRITER_BUFFER_SIZE]};
  std::vector<uint8_t> z = std::vector<uint8_t>(compressBound(WRITER_BUFFER_SIZE));
  size_t used = 0;
  uLongf zlen = 0;
  int rc = Z_OK;
  std::future<void> done;

  void compress() {
    zlen = static_cast<uLongf>(z.size());
    rc = compress2(z.data(), &zlen, buffer.get(), static_cast<uLong>(used), Z_DEFAULT_COMPRESSION);
  }
};

// Writes one log container in four writes (base header, container header,
// data, padding). Returns n + 32.
uint64_t write_container(Stream& out, const ContainerJob& job) {
  if (job.rc != Z_OK)
    raise_zlib_error("Error " + std::to_string(job.rc) + " while compressing data");
  uint8_t base[16], container[16];
  enc::container_headers(base, container, job.zlen, static_cast<uint32_t>(job.used));
  static const uint8_t zeros[4] = {0, 0, 0, 0};
  out.write(base, sizeof base);
  out.write(container, sizeof container);
  out.write(job.z.data(), job.zlen);
  out.write(zeros, enc::top_level_padding(CONTAINER_HEADER_TOTAL + job.zlen));
  return static_cast<uint64_t>(job.used) + CONTAINER_HEADER_TOTAL;
}

void write_header(Stream& out, int64_t filesize, int64_t uncompressed_size, uint32_t count,
                  const SystemTime_t& start, int64_t stop_timestamp) {
  SystemTime_t stop{};
  timestamp_to_systemtime(stop, stop_timestamp);
  uint8_t defined[FILE_HEADER_DEFINED];
  enc::file_header(defined, filesize, uncompressed_size, count, start, stop);
  const uint8_t reserved[FILE_HEADER_SIZE - FILE_HEADER_DEFINED] = {};
  out.write(defined, sizeof defined);
  out.write(reserved, sizeof reserved);
}

// The records to write: either a frames pair walked directly (the bytes
// written are those of its to_homo form) or inline records.
struct Source {
  bool is_pair = false;
  PairInput pair;
  InlineRecords records{};
  py::object keep;
  size_t count = 0;
  int64_t start = 0, end = 0;
};

Source source_of(py::object arr, bool verbose) {
  Source s;
  if (Py_IS_TYPE(arr.ptr(), &PyTuple_Type) && PyTuple_GET_SIZE(arr.ptr()) == 2) {
    // Same checks, line and result as converting with to_homo first, without
    // materialising the inline array.
    s.is_pair = true;
    s.pair = prepare_pair(arr);
    const size_t width = s.pair.scan.max_len;
    if (verbose)
      print_line("to_homo: tot_mem=" +
                 u64(static_cast<uint64_t>(s.pair.index.size) * (RECORD_DATA_OFFSET + width)));
    if (width > MAX_DATA_WIDTH) raise_blf_error(WIDTH_MESSAGE);
    s.count = s.pair.index.size;
    s.start = s.pair.scan.min_ts;
    s.end = s.pair.scan.max_ts;
    return s;
  }

  if (!py::isinstance<py::array>(arr))
    throw py::type_error(
        "Argument 'arr' has incorrect type (expected a frames pair or "
        "numpy.ndarray, got " +
        type_name(arr) + ")");
  py::object dtype = arr.attr("dtype");
  py::object names = dtype.attr("names");
  py::object last = dtype.attr("fields")[names[py::int_(-1)]][py::int_(0)];
  const size_t last_size = py::cast<size_t>(last.attr("itemsize"));
  if (last_size > MAX_DATA_WIDTH) raise_blf_error(WIDTH_MESSAGE);

  // DT64 and the newType(W) layouts are walked as they are (bytes past W
  // would be zeros after a cast to DT64); anything else is cast first.
  py::object walked = arr;
  const size_t itemsize = py::cast<size_t>(dtype.attr("itemsize"));
  const bool inline_layout =
      py::isinstance<py::array>(arr) && py::reinterpret_borrow<py::array>(arr).ndim() == 1 &&
      itemsize >= RECORD_DATA_OFFSET &&
      py::reinterpret_borrow<py::dtype>(dtype).equal(inline_dtype(itemsize - RECORD_DATA_OFFSET));
  py::dtype walked_dtype = dt64_dtype();
  if (inline_layout)
    walked_dtype = py::reinterpret_borrow<py::dtype>(dtype);
  else
    walked = arr.attr("astype")(dt64_dtype());
  StridedView v = frame_view(walked, "arr", walked_dtype, "DT64");
  if (v.size == 0) {
    // NumPy's own error for the minimum of an empty array.
    py::module_::import("numpy").attr("amin")(walked[py::str("timestamp")]);
    throw py::value_error("zero-size array to reduction operation minimum which has no identity");
  }
  s.records = InlineRecords{v.data, v.size, v.stride,
                            static_cast<size_t>(walked_dtype.itemsize()) - RECORD_DATA_OFFSET};
  s.keep = v.keep;
  s.count = v.size;
  timestamp_range(s.records, &s.start, &s.end);
  return s;
}

// What tell() returned, as an int64: TypeError for a non-integer,
// OverflowError past the int64 range.
int64_t file_offset(py::handle pos) {
  PyObject* idx = PyNumber_Index(pos.ptr());
  if (!idx) throw py::error_already_set();
  const long long v = PyLong_AsLongLong(idx);
  Py_DECREF(idx);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<int64_t>(v);
}

// Workers still compressing when an exception leaves write() finish before
// their buffers are freed.
struct JobWindow {
  std::deque<std::unique_ptr<ContainerJob>> jobs;
  ~JobWindow() {
    py::gil_scoped_release unlocked;
    for (auto& j : jobs)
      if (j->done.valid()) j->done.wait();
  }
};

void write_log(py::object file, Source& src, unsigned threads, bool verbose, bool exact) {
  // Object times count from the header's start: by default the earliest
  // frame (the header keeps it to the millisecond only), with `exact` an
  // instant the header holds exactly.
  SystemTime_t header_start{};
  int64_t base = src.start;
  if (exact)
    base = exact_start(header_start, src.start);
  else
    timestamp_to_systemtime(header_start, src.start);
  Stream out(file);
  const uint8_t placeholder[FILE_HEADER_SIZE] = {};
  out.write(placeholder, sizeof placeholder);
  uint64_t uncompressed_size = FILE_HEADER_SIZE;

  WorkPool* pool = threads > 1 ? &shared_pool(threads) : nullptr;
  const size_t window = threads > 1 ? 2 * threads : 1;
  std::vector<std::unique_ptr<ContainerJob>> spare;
  {
    JobWindow pending;
    auto finish_oldest = [&] {
      std::unique_ptr<ContainerJob> job = std::move(pending.jobs.front());
      pending.jobs.pop_front();
      if (job->done.valid()) {
        py::gil_scoped_release unlocked;
        job->done.wait();
      }
      uncompressed_size += write_container(out, *job);
      spare.push_back(std::move(job));
    };
    size_t i = 0;
    while (i < src.count) {
      std::unique_ptr<ContainerJob> job;
      if (spare.empty()) {
        job = std::make_unique<ContainerJob>();
      } else {
        job = std::move(spare.back());
        spare.pop_back();
      }
      uint8_t* buffer = job->buffer.get();
      i += src.is_pair
               ? enc::fill_container(src.pair.records, i, base, buffer, WRITER_BUFFER_SIZE,
                                     &job->used)
               : enc::fill_container(src.records, i, base, buffer, WRITER_BUFFER_SIZE, &job->used);
      ContainerJob* raw = job.get();
      if (pool) {
        job->done = pool->submit([raw] { raw->compress(); });
      } else {
        py::gil_scoped_release unlocked;
        raw->compress();
      }
      pending.jobs.push_back(std::move(job));
      while (pending.jobs.size() >= window) finish_oldest();
    }
    while (!pending.jobs.empty()) finish_oldest();
  }
  spare.clear();

  // A stream without seekable() is taken for one that cannot seek.
  if (!py::hasattr(file, "seekable") || !py::bool_(file.attr("seekable")()))
    raise_blf_error(SEEK_MESSAGE);
  const int64_t filesize = file_offset(file_method(file, "tell")());
  file_method(file, "seek")(0);
  const std::string start_text = py::repr(py::float_(static_cast<double>(src.start) * 1e-9));
  const std::string end_text = py::repr(py::float_(static_cast<double>(src.end) * 1e-9));
  if (verbose)
    print_line("korvel.write: fsize=" + i64(filesize) + ", uncomp=" + u64(uncompressed_size) +
               ", objcnt=" + u64(src.count) + ", start=" + start_text + ", end=" + end_text);
  write_header(out, filesize, static_cast<int64_t>(uncompressed_size),
               static_cast<uint32_t>(src.count), header_start, src.end);
}

void write(py::object file, py::object arr, py::object threads_arg, bool verbose, bool exact_time) {
  const unsigned threads = thread_count(threads_arg);
  // Before anything is printed or written.
  py::object path = path_of(file);
  if (!path) {
    check_binary_stream(file, "write", "wb");
    file_method(file, "write");
  }
  Source src = source_of(arr, verbose);
  if (src.count > std::numeric_limits<uint32_t>::max())
    raise_blf_error("Too many frames for one BLF file: " + u64(src.count) +
                    " records, the file header counts at most 4294967295 objects.");
  if (!path) {
    write_log(file, src, threads, verbose, exact_time);
    return;
  }
  // A path is opened only now that the arguments are known to be good; a
  // log left half written by a failure is removed.
  py::object opened = py::module_::import("io").attr("open")(file, "wb");
  try {
    write_log(opened, src, threads, verbose, exact_time);
  } catch (...) {
    py::error_scope keep;  // the failure stays the one raised
    try {
      opened.attr("close")();
      py::module_::import("os").attr("remove")(path);
    } catch (py::error_already_set&) {
    }
    throw;
  }
  opened.attr("close")();
}

}  // namespace

void register_writer(py::module_& m) {
  m.def("write", &write, py::arg("file"), py::arg("arr"), py::kw_only(),
        py::arg("threads") = py::none(), py::arg("verbose") = true, py::arg("exact_time") = false,
        "Write a frames pair or a homogeneous array as a BLF log to a path or a seekable binary "
        "stream.");
  publish(m, "write",
          "write(file, arr, *, threads=None, verbose=True, exact_time=False)\n--\n\n"
          "Write a frames pair or a homogeneous array (DT64 or newType records) as a BLF\n"
          "log: one version-1 object per record (classic, CAN FD or error frame, by its\n"
          "flags), timestamps in nanoseconds from the earliest frame, zlib containers of\n"
          "at most 200000 bytes, then the file header rewritten at the start. Prints\n"
          "\"korvel.write: fsize=..., uncomp=..., objcnt=..., start=..., end=...\".\n"
          "A CAN FD frame of a frames pair is written with the payload bytes it stores\n"
          "(its DLC still says its length), so no byte is made up.\n\n"
          "file: a path (str or os.PathLike; opened only once the arguments are known\n"
          "    to be good, and removed when the write fails half way) or a seekable\n"
          "    binary stream, written from its current position, which must be the start.\n\n"
          "Keywords (extensions):\n"
          "threads: native threads compressing containers (None: all usable cores); the\n"
          "    file is the same for any number.\n"
          "verbose: False prints nothing.\n"
          "exact_time: the header's start is the earliest frame's time rounded down to\n"
          "    the millisecond (or an earlier instant when that local date is ambiguous,\n"
          "    as in the hour repeated when daylight saving time ends), and object times\n"
          "    count from it, so that read(..., exact_time=True) gives every timestamp\n"
          "    back to the nanosecond and other readers see the right times. By default\n"
          "    object times count from the earliest frame while the header keeps it to\n"
          "    the millisecond, which shifts every frame read back by up to 1 ms.\n\n"
          "Returns None.\n\n"
          "Raises BLFError for a record wider than 64 data bytes, more than 2**32 - 1\n"
          "records, or a stream that cannot seek; ValueError for no records; TypeError\n"
          "for an argument that is neither a path nor a binary stream, a text stream, or\n"
          "records of another type; OSError from the file or stream.");
}

}  // namespace korvel::bind

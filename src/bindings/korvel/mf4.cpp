// read_mf4 and write_mf4: the MF4 reader and writer of the core over paths
// and Python streams. Reading runs with the interpreter lock released, taken
// back only to grow the NumPy arrays; a stream is read whole first (MF4's
// links point anywhere in the file).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "array_sink.hpp"
#include "blf/format.hpp"
#include "bus_arrays.hpp"
#include "bytebuf.hpp"
#include "calendar.hpp"
#include "common.hpp"
#include "mf4/reader.hpp"
#include "mf4/writer.hpp"
#include "reshape.hpp"
#include "sources.hpp"

namespace korvel::bind {

namespace {

using namespace korvel::mf4;

constexpr size_t MAX_FIRST_RECORDS = size_t(1) << 22;

std::string u64(uint64_t v) { return std::to_string(v); }

// The core's MF4 reader is not unwound by Python exceptions: a failed growth
// is kept and the reader stopped with ExternalError.
class Mf4Sink : public ArraySinkBase {
 public:
  std::exception_ptr error;
  using ArraySinkBase::ArraySinkBase;

  void grow(size_t min_records, size_t min_payload) override {
    try {
      ArraySinkBase::grow(min_records, min_payload);
    } catch (...) {
      error = std::current_exception();
      throw ExternalError();
    }
  }
};

// A path read natively, or a binary stream read whole.
class Mf4Input {
 public:
  Mf4Input(py::object file, const char* fn) {
    py::object path = path_of(file);
    if (path) {
      name_ = file;
      file_ = std::make_unique<FileRandom>(PyBytes_AS_STRING(path.ptr()));
      if (file_->error()) raise_os(file_->error());
      return;
    }
    check_binary_stream(file, fn, "rb");
    py::object read = file.attr("read");
    for (;;) {
      py::object b = read(size_t(1) << 24);
      if (b.is_none()) break;
      if (PyUnicode_Check(b.ptr())) throw py::type_error(text_mode_message(fn, "rb"));
      if (!PyBytes_Check(b.ptr()))
        throw py::type_error("file.read() must return bytes or None, not " + type_name(b));
      const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(b.ptr()));
      if (!n) break;
      std::memcpy(bytes_.reserve_more(n), PyBytes_AS_STRING(b.ptr()), n);
      bytes_.commit(n);
    }
    memory_ = std::make_unique<MemoryRandom>(bytes_.data(), bytes_.size());
  }

  RandomSource& source() {
    if (file_) return *file_;
    return *memory_;
  }

  [[noreturn]] void raise_os(int err) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
    throw py::error_already_set();
  }
  int error() const { return file_ ? file_->error() : 0; }

 private:
  std::unique_ptr<FileRandom> file_;
  std::unique_ptr<MemoryRandom> memory_;
  ByteBuffer bytes_;
  py::object name_;
};

// Nanoseconds since the epoch of the header's start. A start in local time
// (the logger knew no time zone) is read as the host's local time, as the
// BLF header's date is.
int64_t start_of(const Header& h) {
  if (h.start_ns > uint64_t(INT64_MAX))
    throw Mf4Error(
        "HD", h.offset,
        "declares a start of " + u64(h.start_ns) + " ns, past the int64 nanosecond range");
  const int64_t ns = static_cast<int64_t>(h.start_ns);
  if (!(h.time_flags & 1)) return ns;
  // Civil fields of the wall-clock time (days to year/month/day).
  const int64_t secs = ns / 1000000000, sub = ns % 1000000000;
  int64_t days = secs / 86400;
  const int64_t rem = secs % 86400;
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2);
  blf::SystemTime_t st{static_cast<uint16_t>(year),
                       static_cast<uint16_t>(month),
                       0,
                       static_cast<uint16_t>(day),
                       static_cast<uint16_t>(rem / 3600),
                       static_cast<uint16_t>(rem / 60 % 60),
                       static_cast<uint16_t>(rem % 60),
                       0};
  return systemtime_to_timestamp_exact(st) + sub;
}

void emit(const std::string& kind, const std::string& text, bool verbose, bool warn,
          const py::object& notices) {
  if (!notices.is_none()) {
    py::list(notices).append(py::make_tuple(kind, text, py::none(), py::none()));
    return;
  }
  if (verbose) print_line("load mf4: " + text);
  if (warn && PyErr_WarnEx(globals().blf_warning, text.c_str(), 1) < 0)
    throw py::error_already_set();
}

// read_mf4, or with `buses` (names among "can", "lin", "ethernet",
// "flexray") the dict of their pairs from the same reading.
py::object read_any(py::object file, bool verbose, const std::string& errors, py::object threads,
                    py::object notices, const std::vector<std::string>* buses) {
  const double since = now_seconds();
  auto wants = [buses](const char* name) {
    return std::find(buses->begin(), buses->end(), name) != buses->end();
  };
  buses::RecordColumn<buses::LinRecord> lin;
  buses::RecordColumn<buses::EthernetRecord> ethernet;
  BusColumns columns;
  if (buses) {
    for (const std::string& b : *buses)
      if (b != "can" && b != "lin" && b != "ethernet" && b != "flexray")
        throw py::value_error("unknown bus '" + b +
                              "' (buses are 'can', 'lin', 'ethernet', 'flexray')");
    if (wants("lin")) columns.lin = &lin;
    if (wants("ethernet")) columns.ethernet = &ethernet;
  }
  if (!notices.is_none() && !PyList_Check(notices.ptr()))
    throw py::type_error("_notices must be a list, got " + type_name(notices));
  ReadOptions options;
  if (errors == "skip")
    options.skip = true;
  else if (errors != "raise")
    throw py::value_error("errors must be 'raise' or 'skip' (got '" + errors + "')");
  options.threads = thread_count(threads);
  options.can = !buses || wants("can");
  options.buses = buses != nullptr;
  Mf4Input input(file, "read_mf4");
  Reader reader(input.source(), options);
  std::string fault;
  bool external = false;
  {
    py::gil_scoped_release unlocked;
    try {
      reader.open();
    } catch (const Mf4Error& e) {
      fault = e.what();
    } catch (const ExternalError&) {
      external = true;
    }
  }
  if (external) input.raise_os(input.error());
  if (!fault.empty()) raise_blf_error("MF4: " + fault);
  int64_t start = 0;
  try {
    start = start_of(reader.header());
  } catch (const Mf4Error& e) {
    raise_blf_error(std::string("MF4: ") + e.what());
  }
  // The first arrays hold what the groups declare, as far as a file of
  // this size can be believed.
  uint64_t declared = 0;
  for (const DataGroup& dg : reader.groups())
    for (const ChannelGroup& cg : dg.groups)
      if (group_kind(cg) >= FrameKind::Data && group_kind(cg) <= FrameKind::Error)
        declared += cg.cycle_count;
  // Cycle counts may lie: a file holds no more records than a few per byte
  // of it (compressed blocks aside, which grow the arrays as they inflate).
  const uint64_t plausible = input.source().size() / 4;
  const size_t first = static_cast<size_t>(std::min<uint64_t>(
                           {declared ? declared : plausible / 4, plausible, MAX_FIRST_RECORDS})) +
                       16;
  Mf4Sink sink(first, first * 8);
  {
    py::gil_scoped_release unlocked;
    try {
      reader.read(sink, start, columns);
    } catch (const Mf4Error& e) {
      fault = e.what();
    } catch (const ExternalError&) {
      external = true;
    }
  }
  if (external) {
    if (sink.error) std::rethrow_exception(sink.error);
    input.raise_os(input.error());
  }
  if (!fault.empty()) raise_blf_error("MF4: " + fault);
  py::tuple frames = sink.take();
  for (const std::string& n : reader.notices()) emit("skipped", n, verbose, true, notices);
  const ReadCounts& c = reader.counts();
  if (c.other_bus_groups && !verbose) {
    std::string names;
    for (size_t i = 0; i < c.other_bus_names.size() && i < 8; ++i)
      names += (i ? ", " : "") + c.other_bus_names[i];
    emit("other buses",
         u64(c.other_bus_groups) +
             (c.other_bus_groups == 1 ? " channel group of another bus"
                                      : " channel groups of other buses") +
             " left out (" + names + (c.other_bus_names.size() > 8 ? ", ..." : "") +
             (buses ? "): korvel reads the CAN, LIN and Ethernet frames of MF4 logs"
                    : "): read_mf4 reads CAN frames"),
         false, true, notices);
  }
  if (verbose) {
    const uint64_t idx = sink.record_count * sizeof(DT_t);
    std::string line = "load mf4 cost " + format_fixed2((now_seconds() - since) * 1000) +
                       "ms, grp_cnt=" + u64(c.can_groups + c.lin_groups + c.ethernet_groups) +
                       ", frm_cnt=" + u64(sink.record_count) +
                       ", skip_grp=" + u64(c.other_bus_groups) + ", idx_mem=" + u64(idx) +
                       ", chk_mem=" + u64(sink.payload_size) +
                       ", tot_mem=" + u64(idx + sink.payload_size);
    if (columns.lin) line += ", lin_cnt=" + u64(lin.count());
    if (columns.ethernet) line += ", eth_cnt=" + u64(ethernet.count());
    print_line(line);
  }
  if (!buses) return frames;
  return bus_pairs(*buses, frames, lin, ethernet);
}

py::object read_mf4(py::object file, bool verbose, const std::string& errors, py::object threads,
                    py::object notices) {
  return read_any(file, verbose, errors, threads, notices, nullptr);
}

py::object read_mf4_buses(py::object file, py::object buses, bool verbose,
                          const std::string& errors, py::object threads, py::object notices) {
  const std::vector<std::string> names = bus_names(buses);
  return read_any(file, verbose, errors, threads, notices, &names);
}

// Bytes to a path (removed if the write fails) or a stream's write(b).
class Mf4Output : public ByteOut {
 public:
  explicit Mf4Output(py::object file) {
    py::object path = path_of(file);
    if (path) {
      path_ = PyBytes_AS_STRING(path.ptr());
      name_ = file;
    } else {
      check_binary_stream(file, "write_mf4", "wb");
      write_ = file.attr("write");
    }
  }
  ~Mf4Output() override {
    if (f_) {
      std::fclose(f_);
      std::remove(path_.c_str());
    }
  }
  void open() {
    if (path_.empty()) return;
    f_ = std::fopen(path_.c_str(), "wb");
    if (!f_) raise();
  }
  // Called with the lock released.
  void write(const uint8_t* data, size_t n) override {
    if (f_) {
      if (n && std::fwrite(data, 1, n, f_) != n) {
        errno_ = errno ? errno : EIO;
        throw ExternalError();
      }
      return;
    }
    py::gil_scoped_acquire gil;
    try {
      write_(py::bytes(reinterpret_cast<const char*>(data), n));
    } catch (...) {
      error_ = std::current_exception();
      throw ExternalError();
    }
  }
  void finish() {
    if (error_) std::rethrow_exception(error_);
    if (errno_) {
      errno = errno_;
      raise();
    }
    if (f_) {
      const int rc = std::fclose(f_);
      f_ = nullptr;
      if (rc != 0) {
        std::remove(path_.c_str());
        raise();
      }
    }
  }

 private:
  [[noreturn]] void raise() {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
    throw py::error_already_set();
  }
  std::FILE* f_ = nullptr;
  std::string path_;
  py::object name_, write_;
  std::exception_ptr error_;
  int errno_ = 0;
};

void write_mf4(py::object file, py::object frames, bool verbose, py::object threads) {
  const double since = now_seconds();
  const unsigned n_threads = thread_count(threads);
  py::object pair = frames;
  if (py::isinstance<py::array>(frames))
    pair = py::handle(globals().module).attr("to_index_chunk")(frames);
  auto [index_obj, chunk_obj] = unpack_pair(pair);
  StridedView index = frame_view(index_obj, "frames[0]", dt_dtype(), "DT");
  BytesView chunk = bytes_view(chunk_obj, "frames[1]");
  const FrameView v = frames_view(index, chunk);
  const std::string version =
      py::str(py::module_::import("korvel._version").attr("__version__")).cast<std::string>();
  Mf4Output out(file);
  // The frames are checked before a path is opened.
  for (size_t i = 0; i < v.n; ++i) {
    DT_t r;
    std::memcpy(&r, v.records + static_cast<ptrdiff_t>(i) * v.stride, sizeof r);
    if (loc_offset(r.loc) > v.chunk_size || loc_count(r.loc) > v.chunk_size - loc_offset(r.loc))
      throw py::value_error("write_mf4: the payload of frame " + u64(i) +
                            " lies outside the payload array");
    if (r.timestamp < 0)
      throw py::value_error("write_mf4: frame " + u64(i) +
                            " is timed before 1970; MF4 counts time from a start after it");
  }
  out.open();
  WriteStats stats;
  std::string fault;
  bool external = false;
  {
    py::gil_scoped_release unlocked;
    try {
      stats = write_file(v, out, n_threads, version);
    } catch (const WriteError& e) {
      fault = e.what();
    } catch (const ExternalError&) {
      external = true;
    }
  }
  if (!fault.empty()) throw py::value_error("write_mf4: " + fault);
  (void)external;
  out.finish();
  if (verbose)
    print_line("write mf4 cost " + format_fixed2((now_seconds() - since) * 1000) +
               "ms, frm_cnt=" + u64(stats.frames) + ", file_size=" + u64(stats.bytes));
}

}  // namespace

void register_mf4(py::module_& m) {
  m.def("read_mf4", &read_mf4, py::arg("file"), py::kw_only(), py::arg("verbose") = true,
        py::arg("errors") = "raise", py::arg("threads") = py::none(),
        py::arg("_notices") = py::none());
  m.def("_read_mf4_buses", &read_mf4_buses, py::arg("file"), py::arg("buses"), py::kw_only(),
        py::arg("verbose") = true, py::arg("errors") = "raise", py::arg("threads") = py::none(),
        py::arg("_notices") = py::none());
  m.def("write_mf4", &write_mf4, py::arg("file"), py::arg("frames"), py::kw_only(),
        py::arg("verbose") = true, py::arg("threads") = py::none());
  publish(m, "read_mf4",
          "read_mf4(file, *, verbose=True, errors='raise', threads=None)\n--\n\n"
          "Read the CAN frames of an ASAM MDF 4 bus log (MF4) into a frames pair\n"
          "(index, chunk).\n\n"
          "Every channel group of CAN_DataFrame, CAN_RemoteFrame or CAN_ErrorFrame records\n"
          "(in one group or split over many, sorted or unsorted data groups, DT, DZ, DL,\n"
          "LD and HL blocks, DataBytes in the record, in SD blocks or in a VLSD group)\n"
          "becomes DT records in time order, ties in group order. Fields come through\n"
          "their conversions (constant BusChannel, IDE or Dir of per-kind groups,\n"
          "DataLength from a table of DLC values). flags: 0x04 when Dir is 0\n"
          "(received), 0x08 EDL, 0x02 BRS, 0x01 ESI, 0x40 IDE, 0x20 remote, 0x10 error;\n"
          "channel is BusChannel; len is DataLength for CAN FD frames and the DLC for\n"
          "classic ones; the stored bytes are DataLength of DataBytes; is64 is EDL.\n"
          "Times are the header's start plus the master channel, in integer ns where\n"
          "the master's unit is a power of ten (a start in local time is read as this\n"
          "host's local time). Groups of other buses (LIN, FlexRay, Ethernet, MOST) are\n"
          "left out and counted. Prints \"load mf4 cost ...ms, grp_cnt=..., frm_cnt=...,\n"
          "skip_grp=..., idx_mem=..., chk_mem=..., tot_mem=...\".\n\n"
          "file: a path (str or os.PathLike), read natively, or a binary stream with\n"
          "    read(n) (read whole).\n"
          "verbose: False prints nothing; groups of other buses left out then come as\n"
          "    a BLFWarning.\n"
          "errors: 'raise', or 'skip' to leave out a data block that cannot be read (a\n"
          "    BLFWarning naming it; in an unsorted group the rest of the group goes with\n"
          "    it).\n"
          "threads: native threads inflating DZ blocks (None: all usable cores).\n\n"
          "Raises BLFError naming the block and its byte offset for a file that is not\n"
          "MDF 4 and for damage (a link outside the file or into a loop, a block of an\n"
          "unexpected type, a data block that does not inflate, a field that does not\n"
          "fit its record, a conversion that gives no number); OSError when a path\n"
          "cannot be read; TypeError for a text stream.");
  publish(m, "write_mf4",
          "write_mf4(file, frames, *, verbose=True, threads=None)\n--\n\n"
          "Write a frames pair (or a DT64 array) as an ASAM MDF 4.11 bus log: one\n"
          "CAN_DataFrame channel group (CAN_RemoteFrame and CAN_ErrorFrame groups for\n"
          "such frames), records in DZ blocks (deflate) of about 1 MiB. The master\n"
          "channel is uint64 nanoseconds after the header's start (the earliest frame)\n"
          "with a factor of 1e-9, so read_mf4 gives every time back exactly; asammdf and\n"
          "python-can's MF4Reader read it. DataBytes is as wide as the widest stored\n"
          "payload; DataLength is each frame's stored byte count. Prints \"write mf4 cost\n"
          "...ms, frm_cnt=..., file_size=...\".\n\n"
          "file: a path (removed if the write fails) or a binary stream with write(b).\n"
          "threads: native threads compressing blocks (None: all usable cores).\n\n"
          "Raises ValueError for payloads outside the payload array or frames timed\n"
          "before 1970, TypeError or ValueError for frames that are not a frames pair,\n"
          "OSError when the path cannot be written.");
}

}  // namespace korvel::bind

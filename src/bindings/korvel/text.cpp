// read_asc, read_candump, read_trc, iter_text, candump_interfaces and
// write_asc: the text readers and the ASC writer of the core over paths and
// Python streams. Parsing runs with the interpreter lock released; the lock
// is taken back only to grow the NumPy arrays, to read a stream and to turn a
// header's date into a time the way the BLF header's date is turned.
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
#include "reshape.hpp"
#include "sources.hpp"
#include "text/asc.hpp"
#include "text/asc_writer.hpp"
#include "text/candump.hpp"
#include "text/trc.hpp"

namespace korvel::bind {

namespace {

using namespace korvel::text;

constexpr size_t READ_BLOCK = size_t(1) << 20;
constexpr size_t MIN_RECORDS = 1024;

PyObject* text_error = nullptr;    // TextError
PyObject* text_warning = nullptr;  // TextWarning

std::string u64(uint64_t v) { return std::to_string(v); }

const char* format_name(Format f) {
  switch (f) {
    case Format::Asc:
      return "asc";
    case Format::Candump:
      return "candump";
    case Format::Trc:
      return "trc";
    case Format::Unknown:
      break;
  }
  return "";
}

// A header's date as the BLF reader reads its header's date: local time,
// through time.mktime.
class PyClock : public LocalClock {
 public:
  bool to_ns(const CivilTime& t, int64_t& out) override {
    py::gil_scoped_acquire gil;
    // The whole seconds through the BLF header's road (exact in a double);
    // the part below them added as an integer, so that no time is rounded.
    blf::SystemTime_t st{static_cast<uint16_t>(t.year),
                         static_cast<uint16_t>(t.month),
                         0,
                         static_cast<uint16_t>(t.day),
                         static_cast<uint16_t>(t.hour),
                         static_cast<uint16_t>(t.minute),
                         static_cast<uint16_t>(t.second),
                         0};
    int64_t whole;
    try {
      whole = systemtime_to_timestamp(st);
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_OverflowError)) return false;  // past the int64 ns range
      throw;
    }
    return add_ns(whole, t.nanos, out);
  }
};

std::unique_ptr<TextParser> make_parser(Format f, LocalClock& clock) {
  switch (f) {
    case Format::Asc:
      return std::make_unique<AscParser>(clock);
    case Format::Candump:
      return std::make_unique<CandumpParser>();
    case Format::Trc:
      return std::make_unique<TrcParser>(clock);
    case Format::Unknown:
      break;
  }
  throw std::logic_error("no parser");
}

using TextSink = ArraySinkBase;

// A text log given as a path (read natively) or a binary stream, in blocks.
class TextInput {
 public:
  TextInput(py::object file, const char* fn) {
    py::object path = path_of(file);
    if (path) {
      file_ = std::make_unique<FileSource>(PyBytes_AS_STRING(path.ptr()));
      name_ = file;
      if (file_->error()) raise_os(file_->error());
    } else {
      check_binary_stream(file, fn, "rb");
      read_ = file.attr("read");
      fn_ = fn;
    }
  }

  // With the lock held; appends up to n bytes to buf, false at the end.
  bool more(ByteBuffer& buf, size_t n) {
    if (file_) {
      size_t got = 0;
      {
        py::gil_scoped_release unlocked;
        try {
          got = file_->read(buf.reserve_more(n), n);
        } catch (const ExternalError&) {
        }
      }
      if (file_->error()) raise_os(file_->error());
      buf.commit(got);
      return got > 0;
    }
    py::object b = read_(n);
    if (b.is_none()) return false;
    if (PyUnicode_Check(b.ptr())) throw py::type_error(text_mode_message(fn_, "rb"));
    if (!PyBytes_Check(b.ptr()))
      throw py::type_error("file.read() must return bytes or None, not " + type_name(b));
    const size_t got = std::min(n, static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
    std::memcpy(buf.reserve_more(got), PyBytes_AS_STRING(b.ptr()), got);
    buf.commit(got);
    return got > 0;
  }

  // The file's size, or a guess for a stream.
  size_t size_hint() const { return file_ ? static_cast<size_t>(file_->size()) : READ_BLOCK; }

 private:
  [[noreturn]] void raise_os(int err) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
    throw py::error_already_set();
  }

  std::unique_ptr<FileSource> file_;
  py::object name_, read_;
  const char* fn_ = "read";
};

// The message with bytes that are no UTF-8 (a binary file's, a line in
// another encoding) as replacement characters.
[[noreturn]] void raise_text_error(const TextError& e) {
  const std::string what = e.what();
  py::object text = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(what.data(), static_cast<py::ssize_t>(what.size()), "replace"));
  if (!text) throw py::error_already_set();
  PyErr_SetObject(text_error, text.ptr());
  throw py::error_already_set();
}

// The verbose line, or a TextWarning for the lines skipped when quiet.
void report(Format f, const Counts& c, double since, uint64_t records, uint64_t payload,
            bool verbose, const py::object& notices, const BusOutput& buses = {}) {
  if (verbose) {
    const uint64_t idx = records * sizeof(DT_t);
    std::string other;
    if (buses.lin) other += ", lin_cnt=" + u64(c.lin);
    if (buses.ethernet) other += ", eth_cnt=" + u64(c.ethernet);
    print_line(std::string("load ") + format_name(f) + " cost " +
               format_fixed2((now_seconds() - since) * 1000) + "ms, line_cnt=" + u64(c.lines) +
               ", frm_cnt=" + u64(records) + other + ", skip_cnt=" + u64(c.skipped) + ", idx_mem=" +
               u64(idx) + ", chk_mem=" + u64(payload) + ", tot_mem=" + u64(idx + payload));
    return;
  }
  if (!c.skipped) return;
  const std::string text = u64(c.skipped) + (c.skipped == 1 ? " line" : " lines") + " of the " +
                           format_name(f) +
                           " log skipped (events, statistics, comments, other buses or "
                           "malformed lines), the first at line " +
                           u64(c.first_skipped);
  // A list takes the notice instead of the warnings machinery (which is
  // process-wide, so threads of a Dask worker must stay out of it).
  if (!notices.is_none()) {
    py::list(notices).append(py::make_tuple("text", text, py::none(), py::none()));
    return;
  }
  if (PyErr_WarnEx(text_warning, text.c_str(), 1) < 0) throw py::error_already_set();
}

// Text read block by block into a buffer that lives as long as the reader
// and is refilled in place, so a log costs the pages of one block, not of
// its whole size (fresh pages are dear on these machines).
class Blocks {
 public:
  explicit Blocks(TextInput& input) : input_(input) {}

  // Parses into `sink` until it holds `max_records` records or the input
  // ends; true at the end. Throws TextError.
  bool pump(TextParser& parser, FrameSink& sink, size_t max_records) {
    for (;;) {
      const char* b = reinterpret_cast<const char*>(buf_.data()) + pos_;
      const char* e = reinterpret_cast<const char*>(buf_.data()) + buf_.size();
      {
        py::gil_scoped_release unlocked;
        pos_ += parser.parse(b, e, eof_, sink, max_records);
      }
      if (sink.record_count >= max_records) return false;
      if (eof_) return true;
      buf_.consume_front(pos_);
      pos_ = 0;
      eof_ = !input_.more(buf_, READ_BLOCK);
    }
  }

 private:
  TextInput& input_;
  ByteBuffer buf_;
  size_t pos_ = 0;
  bool eof_ = false;
};

// Parses the whole log.
py::tuple read_whole(py::object file, bool verbose, Format f, const char* fn,
                     const py::object& notices, std::vector<std::string>* interfaces = nullptr,
                     const BusOutput& buses = {}) {
  if (!notices.is_none() && !PyList_Check(notices.ptr()))
    throw py::type_error("_notices must be a list, got " + type_name(notices));
  const double since = now_seconds();
  TextInput input(file, fn);
  PyClock clock;
  auto parser = make_parser(f, clock);
  parser->set_buses(buses);
  // Lines of frames are 20 bytes and more; payload takes 2 characters a byte.
  const size_t n = input.size_hint();
  TextSink sink(std::max<size_t>(n / 32, MIN_RECORDS), n / 3 + 4096);
  Blocks blocks(input);
  try {
    blocks.pump(*parser, sink, SIZE_MAX);
  } catch (const TextError& e) {
    raise_text_error(e);
  }
  py::tuple out = sink.take();
  report(f, parser->counts(), since, sink.record_count, sink.payload_size, verbose, notices, buses);
  if (interfaces) *interfaces = static_cast<CandumpParser&>(*parser).interfaces();
  return out;
}

py::tuple read_asc(py::object file, bool verbose, py::object notices) {
  return read_whole(std::move(file), verbose, Format::Asc, "read_asc", notices);
}
py::tuple read_candump(py::object file, bool verbose, py::object notices) {
  return read_whole(std::move(file), verbose, Format::Candump, "read_candump", notices);
}
py::tuple read_trc(py::object file, bool verbose, py::object notices) {
  return read_whole(std::move(file), verbose, Format::Trc, "read_trc", notices);
}

py::list candump_interfaces(py::object file) {
  std::vector<std::string> names;
  read_whole(std::move(file), false, Format::Candump, "candump_interfaces", py::list(), &names);
  py::list out;
  for (const auto& n : names)
    out.append(py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(n.data(), static_cast<py::ssize_t>(n.size()), "surrogateescape")));
  return out;
}

Format format_arg(const std::string& format) {
  if (format == "asc") return Format::Asc;
  if (format == "candump") return Format::Candump;
  if (format == "trc") return Format::Trc;
  throw py::value_error("format must be 'asc', 'candump' or 'trc' (got '" + format + "')");
}

// The pairs of the buses named, from one reading of a text log: LIN and
// Ethernet from an ASC log's Li and ETH lines (the other formats have none).
py::dict read_text_buses(py::object file, const std::string& format, py::object buses, bool verbose,
                         py::object notices) {
  const Format f = format_arg(format);
  const std::vector<std::string> names = bus_names(buses);
  // Both buses' lines are read whichever are asked for: lines of a bus not
  // asked for are no lines korvel cannot read, to be warned of.
  buses::RecordColumn<buses::LinRecord> lin;
  buses::RecordColumn<buses::EthernetRecord> ethernet;
  BusOutput out{&lin, &ethernet};
  py::tuple frames = read_whole(std::move(file), verbose, f, "read_log", notices, nullptr, out);
  return bus_pairs(names, frames, lin, ethernet);
}

// iter_text: pieces of at most `frames` records; the input read in blocks,
// the parser keeping its header facts from block to block.
class TextPieces {
 public:
  TextPieces(py::object file, size_t frames, Format f, bool verbose, py::object notices)
      : notices_(std::move(notices)),
        since_(now_seconds()),
        frames_(frames),
        format_(f),
        verbose_(verbose),
        input_(file, "iter_text"),
        parser_(make_parser(f, clock_)) {}

  py::object next() {
    const Running running(busy_, "iter_text");
    for (;;) {
      if (done_) {
        if (!reported_) {
          reported_ = true;
          report(format_, parser_->counts(), since_, records_, payload_, verbose_, notices_);
        }
        throw py::stop_iteration();
      }
      TextSink sink(std::min(frames_, size_t(1) << 16), 4096);
      try {
        done_ = blocks_.pump(*parser_, sink, frames_);
      } catch (const TextError& err) {
        done_ = reported_ = true;
        raise_text_error(err);
      }
      records_ += sink.record_count;
      payload_ += sink.payload_size;
      if (sink.record_count) return sink.take();
    }
  }

 private:
  py::object notices_;
  double since_;
  size_t frames_;
  Format format_;
  bool verbose_;
  TextInput input_;
  PyClock clock_;
  std::unique_ptr<TextParser> parser_;
  Blocks blocks_{input_};
  bool done_ = false, reported_ = false, busy_ = false;
  uint64_t records_ = 0, payload_ = 0;
};

size_t frames_arg(py::handle v) {
  PyObject* idx = PyNumber_Index(v.ptr());
  if (!idx) throw py::error_already_set();
  py::object i = py::reinterpret_steal<py::object>(idx);
  const long long x = PyLong_AsLongLong(i.ptr());
  if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (x < 1) throw py::value_error("frames must be at least 1");
  return static_cast<size_t>(x);
}

// The format a file's suffix names, else the one its first bytes suggest.
Format detect(py::object file, py::object format) {
  if (!format.is_none()) return format_arg(format.cast<std::string>());
  py::object path = path_of(file);
  if (path) {
    std::string p(PyBytes_AS_STRING(path.ptr()));
    auto ends = [&](const char* s) {
      const size_t n = std::strlen(s);
      if (p.size() < n) return false;
      for (size_t i = 0; i < n; ++i)
        if (lower(p[p.size() - n + i]) != s[i]) return false;
      return true;
    };
    if (ends(".asc")) return Format::Asc;
    if (ends(".log")) return Format::Candump;
    if (ends(".trc")) return Format::Trc;
    FileSource src(PyBytes_AS_STRING(path.ptr()));
    if (!src.error()) {
      char head[4096];
      size_t n = 0;
      try {
        n = src.read(reinterpret_cast<uint8_t*>(head), sizeof head);
      } catch (const ExternalError&) {
      }
      const Format f = sniff(head, n);
      if (f != Format::Unknown) return f;
    }
  }
  throw py::value_error(
      "iter_text: cannot tell the text log's format from its name or first line; pass "
      "format='asc', 'candump' or 'trc'");
}

py::object iter_text(py::object file, py::object frames, py::object format, bool verbose,
                     py::object notices) {
  if (!notices.is_none() && !PyList_Check(notices.ptr()))
    throw py::type_error("_notices must be a list, got " + type_name(notices));
  const size_t n = frames_arg(frames);
  const Format f = detect(file, std::move(format));
  return py::cast(std::make_unique<TextPieces>(std::move(file), n, f, verbose, std::move(notices)));
}

py::str sniff_bytes(py::bytes head) {
  char* data;
  py::ssize_t n;
  PyBytes_AsStringAndSize(head.ptr(), &data, &n);
  return py::str(format_name(sniff(data, static_cast<size_t>(n))));
}

// write_asc: the header dated at the earliest frame's whole second.
class Output {
 public:
  Output(py::object file) {
    py::object path = path_of(file);
    if (path) {
      path_ = PyBytes_AS_STRING(path.ptr());
      name_ = file;
      f_ = std::fopen(path_.c_str(), "wb");
      if (!f_) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
        throw py::error_already_set();
      }
    } else {
      check_binary_stream(file, "write_asc", "wb");
      write_ = file.attr("write");
    }
  }
  ~Output() {
    if (f_) {
      std::fclose(f_);
      if (!ok_) std::remove(path_.c_str());
    }
  }
  void write(ByteBuffer& b) {
    if (f_) {
      if (b.size() && std::fwrite(b.data(), 1, b.size(), f_) != b.size()) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
        throw py::error_already_set();
      }
    } else if (b.size()) {
      write_(py::bytes(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    b.clear();
  }
  void close() {
    if (f_) {
      const int rc = std::fclose(f_);
      f_ = nullptr;
      if (rc != 0) {
        std::remove(path_.c_str());
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
        throw py::error_already_set();
      }
    }
    ok_ = true;
  }

 private:
  std::FILE* f_ = nullptr;
  std::string path_;
  py::object name_, write_;
  bool ok_ = false;
};

void write_asc(py::object file, py::object frames, bool verbose) {
  const double since = now_seconds();
  auto [index_obj, chunk_obj] = unpack_pair(frames);
  StridedView index = frame_view(index_obj, "frames[0]", dt_dtype(), "DT");
  BytesView chunk = bytes_view(chunk_obj, "frames[1]");
  const FrameView v = frames_view(index, chunk);
  int64_t first = 0;
  for (size_t i = 0; i < v.n; ++i) {
    int64_t ts;
    std::memcpy(&ts, v.records + static_cast<ptrdiff_t>(i) * v.stride, sizeof ts);
    if (i == 0 || ts < first) first = ts;
  }
  // A whole second at or before the earliest frame whose local date is
  // unambiguous (an hour earlier or two when the frame lies in the hour
  // repeated as summer time ends), as kv.write(exact_time=True) chooses;
  // times count from it as read_asc reads the date.
  const int64_t second = first >= 0 ? first / 1000000000 * 1000000000
                                    : -((-first + 999999999) / 1000000000) * 1000000000;
  blf::SystemTime_t st{};
  exact_start(st, second);
  const int64_t base = systemtime_to_timestamp(st);
  if (v.n && first < base)
    throw py::value_error("write_asc: the earliest frame lies before its own local date");
  CivilTime c;
  c.year = st.year;
  c.month = st.month;
  c.day = st.day;
  c.hour = st.hour;
  c.minute = st.minute;
  c.second = st.second;
  Output out(file);
  ByteBuffer buf;
  asc_header(buf, c);
  constexpr size_t BLOCK = 16384;
  for (size_t from = 0; from < v.n; from += BLOCK) {
    const size_t to = std::min(v.n, from + BLOCK);
    size_t stop;
    {
      py::gil_scoped_release unlocked;
      stop = asc_lines(v, from, to, base, buf);
    }
    if (stop != to)
      throw py::value_error("write_asc: the payload of frame " + u64(stop) +
                            " lies outside the payload array");
    out.write(buf);
  }
  asc_footer(buf);
  out.write(buf);
  out.close();
  if (verbose)
    print_line("write asc cost " + format_fixed2((now_seconds() - since) * 1000) +
               "ms, frm_cnt=" + u64(v.n));
}

}  // namespace

void register_text(py::module_& m) {
  text_error = PyErr_NewExceptionWithDoc("korvel.korvel.TextError",
                                         "A text log line the reader cannot go on from.",
                                         globals().blf_error, nullptr);
  if (!text_error) throw py::error_already_set();
  text_warning = PyErr_NewExceptionWithDoc("korvel.korvel.TextWarning",
                                           "Lines of a text log that the reader skipped.",
                                           PyExc_UserWarning, nullptr);
  if (!text_warning) throw py::error_already_set();
  m.attr("TextError") = py::handle(text_error);
  m.attr("TextWarning") = py::handle(text_warning);

  m.def("read_asc", &read_asc, py::arg("file"), py::kw_only(), py::arg("verbose") = true,
        py::arg("_notices") = py::none());
  m.def("_read_text_buses", &read_text_buses, py::arg("file"), py::arg("format"), py::arg("buses"),
        py::kw_only(), py::arg("verbose") = true, py::arg("_notices") = py::none());
  m.def("read_candump", &read_candump, py::arg("file"), py::kw_only(), py::arg("verbose") = true,
        py::arg("_notices") = py::none());
  m.def("read_trc", &read_trc, py::arg("file"), py::kw_only(), py::arg("verbose") = true,
        py::arg("_notices") = py::none());
  m.def("candump_interfaces", &candump_interfaces, py::arg("file"));
  py::class_<TextPieces>(m, "_TextPieces")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &TextPieces::next);
  m.def("iter_text", &iter_text, py::arg("file"), py::arg("frames") = 1000000, py::kw_only(),
        py::arg("format") = py::none(), py::arg("verbose") = true,
        py::arg("_notices") = py::none());
  m.def("write_asc", &write_asc, py::arg("file"), py::arg("frames"), py::kw_only(),
        py::arg("verbose") = true);
  m.def("_sniff_text", &sniff_bytes, py::arg("head"));

#define KV_TEXT_COMMON                                                                   \
  "file: a path (str or os.PathLike), read natively, or a binary stream with read(n).\n" \
  "verbose: False prints nothing; lines the reader skipped then come as one\n"           \
  "    TextWarning (a UserWarning) giving their count and the first one's number.\n\n"   \
  "Returns (index, chunk) as read() does: DT records in file order and their payload.\n" \
  "Times are int64 ns since the epoch.\n\n"                                              \
  "Raises TextError (a BLFError) naming the line for a file that is not such a log\n"    \
  "(no line has the shape of one; binary input) and for a header line it cannot go\n"    \
  "on from (a date in an unknown form, impossible or out of range); OSError when a\n"    \
  "path cannot be read; TypeError for a text stream or anything that is neither a\n"     \
  "path nor a binary stream. Other lines, malformed frame lines (bad hex, missing\n"     \
  "fields, lengths that disagree with the data) and lines whose time leaves the\n"       \
  "int64 range are skipped and counted, wherever they stand."

  publish(m, "read_asc",
          "read_asc(file, *, verbose=True)\n--\n\n"
          "Read a Vector ASC text log into a frames pair (index, chunk).\n\n"
          "Reads classic frame lines (base and extended 'x' identifiers, 'd' data and\n"
          "'r' remote frames, ErrorFrame), CANFD lines (DLC and data length, an optional\n"
          "symbolic name; FD, BRS, ESI and remote from the flags column: EDL 0x1000, BRS\n"
          "0x2000, ESI 0x4000, remote 0x10), Rx (flag 0x04) and Tx, channel numbers as written,\n"
          "and the header lines 'date', 'base hex|dec', 'timestamps absolute|relative'\n"
          "(relative: each time counts from the previous event) and 'internal events\n"
          "logged'. Times count from the date of the latest 'Begin Triggerblock' line\n"
          "that has one, else from the 'date' line, else from the epoch, read as local\n"
          "time as the BLF header's date is read. A classic line whose DLC is above 8\n"
          "reads as python-can reads it: the CAN FD length of the code with the 8 data\n"
          "bytes the line holds. A CANFD line without EDL is a classic frame; one with\n"
          "data length 0 is a data frame, unless it gives a DLC above 0 (python-can's\n"
          "CAN FD remote frames). Other lines (events, statistics, comments, other buses)\n"
          "are skipped and counted. Prints \"load asc cost ...ms, line_cnt=..., frm_cnt=...,\n"
          "skip_cnt=..., idx_mem=..., chk_mem=..., tot_mem=...\".\n\n" KV_TEXT_COMMON
          " A date in an unknown form raises TextError.");
  publish(m, "read_candump",
          "read_candump(file, *, verbose=True)\n--\n\n"
          "Read a candump -l log into a frames pair (index, chunk).\n\n"
          "Lines '(sec.usec) iface ID#DATA [R|T]': classic data, 'ID#R[len]' remote\n"
          "frames, 'ID##<flags><DATA>' CAN FD frames (flags 1 BRS, 2 ESI); without a\n"
          "direction a frame reads as received. An identifier of more than 3 digits is\n"
          "extended. An identifier with the error flag 0x20000000 is an error frame: its\n"
          "error class stays in can_id, its data as written. Interfaces become channels\n"
          "1, 2, ... in order of first appearance (see candump_interfaces). 'R' takes a\n"
          "length up to 15; classic data longer than 8 bytes is malformed (skipped and\n"
          "counted), and so are '#' comments. Prints \"load candump\n"
          "cost ...\" as read_asc prints its line.\n\n" KV_TEXT_COMMON);
  publish(m, "read_trc",
          "read_trc(file, *, verbose=True)\n--\n\n"
          "Read a PCAN trace file (versions 1.0, 1.1, 1.3, 2.0 and 2.1) into a frames\n"
          "pair (index, chunk).\n\n"
          "Times count from the header's $STARTTIME read as local time (version 1.0,\n"
          "which has none: from the epoch), plus each line's offset in ms. The columns\n"
          "are those the version declares ($COLUMNS for 2.x); bus numbers become\n"
          "channels (1 without a bus column). Types DT (classic), FD/FB/FE/BI (CAN FD,\n"
          "with BRS and ESI as the type says), RR (remote) and ER (error frames) are\n"
          "read; other lines (events, status, warnings) are skipped and counted, and so\n"
          "is a classic line whose DLC is above 8. Prints \"load trc cost ...\" as read_asc\n"
          "prints its line.\n\n" KV_TEXT_COMMON
          " A version this reader does not read, or a start time in an unknown form,\n"
          "raises TextError.");
  publish(m, "candump_interfaces",
          "candump_interfaces(file)\n--\n\n"
          "The interface names of a candump log in order of first appearance: the\n"
          "names of channels 1, 2, ... of read_candump(file). Reads the whole log\n"
          "quietly; raises what read_candump raises.");
  publish(m, "iter_text",
          "iter_text(file, frames=1000000, *, format=None, verbose=True)\n--\n\n"
          "Read a text log in frames pairs of at most `frames` records each, in file\n"
          "order: an iterator whose pieces, joined with concat, equal the whole read.\n"
          "Memory stays at one piece plus a 1 MiB block of text (and the longest\n"
          "line), whatever the size of the log.\n\n"
          "format: 'asc', 'candump' or 'trc'; None takes it from the suffix (.asc,\n"
          ".log, .trc) or, failing that, from the first line of a path.\n"
          "file, verbose: as for read_asc; the verbose line (or the TextWarning) comes\n"
          "after the last piece.\n\n"
          "Raises what the readers raise, once the pieces before the fault are out;\n"
          "ValueError for frames below 1 or a format it cannot tell.");
  publish(m, "write_asc",
          "write_asc(file, frames, *, verbose=True)\n--\n\n"
          "Write a frames pair as a Vector ASC text log: the lines 'date ...', 'base hex\n"
          "timestamps absolute', 'internal events logged', then a trigger block dated at\n"
          "a whole second (local time, one that names a single instant) at or before the\n"
          "earliest frame, one line per frame with its time in microseconds after that\n"
          "date (to the nearest), and 'End TriggerBlock'. read_asc reads every frame\n"
          "back (CANFD lines carry EDL, BRS, ESI and remote in their flags column);\n"
          "python-can's ASCReader too, but for a CAN FD data frame without bytes, which\n"
          "it reads as a remote frame. Classic frames longer than 8 bytes are written\n"
          "with the DLC of their length; a frame stored with fewer bytes than its length\n"
          "is written with the bytes it has.\n"
          "Prints \"write asc cost ...ms, frm_cnt=...\".\n\n"
          "file: a path (a file that fails half way is removed) or a binary stream with\n"
          "write(b).\n\n"
          "Raises TypeError or ValueError for frames that are not a frames pair of DT\n"
          "records and uint8 payload, ValueError for a payload outside the payload\n"
          "array, OSError when the path cannot be written.");
#undef KV_TEXT_COMMON
}

}  // namespace korvel::bind

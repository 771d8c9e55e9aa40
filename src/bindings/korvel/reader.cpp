// read(file): the top-level object loop over the stream. The core scanner
// decodes frames; this layer reads the stream, inflates containers into the
// scanner's reused buffer, grows the NumPy outputs and reports.
#include <algorithm>
#include <string>
#include <vector>

#include "blf_format.hpp"
#include "calendar.hpp"
#include "common.hpp"
#include "inflate.hpp"
#include "scanner.hpp"

namespace korvel::bind {

using namespace korvel::blf;

namespace {

// Larger reads are split so that a corrupt size cannot make the stream
// allocate far more than the file holds.
constexpr size_t READ_CHUNK = size_t(16) << 20;
// First allocation bound for a header's object count (it may be corrupt).
constexpr size_t INITIAL_RECORDS_MAX = size_t(1) << 22;
constexpr size_t MIN_RECORDS = 1024;

// Frames go straight into NumPy arrays (NumPy allocates large arrays on huge
// pages); growing and the final trim are in-place resizes.
class ArraySink : public FrameSink {
 public:
  py::array index;
  py::array chunk;

  ArraySink(size_t n_records, size_t n_bytes)
      : index(dt_dtype(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n_records)}),
        chunk(py::dtype::of<uint8_t>(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n_bytes)}) {
    refresh();
  }

  void grow(size_t min_records, size_t min_payload) override {
    if (min_records > record_capacity) {
      size_t cap = std::max({min_records, record_capacity * 2, MIN_RECORDS});
      index.resize(std::vector<py::ssize_t>{static_cast<py::ssize_t>(cap)}, false);
    }
    if (min_payload > payload_capacity) {
      size_t cap = std::max({min_payload, payload_capacity * 2, MIN_RECORDS * 64});
      chunk.resize(std::vector<py::ssize_t>{static_cast<py::ssize_t>(cap)}, false);
    }
    refresh();
  }

  void trim() {
    index.resize(std::vector<py::ssize_t>{static_cast<py::ssize_t>(record_count)}, false);
    chunk.resize(std::vector<py::ssize_t>{static_cast<py::ssize_t>(payload_size)}, false);
    refresh();
  }

 private:
  void refresh() {
    records = reinterpret_cast<DT_t*>(index.mutable_data());
    record_capacity = static_cast<size_t>(index.shape(0));
    payload = static_cast<uint8_t*>(chunk.mutable_data());
    payload_capacity = static_cast<size_t>(chunk.shape(0));
  }
};

// Bytes obtained from the stream: the bytes object itself when one read
// sufficed, else the pieces joined.
struct Piece {
  py::object holder;
  std::string joined;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

class Stream {
 public:
  explicit Stream(py::handle file) : read_(file.attr("read")) {}

  uint64_t position() const { return pos_; }

  // Up to n bytes; fewer only at the end of the stream.
  Piece read(size_t n) {
    Piece p;
    if (n <= READ_CHUNK) {
      p.holder = read_once(n);
      p.data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(p.holder.ptr()));
      p.size = static_cast<size_t>(PyBytes_GET_SIZE(p.holder.ptr()));
    } else {
      while (p.joined.size() < n) {
        size_t want = std::min(READ_CHUNK, n - p.joined.size());
        py::object b = read_once(want);
        size_t got = static_cast<size_t>(PyBytes_GET_SIZE(b.ptr()));
        p.joined.append(PyBytes_AS_STRING(b.ptr()), got);
        if (got < want) break;
      }
      p.data = reinterpret_cast<const uint8_t*>(p.joined.data());
      p.size = p.joined.size();
    }
    pos_ += p.size;
    return p;
  }

  // Reads and drops n bytes; returns how many there were.
  size_t skip(size_t n) {
    size_t done = 0;
    while (done < n) {
      size_t want = std::min(READ_CHUNK, n - done);
      py::object b = read_once(want);
      size_t got = static_cast<size_t>(PyBytes_GET_SIZE(b.ptr()));
      done += got;
      pos_ += got;
      if (got < want) break;
    }
    return done;
  }

 private:
  py::object read_once(size_t n) {
    py::object b = read_(n);
    if (b.is_none()) return py::bytes();
    if (!PyBytes_Check(b.ptr()))
      throw py::type_error("file.read() must return bytes or None, not " +
                           std::string(py::str(b.get_type().attr("__name__"))));
    return b;
  }

  py::object read_;
  uint64_t pos_ = 0;
};

std::string u64(uint64_t v) { return std::to_string(v); }

void raise_scan_error(const ScanResult& r, uint64_t container_pos) {
  if (r.status == ScanStatus::NotFound) raise_blf_error("Next log object not found.");
  raise_blf_error("Inner log object of type " + u64(r.object_type) + " at offset " +
                  u64(r.offset) + " of the data scanned after the container at byte offset " +
                  u64(container_pos) + " declares object_size " + u64(r.object_size) +
                  ", less than the " + u64(r.required) + " bytes its headers and body need.");
}

void report_truncated(uint64_t object_pos, uint64_t declared, uint64_t present) {
  print_line("load blf: log truncated at byte offset " + u64(object_pos + present) +
             ": the object at byte offset " + u64(object_pos) + " declares " + u64(declared) +
             " bytes, " + u64(present) + " are present");
}

py::tuple read(py::object file) {
  double tm = now_seconds();
  Stream stream(file);

  Piece head = stream.read(sizeof(FileHeader_t));
  if (head.size < 4 || load<uint32_t>(head.data) != FILE_SIGNATURE)
    raise_blf_error(
        "Unsupported file format. This tool only accepts Vector BLF (Binary Logging Format) "
        "files.");
  if (head.size < sizeof(FileHeader_t))
    raise_blf_error("The file header is truncated: " + u64(head.size) +
                    " bytes present at byte offset 0, 72 needed.");
  auto header = load<FileHeader_t>(head.data);
  if (header.header_size < sizeof(FileHeader_t))
    raise_blf_error("The file header at byte offset 0 declares header_size " +
                    u64(header.header_size) + ", less than its 72 defined bytes.");

  const uint32_t object_count = header.object_count;
  int64_t start_timestamp = systemtime_to_timestamp(header.start_timestamp);
  systemtime_to_timestamp(header.stop_timestamp);  // must convert, value unused
  stream.skip(header.header_size - sizeof(FileHeader_t));

  size_t cap = std::min<size_t>(object_count, INITIAL_RECORDS_MAX);
  ArraySink sink(cap, cap * 64);
  InnerScanner scanner(start_timestamp);

  for (;;) {
    const uint64_t object_pos = stream.position();
    Piece base_bytes = stream.read(sizeof(ObjHeaderBase_t));
    if (base_bytes.size == 0) break;
    if (base_bytes.size < sizeof(ObjHeaderBase_t)) {
      report_truncated(object_pos, sizeof(ObjHeaderBase_t), base_bytes.size);
      break;
    }
    auto base = load<ObjHeaderBase_t>(base_bytes.data);
    if (base.signature[0] != 'L' || base.signature[1] != 'O' || base.signature[2] != 'B' ||
        base.signature[3] != 'J')
      raise_blf_error(nullptr);
    if (base.object_size < sizeof(ObjHeaderBase_t))
      raise_blf_error("The log object at byte offset " + u64(object_pos) +
                      " declares object_size " + u64(base.object_size) +
                      ", less than its 16-byte header.");

    Piece obj = stream.read(base.object_size - sizeof(ObjHeaderBase_t));
    const bool truncated = obj.size < base.object_size - sizeof(ObjHeaderBase_t);
    if (!truncated) stream.skip(base.object_size % 4);

    if (base.object_type == LOG_CONTAINER) {
      if (!truncated && obj.size < sizeof(LogContainer_t))
        raise_blf_error("The log container at byte offset " + u64(object_pos) +
                        " declares object_size " + u64(base.object_size) +
                        ", less than its 32 bytes of headers.");
      if (obj.size >= sizeof(LogContainer_t)) {
        auto container = load<LogContainer_t>(obj.data);
        const uint8_t* cdata = obj.data + sizeof(LogContainer_t);
        size_t clen = obj.size - sizeof(LogContainer_t);
        bool usable = true;
        if (container.compression_method == NO_COMPRESSION) {
          std::copy(cdata, cdata + clen, scanner.buffer().reserve_more(clen));
          scanner.buffer().commit(clen);
        } else if (container.compression_method == ZLIB_DEFLATE) {
          InflateResult ir = inflate_append(cdata, clen, container.uncompressed_size,
                                            scanner.buffer(), truncated);
          if (!ir.ok()) raise_zlib_error(ir.message);
        } else {
          print_line("Unknown compression method " + u64(container.compression_method));
          usable = false;
        }
        if (usable) {
          ScanResult r = scanner.scan(sink);
          for (uint16_t v : r.unknown_versions)
            print_line("Unknown object header version " + u64(v));
          if (r.status != ScanStatus::Done) raise_scan_error(r, object_pos);
        }
      }
    }
    if (truncated) {
      report_truncated(object_pos, base.object_size, sizeof(ObjHeaderBase_t) + obj.size);
      break;
    }
  }

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
  m.def("read", &read, py::arg("file"),
        "Read a BLF log from a binary stream into a frames pair (index, chunk).");
}

}  // namespace korvel::bind

// The log reader: bytes from a source -> containers in flight (inflated, and
// scanned early when a worker would otherwise idle) -> frames in file order
// into a sink. Notices and errors come back as values; nothing here knows
// of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "blf/format.hpp"
#include "blf/scanner.hpp"
#include "sources.hpp"

namespace korvel {

enum class ErrorKind {
  None,
  Format,    // BLFError
  Zlib,      // zlib.error
  NoMemory,  // MemoryError
  External,  // the source's or sink's own exception
};

// What went wrong, as facts; the bindings word them.
enum class ErrorCode {
  None,
  NotBlf,               // no "LOGG" signature
  HeaderTruncated,      // `present` bytes of the `needed`-byte file header
  HeaderSizeTooSmall,   // header_size `size` below 72
  NoObjectHeader,       // no "LOBJ" at the top-level object at `offset`
  ObjectTooSmall,       // the top-level object at `offset` declares `size` < 16
  ContainerTooSmall,    // the container at `offset` declares `size` < 32
  NextObjectNotFound,   // inner data: no object where the next one may start
  InnerObjectTooSmall,  // object of `object_type` at `inner_offset` of the data scanned after
                        // the container at `offset` declares `size` < `needed`
  // Salvage: the object at `inner_offset` of the data of the container at
  // `offset` (`size` its object_size when `needed` is 1, `present` bytes of
  // it read) can never be finished:
  InnerObjectCut,      // a container it continues in is not read
  InnerObjectPastEnd,  // it declares more bytes than the rest of the log holds
  Zlib,                // `zlib_message`, worded as Python's zlib module words it
  NoMemory,
  External,
};

struct ReadError {
  ErrorCode code = ErrorCode::None;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t needed = 0;
  uint64_t present = 0;
  uint64_t inner_offset = 0;
  uint32_t object_type = 0;
  std::string zlib_message;
  ErrorKind kind() const {
    switch (code) {
      case ErrorCode::None:
        return ErrorKind::None;
      case ErrorCode::Zlib:
        return ErrorKind::Zlib;
      case ErrorCode::NoMemory:
        return ErrorKind::NoMemory;
      case ErrorCode::External:
        return ErrorKind::External;
      default:
        return ErrorKind::Format;
    }
  }
  bool operator==(const ReadError& o) const {
    return code == o.code && offset == o.offset && size == o.size && needed == o.needed &&
           present == o.present && inner_offset == o.inner_offset && object_type == o.object_type &&
           zlib_message == o.zlib_message;
  }
  explicit operator bool() const { return code != ErrorCode::None; }
};

enum class NoticeKind {
  Truncated,           // the log ends inside an object
  UnknownCompression,  // a container skipped
  UnknownVersion,      // an inner object skipped
  Damaged,             // bytes read past with skip_damaged
  WideChannels,        // frames on channels above 255 (once, at the end)
};

struct Notice {
  explicit Notice(NoticeKind k) : kind(k) {}
  NoticeKind kind;
  uint64_t object_pos = 0;  // Truncated: byte offset of the cut object; Damaged: first byte
  uint64_t declared = 0;    // Truncated: bytes it declares; Damaged: end of the bytes
  uint64_t present = 0;     // Truncated: bytes present
  // Truncated inside an inner object: `object_pos` is the container it
  // begins in, `data_offset` where in that container's data, `declared` 0
  // when its header is cut.
  bool inner = false;
  uint64_t data_offset = 0;
  uint32_t value = 0;  // the method or the header version
  // Damaged: the container (counted from 0), or the next one when the
  // bytes hold no whole container; and why. With `inner`, the bytes skipped
  // are `present` bytes from `data_offset` of the data of the container at
  // `object_pos` (numbered `container`), whose object ends at `declared`.
  size_t container = 0;
  bool whole_container = false;
  ReadError cause;
  // WideChannels: the frames and their stored channel numbers.
  WideChannels wide;
};

// Receives notices on the thread that calls the reader, in file order.
class NoticeSink {
 public:
  virtual ~NoticeSink() = default;
  virtual void notice(const Notice& n) = 0;
};

struct ReaderOptions {
  unsigned threads = 1;  // the calling thread plus threads - 1 pool workers
  // Workers scan every container ahead of its turn (tests: the stitching
  // of early scans is then exercised whatever the timing).
  bool always_scan_ahead = false;
  bool use_libdeflate = true;  // false: inflate with zlib only
  // Frames of the objects that begin in log containers [first_container,
  // end_container), counted from 0 in file order; an object begun in the
  // last of them and cut at its end is completed from the following ones.
  size_t first_container = 0;
  size_t end_container = SIZE_MAX;
  // Read past damage instead of failing: a container that cannot be
  // inflated or scanned is left out (with the object cut into it and the
  // next container's bytes up to its first whole object), and after a
  // damaged top-level header the reader goes on at the next plausible
  // container header. Each such region is a Damaged notice.
  bool skip_damaged = false;
  // Where the walk may begin instead of right after the file header: the
  // top-level object at this byte offset, which is log container number
  // `start_container` (both from list_containers; 0: the header's end).
  uint64_t start_offset = 0;
  size_t start_container = 0;
  // CAN_ERROR and CAN_FD_ERROR_64 objects become error-frame records too.
  bool all_errors = false;
  // Objects other than frames go here (null: walked past); with `frames`
  // false, the frame objects too instead of frame records.
  ObjectSink* objects = nullptr;
  bool frames = true;
  // The frames the caller keeps: those timed in [keep_start, keep_stop) (a
  // time window). Frames on channels above 255 are counted among these.
  int64_t keep_start = INT64_MIN;
  int64_t keep_stop = INT64_MAX;
  // [first_container, end_container) is only a guess at the containers that
  // hold the frames kept (from their first times): the read takes in the
  // containers on either side of it, one by one, for as long as the last one
  // taken in holds a frame kept, within [window_first, window_end). Before
  // the range it looks back through the lead containers (see
  // window_unsure()).
  bool window_guess = false;
  size_t window_first = 0;
  size_t window_end = SIZE_MAX;
  // A WideChannels notice once the log has ended.
  bool report_wide = true;
};

// A log container as the file stores it.
// Where the first object that begins in a container was found.
enum class FirstObject : uint8_t {
  Found,    // first_timestamp is its time
  None,     // no object begins in the container
  Unknown,  // not within the bytes looked at, or they cannot be inflated
};

struct ContainerEntry {
  uint64_t offset = 0;  // of the container object in the file
  uint32_t object_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t method = 0;
  // With list_containers(..., times): the first object's time, as read()
  // would give it.
  FirstObject first = FirstObject::Unknown;
  int64_t first_timestamp = 0;
};

// The containers [first, end) whose objects hold every frame timed in
// [start, stop), from the containers' first timestamps (containers whose
// first object is not known are bounded by their neighbours'). False when
// the first timestamps decrease somewhere: then no range is sure.
bool window_containers(const std::vector<ContainerEntry>& entries, int64_t start, int64_t stop,
                       size_t& first, size_t& end);

class LogReader {
 public:
  LogReader(ByteSource& source, NoticeSink& notices, const ReaderOptions& options);
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // Reads and checks the file header and skips its reserved part.
  ReadError read_header(blf::FileHeader_t& header);

  // Records are timed from this start (ns since the epoch); call once,
  // after read_header and before read. exact: integer nanoseconds.
  void start(int64_t start_timestamp, bool exact = false);

  // Decodes frames into `sink` (appending to what it holds). Returns once
  // the sink holds at least `until` records at a container boundary, with
  // `done` false, or once the log has ended, with `done` true. The sink's
  // grow() is only called from this thread; by the time read() returns, no
  // worker writes into the sink.
  ReadError read(FrameSink& sink, size_t until, bool& done);

  // Instead of read: the log's containers, without inflating anything; with
  // `times` (after start()), also the time of the first object that begins
  // in each, from the start of its data only.
  ReadError list_containers(std::vector<ContainerEntry>& out, bool times = false);

  // Bytes taken from the source so far.
  uint64_t position() const;

  // Log containers met so far (those whose container header is whole).
  size_t containers_seen() const;

  // With window_guess: the containers before the range held frames kept as
  // far back as the reader looked (LEAD_MAX containers): only a whole read
  // is sure to hold every frame kept. Known once read() has returned.
  bool window_unsure() const;

  // The frames handed out on channels above 255.
  const WideChannels& wide_channels() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvel

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

#include "blf_format.hpp"
#include "scanner.hpp"

namespace korvel {

// The bytes of a log, front to back.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to n bytes into dst; fewer only at the end of the data. May throw
  // (ExternalError, std::bad_alloc).
  virtual size_t read(uint8_t* dst, size_t n) = 0;
  // Drops the next n bytes; returns how many there were.
  virtual size_t skip(size_t n);
};

// Bytes already in memory.
class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t read(uint8_t* dst, size_t n) override;
  size_t skip(size_t n) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Thrown by a source or a sink to end a read; the thrower keeps the cause
// (a Python exception, say) and the reader reports ErrorKind::External.
struct ExternalError : std::exception {
  const char* what() const noexcept override { return "read stopped by its source or sink"; }
};

enum class NoticeKind {
  Truncated,           // the log ends inside an object
  UnknownCompression,  // a container skipped
  UnknownVersion,      // an inner object skipped
};

struct Notice {
  NoticeKind kind;
  uint64_t object_pos = 0;  // Truncated: byte offset of the cut object
  uint64_t declared = 0;    // Truncated: bytes it declares
  uint64_t present = 0;     // Truncated: bytes present
  uint32_t value = 0;       // the method or the header version
};

// Receives notices on the thread that calls the reader, in file order.
class NoticeSink {
 public:
  virtual ~NoticeSink() = default;
  virtual void notice(const Notice& n) = 0;
};

enum class ErrorKind {
  None,
  Format,    // BLFError
  Zlib,      // zlib.error
  NoMemory,  // MemoryError
  External,  // the source's or sink's own exception
};

struct ReadError {
  ErrorKind kind = ErrorKind::None;
  bool has_message = true;  // one format error carries none
  std::string message;
  explicit operator bool() const { return kind != ErrorKind::None; }
};

struct ReaderOptions {
  unsigned threads = 1;  // the calling thread plus threads - 1 pool workers
  // Workers scan every container ahead of its turn (tests: the stitching
  // of early scans is then exercised whatever the timing).
  bool always_scan_ahead = false;
  bool use_libdeflate = true;  // false: inflate with zlib only
};

class LogReader {
 public:
  LogReader(ByteSource& source, NoticeSink& notices, const ReaderOptions& options);
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // Reads and checks the file header and skips its reserved part.
  ReadError read_header(blf::FileHeader_t& header);

  // Records are timed from this start (ns since the epoch); call once,
  // after read_header and before read.
  void start(int64_t start_timestamp);

  // Decodes frames into `sink` (appending to what it holds). Returns once
  // the sink holds at least `until` records at a container boundary, with
  // `done` false, or once the log has ended, with `done` true. The sink's
  // grow() is only called from this thread; by the time read() returns, no
  // worker writes into the sink.
  ReadError read(FrameSink& sink, size_t until, bool& done);

  // Bytes taken from the source so far.
  uint64_t position() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvel

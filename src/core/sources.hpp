// Where bytes come from: memory, or a file read with plain system calls (no
// interpreter involved); the bindings add Python streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

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
  // Up to n bytes from `offset` (counted from the source's first byte) into
  // dst, leaving where read() stands alone; safe from any thread. False for
  // sources that cannot go back (streams). Throws as read() does.
  virtual bool read_at(uint64_t offset, uint8_t* dst, size_t n, size_t& got);
};

// Bytes already in memory.
class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t read(uint8_t* dst, size_t n) override;
  size_t skip(size_t n) override;
  bool read_at(uint64_t offset, uint8_t* dst, size_t n, size_t& got) override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Opens `path` for reading: the descriptor, or -1 with `error` set (EISDIR
// for a folder); `size` and whether it is a regular file (pread works).
int open_for_reading(const char* path, int& error, uint64_t& size, bool& regular);

// A file opened and read by the reader itself (no interpreter involved).
class FileSource : public ByteSource {
 public:
  // `error()` is the errno of a failed open (0 when open).
  explicit FileSource(const char* path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  // Throws ExternalError with `error()` set when the system call fails.
  size_t read(uint8_t* dst, size_t n) override;
  size_t skip(size_t n) override;
  bool read_at(uint64_t offset, uint8_t* dst, size_t n, size_t& got) override;
  int error() const { return error_; }
  uint64_t size() const { return size_; }

 private:
  size_t transfer(uint8_t* dst, size_t n, const uint64_t* at);
  int fd_ = -1;
  int error_ = 0;
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
  bool positional_ = false;  // a regular file: pread at pos_, skips only count
};

// Thrown by a source or a sink to end a read; the thrower keeps the cause
// (a Python exception, say) and the reader reports ErrorKind::External.
struct ExternalError : std::exception {
  const char* what() const noexcept override { return "read stopped by its source or sink"; }
};

}  // namespace korvel

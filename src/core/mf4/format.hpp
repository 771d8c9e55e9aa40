// ASAM MDF 4 on disk: the identification block, the common block header,
// little-endian field access, the error every parser throws, and the random
// access the format needs (links point anywhere in the file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace korvel::mf4 {

// ID block: 64 bytes at offset 0.
//   char id_file[8]     "MDF     " (finalized) or "UnFinMF " (a logger still writing)
//   char id_vers[8]     "4.11    "
//   char id_prog[8]
//   uint8 reserved[4]
//   uint16 id_ver       411
//   uint8 reserved[30]
//   uint16 id_unfin_flags, id_custom_unfin_flags
constexpr size_t ID_SIZE = 64;
constexpr size_t ID_VERSION = 28;
constexpr size_t ID_UNFIN_FLAGS = 60;
// Unfinalized-file flags that matter here.
constexpr uint16_t UNFIN_CYCLE_COUNTS = 0x0001;  // cg_cycle_count not updated
constexpr uint16_t UNFIN_LAST_DT = 0x0004;       // length of the last DT block not updated

// Every other block begins with a 24-byte header, then link_count links of
// 8 bytes (absolute file offsets, 0 = none), then the block's data.
//   char id[4]          "##XX"
//   uint8 reserved[4]
//   uint64 length       header + links + data
//   uint64 link_count
constexpr size_t HEADER_SIZE = 24;

inline uint64_t u64le(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint32_t u32le(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint16_t u16le(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline double f64le(const uint8_t* p) {
  double v;
  std::memcpy(&v, p, 8);
  return v;
}

// A fault of the file: which block (its two-letter id, or "ID") at which
// byte offset, and what is wrong with it.
class Mf4Error : public std::runtime_error {
 public:
  Mf4Error(const std::string& block, uint64_t offset, const std::string& what)
      : std::runtime_error(describe(block, offset, what)), block_(block), offset_(offset) {}
  // A fault not tied to one block.
  explicit Mf4Error(const std::string& what) : std::runtime_error(what) {}
  const std::string& block() const { return block_; }
  uint64_t offset() const { return offset_; }

  static std::string describe(const std::string& block, uint64_t offset, const std::string& what) {
    return "the " + block + " block at byte offset " + std::to_string(offset) + " " + what;
  }

 private:
  std::string block_;
  uint64_t offset_ = 0;
};

// Bytes at any offset: a file read with pread, or bytes in memory.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual uint64_t size() const = 0;
  // Copies [offset, offset + n) to dst; the caller has checked the range.
  // Throws ExternalError when the system call fails.
  virtual void read_at(uint64_t offset, uint8_t* dst, size_t n) = 0;
  // The bytes themselves when they are in memory, else null.
  virtual const uint8_t* view(uint64_t offset, size_t n) {
    (void)offset;
    (void)n;
    return nullptr;
  }
};

class MemoryRandom : public RandomSource {
 public:
  MemoryRandom(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  void read_at(uint64_t offset, uint8_t* dst, size_t n) override {
    if (n) std::memcpy(dst, data_ + offset, n);
  }
  const uint8_t* view(uint64_t offset, size_t) override { return data_ + offset; }

 private:
  const uint8_t* data_;
  size_t size_;
};

class FileRandom : public RandomSource {
 public:
  // `error()` is the errno of a failed open (0 when open).
  explicit FileRandom(const char* path);
  ~FileRandom() override;
  FileRandom(const FileRandom&) = delete;
  FileRandom& operator=(const FileRandom&) = delete;
  uint64_t size() const override { return size_; }
  void read_at(uint64_t offset, uint8_t* dst, size_t n) override;
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
  uint64_t size_ = 0;
};

}  // namespace korvel::mf4

// Shared pieces of the fuzz targets: a reader over the fuzzer's bytes and a
// frame sink that allocates exactly what the scanner asks for, so that any
// write past a request lands outside the allocation (where ASan sees it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "blf/scanner.hpp"

namespace fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), left_(size) {}

  template <class T>
  T take() {
    T v{};
    size_t n = left_ < sizeof(T) ? left_ : sizeof(T);
    if (n) std::memcpy(&v, p_, n);
    p_ += n;
    left_ -= n;
    return v;
  }
  const uint8_t* rest() const { return p_; }
  size_t left() const { return left_; }
  void skip(size_t n) {
    n = n < left_ ? n : left_;
    p_ += n;
    left_ -= n;
  }

 private:
  const uint8_t* p_;
  size_t left_;
};

class ExactSink : public korvel::FrameSink {
 public:
  std::unique_ptr<korvel::DT_t[]> rec_store;
  std::unique_ptr<uint8_t[]> pay_store;

  void grow(size_t min_records, size_t min_payload) override {
    if (min_records > record_capacity) {
      std::unique_ptr<korvel::DT_t[]> r(new korvel::DT_t[min_records]);
      if (record_count) std::memcpy(r.get(), records, record_count * sizeof(korvel::DT_t));
      rec_store = std::move(r);
      records = rec_store.get();
      record_capacity = min_records;
    }
    if (min_payload > payload_capacity) {
      std::unique_ptr<uint8_t[]> p(new uint8_t[min_payload]);
      if (payload_size) std::memcpy(p.get(), payload, payload_size);
      pay_store = std::move(p);
      payload = pay_store.get();
      payload_capacity = min_payload;
    }
  }
};

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

#define FUZZ_CHECK(cond)              \
  do {                                \
    if (!(cond)) ::fuzz::fail(#cond); \
  } while (0)

// A copy in a buffer of exactly n bytes, so any read past the region is a
// read past an allocation.
inline std::unique_ptr<uint8_t[]> exact_copy(const uint8_t* p, size_t n) {
  std::unique_ptr<uint8_t[]> b(new uint8_t[n ? n : 1]);
  if (n) std::memcpy(b.get(), p, n);
  return b;
}

// Every record points inside the payload written.
inline void check_sink(const korvel::FrameSink& s) {
  FUZZ_CHECK(s.record_count <= s.record_capacity);
  FUZZ_CHECK(s.payload_size <= s.payload_capacity);
  for (size_t i = 0; i < s.record_count; ++i) {
    const uint64_t loc = s.records[i].loc;
    // Counts come from 8-bit length fields (valid bytes of FD64 objects).
    FUZZ_CHECK(korvel::loc_count(loc) <= 255);
    FUZZ_CHECK(korvel::loc_offset(loc) + korvel::loc_count(loc) <= s.payload_size);
  }
}

// The same records and the same payload bytes.
inline void check_same_frames(const korvel::FrameSink& a, const korvel::FrameSink& b) {
  FUZZ_CHECK(a.record_count == b.record_count);
  FUZZ_CHECK(a.payload_size == b.payload_size);
  if (a.record_count)
    FUZZ_CHECK(std::memcmp(a.records, b.records, a.record_count * sizeof(korvel::DT_t)) == 0);
  if (a.payload_size) FUZZ_CHECK(std::memcmp(a.payload, b.payload, a.payload_size) == 0);
}

}  // namespace fuzz

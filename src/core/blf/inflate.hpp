// One-shot zlib inflation of a container straight into a reused buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bytebuf.hpp"

namespace korvel {

struct InflateResult {
  int code = 0;         // zlib return code of the failure; 0 on success
  std::string message;  // text of the failure, as Python's zlib module words it
  size_t produced = 0;  // bytes appended to the output buffer
  bool ok() const { return code == 0; }
};

// Inflates one zlib stream (window bits 15) from src and appends the output to
// `out`. `size_hint` is the declared uncompressed size; it is only a first
// guess, capped by what the input can expand to, so a lying header cannot
// force a huge allocation. With `allow_truncated`, input that ends before the
// stream does is not an error: what could be inflated is kept.
// "libdeflate" when the build found it (used for complete streams, with zlib
// kept for truncated ones and for the wording of errors), else "zlib".
const char* inflater_name();

// `use_libdeflate` false runs the zlib path in a libdeflate build (tests,
// benchmarks); ignored in a zlib-only build.
InflateResult inflate_append(const uint8_t* src, size_t n, size_t size_hint, ByteBuffer& out,
                             bool allow_truncated = false, bool use_libdeflate = true);

// The first bytes of zlib streams, one after another, with one reused
// stream state: inflating only the start of a container costs little more
// than the bytes it produces.
class PrefixInflater {
 public:
  PrefixInflater();
  ~PrefixInflater();
  PrefixInflater(const PrefixInflater&) = delete;
  PrefixInflater& operator=(const PrefixInflater&) = delete;

  // Starts a new stream over [src, src + n).
  void begin(const uint8_t* src, size_t n);
  // Appends up to `more` further bytes of output to `out`; returns how many.
  // `ended` is set once the stream or its input is used up; `failed` when the
  // data is not a valid stream.
  size_t next(ByteBuffer& out, size_t more, bool& ended, bool& failed);
  // Input bytes the stream has read so far, its header included.
  size_t used() const;

 private:
  struct State;
  State* state_;
};

}  // namespace korvel

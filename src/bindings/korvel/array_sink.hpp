// Frames parsed straight into the blocks of a frames pair (the text and MF4
// readers), grown with no interpreter lock needed and handed out as NumPy
// arrays by take(). Large blocks are on kept pages: a loop over logs writes
// into the pages of those it dropped.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "blf/format.hpp"
#include "bus_arrays.hpp"
#include "common.hpp"
#include "frames.hpp"

namespace korvel::bind {

class ArraySinkBase : public FrameSink {
 public:
  static constexpr size_t MIN_GROWTH = 1024;

  ArraySinkBase(size_t n_records, size_t n_bytes) {
    reserve_block(index_, n_records, sizeof(DT_t), true);
    reserve_block(chunk_, n_bytes, 1, true);
    record_capacity = n_records;
    payload_capacity = n_bytes;
    refresh();
  }

  // Memory errors propagate as std::bad_alloc.
  void grow(size_t min_records, size_t min_payload) override {
    if (min_records > record_capacity) {
      const size_t cap = std::max({min_records, record_capacity * 2, MIN_GROWTH});
      regrow_block(index_, cap, sizeof(DT_t), record_count);
      record_capacity = cap;
      refresh();  // the old block is gone even if the payload's growth fails
    }
    if (min_payload > payload_capacity) {
      const size_t cap = std::max({min_payload, payload_capacity * 2, MIN_GROWTH * 8});
      regrow_block(chunk_, cap, 1, payload_size);
      payload_capacity = cap;
    }
    refresh();
  }

  // The pair, of the part in use (with the lock held); the sink is left
  // empty. `compact`: records were dropped after they were written (a time
  // window), so a result far smaller than its blocks is copied out and the
  // blocks' pages go back to the kept pages.
  py::tuple take(bool compact = false) {
    if (compact) {
      shrink_block(index_, record_count, record_capacity, sizeof(DT_t));
      shrink_block(chunk_, payload_size, payload_capacity, 1);
    }
    py::array index = array_taking(index_, dt_dtype(), record_count, true);
    py::array chunk = array_taking(chunk_, py::dtype::of<uint8_t>(), payload_size, true);
    record_capacity = payload_capacity = 0;
    refresh();
    return py::make_tuple(index, chunk);
  }

 protected:
  void refresh() {
    records = reinterpret_cast<DT_t*>(index_.data());
    payload = chunk_.data();
  }

  ByteBuffer index_, chunk_;
};

}  // namespace korvel::bind

// Frames parsed straight into the NumPy arrays of a frames pair, grown with
// the interpreter lock taken back (the text and MF4 readers). The arrays are
// block arrays: a loop over logs writes into the pages of those it dropped.
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
  py::array index, chunk;

  ArraySinkBase(size_t n_records, size_t n_bytes) {
    index = block_array(dt_dtype(), n_records, true);
    chunk = block_array(py::dtype::of<uint8_t>(), n_bytes, true);
    refresh();
  }

  // Python errors (memory) propagate as py::error_already_set.
  void grow(size_t min_records, size_t min_payload) override {
    py::gil_scoped_acquire gil;
    if (min_records > record_capacity) {
      const size_t cap = std::max({min_records, record_capacity * 2, MIN_GROWTH});
      py::array bigger = block_array(dt_dtype(), cap);
      if (record_count)
        std::memcpy(bigger.mutable_data(), index.data(), record_count * sizeof(DT_t));
      discard_block(index);
      index = bigger;
      refresh();  // the old array is gone even if the payload's growth fails
    }
    if (min_payload > payload_capacity) {
      const size_t cap = std::max({min_payload, payload_capacity * 2, MIN_GROWTH * 8});
      py::array bigger = block_array(py::dtype::of<uint8_t>(), cap);
      if (payload_size) std::memcpy(bigger.mutable_data(), chunk.data(), payload_size);
      discard_block(chunk);
      chunk = bigger;
    }
    refresh();
  }

  py::tuple take() {
    index = first_items(index, record_count);
    chunk = first_items(chunk, payload_size);
    refresh();
    return py::make_tuple(index, chunk);
  }

 protected:
  void refresh() {
    records = reinterpret_cast<DT_t*>(index.mutable_data());
    record_capacity = static_cast<size_t>(index.shape(0));
    payload = static_cast<uint8_t*>(chunk.mutable_data());
    payload_capacity = static_cast<size_t>(chunk.shape(0));
  }
};

}  // namespace korvel::bind

// Pieces shared by the reshaping functions and the writer: a frames pair
// checked and viewed for the native walks.
#pragma once

#include <utility>

#include "blf/format.hpp"
#include "common.hpp"
#include "records.hpp"

namespace korvel::bind {

// Unpacks a two-item sequence exactly as `a, b = pair` does in Python, with
// Python's own ValueError messages.
std::pair<py::object, py::object> unpack_pair(py::handle pair);

// A frames pair ready for the native walks: the frame array viewed by its
// stride, the payload array contiguous, every payload checked against the
// payload array's end. An empty frame array raises NumPy's error for the
// maximum of an empty array, as to_homo does.
struct PairInput {
  StridedView index;
  BytesView chunk;
  PairRecords records;
  PairScan scan;
};
PairInput prepare_pair(py::handle index_chunk_tuple);

// newType(width): DT64 itself for 64.
py::dtype inline_dtype(size_t width);

}  // namespace korvel::bind

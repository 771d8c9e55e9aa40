// NumPy arrays over the core's buffers: records of the other buses as pairs
// (records, payload), taken over from the core's columns without a copy (the
// BLF walk, the text and the MF4 readers hand them out alike), and block
// arrays, on kept pages when large, for every reader's and decoder's results.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "buses/sink.hpp"
#include "common.hpp"

namespace korvel::bind {

inline py::object kv_attr(const char* name) {
  return py::reinterpret_borrow<py::object>(globals().module).attr(name);
}

// A NumPy array over the buffer's block, which it takes over (no copy: the
// payload of an Ethernet log runs to hundreds of megabytes). `whole`: the
// block's room past the buffer's size stays with it (release_whole()).
inline py::array array_taking(ByteBuffer& buf, py::dtype dtype, size_t count, bool whole = false) {
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(count)};
  const ByteBuffer::Block block = whole ? buf.release_whole() : buf.release_block();
  if (!block.data) return py::array(dtype, shape);
  py::capsule owner;
  try {
    owner = py::capsule(new ByteBuffer::Block(block), [](void* p) {
      auto* b = static_cast<ByteBuffer::Block*>(p);
      ByteBuffer::free_block(*b);
      delete b;
    });
  } catch (...) {
    ByteBuffer::free_block(block);
    throw;
  }
  return py::array(dtype, shape, block.data, owner);
}

// Room for n items of `item` bytes on a block of its own, large ones on kept
// pages, with no interpreter lock needed (array_taking(b, dtype, n, true)
// hands it out). `estimate`: a reader's first arrays, sized by a guess and
// soon outgrown.
inline uint8_t* reserve_block(ByteBuffer& b, size_t n, size_t item, bool estimate = false) {
  if (item && n > SIZE_MAX / item) throw std::bad_alloc();
  const size_t bytes = n * item;
  b.reserve_exact(std::max<size_t>(bytes, 1), estimate);
  b.commit(bytes);
  return b.data();
}

// A reader's block grown to n items, the first `used` kept; the outgrown
// pages go back to the system (kept, they would add to the read's peak
// memory).
inline void regrow_block(ByteBuffer& b, size_t n, size_t item, size_t used) {
  ByteBuffer bigger;
  reserve_block(bigger, n, item);
  if (used) std::memcpy(bigger.data(), b.data(), used * item);
  ByteBuffer::Block old = b.release_whole();
  old.keep = false;
  ByteBuffer::free_block(old);
  b = std::move(bigger);
}

// A block of `capacity` items of which `used` are results copied to one of
// their size when they fill less than half of it (its pages to the kept
// ones).
inline void shrink_block(ByteBuffer& b, size_t used, size_t capacity, size_t item) {
  if (used >= capacity / 2) return;
  ByteBuffer smaller;
  reserve_block(smaller, used, item);
  if (used) std::memcpy(smaller.data(), b.data(), used * item);
  b = std::move(smaller);
}

// An uninitialised array of n items on a block of its own, large ones on
// kept pages: a loop over logs reuses the pages of the arrays it dropped.
inline py::array block_array(py::dtype dtype, size_t n, bool estimate = false) {
  const size_t item = static_cast<size_t>(dtype.itemsize());
  if (item && n > SIZE_MAX / item) throw std::bad_alloc();
  if (n * item < (size_t(1) << 20))
    return py::array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
  ByteBuffer buf;
  reserve_block(buf, n, item, estimate);
  return array_taking(buf, dtype, n, true);
}

// The column's pair; the column is left empty.
template <class Record>
py::tuple pair_of(buses::RecordColumn<Record>& col, const char* dtype_name) {
  const size_t n = col.count(), bytes = col.payload.size();
  py::array records = array_taking(col.records, py::dtype::from_args(kv_attr(dtype_name)), n);
  py::array payload = array_taking(col.payload, py::dtype::of<uint8_t>(), bytes);
  return py::make_tuple(records, payload);
}

// An empty pair of a bus, for a log that holds none of its records.
inline py::tuple empty_pair(const char* dtype_name) {
  const std::vector<py::ssize_t> none{0};
  return py::make_tuple(py::array(py::dtype::from_args(kv_attr(dtype_name)), none),
                        py::array(py::dtype::of<uint8_t>(), none));
}

// The names of a `buses` argument, each once, in order.
inline std::vector<std::string> bus_names(py::handle buses) {
  std::vector<std::string> names;
  for (py::handle b : py::iterable(py::reinterpret_borrow<py::object>(buses))) {
    if (!PyUnicode_Check(b.ptr())) throw py::type_error("buses must hold str, got " + type_name(b));
    const std::string name = b.cast<std::string>();
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  return names;
}

// The pairs named, of a reader that reads CAN frames, LIN and Ethernet
// records (FlexRay: none); the columns are left empty.
inline py::dict bus_pairs(const std::vector<std::string>& names, const py::object& frames,
                          buses::RecordColumn<buses::LinRecord>& lin,
                          buses::RecordColumn<buses::EthernetRecord>& ethernet) {
  py::dict out;
  for (const std::string& n : names) {
    if (n == "can")
      out["can"] = frames;
    else if (n == "lin")
      out["lin"] = pair_of(lin, "LIN");
    else if (n == "ethernet")
      out["ethernet"] = pair_of(ethernet, "ETHERNET");
    else if (n == "flexray")
      out["flexray"] = empty_pair("FLEXRAY");
    else
      throw py::value_error("unknown bus '" + n + "'");
  }
  return out;
}

}  // namespace korvel::bind

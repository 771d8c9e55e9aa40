// to_homo, to_index_chunk and concat: argument checks, NumPy outputs and
// printed lines here; the record walks and payload copies in the core.
#include "reshape.hpp"

#include <pybind11/eval.h>

#include <cstring>
#include <string>
#include <vector>

namespace korvel::bind {

namespace {

py::module_ numpy() { return py::module_::import("numpy"); }

py::array new_array(const py::dtype& dtype, size_t n) {
  return py::array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
}

// Raises NumPy's own error for the maximum of an empty array.
[[noreturn]] void raise_empty_reduction(const py::array& index) {
  numpy().attr("amax")(index[py::str("len")]);
  throw py::value_error("zero-size array to reduction operation maximum which has no identity");
}

std::string u64(uint64_t v) { return std::to_string(v); }

}  // namespace

std::pair<py::object, py::object> unpack_pair(py::handle pair) {
  // Compiled once and kept for the life of the process, like the globals.
  static PyObject* helper = [] {
    py::dict scope;
    scope["__builtins__"] = py::module_::import("builtins");
    py::exec("def unpack2(pair):\n    a, b = pair\n    return a, b\n", scope);
    return py::object(scope["unpack2"]).release().ptr();
  }();
  py::tuple ab = py::handle(helper)(pair);
  return {ab[0], ab[1]};
}

py::dtype inline_dtype(size_t width) {
  if (width == MAX_DATA_WIDTH) return dt64_dtype();
  return py::handle(globals().module).attr("newType")(width);
}

PairInput prepare_pair(py::handle index_chunk_tuple) {
  auto items = unpack_pair(index_chunk_tuple);
  PairInput in;
  in.index = frame_view(items.first, "index", dt_dtype(), "DT");
  in.chunk = bytes_view(items.second, "chunk");
  in.records =
      PairRecords{in.index.data, in.index.size, in.index.stride, in.chunk.data, in.chunk.size};
  in.scan = scan_pair(in.records);
  if (in.scan.bad_index < in.index.size) {
    const char* p = in.index.data + static_cast<ptrdiff_t>(in.scan.bad_index) * in.index.stride;
    const DT_t r = blf::load<DT_t>(reinterpret_cast<const uint8_t*>(p));
    throw py::value_error("Frame record " + u64(in.scan.bad_index) +
                          " addresses payload bytes past the end of the payload array (offset " +
                          u64(loc_offset(r.loc)) + ", " + u64(loc_count(r.loc)) +
                          " bytes stored, payload array length " + u64(in.chunk.size) + ")");
  }
  if (in.index.size == 0) raise_empty_reduction(in.index.keep);
  return in;
}

namespace {

py::array to_homo(py::object index_chunk_tuple, bool verbose) {
  PairInput in = prepare_pair(index_chunk_tuple);
  const size_t width = in.scan.max_len;
  py::dtype dtype = inline_dtype(width);
  py::array out = new_array(dtype, in.index.size);
  const size_t itemsize = static_cast<size_t>(dtype.itemsize());
  pair_to_inline(in.records, static_cast<char*>(out.mutable_data()),
                 static_cast<ptrdiff_t>(itemsize), width);
  if (verbose)
    print_line("to_homo: tot_mem=" + u64(static_cast<uint64_t>(in.index.size) * itemsize));
  return out;
}

// The record layout of newType(W) for some W, or the input cast to DT64.
struct InlineInput {
  InlineRecords records;
  py::array keep;
};

InlineInput inline_input(py::handle homo_arr) {
  if (py::isinstance<py::array>(homo_arr)) {
    auto arr = py::reinterpret_borrow<py::array>(homo_arr);
    const py::ssize_t itemsize = arr.dtype().itemsize();
    if (arr.ndim() == 1 && itemsize >= static_cast<py::ssize_t>(RECORD_DATA_OFFSET) &&
        arr.dtype().attr("names").is_none() == false) {
      const size_t width = static_cast<size_t>(itemsize) - RECORD_DATA_OFFSET;
      if (arr.dtype().equal(inline_dtype(width))) {
        return InlineInput{
            InlineRecords{static_cast<const char*>(arr.data()), static_cast<size_t>(arr.shape(0)),
                          arr.strides(0), std::min(width, MAX_DATA_WIDTH)},
            arr};
      }
    }
  }
  require_1d_array(homo_arr, "homo_arr");
  py::object cast = homo_arr.attr("astype")(dt64_dtype());
  StridedView v = frame_view(cast, "homo_arr", dt64_dtype(), "DT64");
  return InlineInput{InlineRecords{v.data, v.size, v.stride, MAX_DATA_WIDTH}, v.keep};
}

py::tuple to_index_chunk(py::object homo_arr, bool verbose) {
  InlineInput in = inline_input(homo_arr);
  const size_t n = in.records.count;
  const uint64_t total = inline_payload_total(in.records);
  py::array index = new_array(dt_dtype(), n);
  py::array chunk = new_array(py::dtype::of<uint8_t>(), static_cast<size_t>(total));
  inline_to_pair(in.records, static_cast<DT_t*>(index.mutable_data()),
                 static_cast<uint8_t*>(chunk.mutable_data()));
  if (verbose)
    print_line("to_index_chunk: tot_mem=(" + u64(static_cast<uint64_t>(n) * sizeof(DT_t)) + " + " +
               u64(total) + ") Bytes");
  return py::make_tuple(index, chunk);
}

py::ssize_t first_dim(py::handle a) { return py::cast<py::ssize_t>(a.attr("shape")[py::int_(0)]); }

py::tuple concat(py::object list_of_tuples) {
  // Materialised once, so any iterable (a generator too) is walked once.
  py::list pairs(list_of_tuples);
  std::vector<std::pair<py::object, py::object>> items;
  items.reserve(pairs.size());
  for (py::handle p : pairs) {
    items.push_back(unpack_pair(p));
    require_1d_array(items.back().first, "index");
    require_1d_array(items.back().second, "chunk");
  }

  uint64_t n_records = 0, n_bytes = 0;
  for (auto& it : items) n_records += static_cast<uint64_t>(first_dim(it.first));
  for (auto& it : items) n_bytes += static_cast<uint64_t>(first_dim(it.second));

  py::array index = new_array(dt_dtype(), static_cast<size_t>(n_records));
  py::array chunk = new_array(py::dtype::of<uint8_t>(), static_cast<size_t>(n_bytes));
  DT_t* out_index = static_cast<DT_t*>(index.mutable_data());
  uint8_t* out_chunk = static_cast<uint8_t*>(chunk.mutable_data());

  uint64_t i = 0, c = 0;
  for (auto& it : items) {
    const uint64_t ni = static_cast<uint64_t>(first_dim(it.first));
    const uint64_t nc = static_cast<uint64_t>(first_dim(it.second));
    const bool native_index = py::isinstance<py::array>(it.first) &&
                              py::reinterpret_borrow<py::array>(it.first).ndim() == 1 &&
                              py::reinterpret_borrow<py::array>(it.first).dtype().equal(dt_dtype());
    if (native_index) {
      StridedView v = frame_view(it.first, "index", dt_dtype(), "DT");
      copy_rebased(v.data, v.size, v.stride, c, out_index + i);
    } else {
      // Any other record layout goes through NumPy: copy, rebase, store by
      // position. Plain element types have no fields to take a loc from.
      if (py::reinterpret_borrow<py::array>(it.first).dtype().attr("names").is_none())
        throw py::value_error(
            "Buffer dtype mismatch for argument 'index' (expected DT records, "
            "got " +
            std::string(py::str(it.first.attr("dtype"))) + ")");
      py::object copy = it.first.attr("copy")();
      py::object loc = copy[py::str("loc")];
      loc.attr("__iadd__")(py::int_(c));
      index[py::slice(static_cast<py::ssize_t>(i), static_cast<py::ssize_t>(i + ni), 1)] = copy;
    }
    const bool native_chunk =
        py::isinstance<py::array>(it.second) &&
        py::reinterpret_borrow<py::array>(it.second).ndim() == 1 &&
        py::reinterpret_borrow<py::array>(it.second).dtype().equal(py::dtype::of<uint8_t>());
    if (native_chunk) {
      BytesView b = bytes_view(it.second, "chunk");
      if (b.size) std::memcpy(out_chunk + c, b.data, b.size);
    } else {
      chunk[py::slice(static_cast<py::ssize_t>(c), static_cast<py::ssize_t>(c + nc), 1)] =
          it.second;
    }
    i += ni;
    c += nc;
  }
  return py::make_tuple(index, chunk);
}

}  // namespace

void register_reshape(py::module_& m) {
  m.def("to_homo", &to_homo, py::arg("index_chunk_tuple"), py::kw_only(), py::arg("verbose") = true,
        "Frames pair -> homogeneous array with each payload inline (data as wide as the "
        "largest len).");
  m.def("to_index_chunk", &to_index_chunk, py::arg("homo_arr"), py::kw_only(),
        py::arg("verbose") = true,
        "Homogeneous array -> frames pair (DT records, payloads back to back).");
  m.def("concat", &concat, py::arg("list_of_tuples"),
        "Join frames pairs into one, rebasing each record's payload offset.");

  publish(m, "to_homo",
          "to_homo(index_chunk_tuple, *, verbose=True)\n--\n\n"
          "A frames pair as a homogeneous array: each record with its payload inline,\n"
          "in a data field as wide as the largest len (newType(width)); bytes past a\n"
          "record's stored count are zero. Prints \"to_homo: tot_mem=...\".\n\n"
          "Keywords (extensions):\n"
          "verbose: False prints nothing.\n\n"
          "Raises TypeError or ValueError for arrays of the wrong type or shape, and for\n"
          "payload offsets outside the payload array.");
  publish(m, "to_index_chunk",
          "to_index_chunk(homo_arr, *, verbose=True)\n--\n\n"
          "A homogeneous array as a frames pair (index, chunk): DT records and their\n"
          "payloads back to back, min(len, data width) bytes each. Prints\n"
          "\"to_index_chunk: tot_mem=(...)\".\n\n"
          "Keywords (extensions):\n"
          "verbose: False prints nothing.\n\n"
          "Raises TypeError or ValueError for an array that is not one-dimensional or\n"
          "not of a DT64-like record type.");
  publish(m, "concat",
          "concat(list_of_tuples)\n--\n\n"
          "Join frames pairs into one, in order: records one after the other, payloads\n"
          "back to back, each record's payload offset moved to where its payload now\n"
          "lies.\n\n"
          "Raises TypeError or ValueError for anything that is not a sequence of frames\n"
          "pairs, and for payload offsets outside a pair's payload array.");
}

}  // namespace korvel::bind

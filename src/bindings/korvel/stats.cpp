// Bus statistics over a frames pair: bits per frame, bus load per window,
// cycle times and gaps. Arguments are checked here; the passes run in the
// core with the interpreter lock released.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common.hpp"
#include "stats/bits.hpp"
#include "stats/busload.hpp"
#include "stats/cycles.hpp"

namespace korvel::bind {

namespace {

namespace ks = korvel::stats;

korvel::FrameView frames_of(py::handle index, py::handle chunk, StridedView& idx,
                            BytesView& bytes) {
  idx = frame_view(index, "index", dt_dtype(), "DT");
  bytes = bytes_view(chunk, "chunk");
  return frames_view(idx, bytes);
}

std::string hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

std::string bits_fault_text(const korvel::FrameView& f, size_t i, ks::BitsFault fault) {
  DT_t r;
  std::memcpy(&r, f.records + static_cast<ptrdiff_t>(i) * f.stride, sizeof r);
  const std::string at = "frame " + std::to_string(i) + ": ";
  switch (fault) {
    case ks::BitsFault::ClassicLength:
      return at + "a classic frame cannot have length " + std::to_string(r.len);
    case ks::BitsFault::FdLength:
      return at + "a CAN FD frame cannot have length " + std::to_string(r.len);
    case ks::BitsFault::FdRemote:
      return at + "a CAN FD frame cannot be a remote frame";
    case ks::BitsFault::BaseId:
      return at + "base identifier " + hex(r.can_id) + " does not fit 11 bits";
    default:
      return at + "payload of " + std::to_string(loc_count(r.loc)) + " bytes at offset " +
             std::to_string(loc_offset(r.loc)) + " lies beyond the payload array of " +
             std::to_string(f.chunk_size) + " bytes";
  }
}

[[noreturn]] void raise_bits_fault(const korvel::FrameView& f, size_t i, ks::BitsFault fault) {
  throw py::value_error(bits_fault_text(f, i, fault));
}

// What a pass that skipped records hands back beside its result: (how many,
// the first one's fault as text, or None).
py::tuple skipped_note(const korvel::FrameView& f, size_t count, size_t first,
                       ks::BitsFault fault) {
  if (!count) return py::make_tuple(0, py::none());
  return py::make_tuple(count, bits_fault_text(f, first, fault));
}

template <class T>
py::array column(const std::vector<T>& v) {
  py::array a(py::dtype::of<T>(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(v.size())});
  if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(T));
  return a;
}

// skip: records no bus could carry get 0 bits, and the result is (bits,
// (skipped, first fault as text or None)).
py::object frame_bits(py::handle index, py::handle chunk, bool skip) {
  StridedView idx;
  BytesView bytes;
  const korvel::FrameView f = frames_of(index, chunk, idx, bytes);
  py::array out(py::dtype::of<uint16_t>(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(f.n)});
  auto* total = static_cast<uint16_t*>(out.mutable_data());
  ks::BitsOutcome res;
  {
    py::gil_scoped_release unlocked;
    res = ks::frames_bits(f, total, skip);
  }
  if (res.fault != ks::BitsFault::None &&
      (!skip || res.fault == ks::BitsFault::Payload || !res.skipped))
    raise_bits_fault(f, res.bad, res.fault);
  if (!skip) return std::move(out);
  return py::make_tuple(out, skipped_note(f, res.skipped, res.bad, res.fault));
}

// 256 rates (bit/s), 0 where a channel has none.
void rates_of(py::handle obj, const char* name, double* out) {
  StridedView v = typed_view(obj, name, py::dtype::of<double>(), "float64");
  if (v.size != 256) throw py::value_error(std::string(name) + " must hold 256 rates");
  for (size_t c = 0; c < 256; ++c)
    std::memcpy(out + c, v.data + static_cast<ptrdiff_t>(c) * v.stride, sizeof(double));
}

// skip: records no bus could carry are left out, and the result is (columns,
// (skipped, first fault as text or None)).
py::object busload(py::handle index, py::handle chunk, py::handle nominal, py::handle data,
                   int64_t window, bool skip) {
  if (window < 1) throw py::value_error("window must be at least 1 ns");
  StridedView idx;
  BytesView bytes;
  const korvel::FrameView f = frames_of(index, chunk, idx, bytes);
  ks::LoadOptions o;
  rates_of(nominal, "bitrate", o.nominal_rate);
  rates_of(data, "data_bitrate", o.data_rate);
  o.window = window;
  o.skip = skip;
  ks::LoadTable t;
  ks::LoadOutcome res;
  {
    py::gil_scoped_release unlocked;
    res = ks::busload(f, o, t);
  }
  switch (res.fault) {
    case ks::LoadFault::None:
      break;
    case ks::LoadFault::Frame:
      raise_bits_fault(f, res.frame, res.bits);
    case ks::LoadFault::NoRate:
      throw py::value_error("no bitrate for channel " + std::to_string(res.channel));
    case ks::LoadFault::NoDataRate:
      throw py::value_error("frame " + std::to_string(res.frame) +
                            " switches its bit rate on channel " + std::to_string(res.channel) +
                            ", which has no data_bitrate");
    case ks::LoadFault::TooManyRows:
      throw py::value_error("windows of " + std::to_string(window) + " ns over these frames make " +
                            std::to_string(res.rows) +
                            " rows; give a longer window (timestamps far apart?)");
  }
  py::dict d;
  d["start"] = column(t.start);
  d["channel"] = column(t.channel);
  d["frames"] = column(t.frames);
  d["data_frames"] = column(t.data_frames);
  d["remote_frames"] = column(t.remote_frames);
  d["error_frames"] = column(t.error_frames);
  d["bits"] = column(t.bits);
  d["busy"] = column(t.busy);
  d["load"] = column(t.load);
  if (!skip) return std::move(d);
  return py::make_tuple(d, skipped_note(f, res.skipped, res.first_skipped, res.skipped_bits));
}

// A sorted key array and its values (float64), of one length.
void keyed(py::handle keys, py::handle values, const char* what, std::vector<uint32_t>& k_out,
           std::vector<double>& v_out) {
  StridedView k = typed_view(keys, what, py::dtype::of<uint32_t>(), "uint32");
  StridedView e = typed_view(values, what, py::dtype::of<double>(), "float64");
  if (k.size != e.size)
    throw py::value_error(std::string(what) + ": keys and values differ in length");
  for (size_t i = 0; i < k.size; ++i) {
    uint32_t key;
    double ns;
    std::memcpy(&key, k.data + static_cast<ptrdiff_t>(i) * k.stride, sizeof key);
    std::memcpy(&ns, e.data + static_cast<ptrdiff_t>(i) * e.stride, sizeof ns);
    if (i && key <= k_out.back()) throw py::value_error("keys must be sorted and distinct");
    k_out.push_back(key);
    v_out.push_back(ns);
  }
}

// pgn: None, or (keys by PGN and source, their periods, keys by PGN, their
// periods); database: gaps only where a period is expected, else none in
// transport-protocol traffic.
py::tuple cycles(py::handle index, py::handle chunk, double gap, py::handle keys,
                 py::handle expected, py::handle pgn, bool database) {
  StridedView idx;
  BytesView bytes;
  const korvel::FrameView f = frames_of(index, chunk, idx, bytes);
  ks::CycleOptions o;
  o.gap = gap;
  keyed(keys, expected, "expected", o.expected_keys, o.expected);
  if (!pgn.is_none()) {
    py::tuple t = py::reinterpret_borrow<py::tuple>(pgn);
    if (t.size() != 4) throw py::value_error("pgn must hold 4 arrays");
    keyed(t[0], t[1], "pgn", o.pgn_source_keys, o.pgn_source_expected);
    keyed(t[2], t[3], "pgn", o.pgn_keys, o.pgn_expected);
  }
  o.only_expected = database;
  o.transport_without_gaps = !database;
  ks::CycleTable t;
  ks::GapTable g;
  // Work room from NumPy, which asks for huge pages.
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(f.n)};
  py::array group(py::dtype::of<uint32_t>(), shape), times(py::dtype::of<int64_t>(), shape);
  ks::CycleWork work;
  work.group = static_cast<uint32_t*>(group.mutable_data());
  work.timestamps = static_cast<int64_t*>(times.mutable_data());
  {
    py::gil_scoped_release unlocked;
    ks::cycles(f, o, t, g, work);
  }
  py::dict c;
  c["channel"] = column(t.channel);
  c["can_id"] = column(t.can_id);
  c["extended"] = column(t.extended);
  c["count"] = column(t.count);
  c["first"] = column(t.first);
  c["last"] = column(t.last);
  c["period"] = column(t.period);
  c["period_min"] = column(t.period_min);
  c["period_max"] = column(t.period_max);
  c["jitter"] = column(t.jitter);
  c["expected"] = column(t.expected);
  c["gaps"] = column(t.gaps);
  py::dict d;
  d["channel"] = column(g.channel);
  d["can_id"] = column(g.can_id);
  d["extended"] = column(g.extended);
  d["start"] = column(g.start);
  d["stop"] = column(g.stop);
  d["length"] = column(g.length);
  return py::make_tuple(c, d);
}

}  // namespace

void register_stats(py::module_& m) {
  m.def("_frame_bits", &frame_bits, py::arg("index"), py::arg("chunk"), py::arg("skip") = false,
        "Bits each frame occupies on the wire (uint16), as korvel.stats.frame_bits; with\n"
        "skip, (bits, (skipped, first fault)): records no bus could carry get 0 bits.");
  m.def("_busload", &busload, py::arg("index"), py::arg("chunk"), py::arg("bitrate"),
        py::arg("data_bitrate"), py::arg("window"), py::arg("skip") = false,
        "Bus load columns per channel and window, as korvel.stats.busload; with skip,\n"
        "(columns, (skipped, first fault)): records no bus could carry left out.");
  m.def("_cycles", &cycles, py::arg("index"), py::arg("chunk"), py::arg("gap"), py::arg("keys"),
        py::arg("expected"), py::arg("pgn") = py::none(), py::arg("database") = false,
        "Cycle-time and gap columns, as korvel.stats.cycles. pgn: None or (keys by PGN and\n"
        "source, periods, keys by PGN, periods) for J1939 matching; database: gaps only\n"
        "where a period is expected (else none in transport-protocol traffic).");
}

}  // namespace korvel::bind

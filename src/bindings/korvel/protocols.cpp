// The protocol passes: a frames pair in, a transfers pair out. The dtype of
// transfer records (_TRANSFER, published by korvel.transfers) is built here,
// field by field from the native record, so the two cannot drift apart.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"
#include "protocols/isotp.hpp"
#include "protocols/j1939.hpp"

namespace korvel::bind {

namespace {

namespace kp = korvel::protocols;

PyObject* transfer_dtype = nullptr;  // held for the life of the process

py::object make_transfer_dtype() {
  using R = kp::TransferRecord;
  py::list names, formats, offsets;
  auto field = [&](const char* name, const char* format, size_t offset) {
    names.append(name);
    formats.append(format);
    offsets.append(offset);
  };
  field("start", "<i8", offsetof(R, start));
  field("stop", "<i8", offsetof(R, stop));
  field("can_id", "<u4", offsetof(R, can_id));
  field("channel", "u1", offsetof(R, channel));
  field("flags", "u1", offsetof(R, flags));
  field("protocol", "u1", offsetof(R, protocol));
  field("status", "u1", offsetof(R, status));
  field("source", "u1", offsetof(R, source));
  field("destination", "u1", offsetof(R, destination));
  field("size", "<u4", offsetof(R, size));
  field("received", "<u4", offsetof(R, received));
  field("offset", "<u8", offsetof(R, offset));
  py::dict layout;
  layout["names"] = names;
  layout["formats"] = formats;
  layout["offsets"] = offsets;
  layout["itemsize"] = sizeof(R);
  layout["aligned"] = true;
  return py::module_::import("numpy").attr("dtype")(layout);
}

py::dtype transfer_dtype_object() { return py::reinterpret_borrow<py::dtype>(transfer_dtype); }

korvel::FrameView frames_of(py::handle index, py::handle chunk, StridedView& idx,
                            BytesView& bytes) {
  idx = frame_view(index, "index", dt_dtype(), "DT");
  bytes = bytes_view(chunk, "chunk");
  return frames_view(idx, bytes);
}

// channels: None for every channel, else an iterable of channel numbers.
std::vector<bool> channel_set(py::handle channels) {
  std::vector<bool> out;
  if (channels.is_none()) return out;
  out.assign(256, false);
  for (py::handle c : py::iter(channels)) {
    if (!PyLong_Check(c.ptr()) || PyBool_Check(c.ptr()))
      throw py::type_error("channels must hold int channel numbers, got " + type_name(c));
    const long long ch = PyLong_AsLongLong(c.ptr());
    if (ch == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (ch < 0 || ch > 255)
      throw py::value_error("channel " + std::to_string(ch) + " is outside 0..255");
    out[static_cast<size_t>(ch)] = true;
  }
  return out;
}

// The finished transfers as (records, payload, first_frames) NumPy arrays,
// in order of start (ties by first frame); `done` is emptied.
py::tuple transfers_triple(kp::TransferList& done) {
  const size_t bytes = kp::order_transfers(done);
  const auto n = static_cast<py::ssize_t>(done.items.size());
  py::array records(transfer_dtype_object(), std::vector<py::ssize_t>{n});
  py::array payload(py::dtype::of<uint8_t>(),
                    std::vector<py::ssize_t>{static_cast<py::ssize_t>(bytes)});
  py::array first(py::dtype::of<uint64_t>(), std::vector<py::ssize_t>{n});
  auto* r = static_cast<kp::TransferRecord*>(records.mutable_data());
  auto* p = static_cast<uint8_t*>(payload.mutable_data());
  auto* f = static_cast<uint64_t*>(first.mutable_data());
  {
    py::gil_scoped_release unlocked;
    for (size_t i = 0; i < done.items.size(); ++i) f[i] = done.items[i].first_frame;
    kp::lay_out_transfers(done, r, p);
  }
  return py::make_tuple(records, payload, first);
}

void check_fault(const kp::FrameFault& fault, size_t chunk_size) {
  if (fault.ok) return;
  throw py::value_error("frame " + std::to_string(fault.frame) + ": payload of " +
                        std::to_string(fault.length) + " bytes at offset " +
                        std::to_string(fault.offset) + " lies beyond the payload array of " +
                        std::to_string(chunk_size) + " bytes");
}

kp::J1939Options j1939_options(py::handle fast_packet, py::handle channels) {
  kp::J1939Options options;
  for (py::handle p : py::iter(fast_packet)) {
    if (!PyLong_Check(p.ptr()) || PyBool_Check(p.ptr()))
      throw py::type_error("fast_packet must hold int PGNs, got " + type_name(p));
    const long long pgn = PyLong_AsLongLong(p.ptr());
    if (pgn == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (pgn < 0 || pgn > 0x3FFFF)
      throw py::value_error("fast_packet: PGN " + std::to_string(pgn) + " is outside 0..0x3FFFF");
    options.fast_packet.push_back(static_cast<uint32_t>(pgn));
  }
  options.channels = channel_set(channels);
  return options;
}

kp::IsotpOptions isotp_options(py::handle ids, const std::string& addressing, py::handle channels) {
  kp::IsotpOptions options;
  if (ids.is_none()) {
    options.ids = kp::standard_diagnostic_ids();
  } else {
    // Checked by korvel.isotp: (lo, hi, step, extended) each.
    for (py::handle item : py::iter(ids)) {
      py::tuple t = py::reinterpret_borrow<py::tuple>(item);
      if (t.size() != 4) throw py::value_error("ids: (lo, hi, step, extended) tuples expected");
      kp::IdRange r;
      r.lo = t[0].cast<uint32_t>();
      r.hi = t[1].cast<uint32_t>();
      r.step = std::max<uint32_t>(1, t[2].cast<uint32_t>());
      r.extended = t[3].cast<bool>();
      if (r.hi > 0x1FFFFFFF) throw py::value_error("ids: identifier above 0x1FFFFFFF");
      options.ids.push_back(r);
    }
  }
  if (addressing == "normal")
    options.addressing = kp::Addressing::normal;
  else if (addressing == "extended")
    options.addressing = kp::Addressing::extended;
  else if (addressing == "mixed")
    options.addressing = kp::Addressing::mixed;
  else
    throw py::value_error("addressing must be 'normal', 'extended' or 'mixed'");
  options.channels = channel_set(channels);
  return options;
}

// A reassembler that frames are fed to piece by piece. One call at a time:
// the state is worked on with the interpreter lock released.
template <class Reassembler>
class Transfers {
 public:
  template <class Options>
  explicit Transfers(Options options) : r_(std::move(options)) {}

  py::tuple feed(py::handle index, py::handle chunk) {
    Busy busy(*this);
    StridedView idx;
    BytesView bytes;
    const korvel::FrameView f = frames_of(index, chunk, idx, bytes);
    kp::FrameFault fault;
    {
      py::gil_scoped_release unlocked;
      fault = r_.feed(f);
    }
    check_fault(fault, bytes.size);
    return transfers_triple(r_.done);
  }

  py::tuple finish() {
    Busy busy(*this);
    r_.finish();
    return transfers_triple(r_.done);
  }

 private:
  struct Busy {
    explicit Busy(Transfers& owner) : t(owner) {
      if (t.busy_) throw py::value_error("the reassembler is in use by another call");
      t.busy_ = true;
    }
    ~Busy() { t.busy_ = false; }
    Transfers& t;
  };
  Reassembler r_;
  bool busy_ = false;  // set and read with the interpreter lock held
};

using J1939Transfers = Transfers<kp::J1939Reassembler>;
using IsotpTransfers = Transfers<kp::IsotpReassembler>;

template <class T>
void bind_transfers(py::class_<T>& c) {
  c.def("feed", &T::feed, py::arg("index"), py::arg("chunk"),
        "The transfers that ended in these frames: (records, payload, first_frames).")
      .def("finish", &T::finish,
           "The log ended: the open sessions, cut: (records, payload, first_frames).");
}

}  // namespace

void register_protocols(py::module_& m) {
  transfer_dtype = make_transfer_dtype().release().ptr();
  m.attr("_TRANSFER") = py::handle(transfer_dtype);
  py::class_<J1939Transfers> j1939(m, "_J1939Transfers",
                                   "J1939 transport protocol sessions and NMEA 2000 fast packets,\n"
                                   "reassembled from frames fed piece by piece in log order\n"
                                   "(korvel.j1939.transfers' engine).");
  j1939.def(py::init([](py::handle fast_packet, py::handle channels) {
              return new J1939Transfers(j1939_options(fast_packet, channels));
            }),
            py::arg("fast_packet"), py::arg("channels"));
  bind_transfers(j1939);
  py::class_<IsotpTransfers> isotp(m, "_IsotpTransfers",
                                   "ISO-TP transfers reassembled from frames fed piece by piece\n"
                                   "in log order (korvel.isotp.transfers' engine). ids: None for\n"
                                   "the standard diagnostic identifiers, else (lo, hi, step,\n"
                                   "extended) tuples.");
  isotp.def(py::init([](py::handle ids, const std::string& addressing, py::handle channels) {
              return new IsotpTransfers(isotp_options(ids, addressing, channels));
            }),
            py::arg("ids"), py::arg("addressing"), py::arg("channels"));
  bind_transfers(isotp);
}

}  // namespace korvel::bind

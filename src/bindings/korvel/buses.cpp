// The other buses of a BLF log (LIN, Ethernet, FlexRay), its events and its
// channel list, from one walk of the log; Ethernet frames as pcapng. This
// layer only turns the core's records into NumPy arrays and Python objects.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus_arrays.hpp"
#include "buses/objects.hpp"
#include "buses/sink.hpp"
#include "common.hpp"
#include "export/pcapng.hpp"
#include "walk.hpp"

namespace korvel::bind {

using namespace korvel::buses;

namespace {

py::object np_dtype(py::list fields) { return py::module_::import("numpy").attr("dtype")(fields); }

py::list lin_fields() {
  py::list l;
  l.append(py::make_tuple("timestamp", "<i8"));
  l.append(py::make_tuple("channel", "<u2"));
  l.append(py::make_tuple("checksum", "<u2"));
  l.append(py::make_tuple("id", "u1"));
  l.append(py::make_tuple("dlc", "u1"));
  l.append(py::make_tuple("flags", "u1"));
  l.append(py::make_tuple("object_type", "u1"));
  l.append(py::make_tuple("loc", "<u8"));
  return l;
}

py::list ethernet_fields() {
  py::list l;
  l.append(py::make_tuple("timestamp", "<i8"));
  l.append(py::make_tuple("channel", "<u2"));
  l.append(py::make_tuple("hardware_channel", "<u2"));
  l.append(py::make_tuple("length", "<u2"));
  l.append(py::make_tuple("flags", "u1"));
  l.append(py::make_tuple("object_type", "u1"));
  l.append(py::make_tuple("loc", "<u8"));
  return l;
}

py::list flexray_fields() {
  py::list l;
  l.append(py::make_tuple("timestamp", "<i8"));
  l.append(py::make_tuple("channel", "<u2"));
  l.append(py::make_tuple("slot", "<u2"));
  l.append(py::make_tuple("cycle", "u1"));
  l.append(py::make_tuple("object_type", "u1"));
  l.append(py::make_tuple("flags", "<u2"));
  l.append(py::make_tuple("loc", "<u8"));
  return l;
}

const char* type_name_of(uint32_t type) {
  switch (type) {
    case 5:
      return "APP_TRIGGER";
    case 6:
      return "ENV_INTEGER";
    case 7:
      return "ENV_DOUBLE";
    case 8:
      return "ENV_STRING";
    case 9:
      return "ENV_DATA";
    case 11:
      return "LIN_MESSAGE";
    case 12:
      return "LIN_CRC_ERROR";
    case 14:
      return "LIN_RCV_ERROR";
    case 15:
      return "LIN_SND_ERROR";
    case 18:
      return "LIN_SYN_ERROR";
    case 20:
      return "LIN_SLEEP";
    case 21:
      return "LIN_WAKEUP";
    case 29:
      return "FLEXRAY_DATA";
    case 41:
      return "FLEXRAY_MESSAGE";
    case 50:
      return "FR_RCVMESSAGE";
    case 57:
      return "LIN_MESSAGE2";
    case 58:
      return "LIN_SND_ERROR2";
    case 59:
      return "LIN_SYN_ERROR2";
    case 60:
      return "LIN_CRC_ERROR2";
    case 61:
      return "LIN_RCV_ERROR2";
    case 62:
      return "LIN_WAKEUP2";
    case 65:
      return "APP_TEXT";
    case 66:
      return "FR_RCVMESSAGE_EX";
    case 71:
      return "ETHERNET_FRAME";
    case 72:
      return "SYS_VARIABLE";
    case 91:
      return "OVERRUN_ERROR";
    case 92:
      return "EVENT_COMMENT";
    case 96:
      return "GLOBAL_MARKER";
    case 120:
      return "ETHERNET_FRAME_EX";
    case 121:
      return "ETHERNET_FRAME_FORWARDED";
    case 128:
      return "TRIGGER_CONDITION";
    default:
      return "";
  }
}

// Objects too short for their fixed fields: a BLFWarning each kind (and a
// printed line when verbose), or entries of the _notices list.
void report_skipped(const BusSink& sink, bool verbose, py::object collect) {
  for (const auto& [type, count] : sink.skipped) {
    std::string what = type_name_of(type);
    if (what.empty()) what = "type " + std::to_string(type);
    const std::string text = "skipped " + std::to_string(count) + " " + what + " object" +
                             (count == 1 ? "" : "s") + " too short for their fields";
    if (!collect.is_none()) {
      py::list(collect).append(py::make_tuple("skipped", text, py::none(), py::none()));
      continue;
    }
    if (verbose) print_line("load blf: " + text);
    if (PyErr_WarnEx(globals().blf_warning, text.c_str(), 1) < 0) throw py::error_already_set();
  }
}

struct Walked {
  std::unique_ptr<BusSink> sink;
  py::tuple frames;
  double since = 0;
  uint32_t object_count = 0;
};

Walked walk(py::object file, const Wanted& wanted, bool frames, py::object threads, bool verbose,
            const std::string& errors, py::object start, py::object stop, py::object containers,
            bool scan_ahead, py::object collect) {
  Walked w;
  w.since = now_seconds();
  w.sink = std::make_unique<BusSink>(wanted);
  WalkExtras x;
  x.objects = w.sink.get();
  x.frames = frames;
  x.cost_line = false;
  w.frames = read_walk(file, threads, verbose, containers, errors, start, stop, true, false,
                       scan_ahead, true, collect, x);
  w.object_count = x.object_count;
  if (x.windowed) {
    py::gil_scoped_release unlocked;
    w.sink->keep_window(x.start, x.stop);
  }
  report_skipped(*w.sink, verbose, collect);
  return w;
}

void cost(const Walked& w, const std::vector<std::pair<const char*, size_t>>& counts) {
  std::string line = "load blf cost " + format_fixed2((now_seconds() - w.since) * 1000) +
                     "ms, obj_cnt=" + std::to_string(w.object_count);
  for (const auto& [name, n] : counts) line += std::string(", ") + name + "=" + std::to_string(n);
  print_line(line);
}

py::tuple read_one(py::object file, const char* bus, py::object threads, bool verbose,
                   const std::string& errors, py::object start, py::object stop,
                   py::object containers, bool scan_ahead, py::object collect) {
  Wanted wanted;
  const std::string b = bus;
  wanted.lin = b == "lin";
  wanted.ethernet = b == "ethernet";
  wanted.flexray = b == "flexray";
  Walked w = walk(file, wanted, false, threads, verbose, errors, start, stop, containers,
                  scan_ahead, collect);
  py::tuple pair;
  size_t n = 0;
  if (wanted.lin) {
    n = w.sink->lin.count();
    pair = pair_of(w.sink->lin, "LIN");
  } else if (wanted.ethernet) {
    n = w.sink->ethernet.count();
    pair = pair_of(w.sink->ethernet, "ETHERNET");
  } else {
    n = w.sink->flexray.count();
    pair = pair_of(w.sink->flexray, "FLEXRAY");
  }
  if (verbose) cost(w, {{(b == "lin" ? "lin_cnt" : b == "ethernet" ? "eth_cnt" : "fr_cnt"), n}});
  return pair;
}

// Text of the log (Windows-1252, as the format's writers store it).
py::str text_of(const BusSink& s, const TextRef& t) {
  const char* p = reinterpret_cast<const char*>(s.text.data()) + t.offset;
  PyObject* o =
      PyUnicode_Decode(t.size ? p : "", static_cast<Py_ssize_t>(t.size), "cp1252", "replace");
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

// A variable's value from its data bytes by its type; the bytes themselves
// when they do not fit it.
py::object value_of(const BusSink& s, const EventRecord& e) {
  const uint8_t* p = s.text.data() + e.second.offset;
  const size_t n = e.second.size;
  auto fixed = [&](size_t width, auto one) -> py::object {
    if (n == 0 || n % width) return py::bytes(reinterpret_cast<const char*>(p), n);
    if (n == width) return one(p);
    py::list l;
    for (size_t i = 0; i < n; i += width) l.append(one(p + i));
    return py::tuple(l);
  };
  auto f64 = [](const uint8_t* q) -> py::object {
    double v;
    std::memcpy(&v, q, 8);
    return py::float_(v);
  };
  auto i32 = [](const uint8_t* q) -> py::object {
    int32_t v;
    std::memcpy(&v, q, 4);
    return py::int_(v);
  };
  auto i64 = [](const uint8_t* q) -> py::object {
    int64_t v;
    std::memcpy(&v, q, 8);
    return py::int_(v);
  };
  switch (e.value_type) {
    case 1:  // double
    case 9:
      return n == 8 ? f64(p) : py::object(py::bytes(reinterpret_cast<const char*>(p), n));
    case 2:  // long
    case 8:
      return n == 4 ? i32(p) : py::object(py::bytes(reinterpret_cast<const char*>(p), n));
    case 6:
      return n == 8 ? i64(p) : py::object(py::bytes(reinterpret_cast<const char*>(p), n));
    case 3:  // string
    case 10: {
      TextRef t = e.second;
      while (t.size && s.text.data()[t.offset + t.size - 1] == 0) --t.size;
      return text_of(s, t);
    }
    case 4:
      return fixed(8, f64);
    case 5:
      return fixed(4, i32);
    default:
      return py::bytes(reinterpret_cast<const char*>(p), n);
  }
}

const char* kind_name(EventKind k) {
  switch (k) {
    case EventKind::Marker:
      return "marker";
    case EventKind::Comment:
      return "comment";
    case EventKind::AppText:
      return "app text";
    case EventKind::Trigger:
      return "trigger";
    case EventKind::TriggerCondition:
      return "trigger";
    case EventKind::SystemVariable:
      return "system variable";
    case EventKind::EnvironmentVariable:
      return "environment variable";
    case EventKind::Overrun:
      return "overrun";
  }
  return "";
}

py::array object_array(const py::list& items) {
  py::module_ np = py::module_::import("numpy");
  py::array a = np.attr("empty")(py::len(items), py::str("object"));
  for (size_t i = 0; i < items.size(); ++i) a.attr("__setitem__")(i, items[i]);
  return a;
}

// The events as columns.
py::dict events_table(const BusSink& s) {
  const size_t n = s.events.size();
  py::array_t<int64_t> ts(static_cast<py::ssize_t>(n));
  py::array_t<int32_t> channel(static_cast<py::ssize_t>(n));
  py::list kind, bus, text, group, description, name, database, value;
  static const char* const triggers[] = {"single trigger", "logging start", "logging stop"};
  for (size_t i = 0; i < n; ++i) {
    const EventRecord& e = s.events[i];
    ts.mutable_at(i) = e.timestamp;
    channel.mutable_at(i) = e.channel;
    kind.append(kind_name(e.kind));
    bus.append(bus_name(e.bus));
    py::object t = text_of(s, e.text), g = py::str(""), d = py::str(""), nm = py::str(""),
               db = py::str(""), v = py::none();
    switch (e.kind) {
      case EventKind::Marker:
        g = text_of(s, e.first);
        d = text_of(s, e.second);
        break;
      case EventKind::AppText:
        if (e.detail == 1) {
          db = text_of(s, e.first);
          nm = text_of(s, e.second);
        }
        break;
      case EventKind::Trigger:
        t = py::str(e.detail < 3 ? triggers[e.detail] : "trigger");
        break;
      case EventKind::TriggerCondition:
        nm = text_of(s, e.first);
        break;
      case EventKind::SystemVariable:
      case EventKind::EnvironmentVariable:
        nm = text_of(s, e.first);
        v = value_of(s, e);
        t = py::str(nm) + py::str(" = ") + py::str(py::repr(v));
        break;
      default:
        break;
    }
    text.append(t);
    group.append(g);
    description.append(d);
    name.append(nm);
    database.append(db);
    value.append(v);
  }
  py::dict table;
  table["timestamp"] = ts;
  table["kind"] = object_array(kind);
  table["channel"] = channel;
  table["bus"] = object_array(bus);
  table["text"] = object_array(text);
  table["group"] = object_array(group);
  table["description"] = object_array(description);
  table["name"] = object_array(name);
  table["database"] = object_array(database);
  table["value"] = object_array(value);
  return table;
}

// The channel list as columns, by bus and channel; names and databases from
// APP_TEXT's channel information.
py::dict channel_table(const BusSink& s) {
  std::vector<ChannelRow> rows = s.channels;
  std::sort(rows.begin(), rows.end(), [](const ChannelRow& a, const ChannelRow& b) {
    return std::make_pair(std::string(bus_name(a.bus)), a.channel) <
           std::make_pair(std::string(bus_name(b.bus)), b.channel);
  });
  const size_t n = rows.size();
  py::array_t<uint16_t> channel(static_cast<py::ssize_t>(n));
  py::array_t<int64_t> objects(static_cast<py::ssize_t>(n)), first(static_cast<py::ssize_t>(n)),
      last(static_cast<py::ssize_t>(n));
  py::list bus, name, database;
  for (size_t i = 0; i < n; ++i) {
    const ChannelRow& r = rows[i];
    channel.mutable_at(i) = r.channel;
    objects.mutable_at(i) = static_cast<int64_t>(r.objects);
    first.mutable_at(i) = r.first;
    last.mutable_at(i) = r.last;
    bus.append(bus_name(r.bus));
    py::object nm = py::str(""), db = py::str("");
    // The last word of the log on the channel counts.
    for (const EventRecord& e : s.events)
      if (e.kind == EventKind::AppText && e.detail == 1 && e.bus == r.bus &&
          e.channel == static_cast<int32_t>(r.channel)) {
        db = text_of(s, e.first);
        nm = text_of(s, e.second);
      }
    name.append(nm);
    database.append(db);
  }
  py::dict table;
  table["bus"] = object_array(bus);
  table["channel"] = channel;
  table["objects"] = objects;
  table["first"] = first;
  table["last"] = last;
  table["name"] = object_array(name);
  table["database"] = object_array(database);
  return table;
}

Wanted buses_arg(py::handle buses, bool& can) {
  Wanted w;
  can = false;
  if (PyUnicode_Check(buses.ptr()))
    throw py::type_error("buses must be a sequence of bus names, not a str");
  for (py::handle b : py::iter(buses)) {
    if (!PyUnicode_Check(b.ptr())) throw py::type_error("buses must hold str, got " + type_name(b));
    const std::string s = py::str(b);
    if (s == "can")
      can = true;
    else if (s == "lin")
      w.lin = true;
    else if (s == "ethernet")
      w.ethernet = true;
    else if (s == "flexray")
      w.flexray = true;
    else if (s == "events")
      w.events = true;
    else
      throw py::value_error("unknown bus '" + s +
                            "' (buses are 'can', 'lin', 'ethernet', 'flexray' and 'events')");
  }
  return w;
}

py::dict read_buses(py::object file, py::object buses, py::object threads, bool verbose,
                    const std::string& errors, py::object start, py::object stop,
                    py::object containers, bool scan_ahead, py::object collect) {
  bool can = false;
  const Wanted wanted = buses_arg(buses, can);
  Walked w = walk(file, wanted, can, threads, verbose, errors, start, stop, containers, scan_ahead,
                  collect);
  py::dict out;
  std::vector<std::pair<const char*, size_t>> counts;
  if (can) {
    out["can"] = w.frames;
    counts.emplace_back("frm_cnt", py::len(w.frames[0]));
  }
  if (wanted.lin) {
    counts.emplace_back("lin_cnt", w.sink->lin.count());
    out["lin"] = pair_of(w.sink->lin, "LIN");
  }
  if (wanted.ethernet) {
    counts.emplace_back("eth_cnt", w.sink->ethernet.count());
    out["ethernet"] = pair_of(w.sink->ethernet, "ETHERNET");
  }
  if (wanted.flexray) {
    counts.emplace_back("fr_cnt", w.sink->flexray.count());
    out["flexray"] = pair_of(w.sink->flexray, "FLEXRAY");
  }
  if (wanted.events) {
    out["events"] = events_table(*w.sink);
    counts.emplace_back("evt_cnt", w.sink->events.size());
  }
  if (verbose) cost(w, counts);
  return out;
}

py::dict events(py::object file, py::object threads, bool verbose, const std::string& errors,
                py::object start, py::object stop, py::object containers, bool scan_ahead,
                py::object collect) {
  Wanted wanted;
  wanted.events = true;
  Walked w = walk(file, wanted, false, threads, verbose, errors, start, stop, containers,
                  scan_ahead, collect);
  if (verbose) cost(w, {{"evt_cnt", w.sink->events.size()}});
  return events_table(*w.sink);
}

py::dict channels(py::object file, py::object threads, bool verbose, const std::string& errors,
                  bool scan_ahead, py::object collect) {
  Wanted wanted;
  wanted.events = true;  // APP_TEXT names the channels
  wanted.channels = true;
  Walked w = walk(file, wanted, false, threads, verbose, errors, py::none(), py::none(), py::none(),
                  scan_ahead, collect);
  return channel_table(*w.sink);
}

size_t write_pcapng(py::object file, py::object frames, bool verbose) {
  const double since = now_seconds();
  if (!PyTuple_Check(frames.ptr()) && !PyList_Check(frames.ptr()))
    throw py::type_error(
        "frames must be an Ethernet pair (records, payload) as read_ethernet "
        "gives it, got " +
        type_name(frames));
  py::sequence pair = py::reinterpret_borrow<py::sequence>(frames);
  if (py::len(pair) != 2)
    throw py::type_error("frames must be an Ethernet pair (records, payload)");
  StridedView records = typed_view(pair[0], "frames[0]", py::dtype::from_args(kv_attr("ETHERNET")),
                                   "ETHERNET records");
  BytesView payload = bytes_view(pair[1], "frames[1]");
  ByteBuffer out;
  std::string error;
  bool ok;
  {
    py::gil_scoped_release unlocked;
    ok = pcapng::write(records.data, records.size, records.stride, payload.data, payload.size,
                       "korvel", out, error);
  }
  if (!ok) throw py::value_error(error);
  py::bytes blob(reinterpret_cast<const char*>(out.data()), out.size());
  py::object path = path_of(file);
  if (path) {
    py::object f = py::module_::import("builtins").attr("open")(file, "wb");
    try {
      f.attr("write")(blob);
    } catch (...) {
      f.attr("close")();
      throw;
    }
    f.attr("close")();
  } else {
    check_binary_stream(file, "write_pcapng", "wb");
    file.attr("write")(blob);
  }
  if (verbose)
    print_line("write pcapng cost " + format_fixed2((now_seconds() - since) * 1000) +
               "ms, eth_cnt=" + std::to_string(records.size) +
               ", bytes=" + std::to_string(out.size()));
  return records.size;
}

}  // namespace

void register_buses(py::module_& m) {
  py::module_ np = py::module_::import("numpy");
  m.attr("LIN") = np_dtype(lin_fields());
  m.attr("ETHERNET") = np_dtype(ethernet_fields());
  m.attr("FLEXRAY") = np_dtype(flexray_fields());

  auto one = [&m](const char* name, const char* bus) {
    m.def(
        name,
        [bus](py::object file, py::object threads, bool verbose, const std::string& errors,
              py::object start, py::object stop, py::object containers, bool scan_ahead,
              py::object collect) {
          return read_one(file, bus, threads, verbose, errors, start, stop, containers, scan_ahead,
                          collect);
        },
        py::arg("file"), py::kw_only(), py::arg("threads") = py::none(), py::arg("verbose") = true,
        py::arg("errors") = "raise", py::arg("start") = py::none(), py::arg("stop") = py::none(),
        py::arg("containers") = py::none(), py::arg("_scan_ahead") = false,
        py::arg("_notices") = py::none());
  };
  one("read_lin", "lin");
  one("read_ethernet", "ethernet");
  one("read_flexray", "flexray");
  m.def("read_buses", &read_buses, py::arg("file"),
        py::arg("buses") = py::make_tuple("can", "lin", "ethernet", "flexray", "events"),
        py::kw_only(), py::arg("threads") = py::none(), py::arg("verbose") = true,
        py::arg("errors") = "raise", py::arg("start") = py::none(), py::arg("stop") = py::none(),
        py::arg("containers") = py::none(), py::arg("_scan_ahead") = false,
        py::arg("_notices") = py::none());
  m.def("events", &events, py::arg("file"), py::kw_only(), py::arg("threads") = py::none(),
        py::arg("verbose") = true, py::arg("errors") = "raise", py::arg("start") = py::none(),
        py::arg("stop") = py::none(), py::arg("containers") = py::none(),
        py::arg("_scan_ahead") = false, py::arg("_notices") = py::none());
  m.def("_channels", &channels, py::arg("file"), py::kw_only(), py::arg("threads") = py::none(),
        py::arg("verbose") = false, py::arg("errors") = "raise", py::arg("_scan_ahead") = false,
        py::arg("_notices") = py::none());
  m.def("write_pcapng", &write_pcapng, py::arg("file"), py::arg("frames"), py::kw_only(),
        py::arg("verbose") = true);

  publish(m, "read_lin",
          "read_lin(file, *, threads=None, verbose=True, errors='raise', start=None,\n"
          "         stop=None, containers=None)\n--\n\n"
          "Read the LIN frames of a BLF log into a LIN pair (records, payload).\n\n"
          "Records (kv.LIN): timestamp (int64 ns), channel, checksum, id, dlc, flags,\n"
          "object_type (the BLF object read) and loc (payload offset + stored count << 48,\n"
          "as in DT). From LIN_MESSAGE and LIN_MESSAGE2, and as records flagged 0x10\n"
          "(not a frame) the checksum errors (also 0x20, with their data), receive, send\n"
          "and sync errors and wake-up (0x40) and sleep (0x80) events. 0x04: received;\n"
          "0x01: the object declares more data bytes than it holds (dlc above 8): those it\n"
          "holds are kept.\n\n"
          "file, threads, verbose, errors, start, stop, containers: as for read(); times\n"
          "are exact integer nanoseconds (as read(..., exact_time=True) gives them).\n\n"
          "Objects too short for their fields are skipped, with a BLFWarning. Raises what\n"
          "read() raises.");
  publish(m, "read_ethernet",
          "read_ethernet(file, *, threads=None, verbose=True, errors='raise', start=None,\n"
          "              stop=None, containers=None)\n--\n\n"
          "Read the Ethernet frames of a BLF log into an ETHERNET pair (records, payload).\n\n"
          "Records (kv.ETHERNET): timestamp (int64 ns), channel, hardware_channel, length\n"
          "(the frame length the object declares), flags (0x04 received, 0x01 the object\n"
          "holds fewer bytes than it declares), object_type and loc over the whole frame\n"
          "from its destination address. From ETHERNET_FRAME (its header put back in wire\n"
          "order, VLAN tag included), ETHERNET_FRAME_EX and ETHERNET_FRAME_FORWARDED.\n\n"
          "Keywords as for read_lin().");
  publish(m, "read_flexray",
          "read_flexray(file, *, threads=None, verbose=True, errors='raise', start=None,\n"
          "             stop=None, containers=None)\n--\n\n"
          "Read the FlexRay frames of a BLF log into a FLEXRAY pair (records, payload).\n\n"
          "Records (kv.FLEXRAY): timestamp (int64 ns), channel, slot (frame id), cycle,\n"
          "object_type, flags (uint16: 0x02 channel A, 0x08 channel B, 0x04 received, 0x10\n"
          "null frame, 0x20 sync, 0x40 startup, 0x80 payload preamble, 0x100 error, 0x01\n"
          "fewer bytes held than declared) and loc over the payload. From FR_RCVMESSAGE,\n"
          "FR_RCVMESSAGE_EX, FLEXRAY_DATA and FLEXRAY_MESSAGE.\n\n"
          "Keywords as for read_lin().");
  publish(m, "read_buses",
          "read_buses(file, buses=('can', 'lin', 'ethernet', 'flexray', 'events'), *,\n"
          "           threads=None, verbose=True, errors='raise', start=None, stop=None,\n"
          "           containers=None)\n--\n\n"
          "Read several buses of a BLF log in one walk (no container is inflated twice).\n\n"
          "Returns a dict with one entry per name in `buses`: 'can' the frames pair\n"
          "(read(..., exact_time=True)), 'lin', 'ethernet' and 'flexray' the pairs of\n"
          "read_lin(), read_ethernet() and read_flexray(), 'events' the table of events().\n\n"
          "Keywords as for read_lin(). ValueError for an unknown bus name.");
  publish(m, "events",
          "events(file, *, threads=None, verbose=True, errors='raise', start=None,\n"
          "       stop=None, containers=None)\n--\n\n"
          "The log's events as a table: a dict of equally long NumPy columns, in file\n"
          "order (pandas.DataFrame(events(...)) makes a frame of it).\n\n"
          "timestamp (int64 ns); kind: 'marker', 'comment', 'app text', 'trigger',\n"
          "'system variable', 'environment variable' or 'overrun'; channel (int32, -1\n"
          "where the object names none); bus ('CAN', 'LIN', ... where known); text (the\n"
          "marker's name, the comment, the application's text, 'logging start' and the\n"
          "like, a trigger condition, 'name = value' of a variable); group and description\n"
          "(a marker's); name (a variable's, a trigger block's, or the channel name an\n"
          "APP_TEXT's channel information gives); database (that information's database);\n"
          "value (a variable's value: int, float, str, a tuple of them, or bytes).\n\n"
          "Keywords as for read_lin().");
  publish(m, "write_pcapng",
          "write_pcapng(file, frames, *, verbose=True)\n--\n\n"
          "Write an Ethernet pair (as read_ethernet gives it) as pcapng to a path or a\n"
          "binary stream: one interface per channel (named 'ETH <channel>', nanosecond\n"
          "timestamps), one packet per frame with its direction (inbound for received\n"
          "frames) and original length. Returns the number of packets.\n\n"
          "Raises TypeError or ValueError for arrays that are not an Ethernet pair or\n"
          "payload locations outside the payload array.");
}

}  // namespace korvel::bind

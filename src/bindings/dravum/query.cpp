// The Query class: construction with its tables and expression namespace
// `_glob`, the loading operations and the attribute fallback. The query
// methods themselves are added from expr.cpp, message_queries.cpp and
// signal_queries.cpp, in the order the class lists them.
#include "common.hpp"

namespace korvel::dravum {

void add_filter_map(py::handle cls);
void add_message_queries(py::handle cls);
void add_signal_queries(py::handle cls);

namespace {

py::handle set_type() { return py::handle((PyObject*)&PySet_Type); }

void query_init(py::object self, py::object) {
  for (const char* table : {"msg_dict", "msg_idx", "sig_dict", "sig_idx"})
    py::setattr(self, table, py::dict());
  // (can_id, signal name) -> the multiplexers that must select a frame for it
  // to carry the signal, read from the databases; the decoders follow them.
  py::setattr(self, "_mux", py::dict());
  py::dict glob;
  glob["__self__"] = self;
  for (const char* name : {"np", "P", "isin", "interp", "dt2ts"}) glob[name] = global(name);
  glob["signals"] = global("LazySignals")(self);
  py::setattr(self, "_glob", glob);
  glob.attr("update")(global("FLAG_FUNCS"));
  py::object class_dict = global("Query").attr("__dict__");
  for (py::handle k : global("QUERY_FUNCS")) glob[k] = class_dict[k];
}

void add_messages(py::object self, py::object msgs) {
  py::object msg_dict = self.attr("msg_dict");
  py::object msg_idx = self.attr("msg_idx");
  for (py::handle m : py::iter(msgs)) {
    msg_dict[m.attr("name")] = m;
    msg_idx[m.attr("can_id")] = m;
  }
}

// `items or []`: the receivers to merge, nothing when falsy.
py::object or_empty(py::object items) { return truthy(items) ? items : py::list(); }

void add_signals(py::object self, py::object signals) {
  py::dict rsets;
  py::object sig_dict = self.attr("sig_dict");
  py::object sig_idx = self.attr("sig_idx");
  for (py::handle s : py::iter(signals)) {
    sig_dict[s.attr("name")] = s;
    py::object can_id = s.attr("can_id");
    sig_idx[can_id] = sig_idx.attr("get")(can_id, set_type()());
    sig_idx[can_id].attr("add")(s);
    rsets[can_id] = rsets.attr("get")(can_id, set_type()());
    rsets[can_id].attr("update")(or_empty(s.attr("receivers")));
  }
  for (py::handle m : self.attr("msg_dict").attr("values")()) {
    py::object rset = rsets.attr("get")(m.attr("can_id"), set_type()());
    rset.attr("update")(or_empty(m.attr("receivers")));
    py::setattr(m, "receivers", py::list(rset));
  }
}

void add_multiplexers(py::object self, py::object dbc);

// The database's messages and signals as records, produced lazily (as
// generators would) so that a failing record leaves the earlier ones stored.
void add_database(py::object self, py::object dbc) {
  py::handle map_type((PyObject*)&PyMap_Type);
  py::object to_message = py::cpp_function([](py::object m) {
    return global("Message")(m.attr("frame_id"), m.attr("name"), m.attr("senders"),
                             m.attr("receivers"), m.attr("comment"));
  });
  self.attr("addMessages")(map_type(to_message, dbc.attr("messages")));

  py::object signals_of = py::cpp_function([map_type](py::object m) {
    py::object to_signal = py::cpp_function([m](py::object s) {
      return global("Signal")(m.attr("frame_id"), s.attr("name"), s.attr("start"), s.attr("length"),
                              s.attr("scale"), s.attr("offset"), s.attr("byte_order"),
                              s.attr("is_signed"), s.attr("is_float"), s.attr("unit"),
                              s.attr("receivers"), s.attr("comment"));
    });
    return map_type(to_signal, m.attr("signals"));
  });
  py::object chain = py::module_::import("itertools").attr("chain").attr("from_iterable");
  self.attr("addSignals")(chain(map_type(signals_of, dbc.attr("messages"))));
  add_multiplexers(self, dbc);
}

// The multiplexer chain of a cantools signal: (start, length, big_endian,
// is_signed, ids) of its multiplexer, then of that one's, and so on.
py::tuple multiplexer_chain(py::handle message, py::handle signal) {
  py::list chain;
  py::object none = py::none();
  py::object cur = py::reinterpret_borrow<py::object>(signal);
  const size_t most = py::len(message.attr("signals"));
  for (size_t depth = 0; depth <= most; ++depth) {
    py::object mux_name = py::getattr(cur, "multiplexer_signal", none);
    py::object ids = py::getattr(cur, "multiplexer_ids", none);
    if (mux_name.is_none() || !truthy(ids)) break;
    py::object mux;
    for (py::handle s : message.attr("signals"))
      if (truthy(compare(s.attr("name"), mux_name, Py_EQ)))
        mux = py::reinterpret_borrow<py::object>(s);
    if (!mux) break;
    chain.append(py::make_tuple(mux.attr("start"), mux.attr("length"),
                                compare(mux.attr("byte_order"), py::str("big_endian"), Py_EQ),
                                mux.attr("is_signed"), py::tuple(ids)));
    cur = mux;
  }
  return py::tuple(chain);
}

// Remembers which signals of the database are multiplexed, and by what.
void add_multiplexers(py::object self, py::object dbc) {
  py::object table;
  try {
    table = plain_getattr(self, "_mux");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    return;  // made without the constructor: decoders without multiplexers
  }
  for (py::handle m : dbc.attr("messages")) {
    for (py::handle s : m.attr("signals")) {
      if (py::getattr(s, "multiplexer_signal", py::none()).is_none()) continue;
      py::tuple chain = multiplexer_chain(m, s);
      if (chain.size()) table[py::make_tuple(m.attr("frame_id"), s.attr("name"))] = chain;
    }
  }
}

py::object query_getattr(py::object self, py::object a) {
  // `_glob` is read without this fallback, so an object made without its
  // constructor answers AttributeError instead of recursing.
  py::object glob;
  try {
    glob = plain_getattr(self, "_glob");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
  }
  if (glob) {
    py::object v = glob.attr("get")(a);
    if (truthy(v)) return v;
  }
  PyObject* text = PyObject_Format(a.ptr(), nullptr);
  if (!text) throw py::error_already_set();
  py::str name = py::reinterpret_steal<py::str>(text);
  throw py::attribute_error(py::str("查询器中没有\"{}\"属性").format(name).cast<std::string>());
}

// Pickling. The namespace holds modules, flag predicates and the query itself,
// so a query travels as its instance attributes without `_glob`, plus the
// decoders its `signals` has built (they keep their definition even if a later
// database changed the signal); loading makes the namespace anew.
py::tuple query_reduce(py::object self) {
  py::dict attrs;
  for (auto item : py::reinterpret_borrow<py::dict>(plain_getattr(self, "__dict__")))
    if (!truthy(compare(item.first, py::str("_glob"), Py_EQ))) attrs[item.first] = item.second;
  py::object decoders = py::dict();
  try {
    py::object signals = plain_getattr(self, "_glob").attr("get")("signals");
    if (!signals.is_none()) decoders = plain_getattr(signals, "_cache");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError)) throw;  // made without the constructor
  }
  py::object newobj = py::module_::import("copyreg").attr("__newobj__");
  py::handle cls((PyObject*)Py_TYPE(self.ptr()));
  return py::make_tuple(newobj, py::make_tuple(cls), py::make_tuple(attrs, decoders));
}

// Made by copyreg.__newobj__ without __init__ (a subclass's constructor may
// want arguments): the base construction first, then the saved attributes.
void query_setstate(py::object self, py::object state) {
  if (!py::isinstance<py::tuple>(state) || py::len(state) != 2)
    throw py::type_error("a Query's state is a tuple (attributes, decoders)");
  query_init(self, py::none());
  plain_getattr(self, "__dict__").attr("update")(state[py::int_(0)]);
  py::object signals = plain_getattr(self, "_glob")["signals"];
  plain_getattr(signals, "_cache").attr("update")(state[py::int_(1)]);
}

}  // namespace

void register_query(py::module_& m) {
  py::object cls = make_class("Query", py::dict());
  m.attr("Query") = cls;
  static const char* const keywords[] = {"self", nullptr};
  def_init(cls, &query_init, "O:__init__", keywords);
  def_method(cls, "addMessages", &add_messages, py::arg("msgs"));
  def_method(cls, "addSignals", &add_signals, py::arg("signals"));
  def_method(cls, "addDatabase", &add_database, py::arg("dbc"),
             py::doc("添加一个DBC数据库（使用cantools.database.load_file加载的）"));
  add_filter_map(cls);
  add_message_queries(cls);
  add_signal_queries(cls);
  def_method(cls, "__getattr__", &query_getattr, py::arg("a"));
  def_method(cls, "__reduce__", &query_reduce);
  static const char* const state_keywords[] = {"self", "state", nullptr};
  def_c_method(cls, "__setstate__", &query_setstate, "OO:__setstate__", state_keywords);
}

}  // namespace korvel::dravum

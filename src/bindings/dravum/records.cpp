// The records Message and Signal (made by the standard dataclasses machinery
// at import), the lazy signal decoder container LazySignals, and the tables
// FLAG_MASKS, FLAG_FUNCS, QUERY_FUNCS and QUERY_FUNCS_PTN.
#include <vector>

#include "common.hpp"

namespace korvel::dravum {

namespace {

// One dataclass field: name, annotation text, and its default (a
// dataclasses.field(...) object, or null for a required field).
struct FieldSpec {
  const char* name;
  const char* annotation;
  py::object default_;
};

py::object make_dataclass(const char* name, const char* doc, const std::vector<FieldSpec>& fields,
                          void (*add_methods)(py::handle cls) = nullptr) {
  py::dict annotations;
  py::dict ns;
  for (const FieldSpec& f : fields) {
    annotations[f.name] = f.annotation;
    if (f.default_) ns[f.name] = f.default_;
  }
  ns["__annotations__"] = annotations;
  ns["__doc__"] = doc;
  py::object cls = make_class(name, ns);
  if (add_methods) add_methods(cls);
  return global("dataclass")(cls);
}

py::object field_default(py::object value) { return global("field")(py::arg("default") = value); }

py::object field_list() {
  return global("field")(py::arg("default_factory") = py::handle((PyObject*)&PyList_Type));
}

// "can_id|name", the text a Signal hashes and compares by.
py::str identity_text(py::handle sig) {
  py::object can_id = sig.attr("can_id");
  py::object name = sig.attr("name");
  PyObject* a = PyObject_Format(can_id.ptr(), nullptr);
  if (!a) throw py::error_already_set();
  py::str left = py::reinterpret_steal<py::str>(a);
  PyObject* b = PyObject_Format(name.ptr(), nullptr);
  if (!b) throw py::error_already_set();
  py::str right = py::reinterpret_steal<py::str>(b);
  return py::str("{}|{}").format(left, right);
}

void add_signal_identity(py::handle cls) {
  def_method(cls, "__hash__", [](py::object self) {
    Py_hash_t h = PyObject_Hash(identity_text(self).ptr());
    if (h == -1) throw py::error_already_set();
    return py::int_(h);
  });
  def_method(
      cls, "__eq__",
      [](py::object self, py::object s) -> py::object {
        py::object same_type =
            compare(py::handle((PyObject*)Py_TYPE(s.ptr())), globals().signal, Py_EQ);
        if (!truthy(same_type)) return same_type;
        return compare(self.attr("__hash__")(), s.attr("__hash__")(), Py_EQ);
      },
      py::arg("s"));
}

// The decoder of a signal record, with its multiplexer chain; `lazy` is the
// LazySignals whose query holds the chains.
py::object build_decoder(py::object lazy, py::object sig) {
  py::object can_id = sig.attr("can_id");
  py::object start = sig.attr("start");
  py::object length = sig.attr("length");
  py::object big_endian = compare(sig.attr("byte_order"), py::str("big_endian"), Py_EQ);
  py::object is_signed = sig.attr("is_signed");
  py::object is_float = sig.attr("is_float");
  py::object scale = sig.attr("scale");
  py::object offset = sig.attr("offset");
  // A multiplexed signal's decoder also takes its multiplexer chain, so that
  // frames whose multiplexer selects another group give no value.
  py::object chain;
  try {
    py::object table = plain_getattr(plain_getattr(lazy, "_qry"), "_mux");
    chain = table.attr("get")(py::make_tuple(can_id, sig.attr("name")));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
  }
  py::object decoder = global("fb").attr("signal_decoder");
  if (chain && truthy(chain))
    return decoder(can_id, start, length, big_endian, is_signed, is_float, scale, offset,
                   py::arg("multiplexers") = chain);
  return decoder(can_id, start, length, big_endian, is_signed, is_float, scale, offset);
}

// signals.SignalName: the decoder of that signal, built on first use. A name
// that is no signal but a message gives that message's signals, as
// signals.Message.Signal (a name that is both stays the signal).
py::object lazy_signals_getattr(py::object self, py::object x) {
  py::object cache = plain_getattr(self, "_cache");
  py::object v = cache.attr("get")(x);
  if (truthy(v)) return v;
  py::object qry = plain_getattr(self, "_qry");
  py::object sig = qry.attr("sig_dict").attr("get")(x);
  if (!truthy(sig)) {
    py::object message = qry.attr("msg_dict").attr("get")(x);
    if (message.is_none()) raise_with(PyExc_KeyError, x);
    py::handle cls(globals().message_signals);
    py::object of = py::handle((PyObject*)&PyBaseObject_Type).attr("__new__")(cls);
    py::setattr(of, "_lazy", self);
    py::setattr(of, "_message", message);
    return of;
  }
  v = build_decoder(self, sig);
  cache[x] = v;
  return v;
}

// signals.Message.Signal: the decoder of that message's signal, cached under
// (message, signal) beside the plain names.
py::object message_signals_getattr(py::object self, py::object x) {
  py::object lazy = plain_getattr(self, "_lazy");
  py::object message = plain_getattr(self, "_message");
  py::object cache = plain_getattr(lazy, "_cache");
  py::tuple key = py::make_tuple(message.attr("name"), x);
  py::object v = cache.attr("get")(key);
  if (truthy(v)) return v;
  py::object sigs = plain_getattr(lazy, "_qry").attr("sig_idx").attr("get")(message.attr("can_id"));
  py::object sig;
  if (!sigs.is_none())
    for (py::handle s : sigs)
      if (truthy(compare(s.attr("name"), x, Py_EQ))) sig = py::reinterpret_borrow<py::object>(s);
  if (!sig) raise_with(PyExc_KeyError, py::str("{}.{}").format(message.attr("name"), x));
  v = build_decoder(lazy, sig);
  cache[key] = v;
  return v;
}

}  // namespace

void register_records(py::module_& m) {
  py::object message = make_dataclass("Message", "消息（帧）数据类",
                                      {
                                          {"can_id", "int", {}},
                                          {"name", "str", {}},
                                          {"senders", "List[str]", field_list()},
                                          {"receivers", "List[str]", field_list()},
                                          {"comment", "str", field_default(py::str(""))},
                                      });
  m.attr("Message") = message;

  py::object signal =
      make_dataclass("Signal", "信号数据类",
                     {
                         {"can_id", "int", {}},
                         {"name", "str", {}},
                         {"start", "int", {}},
                         {"length", "int", {}},
                         {"scale", "float", field_default(py::float_(1.0))},
                         {"offset", "float", field_default(py::float_(0.0))},
                         {"byte_order", "str", field_default(py::str("big_endian"))},
                         {"is_signed", "bool", field_default(py::bool_(false))},
                         {"is_float", "bool", field_default(py::bool_(false))},
                         {"unit", "str", field_default(py::str(""))},
                         {"receivers", "List[str]", field_list()},
                         {"comment", "str", field_default(py::str(""))},
                     },
                     add_signal_identity);
  globals().signal = signal.inc_ref().ptr();
  m.attr("Signal") = signal;
}

void register_lazy_signals(py::module_& m) {
  py::dict ns;
  ns["__doc__"] = "懒加载的信号解码器容器，可用signals.SignalName方式获取信号的解码函数";
  py::object cls = make_class("LazySignals", ns);
  static const char* const keywords[] = {"self", "qry", nullptr};
  def_init(
      cls,
      [](py::object self, py::object qry) {
        py::setattr(self, "_qry", qry);
        py::setattr(self, "_cache", py::dict());
      },
      "OO:__init__", keywords);
  def_method(cls, "__getattr__", &lazy_signals_getattr, py::arg("x"));
  m.attr("LazySignals") = cls;

  py::dict mns;
  mns["__doc__"] = "The signals of one message: signals.Message.Signal(frames).";
  py::object of_message = make_class("_MessageSignals", mns);
  def_method(of_message, "__getattr__", &message_signals_getattr, py::arg("x"));
  globals().message_signals = of_message.release().ptr();
}

void register_tables(py::module_& m) {
  py::dict masks;
  masks["is_extended_id"] = 64;
  masks["is_remote_frame"] = 32;
  masks["is_error_frame"] = 16;
  masks["is_fd"] = 8;
  masks["is_rx"] = 4;
  m.attr("FLAG_MASKS") = masks;

  // Each predicate is the lambda text evaluated in the module namespace, so
  // `fb` is found there whenever the predicate runs.
  py::dict funcs;
  py::handle module_dict(PyModule_GetDict(m.ptr()));
  py::handle eval(globals().builtin_eval);
  for (auto item : masks) {
    py::dict locals;
    locals["f"] = item.first;
    locals["m"] = item.second;
    py::str text = py::str("lambda arr: fb.flag_test(arr[0], {})").format(item.second);
    funcs[item.first] = eval(text, module_dict, locals);
  }
  m.attr("FLAG_FUNCS") = funcs;

  py::list query_funcs;
  for (const char* name :
       {"message_contains", "senders_contains", "receivers_contains", "signal_contains",
        "signal_contains_and_value_eq", "signal_contains_and_value_ne"})
    query_funcs.append(name);
  m.attr("QUERY_FUNCS") = query_funcs;
  m.attr("QUERY_FUNCS_PTN") =
      py::str("(") + py::str("|").attr("join")(query_funcs) + py::str(")\\(");
}

}  // namespace korvel::dravum

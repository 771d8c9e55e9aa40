// korvel.dravum: the query layer. Binds the imported names, then the records,
// utilities, tables and the Query class, in the order the module lists them;
// each area registers its names from its own file.
#include "common.hpp"

namespace korvel::dravum {
void register_records(py::module_& m);
void register_utils(py::module_& m);
void register_lazy_signals(py::module_& m);
void register_lolist(py::module_& m);
void register_tables(py::module_& m);
void register_expr(py::module_& m);
void register_query(py::module_& m);
}  // namespace korvel::dravum

using namespace korvel::dravum;

namespace {

void import_names(py::module_& m) {
  m.attr("time") = py::module_::import("time").attr("time");
  m.attr("re") = py::module_::import("re");
  m.attr("Iterable") = py::module_::import("collections.abc").attr("Iterable");
  m.attr("np") = py::module_::import("numpy");
  m.attr("P") = py::module_::import("portion");
  m.attr("parse") = py::module_::import("dateutil.parser").attr("parse");
  m.attr("fb") = py::module_::import("korvel");
  m.attr("List") = py::module_::import("typing").attr("List");
  py::module_ dataclasses = py::module_::import("dataclasses");
  m.attr("dataclass") = dataclasses.attr("dataclass");
  m.attr("field") = dataclasses.attr("field");
}

}  // namespace

PYBIND11_MODULE(dravum, m) {
  // Docstrings are exactly the texts given, without generated signatures.
  py::options options;
  options.disable_function_signatures();

  Globals& g = globals();
  g.module = m.ptr();
  g.builtin_eval = py::object(py::module_::import("builtins").attr("eval")).release().ptr();

  // The dataclasses machinery reads the module of the classes it processes
  // from sys.modules; make sure it is there while the classes are built.
  py::dict modules = py::module_::import("sys").attr("modules");
  bool registered_here = !modules.contains("korvel.dravum");
  if (registered_here) modules["korvel.dravum"] = m;
  try {
    import_names(m);
    register_records(m);
    register_utils(m);
    register_lazy_signals(m);
    register_lolist(m);
    register_tables(m);
    register_expr(m);
    register_query(m);
  } catch (...) {
    if (registered_here) PyDict_DelItemString(modules.ptr(), "korvel.dravum");
    throw;
  }
}

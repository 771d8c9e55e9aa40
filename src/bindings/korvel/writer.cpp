#include "common.hpp"

namespace korvel::bind {

void register_writer(py::module_& m) { (void)m; }

}  // namespace korvel::bind

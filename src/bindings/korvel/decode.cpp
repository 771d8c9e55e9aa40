#include "common.hpp"

namespace korvel::bind {

void register_decode(py::module_& m) { (void)m; }

}  // namespace korvel::bind

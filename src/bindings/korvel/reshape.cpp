#include "common.hpp"

namespace korvel::bind {

void register_reshape(py::module_& m) { (void)m; }

}  // namespace korvel::bind

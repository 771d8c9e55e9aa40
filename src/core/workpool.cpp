#include "workpool.hpp"

#ifdef __linux__
#include <sched.h>
#endif

namespace korvel {

unsigned usable_cores() {
#ifdef __linux__
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
#endif
  unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

}  // namespace korvel

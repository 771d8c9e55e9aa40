#include "workpool.hpp"

#include <map>

#ifdef __linux__
#include <sched.h>
#endif
#include <unistd.h>

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

WorkPool& shared_pool(unsigned threads) {
  static std::mutex mu;
  static std::map<unsigned, WorkPool*>* pools = new std::map<unsigned, WorkPool*>();
  static pid_t owner = getpid();
  std::lock_guard<std::mutex> lock(mu);
  if (getpid() != owner) {
    // The parent's workers do not exist in a forked child.
    pools = new std::map<unsigned, WorkPool*>();
    owner = getpid();
  }
  WorkPool*& pool = (*pools)[threads];
  if (!pool) pool = new WorkPool(threads);
  return *pool;
}

}  // namespace korvel

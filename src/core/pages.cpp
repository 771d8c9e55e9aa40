#include "pages.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace korvel::pages {
namespace {

// Below this a mapping is not worth keeping: the heap serves such sizes.
constexpr size_t KEEP_FROM = size_t(2) << 20;
// A bound on the list, so that taking stays a short scan.
constexpr size_t MAX_KEPT = 64;

struct Kept {
  uint8_t* data;
  size_t size;
  Fit held;
};

// Oldest first. The list and its lock are never freed: buffers may be
// dropped while the process exits, after static destructors have run.
std::vector<Kept>* list = nullptr;
size_t total = 0;
std::mutex& guard() {
  static std::mutex* m = new std::mutex;
  return *m;
}

void unmap(const Kept& k) {
#if defined(__linux__)
  munmap(k.data, k.size);
#else
  (void)k;
#endif
}

size_t compute_limit() {
  // Megabytes as plain digits; anything else (a sign, a unit) leaves the default.
  const char* v = std::getenv("KORVEL_KEEP_MB");
  if (v && *v >= '0' && *v <= '9') {
    char* end = nullptr;
    const unsigned long long mb = std::strtoull(v, &end, 10);
    if (end != v && *end == '\0')
      return static_cast<size_t>(std::min<unsigned long long>(mb, SIZE_MAX >> 21)) << 20;
  }
  size_t cap = size_t(1) << 30;
#if defined(__linux__)
  const long n = sysconf(_SC_PHYS_PAGES), sz = sysconf(_SC_PAGESIZE);
  if (n > 0 && sz > 0) cap = std::min(cap, static_cast<size_t>(n) / 8 * static_cast<size_t>(sz));
#endif
  return cap;
}

}  // namespace

size_t limit() {
  static const size_t value = compute_limit();
  return value;
}

Span take(size_t size, Fit fit) {
  const bool best_fit = fit != Fit::Largest;
  std::lock_guard<std::mutex> lock(guard());
  if (!list) return {};
  const size_t none = list->size();
  auto pick = [&](bool grown_only) {
    size_t best = none;
    for (size_t i = 0; i < list->size(); ++i) {
      const Kept& k = (*list)[i];
      if (k.size >= size && (fit != Fit::Near || k.size / 2 <= size) &&
          (!grown_only || k.held == Fit::Largest) &&
          (best == none || (best_fit ? k.size < (*list)[best].size : k.size > (*list)[best].size)))
        best = i;
    }
    return best;
  };
  size_t best = pick(!best_fit);
  if (best == none && !best_fit) best = pick(false);
  if (best == none) return {};
  Kept& k = (*list)[best];
  // A buffer sized up front gets what it asked for, the rest stays kept: a
  // whole block handed to a small array would leave the next large one
  // fresh pages. Cut on a huge page's boundary, which keeps both parts'
  // huge pages whole.
  const size_t cut =
      size <= SIZE_MAX - (KEEP_FROM - 1) ? (size + KEEP_FROM - 1) & ~(KEEP_FROM - 1) : size;
  if (fit == Fit::Best && k.size >= cut && k.size - cut >= KEEP_FROM) {
    const Span out{k.data, cut};
    k.data += cut;
    k.size -= cut;
    total -= cut;
    return out;
  }
  const Kept whole = k;
  list->erase(list->begin() + static_cast<std::ptrdiff_t>(best));
  total -= whole.size;
  return Span{whole.data, whole.size};
}

void give(uint8_t* data, size_t size, Fit held) noexcept {
  if (!data || !size) return;
  // What is not kept is unmapped outside the lock (unmapping takes a while),
  // listed in a fixed array: this runs in destructors, where nothing may throw.
  Kept out[MAX_KEPT + 1];
  size_t n_out = 0;
  {
    const size_t cap = limit();
    std::lock_guard<std::mutex> lock(guard());
    if (size >= KEEP_FROM && size <= cap && !list) {
      try {
        list = new std::vector<Kept>();
        list->reserve(MAX_KEPT + 1);  // push_back below never allocates
      } catch (...) {
        delete list;
        list = nullptr;
      }
    }
    if (size < KEEP_FROM || size > cap || !list) {
      out[n_out++] = Kept{data, size, held};
    } else {
      list->push_back(Kept{data, size, held});
      total += size;
      size_t drop = 0;
      while (total > cap || list->size() - drop > MAX_KEPT) {
        total -= (*list)[drop].size;
        out[n_out++] = (*list)[drop++];
      }
      list->erase(list->begin(), list->begin() + static_cast<std::ptrdiff_t>(drop));
    }
  }
  for (size_t i = 0; i < n_out; ++i) unmap(out[i]);
}

size_t kept() {
  std::lock_guard<std::mutex> lock(guard());
  return total;
}

}  // namespace korvel::pages

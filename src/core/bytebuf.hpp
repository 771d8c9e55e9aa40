// A growable byte buffer that never zero-fills: fresh pages are touched only
// when data is written into them, and the buffer is reused across containers.
// Small blocks come from malloc. Large ones are mappings of their own, grown
// by remapping their pages (never copied, which realloc does to blocks it
// keeps on the heap) and backed by huge pages where the system has them: a
// fresh page costs a fault of its own, dear on these machines, and a column of
// Ethernet frames runs to hundreds of megabytes. Mappings let go of go to the
// kept pages (pages.hpp) and are taken from there first. The block can be
// handed over (release_block()).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "pages.hpp"
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace korvel {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ~ByteBuffer() { drop(); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  // A moved-from buffer is empty and holds nothing (not a stale capacity).
  ByteBuffer(ByteBuffer&& o) noexcept
      : p_(o.p_), size_(o.size_), cap_(o.cap_), warm_(o.warm_), fit_(o.fit_), mapped_(o.mapped_) {
    o.forget();
  }
  ByteBuffer& operator=(ByteBuffer&& o) noexcept {
    if (this != &o) {
      drop();
      p_ = o.p_;
      size_ = o.size_;
      cap_ = o.cap_;
      warm_ = o.warm_;
      fit_ = o.fit_;
      mapped_ = o.mapped_;
      o.forget();
    }
    return *this;
  }

  uint8_t* data() { return p_; }
  const uint8_t* data() const { return p_; }
  size_t size() const { return size_; }
  size_t capacity() const { return cap_; }

  // Makes room for `extra` more bytes after size(); returns the write
  // position. A large mapping comes from the kept pages chosen by `fit`.
  uint8_t* reserve_more(size_t extra, pages::Fit fit = pages::Fit::Largest) {
    if (extra > SIZE_MAX - size_) throw std::bad_alloc();
    const size_t need = size_ + extra;
    if (need > cap_) grow(need, fit);
    return p_ + size_;
  }
  // Room for n more bytes whose need is known up front: on the kept mapping
  // that fits best (reserve_more() takes the largest, for buffers that grow);
  // `estimate`: a first guess soon outgrown, which takes none more than
  // twice its size.
  uint8_t* reserve_exact(size_t n, bool estimate = false) {
    return reserve_more(n, estimate ? pages::Fit::Near : pages::Fit::Best);
  }
  void commit(size_t n) { size_ += n; }
  // Drops the first n bytes, keeping the rest at the front.
  void consume_front(size_t n) {
    if (n >= size_) {
      size_ = 0;
      return;
    }
    if (n) std::memmove(p_, p_ + n, size_ - n);
    size_ -= n;
  }
  void clear() { size_ = 0; }
  // Drops the last n bytes.
  void drop_back(size_t n) { size_ = n < size_ ? size_ - n : 0; }

  // A block handed over: free it with free_block().
  struct Block {
    uint8_t* data = nullptr;  // null when the buffer held nothing
    size_t mapped = 0;        // the length of its mapping; 0: from malloc
    bool keep = true;         // false: its pages go back to the system, not to the kept ones
    pages::Fit fit = pages::Fit::Largest;  // how the buffer took it
  };
  // Hands the block, cut to size(), over, leaving this empty.
  Block release_block() {
    Block b;
    if (size_ == 0) {
      drop();
      forget();
      return b;
    }
    if (mapped_) {
#if defined(__linux__)
      // Cut at a huge page's boundary, which leaves the block's huge pages
      // whole (a cut through one splits it into small pages). Of the tail,
      // what a former owner wrote is kept for the next buffer (a small
      // array handed a large kept block would otherwise waste its pages);
      // what was never written goes back, being no warmer kept.
      const size_t keep = std::min(cap_, huge_round(size_));
      const size_t warm = std::max(keep, std::min(cap_, huge_round(warm_)));
      if (warm > keep) pages::give(p_ + keep, warm - keep, fit_);
      if (warm < cap_) munmap(p_ + warm, cap_ - warm);
      b.mapped = keep;
      b.fit = fit_;
#endif
    } else if (size_ < cap_) {
      if (void* p = std::realloc(p_, size_)) p_ = static_cast<uint8_t*>(p);
    }
    b.data = p_;
    forget();
    return b;
  }
  // Hands the whole block over, its room past size() included: for an array
  // sized by an estimate, whose next like-sized successor takes the block
  // back from the kept pages (room never written costs no memory).
  Block release_whole() {
    Block b;
    if (!p_) return b;
    b.data = p_;
#if defined(__linux__)
    if (mapped_) b.mapped = cap_;
    b.fit = fit_;
#endif
    forget();
    return b;
  }
  static void free_block(const Block& b) {
#if defined(__linux__)
    if (b.mapped) {
      if (b.keep)
        pages::give(b.data, b.mapped, b.fit);
      else
        munmap(b.data, b.mapped);
      return;
    }
#endif
    std::free(b.data);
  }

 private:
  // Blocks from this size on are mappings; from HUGE_FROM on they ask for
  // huge pages (smaller ones would round a few touched bytes up to 2 MiB).
  static constexpr size_t MAP_FROM = size_t(1) << 20;
  static constexpr size_t HUGE_FROM = size_t(2) << 20;
  static size_t page_round(size_t n) { return (n + 4095) & ~size_t(4095); }
  static size_t huge_round(size_t n) {
    return n > SIZE_MAX - HUGE_FROM ? n : (n + HUGE_FROM - 1) & ~(HUGE_FROM - 1);
  }

  void grow(size_t need, pages::Fit fit) {
    // A buffer sized up front gets what it needs: doubled, 600 KB would be
    // a fresh mapping of 1 MiB instead of a block of the heap.
    const bool sized = fit != pages::Fit::Largest;
    size_t cap = cap_ ? cap_ : 4096;
    if (sized) cap = std::max(cap, need);
    while (cap < need) cap = cap > (SIZE_MAX / 2) ? need : cap * 2;
#if defined(__linux__)
    if (cap >= MAP_FROM && cap <= SIZE_MAX - 4095) {
      cap = std::max(sized ? huge_round(cap) : page_round(cap), HUGE_FROM);
      void* np;
      // A buffer sized up front asks for what it needs, not the doubled
      // capacity of a growing one: a kept block of 10 MiB serves 9 MB.
      const pages::Span kept = pages::take(
          fit == pages::Fit::Largest ? cap : std::max(huge_round(need), HUGE_FROM), fit);
      if (kept.data) {
        // Copied over rather than moved with mremap: moved pages would make a
        // mapping of two parts, which mremap no longer grows.
        np = kept.data;
        cap = kept.size;
        warm_ = cap;  // a former owner may have written any of it
        if (size_) std::memcpy(np, p_, size_);
        // The outgrown pages go back to the system: kept, they would add
        // to the peak memory of the read that outgrew them.
        if (mapped_)
          munmap(p_, cap_);
        else
          std::free(p_);
      } else if (mapped_) {
        np = mremap(p_, cap_, cap, MREMAP_MAYMOVE);
        if (np == MAP_FAILED) throw std::bad_alloc();
      } else {
        // From the first mapping on huge pages, on a 2 MiB boundary: the
        // bytes copied over and those that follow fault in 2 MiB at a time.
        np = mmap(nullptr, cap + HUGE_FROM, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                  0);
        if (np == MAP_FAILED) throw std::bad_alloc();
        const uintptr_t raw = reinterpret_cast<uintptr_t>(np);
        const uintptr_t at = (raw + HUGE_FROM - 1) & ~uintptr_t(HUGE_FROM - 1);
        if (at > raw) munmap(np, at - raw);
        if (at + cap < raw + cap + HUGE_FROM)
          munmap(reinterpret_cast<void*>(at + cap), raw + HUGE_FROM - at);
        np = reinterpret_cast<void*>(at);
#if defined(MADV_HUGEPAGE)
        madvise(np, cap, MADV_HUGEPAGE);
#endif
        if (size_) std::memcpy(np, p_, size_);
        std::free(p_);
      }
#if defined(MADV_HUGEPAGE)
      if (cap >= HUGE_FROM) madvise(np, cap, MADV_HUGEPAGE);  // a hint: failure changes nothing
#endif
      p_ = static_cast<uint8_t*>(np);
      cap_ = cap;
      fit_ = fit;
      mapped_ = true;
      return;
    }
#endif
    void* nb = std::realloc(p_, cap);
    if (!nb) throw std::bad_alloc();
    p_ = static_cast<uint8_t*>(nb);
    cap_ = cap;
  }
  void drop() {
    if (!p_) return;
#if defined(__linux__)
    if (mapped_) {
      pages::give(p_, cap_, fit_);
      return;
    }
#endif
    std::free(p_);
  }
  void forget() {
    p_ = nullptr;
    size_ = cap_ = warm_ = 0;
    fit_ = pages::Fit::Largest;
    mapped_ = false;
  }

  uint8_t* p_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
  size_t warm_ = 0;  // bytes from the start a former owner of the pages may have written
  pages::Fit fit_ = pages::Fit::Largest;  // how the mapping was taken, told to the kept pages
  bool mapped_ = false;
};

}  // namespace korvel

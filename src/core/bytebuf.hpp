// A growable byte buffer that never zero-fills: fresh pages are touched only
// when data is written into them, and the buffer is reused across containers.
// It grows by realloc, which moves large blocks by remapping their pages
// rather than copying them, and can hand its block over (release()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace korvel {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  // A moved-from buffer is empty and holds nothing (not a stale capacity).
  ByteBuffer(ByteBuffer&& o) noexcept : buf_(std::move(o.buf_)), size_(o.size_), cap_(o.cap_) {
    o.size_ = o.cap_ = 0;
  }
  ByteBuffer& operator=(ByteBuffer&& o) noexcept {
    buf_ = std::move(o.buf_);
    size_ = o.size_;
    cap_ = o.cap_;
    o.size_ = o.cap_ = 0;
    return *this;
  }

  uint8_t* data() { return buf_.get(); }
  const uint8_t* data() const { return buf_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return cap_; }

  // Makes room for `extra` more bytes after size(); returns the write position.
  uint8_t* reserve_more(size_t extra) {
    size_t need = size_ + extra;
    if (need > cap_) {
      size_t cap = cap_ ? cap_ : 4096;
      while (cap < need) cap = cap > (SIZE_MAX / 2) ? need : cap * 2;
      void* nb = std::realloc(buf_.get(), cap);
      if (!nb) throw std::bad_alloc();
      (void)buf_.release();
      buf_.reset(static_cast<uint8_t*>(nb));
      cap_ = cap;
    }
    return buf_.get() + size_;
  }
  void commit(size_t n) { size_ += n; }
  // Drops the first n bytes, keeping the rest at the front.
  void consume_front(size_t n) {
    if (n >= size_) {
      size_ = 0;
      return;
    }
    if (n) std::memmove(buf_.get(), buf_.get() + n, size_ - n);
    size_ -= n;
  }
  void clear() { size_ = 0; }
  // Drops the last n bytes.
  void drop_back(size_t n) { size_ = n < size_ ? size_ - n : 0; }
  // Hands the block, cut to size(), over (to be freed with std::free),
  // leaving this empty. Null when it holds nothing.
  uint8_t* release() {
    if (size_ == 0) {
      buf_.reset();
      cap_ = 0;
      return nullptr;
    }
    if (size_ < cap_)
      if (void* p = std::realloc(buf_.get(), size_)) {
        (void)buf_.release();
        buf_.reset(static_cast<uint8_t*>(p));
      }
    size_ = cap_ = 0;
    return buf_.release();
  }

 private:
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t, Free> buf_;
  size_t size_ = 0;
  size_t cap_ = 0;
};

}  // namespace korvel

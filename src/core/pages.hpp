// Kept pages: the mappings of large buffers whose owners are gone (a result
// array its caller dropped, a reader's scratch), kept for the next large
// buffer instead of going back to the system. A fresh page costs its zeroing
// and a fault, on virtual machines a good part of reading a large log; a kept
// one costs neither, as the heap's recycled blocks cost nothing for small
// arrays. At most limit() bytes are kept, the oldest mappings let go first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel::pages {

struct Span {
  uint8_t* data = nullptr;  // null: nothing kept fits
  size_t size = 0;
};

// Which kept mapping a request takes: the largest, for a buffer that grows
// (the first to outgrow the heap is most often the one that grows on the
// most, a payload column); the smallest that holds it, for a buffer sized up
// front; or that one only when it is at most twice the size, for a reader's
// first arrays, which an estimate sizes and which are soon outgrown (handed
// a far larger block, they would leave the next large buffer fresh pages).
enum class Fit { Largest, Best, Near };

// A kept mapping of at least `size` bytes, no longer kept, chosen by `fit`:
// a loop over like logs hands each buffer back the block of its own size.
// A buffer sized up front (Best) gets `size` rounded up to whole huge pages
// when the block is larger, the rest staying kept: a read's small arrays
// would otherwise take the blocks a decode's large ones need.
// A buffer that grows takes the largest of those that buffers which grew
// held last (any block when there is none): the largest of all would
// often be the one a sized buffer of the same read needs, which then
// would get fresh pages at every read.
Span take(size_t size, Fit fit = Fit::Largest);
// Keeps the page-aligned mapping [data, data + size) or unmaps it; `held`:
// how the buffer that held it took it.
void give(uint8_t* data, size_t size, Fit held = Fit::Largest) noexcept;
// Bytes kept now.
size_t kept();
// The most bytes kept: KORVEL_KEEP_MB (megabytes; 0 keeps nothing) when set,
// else an eighth of the memory, at most 1 GiB.
size_t limit();

}  // namespace korvel::pages

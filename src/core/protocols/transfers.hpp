// Transfers: messages that travelled in several frames (J1939 transport
// protocols, NMEA 2000 fast packets, ISO-TP), reassembled. A transfers pair is
// to them what a frames pair is to frames: one record each, and their bytes
// back to back in one payload array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frames.hpp"

namespace korvel::protocols {

// Matches the NumPy dtype TRANSFER (naturally aligned fields).
struct TransferRecord {
  int64_t start = 0;  // ns: the first frame of the transfer
  int64_t stop = 0;   // ns: the last frame that belonged to it
  uint32_t can_id = 0;
  uint8_t channel = 0;
  uint8_t flags = 0;  // 0x40 extended identifier, 0x08 carried by CAN FD frames
  uint8_t protocol = 0;
  uint8_t status = 0;
  uint8_t source = 0;
  uint8_t destination = 0;
  uint8_t unused0[2] = {};  // padding named, so that records carry no stray bytes
  uint32_t size = 0;        // the announced byte count
  uint32_t received = 0;    // the bytes held
  uint8_t unused1[4] = {};
  uint64_t offset = 0;  // where they lie in the payload array
};

static_assert(sizeof(TransferRecord) == 48);
static_assert(offsetof(TransferRecord, size) == 28);
static_assert(offsetof(TransferRecord, offset) == 40);

enum Status : uint8_t { COMPLETE = 0, ABORTED = 1, GAP = 2, INTERRUPTED = 3, CUT = 4 };

enum Protocol : uint8_t {
  BAM = 1,
  CMDT = 2,
  ETP = 3,
  FAST_PACKET = 4,
  ISOTP_SINGLE = 5,
  ISOTP_MULTI = 6,
};

// One finished transfer; its record.received bytes lie at `held_at` in the
// byte store of the list that holds it.
struct Transfer {
  TransferRecord record;
  size_t first_frame = 0;  // orders transfers that start at the same time
  uint64_t held_at = 0;
};

// Finished transfers and their bytes in one store (no allocation per
// transfer: a log of short single-frame messages makes millions of them).
struct TransferList {
  std::vector<Transfer> items;
  std::vector<uint8_t> held;

  void add(const Transfer& t, const uint8_t* bytes, size_t n);
  void clear() {
    items.clear();
    held.clear();
  }
};

// Appends `n` bytes to `bytes` without ever reserving beyond `limit` bytes
// in all (the announced size: a lying announcement costs nothing until
// its bytes really come).
void append_bounded(std::vector<uint8_t>& bytes, const uint8_t* data, size_t n, size_t limit);

// Orders the transfers by start (ties by first frame) and gives each its
// offset in the payload to come; returns the payload size they need.
size_t order_transfers(TransferList& done);

// Writes the ordered transfers into `records` and `payload` (sized by
// order_transfers), then empties the list.
void lay_out_transfers(TransferList& done, TransferRecord* records, uint8_t* payload);

// Open sessions by key: slots are never freed, only reused by their key, so
// a lookup is one hash probe and a new session allocates nothing once its
// key has been seen (logs repeat the same few keys all along). Session must
// have a `bool open`.
template <class Session>
class Sessions {
 public:
  struct Slot {
    uint64_t key = 0;
    Session s;
  };

  // The open session of `key`, or null.
  Session* find(uint64_t key) {
    if (index_.empty()) return nullptr;
    const uint32_t v = index_[probe(key)];
    return v && slots_[v - 1].s.open ? &slots_[v - 1].s : nullptr;
  }

  // The session of `key` (made when new), open or not. Pointers to sessions
  // do not survive this call.
  Session& slot(uint64_t key) {
    if ((slots_.size() + 1) * 2 > index_.size()) grow();
    const size_t i = probe(key);
    if (!index_[i]) {
      slots_.push_back(Slot{key, Session{}});
      index_[i] = static_cast<uint32_t>(slots_.size());
    }
    return slots_[index_[i] - 1].s;
  }

  template <class F>
  void for_each_open(F f) {
    for (Slot& sl : slots_)
      if (sl.s.open) f(sl.s);
  }

 private:
  size_t probe(uint64_t key) const {
    const size_t mask = index_.size() - 1;
    size_t i = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
    while (index_[i] && slots_[index_[i] - 1].key != key) i = (i + 1) & mask;
    return i;
  }

  void grow() {
    std::vector<uint32_t> old = std::move(index_);
    index_.assign(old.empty() ? 16 : old.size() * 2, 0);
    for (uint32_t v : old)
      if (v) index_[probe(slots_[v - 1].key)] = v;
  }

  std::vector<uint32_t> index_;  // 1 + slot number, 0 for empty
  std::vector<Slot> slots_;
};

// A session's byte buffer kept for its key's next session, unless it grew
// large (one huge transfer should not pin its memory for the whole log).
inline void recycle(std::vector<uint8_t>& bytes) {
  if (bytes.capacity() > (64u << 10))
    std::vector<uint8_t>().swap(bytes);
  else
    bytes.clear();
}

// A frame whose payload lies outside the payload array stops a pass.
struct FrameFault {
  bool ok = true;
  size_t frame = 0;
  uint64_t offset = 0, length = 0;

  // Frame i's payload; when it lies outside, the fault is noted (an empty
  // payload array may have no address: test `ok`, not the pointer).
  const uint8_t* payload(const FrameView& frames, size_t i, uint64_t loc) {
    const uint64_t at = loc_offset(loc), count = loc_count(loc);
    if (at <= frames.chunk_size && count <= frames.chunk_size - at) return frames.chunk + at;
    ok = false;
    frame = i;
    offset = at;
    length = count;
    return nullptr;
  }
};

}  // namespace korvel::protocols

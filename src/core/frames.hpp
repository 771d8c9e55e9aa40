// Frame records as they travel through NumPy arrays, the flag bits, the
// payload locator, and the sinks that readers decode frames into. Layouts
// match the NumPy dtypes DT and DT64 byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace korvel {

#pragma pack(push, 1)
struct DT_t {
  int64_t timestamp;  // ns since the Unix epoch
  uint32_t can_id;    // 11 or 29 bits
  uint8_t is64;       // read from a CAN FD object
  uint8_t channel;
  uint8_t len;  // data length as the frame declares it
  uint8_t flags;
  uint64_t loc;  // payload offset | stored count << 48
};

struct DT64_t {
  int64_t timestamp;
  uint32_t can_id;
  uint8_t is64;
  uint8_t channel;
  uint8_t len;
  uint8_t flags;
  uint8_t data[64];
};
#pragma pack(pop)

static_assert(sizeof(DT_t) == 24);
static_assert(offsetof(DT_t, can_id) == 8);
static_assert(offsetof(DT_t, is64) == 12);
static_assert(offsetof(DT_t, channel) == 13);
static_assert(offsetof(DT_t, len) == 14);
static_assert(offsetof(DT_t, flags) == 15);
static_assert(offsetof(DT_t, loc) == 16);
static_assert(sizeof(DT64_t) == 80);
static_assert(offsetof(DT64_t, flags) == 15);
static_assert(offsetof(DT64_t, data) == 16);

// Offset of the inline payload in a DT64-like record of any data width.
constexpr size_t RECORD_DATA_OFFSET = 16;

// Flag bits of DT_t::flags.
constexpr uint8_t FLAG_ESI = 0x01;
constexpr uint8_t FLAG_BRS = 0x02;
constexpr uint8_t FLAG_RX = 0x04;
constexpr uint8_t FLAG_FD = 0x08;
constexpr uint8_t FLAG_ERROR = 0x10;
constexpr uint8_t FLAG_REMOTE = 0x20;
constexpr uint8_t FLAG_EXTENDED = 0x40;

constexpr uint64_t LOC_OFFSET_MASK = 0xFFFFFFFFFFFFull;
constexpr int LOC_COUNT_SHIFT = 48;

inline uint64_t loc_offset(uint64_t loc) { return loc & LOC_OFFSET_MASK; }
inline uint64_t loc_count(uint64_t loc) { return loc >> LOC_COUNT_SHIFT; }
inline uint64_t make_loc(uint64_t offset, uint64_t count) {
  return offset + (count << LOC_COUNT_SHIFT);
}

// CAN FD data length code -> byte count (ISO 11898-1).
constexpr int32_t CANFD_LEN[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

inline uint8_t canfd_dlc_to_len(uint8_t dlc) {
  return dlc > 15 ? 64 : static_cast<uint8_t>(CANFD_LEN[dlc]);
}

// Smallest code whose length holds `len` bytes; 15 when none does.
inline uint8_t canfd_len_to_dlc(uint32_t len) {
  if (len <= 8) return static_cast<uint8_t>(len);
  for (uint8_t code = 9; code < 15; ++code)
    if (static_cast<uint32_t>(CANFD_LEN[code]) >= len) return code;
  return 15;
}

// Where the bulk of an appended sink goes, for a copy made later.
struct BulkSlot {
  size_t at[6] = {};
};

// Waits for the bulk copies in flight (before storage they write to moves).
class CopyWaiter {
 public:
  virtual ~CopyWaiter() = default;
  virtual void wait_copies() = 0;
};

// Where objects that are not CAN frames go (LIN, FlexRay and Ethernet frames,
// the log's events; see buses/sink.hpp), when a reader is asked for them.
class ObjectSink {
 public:
  virtual ~ObjectSink() = default;
  // Set while bulk copies into this sink may be in flight: called before
  // its storage grows.
  CopyWaiter* waiter = nullptr;
  // As append(), except that the bulk bytes (records and payload) only get
  // their room, to be filled by copy_bulk() (on any thread). False, having
  // done nothing, when the room is not there without growing.
  virtual bool append_deferred(const ObjectSink&, BulkSlot&) { return false; }
  virtual void copy_bulk(const ObjectSink&, const BulkSlot&) {}
  // One whole object whose headers take `header_bytes`; `ts` as the frames'.
  virtual void object(const uint8_t* obj, uint32_t object_size, uint32_t object_type,
                      uint32_t header_bytes, int64_t ts) = 0;
  // Appends what `other` (made by fresh()) holds.
  virtual void append(const ObjectSink& other) = 0;
  virtual void clear() = 0;
  // An empty sink of the same kind, for a worker's early scan.
  virtual std::unique_ptr<ObjectSink> fresh() const = 0;
  // What is held now, and back to it (what follows is dropped).
  virtual void mark() = 0;
  virtual void rollback() = 0;
};

// A frames pair seen from native code: records walked by stride (a field
// view of a larger record is fine) and the payload array.
struct FrameView {
  const char* records = nullptr;
  size_t n = 0;
  ptrdiff_t stride = 0;
  const uint8_t* chunk = nullptr;
  size_t chunk_size = 0;
};

// Where decoded frames go. The owner supplies the storage and grows it on
// demand, so the scanner never writes past a buffer whatever the log holds.
class FrameSink {
 public:
  DT_t* records = nullptr;
  size_t record_capacity = 0;
  size_t record_count = 0;
  uint8_t* payload = nullptr;
  size_t payload_capacity = 0;
  size_t payload_size = 0;
  // Objects of other kinds, or null to walk past them.
  ObjectSink* others = nullptr;

  virtual ~FrameSink() = default;
  // Must leave record_capacity >= min_records and payload_capacity >=
  // min_payload (updating the pointers), or throw.
  virtual void grow(size_t min_records, size_t min_payload) = 0;
  // Appends frames decoded into other storage (payload offsets counting
  // from their own payload). `frames` must stay untouched until the sink
  // is done with it; owners that copy later say when that is.
  virtual void append(const FrameSink& frames);
};

// Frames in storage of their own, reused from container to container.
class LocalFrames : public FrameSink {
 public:
  void clear() {
    record_count = 0;
    payload_size = 0;
    if (others) others->clear();
  }
  void grow(size_t min_records, size_t min_payload) override;
  // Objects of other kinds go to a sink of its own like `proto`.
  void take_others_like(const ObjectSink& proto) {
    if (!own_others_) own_others_ = proto.fresh();
    others = own_others_.get();
  }

 private:
  std::unique_ptr<ObjectSink> own_others_;
  std::unique_ptr<DT_t[]> records_;
  std::unique_ptr<uint8_t[]> payload_;
};

// A sink's counts at one moment, to go back to when what follows is dropped.
struct SinkMark {
  size_t records = 0;
  size_t payload = 0;
};
inline SinkMark mark_sink(FrameSink& s) {
  if (s.others) s.others->mark();
  return SinkMark{s.record_count, s.payload_size};
}
inline void rollback_sink(FrameSink& s, const SinkMark& m) {
  s.record_count = m.records;
  s.payload_size = m.payload;
  if (s.others) s.others->rollback();
}

// Copies `frames` to `out` and their payload to `payload_out`, adding
// `rebase` to each payload offset.
void copy_frames(const FrameSink& frames, DT_t* out, uint8_t* payload_out, uint64_t rebase);

// Appends `frames` to `sink`, moving their payload offsets after the
// sink's payload.
void append_frames(const FrameSink& frames, FrameSink& sink);

// Keeps the records [from, n) timed in [start, stop) (those before `from`
// stay as they are), moving their payload down behind the kept records
// before them; `payload_size` is updated. Returns the new record count.
size_t keep_window(DT_t* records, size_t from, size_t n, uint8_t* payload, size_t& payload_size,
                   int64_t start, int64_t stop);

}  // namespace korvel

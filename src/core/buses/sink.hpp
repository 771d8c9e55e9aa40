// BusSink: what one walk of a log gives besides CAN frames. The LIN,
// Ethernet and FlexRay records with their payload bytes, the events, and the
// channel list (objects per bus and channel), each only when asked for. The
// scanner hands it every object that is not a frame it decodes; workers
// scanning ahead fill sinks of their own (fresh()), appended in file order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "buses/objects.hpp"
#include "buses/records.hpp"
#include "bytebuf.hpp"
#include "frames.hpp"

namespace korvel::buses {

struct Wanted {
  bool lin = false;
  bool ethernet = false;
  bool flexray = false;
  bool events = false;
  bool channels = false;  // the channel list
};

// Records of one type back to back, with their payload bytes.
template <class Record>
struct RecordColumn {
  ByteBuffer records;
  ByteBuffer payload;
  size_t count() const { return records.size() / sizeof(Record); }
  const Record* data() const { return reinterpret_cast<const Record*>(records.data()); }
  Record* data() { return reinterpret_cast<Record*>(records.data()); }
  void clear() {
    records.clear();
    payload.clear();
  }
  // Room for one more record, written in place by a parser and kept by
  // commit().
  Record* slot() { return reinterpret_cast<Record*>(records.reserve_more(sizeof(Record))); }
  // Keeps the record in slot() with its payload, `head` then `body` (an
  // Ethernet header put back together, then the frame); its loc and
  // timestamp are set here. The pieces come in registers: an array of them
  // built from a parser's output would be reloaded in wide loads that the
  // parser's narrow stores cannot forward, a stall per frame.
  void commit(int64_t ts, Payload body, Payload head = {}) {
    const size_t bytes = head.size + body.size;
    uint8_t* dst = payload.reserve_more(bytes);
    if (head.size) std::memcpy(dst, head.data, head.size);
    if (body.size) std::memcpy(dst + head.size, body.data, body.size);
    Record* rec = reinterpret_cast<Record*>(records.data() + records.size());
    rec->timestamp = ts;
    rec->loc = make_loc(payload.size(), bytes);
    payload.commit(bytes);
    records.commit(sizeof(Record));
  }
  // Whether `extra` more records and `bytes` more payload fit without growing.
  bool has_room(size_t extra, size_t bytes) const {
    return records.capacity() - records.size() >= extra * sizeof(Record) &&
           payload.capacity() - payload.size() >= bytes;
  }
  // Room for o's records and payload, filled later by fill_from().
  void reserve_for(const RecordColumn& o, size_t* at) {
    at[0] = records.size();
    at[1] = payload.size();
    records.commit(o.records.size());
    payload.commit(o.payload.size());
  }
  void fill_from(const RecordColumn& o, const size_t* at) {
    const size_t n = o.count();
    const uint64_t rebase = at[1];
    uint8_t* dst = records.data() + at[0];
    const Record* src = o.data();
    for (size_t i = 0; i < n; ++i) {
      Record r = src[i];
      r.loc += rebase;
      std::memcpy(dst + i * sizeof(Record), &r, sizeof(Record));
    }
    if (o.payload.size()) std::memcpy(payload.data() + at[1], o.payload.data(), o.payload.size());
  }
  void append(const RecordColumn& o) {
    const size_t n = o.count();
    if (n == 0) return;
    const uint64_t rebase = payload.size();
    Record* dst = reinterpret_cast<Record*>(records.reserve_more(n * sizeof(Record)));
    const Record* src = o.data();
    for (size_t i = 0; i < n; ++i) {
      Record r = src[i];
      r.loc += rebase;
      std::memcpy(dst + i, &r, sizeof(Record));
    }
    records.commit(n * sizeof(Record));
    if (o.payload.size()) {
      std::memcpy(payload.reserve_more(o.payload.size()), o.payload.data(), o.payload.size());
      payload.commit(o.payload.size());
    }
  }
  // Keeps the records timed in [start, stop), their payload moved down.
  void keep_window(int64_t start, int64_t stop);
  struct Mark {
    size_t records = 0, payload = 0;
  };
  Mark mark() const { return Mark{records.size(), payload.size()}; }
  void rollback(const Mark& m) {
    records.drop_back(records.size() - m.records);
    payload.drop_back(payload.size() - m.payload);
  }
};

class BusSink final : public ObjectSink {
 public:
  explicit BusSink(const Wanted& wanted) : wanted_(wanted) {}

  void object(const uint8_t* obj, uint32_t object_size, uint32_t object_type, uint32_t header_bytes,
              int64_t ts) override;
  void append(const ObjectSink& other) override;
  bool append_deferred(const ObjectSink& other, BulkSlot& slot) override;
  void copy_bulk(const ObjectSink& other, const BulkSlot& slot) override;
  void clear() override;
  std::unique_ptr<ObjectSink> fresh() const override { return std::make_unique<BusSink>(wanted_); }
  void mark() override;
  void rollback() override;

  // Everything timed outside [start, stop) dropped.
  void keep_window(int64_t start, int64_t stop);

  const Wanted& wanted() const { return wanted_; }

  RecordColumn<LinRecord> lin;
  RecordColumn<EthernetRecord> ethernet;
  RecordColumn<FlexRayRecord> flexray;
  std::vector<EventRecord> events;
  ByteBuffer text;                   // the events' strings
  std::vector<ChannelRow> channels;  // in order of first appearance
  // Objects skipped as too short for their fixed fields, by type.
  std::vector<std::pair<uint32_t, uint64_t>> skipped;

 private:
  void count(Bus bus, uint16_t channel, int64_t ts);
  // Events, text, channel rows and skip counts of `o` (all but the bulk).
  void append_small(const BusSink& o);
  // Before a record of an object of n body bytes goes to `col`: copies in
  // flight into it must end before it grows.
  template <class Record>
  void before_add(const RecordColumn<Record>& col, size_t n) {
    if (waiter && !col.has_room(1, n + sizeof(EthernetPayload::head))) waiter->wait_copies();
  }
  void skip(uint32_t type, uint64_t n = 1);
  TextRef keep_text(const Payload& p);

  Wanted wanted_;
  size_t last_row_ = 0;
  struct Saved {
    RecordColumn<LinRecord>::Mark lin;
    RecordColumn<EthernetRecord>::Mark ethernet;
    RecordColumn<FlexRayRecord>::Mark flexray;
    size_t events = 0, text = 0;
    std::vector<ChannelRow> channels;
    std::vector<std::pair<uint32_t, uint64_t>> skipped;
  } saved_;
};

}  // namespace korvel::buses

// The inner-object scan: walks the decompressed data of log containers, in
// file order, and turns every CAN, CAN FD and error frame object into a DT_t
// record plus payload bytes. An object cut by a container boundary is carried
// over (as the buffer's tail) and decoded once the next container arrives.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "blf/objects.hpp"
#include "bytebuf.hpp"
#include "frames.hpp"

namespace korvel {

enum class ScanStatus {
  Done,            // every complete object consumed; the rest is the tail
  NotFound,        // no "LOBJ" where the next object may start
  ObjectTooSmall,  // object_size smaller than its headers (plus fixed body)
};

// Frames whose stored channel does not fit the record's uint8 (the record
// holds it modulo 256), by stored channel number.
struct WideChannels {
  uint64_t frames = 0;
  std::map<uint16_t, uint64_t> counts;
  void add(uint16_t channel) {
    ++frames;
    ++counts[channel];
  }
  void merge(const WideChannels& o) {
    frames += o.frames;
    for (const auto& c : o.counts) counts[c.first] += c.second;
  }
};

struct ScanResult {
  ScanStatus status = ScanStatus::Done;
  size_t consumed = 0;       // end of the last complete object
  size_t offset = 0;         // offset in the scanned data where the fault lies
  uint32_t object_size = 0;  // for ObjectTooSmall
  uint32_t object_type = 0;
  uint32_t required = 0;  // least object_size that type and version need
  // Header versions of objects skipped as unknown, in order.
  std::vector<uint16_t> unknown_versions;
  // Frames decoded on channels above 255 (those timed in the scanner's
  // counting window).
  WideChannels wide;
};

class InnerScanner {
 public:
  // exact: timestamps in integer nanoseconds instead of double precision;
  // all_errors: CAN_ERROR and CAN_FD_ERROR_64 objects become error-frame
  // records too (by default only CAN_ERROR_EXT does).
  // frames: false leaves the frame objects to the sink's `others` too;
  // objects: the caller's sink for other objects, whose fresh() gives the
  // workers' early scans theirs.
  explicit InnerScanner(int64_t start_timestamp, bool exact = false, bool all_errors = false,
                        bool frames = true, const ObjectSink* objects = nullptr)
      : start_timestamp_(start_timestamp),
        exact_(exact),
        all_errors_(all_errors),
        frames_(frames),
        objects_(objects) {}

  // Gives `local` (a worker's own frames) a sink for other objects when the
  // caller wants them.
  void take_objects(LocalFrames& local) const {
    if (objects_) local.take_others_like(*objects_);
  }

  // Decodes every complete object of [data, data + len) into `sink`. On Done,
  // `consumed` is where the incomplete remainder (to carry over) starts.
  // Objects that start at or after `stop_at` are left for later (Done,
  // `consumed` where the walk stands).
  ScanResult scan(const uint8_t* data, size_t len, FrameSink& sink,
                  size_t stop_at = SIZE_MAX) const;

  // Frames on channels above 255 are counted only when timed in [start,
  // stop): the frames the caller keeps.
  void count_window(int64_t start, int64_t stop) {
    count_start_ = start;
    count_stop_ = stop;
  }

  // The time of the object whose (whole) headers begin at `obj`, as its
  // record would have it.
  int64_t timestamp_of(const uint8_t* obj) const;

 private:
  size_t scan_classic_run(const uint8_t* data, size_t llen, size_t pos, size_t stop_at,
                          FrameSink& sink, ScanResult& res) const;
  void note_wide(uint16_t channel, int64_t ts, ScanResult& res) const {
    if (ts >= count_start_ && ts < count_stop_) res.wide.add(channel);
  }

  int64_t start_timestamp_;
  bool exact_;
  bool all_errors_;
  bool frames_;
  const ObjectSink* objects_;
  int64_t count_start_ = INT64_MIN;
  int64_t count_stop_ = INT64_MAX;
};

// Timestamp of a record: in double precision, as the format's readers do,
// or with `exact` in integer nanoseconds (saturating at the int64 range).
inline int64_t record_timestamp(uint64_t raw, uint32_t unit_flags, int64_t start_timestamp,
                                bool exact = false) {
  if (exact) {
    const int64_t units = static_cast<int64_t>(raw);
    int64_t rel, t;
    if (__builtin_mul_overflow(units, unit_flags == 1 ? int64_t(10000) : int64_t(1), &rel) ||
        __builtin_add_overflow(rel, start_timestamp, &t))
      return (units < 0) ? INT64_MIN : INT64_MAX;
    return t;
  }
  double factor = unit_flags == 1 ? 10000.0 : 1.0;  // 1: units of 10 us
  double t = static_cast<double>(static_cast<int64_t>(raw)) * factor +
             static_cast<double>(start_timestamp);
  // Saturate instead of the undefined conversion of an out-of-range double.
  if (t >= 9.2233720368547758e18) return INT64_MAX;
  if (t <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<int64_t>(t);
}

}  // namespace korvel

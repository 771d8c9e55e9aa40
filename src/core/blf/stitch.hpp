// Containers scanned ahead of their turn, and put back in file order.
//
// Objects may straddle containers, so where the first whole object of a
// container starts is only known once the previous one has been scanned. A
// worker guesses it (the first plausible object header) and scans the rest
// of its container into frames of its own while it is still in cache. In
// file order, the straddling object is decoded from the carried tail; when
// the walk lands where the worker began, the worker's frames are appended,
// otherwise the container is scanned again in order. Either way the frames,
// the faults and their offsets are those of one scan in file order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "blf/scanner.hpp"
#include "bytebuf.hpp"

namespace korvel {

struct AheadScan {
  size_t start = NO_OBJECT;  // where the scan began in the container's data
  ScanResult result;         // offsets relative to `start`
  LocalFrames frames;        // payload offsets relative to `frames`
  void reset() {
    start = NO_OBJECT;
    result = ScanResult{};
    frames.clear();
  }
};

// Worker side: scans [data, data + len) from the first plausible object.
void scan_ahead(const InnerScanner& scanner, const uint8_t* data, size_t len, AheadScan& out);

class OrderedScan {
 public:
  // Bytes in front of each container's data where the carried tail is put,
  // so that the container itself is not copied.
  static constexpr size_t HEADROOM = 16384;

  explicit OrderedScan(const InnerScanner& scanner) : scanner_(scanner) {}

  // The next container's data, in file order. `data` must have HEADROOM
  // writable bytes in front of it. `ahead` (or null) is its scan ahead.
  // Fault offsets count from the start of the tail carried into it.
  ScanResult feed(uint8_t* data, size_t len, const AheadScan* ahead, FrameSink& sink);

  // Like feed, but takes only the object begun in the carried tail (see
  // cut_object), if any: it ends where an earlier container's objects are
  // completed from later ones. Returns with `more` true while that object
  // needs further containers.
  ScanResult finish_cut_object(uint8_t* data, size_t len, FrameSink& sink, bool& more);

  // Whether the carried tail holds the beginning of an object.
  bool cut_object() const;

  // The next feed drops the carried tail and the container's data up to
  // the first object from which the walk runs to the end of the data
  // without a fault (the first plausible header when there is none): the
  // way back into a log after an unreadable container, or into the middle
  // of a log.
  void resync() {
    resync_ = true;
    tail_.clear();
    drop_ = 0;
  }

  // The objects begun in the carried tail are decoded into nothing, in
  // this feed and later ones: they belong to containers the caller does
  // not want.
  void drop_carried() { drop_ = tail_.size(); }

  // Walks [data, data + len), data of containers the caller does not want
  // that lie before the wanted ones, from its first object that walks
  // cleanly, and carries what is cut at its end. `start_limit` bounds where
  // that first object may start. False when no such object is found.
  bool lead_in(const uint8_t* data, size_t len, size_t start_limit);

  size_t tail_size() const { return tail_.size(); }

 private:
  void keep_tail(const uint8_t* region, size_t len, size_t consumed, bool in_tail);
  // The carried tail, then the data, as one region.
  const uint8_t* join(uint8_t* data, size_t len, size_t& rlen, bool& in_tail);
  size_t clean_start(const uint8_t* data, size_t len, size_t limit);

  const InnerScanner& scanner_;
  ByteBuffer tail_;
  LocalFrames discard_;  // frames decoded only to walk past them
  bool resync_ = false;
  size_t drop_ = 0;  // objects that begin in this many tail bytes are not wanted
};

}  // namespace korvel

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
#include <vector>

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

// Where a container's data lies in the log.
struct DataOrigin {
  uint64_t container_pos = 0;  // byte offset of the container object in the file
  uint32_t object_size = 0;    // of the container object
  size_t container = 0;        // its number, from 0 in file order
};

// The carried tail is the end of one or more containers' data; a piece is
// what one of them holds of it.
struct TailPiece {
  size_t pos = 0;  // where the piece begins in the tail
  DataOrigin origin;
  uint64_t data_offset = 0;  // of that first byte in its container's data
};

// An object begun in the carried tail and not finished there.
struct CarriedObject {
  size_t tail_pos = 0;  // where it begins in the tail
  DataOrigin origin;
  uint64_t data_offset = 0;   // where that is in its container's data
  bool header_whole = false;  // its base header lies in the tail
  uint32_t declared = 0;      // object_size, when the base header is whole
  size_t present = 0;         // bytes of it in the tail
  size_t next_piece = 0;      // the first piece that begins after it (pieces() when none)
  bool unwanted = false;      // it began before the wanted containers (see drop_carried)
};

class OrderedScan {
 public:
  // Bytes in front of each container's data where the carried tail is put,
  // so that the container itself is not copied.
  static constexpr size_t HEADROOM = 16384;

  explicit OrderedScan(const InnerScanner& scanner) : scanner_(scanner) {}

  // The next container's data, in file order. `data` must have HEADROOM
  // writable bytes in front of it. `ahead` (or null) is its scan ahead.
  // Fault offsets count from the start of the tail carried into it.
  // `origin`: where the data lies in the log.
  ScanResult feed(uint8_t* data, size_t len, const AheadScan* ahead, FrameSink& sink,
                  const DataOrigin& origin = {});

  // Like feed, but takes only the object begun in the carried tail (see
  // cut_object), if any: it ends where an earlier container's objects are
  // completed from later ones. (While resyncing, every object that begins in
  // the tail, once one is confirmed there.) Returns with `more` true while
  // such an object needs further containers.
  ScanResult finish_cut_object(uint8_t* data, size_t len, FrameSink& sink, bool& more,
                               const DataOrigin& origin = {});

  // Whether the carried tail holds the beginning of an object (after a
  // fault, whether it holds bytes in which one may begin).
  bool cut_object() const;

  // After a range's last container, when the carried tail holds only an
  // object begun before the range (drop_carried): the next container's data
  // joins the tail, nothing decoded, while that object is unfinished
  // (returns true); false once it is finished or cannot be (a fault).
  // Salvage needs to know which: an object that never finishes has
  // swallowed the range's own objects.
  bool follow_unwanted(uint8_t* data, size_t len, const DataOrigin& origin);

  // The next feed drops the carried tail and the container's data up to
  // the first object from which the walk runs to the end of the data
  // without a fault (start_point; when none is known, the bytes from a
  // header the next data may confirm are kept): the way back into a log
  // after an unreadable container, or into the middle of a log.
  void resync() {
    resync_ = true;
    tail_.clear();
    pieces_.clear();
    drop_ = 0;
    range_limit_ = 0;
  }

  // The objects begun in the carried tail are decoded into nothing, in
  // this feed and later ones: they belong to containers the caller does
  // not want.
  void drop_carried() { drop_ = tail_.size(); }

  // The walk over [data, data + len) from `start`, an object known to begin
  // there: its objects decoded into `sink` (with null: into nothing, and the
  // object cut at the end is not wanted either, as after lead_in), what is
  // cut at the end carried. A fault (none is expected) resyncs.
  ScanResult lead_in_at(const uint8_t* data, size_t len, size_t start,
                        const std::vector<TailPiece>& pieces, FrameSink* sink);

  // At the end of the log, while resyncing: the bytes kept for the data that
  // never came are decided with the end of the log as their end (only the
  // objects that begin in a range's bytes when finish_cut_object was
  // waiting), decoded into `sink`; then the tail is dropped.
  ScanResult finish_resync(FrameSink& sink);

  // Decodes the whole objects that begin in the carried tail (the rest of a
  // container whose data finish_cut_object took in) and carries the rest.
  ScanResult feed_tail(FrameSink& sink);

  // The object begun in the carried tail and cut at its end: 0 when there is
  // none (or it carries no frame), 1 with its time in `ts`, 2 when its
  // headers are cut.
  int carried_time(int64_t& ts) const;

  // start_point over the carried tail.
  size_t restart_point(size_t from, size_t limit, size_t stop, bool at_end) const;

  // Whether the scan is neither resyncing nor dropping unwanted objects.
  bool plain() const { return !resync_ && drop_ == 0; }

  size_t tail_size() const { return tail_.size(); }
  const std::vector<TailPiece>& pieces() const { return pieces_; }

  // The object that the carried tail begins (after up to 7 bytes of
  // padding), if it holds a whole "LOBJ"; bytes that hold none (zero
  // padding, or a few bytes of nothing) are not one.
  bool carried_object(CarriedObject& out) const;

  // Hands out the carried tail from piece `k` on (and those pieces, their
  // positions counting from there) and drops it, as resync() does: the way
  // past an object that cannot be finished. The caller feeds the pieces
  // again, each as the container data it is.
  void take_from(size_t k, ByteBuffer& bytes, std::vector<TailPiece>& pieces);

  // Hands out the carried tail from byte `at` on, which begins an object:
  // the walk goes on there when the bytes are fed again (the first piece
  // starts at `at`). The tail is dropped, with no resync.
  void take_at(size_t at, ByteBuffer& bytes, std::vector<TailPiece>& pieces);

 private:
  void keep_tail(const uint8_t* region, size_t len, size_t consumed, bool in_tail);
  // The carried tail, then the data, as one region.
  const uint8_t* join(uint8_t* data, size_t len, size_t& rlen, bool& in_tail);
  size_t clean_start(const uint8_t* data, size_t len, size_t limit, size_t* undecided = nullptr);
  ScanResult feed_data(uint8_t* data, size_t len, const AheadScan* ahead, FrameSink& sink);
  ScanResult finish_cut_object_resync(uint8_t* data, size_t len, FrameSink& sink, bool& more,
                                      const DataOrigin& origin);
  // Walks the unwanted objects at the front of the region (those that begin
  // in its first drop_ bytes) into nothing; `head.consumed` is where the walk
  // stands. True while one of them is unfinished (drop_ then counts from
  // there; else it is 0).
  bool skip_unwanted(const uint8_t* region, size_t rlen, ScanResult& head);
  // The pieces after `len - tail_.size()` bytes of a region were dropped.
  void trim_pieces(size_t region_len);
  void add_piece(size_t pos, size_t len, const DataOrigin& origin);

  const InnerScanner& scanner_;
  ByteBuffer tail_;
  LocalFrames discard_;  // frames decoded only to walk past them
  bool resync_ = false;
  size_t drop_ = 0;         // objects that begin in this many tail bytes are not wanted
  size_t range_limit_ = 0;  // finish_cut_object waits: its object begins in this many tail bytes
  std::vector<TailPiece> pieces_;  // where the tail came from
};

}  // namespace korvel

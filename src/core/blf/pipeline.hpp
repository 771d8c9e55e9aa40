// The reader's threaded pipeline: containers inflated (and scanned early when
// a worker would otherwise idle) on the pool's threads and the calling
// thread, and the copies of early-scanned frames into the output. The walk
// in reader.cpp decides what goes in; this part only moves it along.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

#include "blf/inflate.hpp"
#include "blf/stitch.hpp"
#include "bytebuf.hpp"
#include "frames.hpp"
#include "workpool.hpp"

namespace korvel {

// Copies of scanned-ahead frames into the output. They are run by whichever
// thread gets to them first: a worker once its container is done, or the
// calling thread when it needs them finished. No thread is woken for them,
// which matters at hundreds of containers per read.
class CopyQueue {
 public:
  struct Task {
    const FrameSink* src;
    DT_t* out;
    uint8_t* payload_out;
    uint64_t rebase;
    std::atomic<bool>* pending;
    // The bulk of src's other objects, when they go too.
    ObjectSink* others = nullptr;
    BulkSlot bulk;
  };

  void push(const Task& t);
  // Runs queued copies until none is left.
  void drain();
  // Every copy finished; the queued ones are run here.
  void finish_all();
  // The copy that `pending` flags finished.
  void finish(const std::atomic<bool>& pending);

 private:
  std::mutex mu_;
  std::condition_variable done_;
  std::deque<Task> queue_;
  size_t outstanding_ = 0;
};

// A worker's scan of one container, with the flag of its pending copy.
struct AheadSlot {
  AheadScan scan;
  std::atomic<bool> copying{false};
};

// The caller's sink as the scan sees it. Frames scanned ahead are copied
// into place by whichever thread gets to them (see CopyQueue): ranges are
// handed out in file order, and every copy finishes before the caller's
// storage moves or is handed back.
class Output final : public FrameSink, public CopyWaiter {
 public:
  explicit Output(CopyQueue* copies) : copies_(copies) {}

  // Flag of the scan whose frames the next append() takes; null to copy
  // them here and now.
  std::atomic<bool>* copy_flag = nullptr;

  void attach(FrameSink& sink) {
    sink_ = &sink;
    pull();
  }

  // Hands the counts back to the caller's sink, all copies finished.
  ~Output() override {
    if (others && others->waiter == this) others->waiter = nullptr;
  }

  void release() {
    wait_copies();
    if (others && others->waiter == this) others->waiter = nullptr;
    if (sink_) push();
  }

  void grow(size_t min_records, size_t min_payload) override;
  void append(const FrameSink& frames) override;

  void wait_copies() override {
    if (copies_) copies_->finish_all();
  }

 private:
  void pull() {
    records = sink_->records;
    record_capacity = sink_->record_capacity;
    record_count = sink_->record_count;
    payload = sink_->payload;
    payload_capacity = sink_->payload_capacity;
    payload_size = sink_->payload_size;
  }
  void push() {
    sink_->record_count = record_count;
    sink_->payload_size = payload_size;
  }

  CopyQueue* copies_;
  FrameSink* sink_ = nullptr;
};

// One container on its way through inflation and the scan, in file order.
struct Job {
  // Bytes in front of `out`'s data where the scan puts the carried tail.
  static constexpr size_t HEADROOM = OrderedScan::HEADROOM;

  uint64_t object_pos = 0;
  size_t index = 0;  // of the container, from 0 in file order
  uint32_t object_size = 0;
  uint16_t method = 0;
  uint32_t uncompressed_size = 0;
  bool truncated = false;
  bool use_libdeflate = true;
  ByteBuffer stored;  // the object after its base header; only read by the thread running the job
  ByteBuffer out;     // HEADROOM bytes, then the container's data
  InflateResult result;
  // With workers: the container scanned right after inflation, while its
  // data is still in this core's cache.
  const InnerScanner* scan_ahead_with = nullptr;
  CopyQueue* copies = nullptr;  // earlier containers' copies, taken on the way
  std::unique_ptr<AheadSlot> ahead;
  bool done = false;  // guarded by the job queue's lock
  // Raised in file order, like the container's other errors (an allocation
  // failing on a worker, say).
  std::exception_ptr error;

  // `scan_now`: scan the container right away, ahead of its turn (see
  // JobQueue for when); otherwise the in-order scan writes its frames
  // straight into the output when its turn comes.
  void run(bool scan_now) noexcept;

 private:
  void run_steps(bool scan_now);
};

// Containers waiting for a thread, oldest first. The pool's workers take
// them, and so does the calling thread whenever it needs a container
// finished: with threads-1 workers plus the calling thread, every core stays
// busy without threads preempting each other or sleeping and waking per
// container.
//
// The calling thread scans every container in order, straight into the
// output. A worker scans its container ahead of its turn only when no other
// container waits for inflation: then it would otherwise go idle while the
// calling thread falls behind (many cores, or a slow source), and the early
// scan, though it costs a copy into place later, takes work off the calling
// thread.
class JobQueue {
 public:
  JobQueue(WorkPool* pool, bool always_scan_ahead)
      : pool_(pool), always_scan_ahead_(always_scan_ahead) {}
  ~JobQueue();

  void submit(Job* job);
  // Returns once `job` is done, running waiting jobs meanwhile.
  void complete(Job& job);

 private:
  void work_one();

  WorkPool* pool_;
  bool always_scan_ahead_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Job*> todo_;
  size_t posted_ = 0;  // tasks handed to the pool and not yet finished
};

}  // namespace korvel

#include "reader.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include "bytebuf.hpp"
#include "inflate.hpp"
#include "stitch.hpp"
#include "workpool.hpp"

namespace korvel {

using namespace blf;

size_t ByteSource::skip(size_t n) {
  uint8_t scratch[4096];
  size_t done = 0;
  while (done < n) {
    size_t want = std::min(sizeof scratch, n - done);
    size_t got = read(scratch, want);
    done += got;
    if (got < want) break;
  }
  return done;
}

size_t MemorySource::read(uint8_t* dst, size_t n) {
  size_t got = std::min(n, size_ - pos_);
  if (got) std::memcpy(dst, data_ + pos_, got);
  pos_ += got;
  return got;
}

size_t MemorySource::skip(size_t n) {
  size_t got = std::min(n, size_ - pos_);
  pos_ += got;
  return got;
}

namespace {

// Larger reads are split so that a corrupt size cannot make the reader
// allocate far more than the source holds.
constexpr size_t READ_CHUNK = size_t(16) << 20;

constexpr size_t HEADROOM = OrderedScan::HEADROOM;

std::string u64(uint64_t v) { return std::to_string(v); }

// A failure of the read, carried out of the loops to read()'s boundary.
struct Failure {
  ReadError error;
};

[[noreturn]] void fail(ErrorKind kind, std::string message, bool has_message = true) {
  Failure f;
  f.error.kind = kind;
  f.error.message = std::move(message);
  f.error.has_message = has_message;
  throw f;
}

[[noreturn]] void fail_format(std::string message) { fail(ErrorKind::Format, std::move(message)); }

[[noreturn]] void fail_scan(const ScanResult& r, uint64_t container_pos) {
  if (r.status == ScanStatus::NotFound) fail_format("Next log object not found.");
  fail_format("Inner log object of type " + u64(r.object_type) + " at offset " + u64(r.offset) +
              " of the data scanned after the container at byte offset " + u64(container_pos) +
              " declares object_size " + u64(r.object_size) + ", less than the " + u64(r.required) +
              " bytes its headers and body need.");
}

// The error an exception in flight stands for.
ReadError error_of(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (Failure& f) {
    return f.error;
  } catch (ExternalError&) {
    ReadError r;
    r.kind = ErrorKind::External;
    return r;
  } catch (std::bad_alloc&) {
    ReadError r;
    r.kind = ErrorKind::NoMemory;
    return r;
  }
  // Anything else is a bug of ours; let it surface.
}

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
  };

  void push(const Task& t) {
    t.pending->store(true);
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(t);
    ++outstanding_;
  }

  // Runs queued copies until none is left.
  void drain() {
    for (;;) {
      Task t;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (queue_.empty()) return;
        t = queue_.front();
        queue_.pop_front();
      }
      copy_frames(*t.src, t.out, t.payload_out, t.rebase);
      {
        std::lock_guard<std::mutex> lock(mu_);
        --outstanding_;
        t.pending->store(false);
      }
      done_.notify_all();
    }
  }

  // Every copy finished; the queued ones are run here.
  void finish_all() {
    drain();
    std::unique_lock<std::mutex> lock(mu_);
    done_.wait(lock, [this] { return outstanding_ == 0; });
  }

  // The copy that `pending` flags finished.
  void finish(const std::atomic<bool>& pending) {
    drain();
    std::unique_lock<std::mutex> lock(mu_);
    done_.wait(lock, [&pending] { return !pending.load(); });
  }

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
class Output final : public FrameSink {
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
  void release() {
    wait_copies();
    if (sink_) push();
  }

  void grow(size_t min_records, size_t min_payload) override {
    wait_copies();
    push();
    sink_->grow(min_records, min_payload);
    pull();
  }

  void append(const FrameSink& frames) override {
    if (!copies_ || !copy_flag) {
      FrameSink::append(frames);
      return;
    }
    const size_t m = frames.record_count;
    if (m == 0) return;
    if (record_count + m > record_capacity || payload_size + frames.payload_size > payload_capacity)
      grow(record_count + m, payload_size + frames.payload_size);
    copies_->push(CopyQueue::Task{&frames, records + record_count, payload + payload_size,
                                  payload_size, copy_flag});
    record_count += m;
    payload_size += frames.payload_size;
  }

  void wait_copies() {
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
  uint64_t object_pos = 0;
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
  void run(bool scan_now) noexcept {
    try {
      run_steps(scan_now);
    } catch (...) {
      error = std::current_exception();
    }
  }

 private:
  void run_steps(bool scan_now) {
    const uint8_t* src = stored.data() + sizeof(LogContainer_t);
    const size_t src_len = stored.size() - sizeof(LogContainer_t);
    if (method == ZLIB_DEFLATE) {
      result = inflate_append(src, src_len, uncompressed_size, out, truncated, use_libdeflate);
    } else {
      std::copy(src, src + src_len, out.reserve_more(src_len));
      out.commit(src_len);
    }
    if (scan_ahead_with && result.ok() && scan_now)
      scan_ahead(*scan_ahead_with, out.data() + HEADROOM, out.size() - HEADROOM, ahead->scan);
    else if (ahead)
      ahead->scan.reset();
    if (copies) copies->drain();
  }
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

  ~JobQueue() {
    // Posted tasks refer to this queue and to the jobs; the jobs nobody has
    // started are dropped.
    std::unique_lock<std::mutex> lock(mu_);
    todo_.clear();
    cv_.wait(lock, [this] { return posted_ == 0; });
  }

  void submit(Job* job) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      todo_.push_back(job);
      ++posted_;
    }
    try {
      pool_->submit([this] { work_one(); });
    } catch (...) {
      // No worker could take it (threads failed to start, say): the calling
      // thread runs it when it needs it, and nothing waits for this task.
      std::lock_guard<std::mutex> lock(mu_);
      --posted_;
    }
  }

  // Returns once `job` is done, running waiting jobs meanwhile.
  void complete(Job& job) {
    for (;;) {
      Job* next;
      {
        std::unique_lock<std::mutex> lock(mu_);
        if (job.done) return;
        if (todo_.empty()) {
          cv_.wait(lock, [&job] { return job.done; });
          return;
        }
        next = todo_.front();
        todo_.pop_front();
      }
      next->run(always_scan_ahead_);
      std::lock_guard<std::mutex> lock(mu_);
      next->done = true;
    }
  }

 private:
  void work_one() {
    Job* job = nullptr;
    bool last = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!todo_.empty()) {
        job = todo_.front();
        todo_.pop_front();
        last = todo_.empty();
      }
    }
    if (job) job->run(last || always_scan_ahead_);
    // Notified under the lock: once posted_ reaches zero the queue may go.
    std::lock_guard<std::mutex> lock(mu_);
    if (job) job->done = true;
    --posted_;
    cv_.notify_all();
  }

  WorkPool* pool_;
  bool always_scan_ahead_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Job*> todo_;
  size_t posted_ = 0;  // tasks handed to the pool and not yet finished
};

// Reads n bytes (fewer only at the end of the source) into `buf`, in
// pieces, so a lying size costs no more memory than the source holds.
size_t read_into(ByteSource& source, ByteBuffer& buf, size_t n) {
  buf.clear();
  size_t got = 0;
  while (got < n) {
    const size_t want = std::min(READ_CHUNK, n - got);
    const size_t k = source.read(buf.reserve_more(want), want);
    buf.commit(k);
    got += k;
    if (k < want) break;
  }
  return got;
}

}  // namespace

struct LogReader::Impl {
  ByteSource& source;
  NoticeSink& notices;
  ReaderOptions options;
  uint64_t pos = 0;  // bytes taken from the source
  size_t window;     // containers in flight
  size_t batch;      // containers finished per wait
  bool header_rest_skipped = false;
  uint32_t header_size = 0;
  bool ended = false;
  bool failed = false;
  bool container_failed = false;
  ByteBuffer base_bytes;

  std::deque<std::unique_ptr<Job>> pending;
  // Buffers of finished containers, for the next ones.
  struct Spare {
    ByteBuffer stored;
    ByteBuffer out;
    std::unique_ptr<AheadSlot> ahead;
  };
  std::vector<Spare> spare;
  CopyQueue copies;
  Output output;
  std::unique_ptr<InnerScanner> scanner;
  std::unique_ptr<OrderedScan> ordered;
  // Last, so that it is destroyed first: workers still running jobs use
  // the members above.
  std::unique_ptr<JobQueue> jobs;

  Impl(ByteSource& s, NoticeSink& n, const ReaderOptions& o)
      : source(s),
        notices(n),
        options(o),
        window(o.threads > 1 ? 4 * o.threads : 1),
        batch(o.threads > 1 ? 2 * o.threads : 1),
        output(o.threads > 1 ? &copies : nullptr) {
    if (options.threads > 1)
      jobs =
          std::make_unique<JobQueue>(&shared_pool(options.threads - 1), options.always_scan_ahead);
  }

  size_t take(ByteBuffer& buf, size_t n) {
    size_t got = read_into(source, buf, n);
    pos += got;
    return got;
  }
  size_t skip(size_t n) {
    size_t got = source.skip(n);
    pos += got;
    return got;
  }

  void report_truncated(uint64_t object_pos, uint64_t declared, uint64_t present) {
    Notice n{NoticeKind::Truncated};
    n.object_pos = object_pos;
    n.declared = declared;
    n.present = present;
    notices.notice(n);
  }

  // Top-level objects until the output holds `until` records or the log
  // ends.
  void read_objects(size_t until) {
    while (!ended && output.record_count < until) {
      const uint64_t object_pos = pos;
      const size_t got = take(base_bytes, sizeof(ObjHeaderBase_t));
      if (got == 0) {
        ended = true;
        break;
      }
      if (got < sizeof(ObjHeaderBase_t)) {
        ended = true;
        finish_all();
        report_truncated(object_pos, sizeof(ObjHeaderBase_t), got);
        break;
      }
      auto base = load<ObjHeaderBase_t>(base_bytes.data());
      if (load<uint32_t>(base_bytes.data()) != OBJ_SIGNATURE) fail(ErrorKind::Format, "", false);
      if (base.object_size < sizeof(ObjHeaderBase_t))
        fail_format("The log object at byte offset " + u64(object_pos) + " declares object_size " +
                    u64(base.object_size) + ", less than its 16-byte header.");

      std::unique_ptr<Job> job = new_job();
      const size_t rest = base.object_size - sizeof(ObjHeaderBase_t);
      const size_t stored = take(job->stored, rest);
      const bool truncated = stored < rest;
      if (!truncated) skip(base.object_size % 4);
      if (truncated) ended = true;

      if (base.object_type == LOG_CONTAINER) {
        if (!truncated && stored < sizeof(LogContainer_t))
          fail_format("The log container at byte offset " + u64(object_pos) +
                      " declares object_size " + u64(base.object_size) +
                      ", less than its 32 bytes of headers.");
        if (stored >= sizeof(LogContainer_t)) {
          submit(std::move(job), object_pos, base.object_size, truncated);
          continue;
        }
      }
      recycle(std::move(job));
      if (truncated) {
        finish_all();
        report_truncated(object_pos, base.object_size, sizeof(ObjHeaderBase_t) + stored);
      }
    }
  }

  // A job with buffers of a finished container whose frames have been
  // copied out, or fresh ones when none is free yet, unless that many are
  // waiting.
  std::unique_ptr<Job> new_job() {
    auto job = std::make_unique<Job>();
    auto ready = [](const Spare& sp) { return !sp.ahead || !sp.ahead->copying.load(); };
    auto it = std::find_if(spare.begin(), spare.end(), ready);
    if (it == spare.end() && spare.size() >= window) {
      it = spare.begin();
      copies.finish(it->ahead->copying);
    }
    if (it != spare.end()) {
      job->stored = std::move(it->stored);
      job->out = std::move(it->out);
      job->ahead = std::move(it->ahead);
      spare.erase(it);
    }
    return job;
  }

  void recycle(std::unique_ptr<Job> job) {
    spare.push_back(Spare{std::move(job->stored), std::move(job->out), std::move(job->ahead)});
  }

  void submit(std::unique_ptr<Job> job, uint64_t object_pos, uint32_t object_size, bool truncated) {
    auto container = load<LogContainer_t>(job->stored.data());
    job->object_pos = object_pos;
    job->object_size = object_size;
    job->method = container.compression_method;
    job->uncompressed_size = container.uncompressed_size;
    job->truncated = truncated;
    job->use_libdeflate = options.use_libdeflate;
    if (jobs) {
      if (!job->ahead) job->ahead = std::make_unique<AheadSlot>();
      job->copies = &copies;
      job->scan_ahead_with = scanner.get();
    }
    job->out.clear();
    job->out.reserve_more(HEADROOM);
    job->out.commit(HEADROOM);
    bool known = job->method == NO_COMPRESSION || job->method == ZLIB_DEFLATE;
    Job* raw = job.get();
    pending.push_back(std::move(job));
    if (!known)
      raw->done = true;
    else if (jobs)
      jobs->submit(raw);
    else
      raw->run(false);
    // Finished in batches, so that the source is read in runs.
    if (pending.size() >= window)
      for (size_t i = 0; i < batch && !pending.empty(); ++i) finish_oldest();
  }

  void finish_all() {
    while (!pending.empty()) finish_oldest();
  }

  // Takes the oldest container's data and scans it after the carried tail.
  void finish_oldest() {
    try {
      finish_oldest_steps();
    } catch (...) {
      container_failed = true;
      throw;
    }
  }

  void finish_oldest_steps() {
    std::unique_ptr<Job> job = std::move(pending.front());
    pending.pop_front();
    if (jobs) jobs->complete(*job);
    // If anything below throws, the job is freed while its frames may still
    // be queued for copying; finish that copy first.
    struct CopyGuard {
      CopyQueue& queue;
      AheadSlot* slot;
      ~CopyGuard() {
        if (slot && slot->copying.load()) queue.finish(slot->copying);
      }
    } guard{copies, job->ahead.get()};
    if (job->method != NO_COMPRESSION && job->method != ZLIB_DEFLATE) {
      Notice n{NoticeKind::UnknownCompression};
      n.value = job->method;
      notices.notice(n);
    } else {
      if (job->error) std::rethrow_exception(job->error);
      if (!job->result.ok()) fail(ErrorKind::Zlib, job->result.message);
      scan(*job);
    }
    if (job->truncated)
      report_truncated(job->object_pos, job->object_size,
                       sizeof(ObjHeaderBase_t) + job->stored.size());
    guard.slot = nullptr;  // the spare keeps it until its copy is done
    recycle(std::move(job));
  }

  void scan(Job& job) {
    output.copy_flag = job.ahead ? &job.ahead->copying : nullptr;
    ScanResult r = ordered->feed(job.out.data() + HEADROOM, job.out.size() - HEADROOM,
                                 job.ahead ? &job.ahead->scan : nullptr, output);
    output.copy_flag = nullptr;
    for (uint16_t v : r.unknown_versions) {
      Notice n{NoticeKind::UnknownVersion};
      n.value = v;
      notices.notice(n);
    }
    if (r.status != ScanStatus::Done) fail_scan(r, job.object_pos);
  }

  ReadError read(FrameSink& sink, size_t until, bool& done) {
    ReadError err;
    done = false;
    if (failed) {
      done = true;
      return err;
    }
    output.attach(sink);
    try {
      if (!header_rest_skipped) {
        header_rest_skipped = true;
        skip(header_size - sizeof(FileHeader_t));
      }
      read_objects(until);
      if (ended) finish_all();
    } catch (...) {
      failed = true;
      err = error_of(std::current_exception());
      // Containers read ahead of a failure in the source come first, as
      // they would without read-ahead; their own errors win. When the
      // failure is a container's own, those still pending lie after it and
      // a single-threaded read would never have reached them.
      if (!container_failed) {
        try {
          finish_all();
        } catch (...) {
          err = error_of(std::current_exception());
        }
      }
    }
    output.release();
    done = ended || failed;
    return err;
  }
};

LogReader::LogReader(ByteSource& source, NoticeSink& notices, const ReaderOptions& options)
    : impl_(std::make_unique<Impl>(source, notices, options)) {}

LogReader::~LogReader() = default;

uint64_t LogReader::position() const { return impl_->pos; }

ReadError LogReader::read_header(FileHeader_t& header) {
  ReadError err;
  try {
    ByteBuffer head;
    const size_t got = impl_->take(head, sizeof(FileHeader_t));
    if (got < 4 || load<uint32_t>(head.data()) != FILE_SIGNATURE)
      fail_format(
          "Unsupported file format. This tool only accepts Vector BLF (Binary Logging Format) "
          "files.");
    if (got < sizeof(FileHeader_t))
      fail_format("The file header is truncated: " + u64(got) +
                  " bytes present at byte offset 0, 72 needed.");
    header = load<FileHeader_t>(head.data());
    if (header.header_size < sizeof(FileHeader_t))
      fail_format("The file header at byte offset 0 declares header_size " +
                  u64(header.header_size) + ", less than its 72 defined bytes.");
    impl_->header_size = header.header_size;
  } catch (...) {
    impl_->failed = true;
    err = error_of(std::current_exception());
  }
  return err;
}

void LogReader::start(int64_t start_timestamp) {
  impl_->scanner = std::make_unique<InnerScanner>(start_timestamp);
  impl_->ordered = std::make_unique<OrderedScan>(*impl_->scanner);
}

ReadError LogReader::read(FrameSink& sink, size_t until, bool& done) {
  return impl_->read(sink, until, done);
}

}  // namespace korvel

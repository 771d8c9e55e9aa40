// read(file): the top-level object loop over the stream. The core scanner
// decodes frames; this layer reads the stream, inflates containers into the
// scanner's reused buffer, grows the NumPy outputs and reports.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "blf_format.hpp"
#include "calendar.hpp"
#include "common.hpp"
#include "inflate.hpp"
#include "scanner.hpp"
#include "stitch.hpp"
#include "workpool.hpp"

namespace korvel::bind {

using namespace korvel::blf;

namespace {

// Larger reads are split so that a corrupt size cannot make the stream
// allocate far more than the file holds.
constexpr size_t READ_CHUNK = size_t(16) << 20;
// The header's object count may be corrupt: the first allocation trusts it
// up to INITIAL_RECORDS_MAX records only; once the data has filled that, the
// count is plausible and the next step goes straight to it (up to
// TRUSTED_RECORDS_MAX), so a large log grows once instead of doubling
// through zero-filled resizes.
constexpr size_t INITIAL_RECORDS_MAX = size_t(1) << 16;
constexpr size_t TRUSTED_RECORDS_MAX = size_t(1) << 22;
// First guess of payload bytes per record (classic frames); later growth
// follows the ratio seen so far.
constexpr size_t INITIAL_BYTES_PER_RECORD = 8;
constexpr size_t MIN_RECORDS = 1024;

// Copies of scanned-ahead frames into the output arrays. They are run by
// whichever thread gets to them first: a worker once its container is done,
// or the main thread when it needs them finished. No thread is woken for
// them, which matters at hundreds of containers per read.
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

// Frames go straight into NumPy arrays (NumPy allocates large arrays on huge
// pages). Growing allocates a fresh array and copies the part in use, which
// touches far less than a resize that zero-fills the new part; the final
// trim is an in-place resize. With a worker pool, frames scanned ahead are
// copied into place by the workers: the main thread hands out the ranges in
// file order and waits for the copies before the arrays move or are handed
// out.
class ArraySink : public FrameSink {
 public:
  py::array index;
  py::array chunk;

  ArraySink(size_t n_records, size_t n_bytes, size_t count_hint, CopyQueue* copies)
      : index(dt_dtype(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n_records)}),
        chunk(py::dtype::of<uint8_t>(),
              std::vector<py::ssize_t>{static_cast<py::ssize_t>(n_bytes)}),
        count_hint_(std::min(count_hint, TRUSTED_RECORDS_MAX)),
        copies_(copies) {
    refresh();
  }

  ~ArraySink() override {
    // Copies in flight write into the arrays.
    wait_copies();
  }

  // Flag of the scan whose frames the next append() takes; null to copy
  // them here and now.
  std::atomic<bool>* copy_flag = nullptr;

  void grow(size_t min_records, size_t min_payload) override {
    wait_copies();
    if (min_records > record_capacity) {
      size_t cap = std::max({min_records, record_capacity * 2, MIN_RECORDS});
      if (count_hint_ > cap) cap = count_hint_;
      count_hint_ = 0;
      py::array bigger(dt_dtype(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(cap)});
      if (record_count)
        std::memcpy(bigger.mutable_data(), index.data(), record_count * sizeof(DT_t));
      index = bigger;
    }
    if (min_payload > payload_capacity) {
      // Room for the record capacity at the payload per record seen so far.
      size_t per = record_count ? (payload_size + record_count - 1) / record_count
                                : INITIAL_BYTES_PER_RECORD;
      size_t fit = per * static_cast<size_t>(index.shape(0)) + 256;
      size_t cap = std::max({min_payload, payload_capacity * 2, MIN_RECORDS * 64, fit});
      py::array bigger(py::dtype::of<uint8_t>(),
                       std::vector<py::ssize_t>{static_cast<py::ssize_t>(cap)});
      if (payload_size) std::memcpy(bigger.mutable_data(), chunk.data(), payload_size);
      chunk = bigger;
    }
    refresh();
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
    if (!copies_) return;
    py::gil_scoped_release release;
    copies_->finish_all();
  }

  void trim() {
    wait_copies();
    index.resize(std::vector<py::ssize_t>{static_cast<py::ssize_t>(record_count)}, false);
    chunk.resize(std::vector<py::ssize_t>{static_cast<py::ssize_t>(payload_size)}, false);
    refresh();
  }

 private:
  size_t count_hint_;
  CopyQueue* copies_;

  void refresh() {
    records = reinterpret_cast<DT_t*>(index.mutable_data());
    record_capacity = static_cast<size_t>(index.shape(0));
    payload = static_cast<uint8_t*>(chunk.mutable_data());
    payload_capacity = static_cast<size_t>(chunk.shape(0));
  }
};

// Bytes obtained from the stream: the bytes object itself when one read
// sufficed, else the pieces joined.
struct Piece {
  py::object holder;
  std::string joined;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

class Stream {
 public:
  explicit Stream(py::handle file) : read_(file.attr("read")) {}

  uint64_t position() const { return pos_; }

  // Up to n bytes; fewer only at the end of the stream.
  Piece read(size_t n) {
    Piece p;
    if (n <= READ_CHUNK) {
      p.holder = read_once(n);
      p.data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(p.holder.ptr()));
      p.size = static_cast<size_t>(PyBytes_GET_SIZE(p.holder.ptr()));
    } else {
      while (p.joined.size() < n) {
        size_t want = std::min(READ_CHUNK, n - p.joined.size());
        py::object b = read_once(want);
        size_t got = static_cast<size_t>(PyBytes_GET_SIZE(b.ptr()));
        p.joined.append(PyBytes_AS_STRING(b.ptr()), got);
        if (got < want) break;
      }
      p.data = reinterpret_cast<const uint8_t*>(p.joined.data());
      p.size = p.joined.size();
    }
    pos_ += p.size;
    return p;
  }

  // Reads and drops n bytes; returns how many there were.
  size_t skip(size_t n) {
    size_t done = 0;
    while (done < n) {
      size_t want = std::min(READ_CHUNK, n - done);
      py::object b = read_once(want);
      size_t got = static_cast<size_t>(PyBytes_GET_SIZE(b.ptr()));
      done += got;
      pos_ += got;
      if (got < want) break;
    }
    return done;
  }

 private:
  py::object read_once(size_t n) {
    py::object b = read_(n);
    if (b.is_none()) return py::bytes();
    if (!PyBytes_Check(b.ptr()))
      throw py::type_error(
          "file.read() must return bytes or None, not " +
          std::string(
              py::str(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(b.ptr()))).attr("__name__"))));
    return b;
  }

  py::object read_;
  uint64_t pos_ = 0;
};

std::string u64(uint64_t v) { return std::to_string(v); }

void raise_scan_error(const ScanResult& r, uint64_t container_pos) {
  if (r.status == ScanStatus::NotFound) raise_blf_error("Next log object not found.");
  raise_blf_error("Inner log object of type " + u64(r.object_type) + " at offset " + u64(r.offset) +
                  " of the data scanned after the container at byte offset " + u64(container_pos) +
                  " declares object_size " + u64(r.object_size) + ", less than the " +
                  u64(r.required) + " bytes its headers and body need.");
}

void report_truncated(uint64_t object_pos, uint64_t declared, uint64_t present) {
  print_line("load blf: log truncated at byte offset " + u64(object_pos + present) +
             ": the object at byte offset " + u64(object_pos) + " declares " + u64(declared) +
             " bytes, " + u64(present) + " are present");
}

constexpr size_t HEADROOM = OrderedScan::HEADROOM;

// One container on its way through inflation and the scan, in file order.
struct Job {
  uint64_t object_pos = 0;
  uint32_t object_size = 0;
  uint16_t method = 0;
  uint32_t uncompressed_size = 0;
  bool truncated = false;
  Piece stored;  // the object's bytes; only read by the thread that runs the job
  const uint8_t* src = nullptr;
  size_t src_len = 0;
  ByteBuffer out;  // HEADROOM bytes, then the container's data
  InflateResult result;
  // With workers: the container scanned right after inflation, while its
  // data is still in this core's cache.
  const InnerScanner* scan_ahead_with = nullptr;
  CopyQueue* copies = nullptr;  // earlier containers' copies, taken on the way
  std::unique_ptr<AheadSlot> ahead;
  bool done = false;  // guarded by the reader's job lock
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
    if (method == ZLIB_DEFLATE) {
      result = inflate_append(src, src_len, uncompressed_size, out, truncated);
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

// Tests set this to scan every container ahead of its turn, so that the
// stitching of early scans is exercised whatever the timing.
std::atomic<bool> always_scan_ahead{false};

// Containers waiting for a thread, oldest first. The pool's workers take
// them, and so does the main thread whenever it needs a container finished:
// with threads-1 workers plus the main thread, every core stays busy without
// threads preempting each other or sleeping and waking per container.
//
// The main thread scans every container in order, straight into the output.
// A worker scans its container ahead of its turn only when no other
// container waits for inflation: then it would otherwise go idle while the
// main thread falls behind (many cores, or a slow stream), and the early
// scan, though it costs a copy into place later, takes work off the main
// thread.
class JobQueue {
 public:
  explicit JobQueue(WorkPool* pool) : pool_(pool) {}

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
      // No worker could take it (threads failed to start, say): the main
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
      next->run(always_scan_ahead.load(std::memory_order_relaxed));
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
    if (job) job->run(last || always_scan_ahead.load(std::memory_order_relaxed));
    // Notified under the lock: once posted_ reaches zero the queue may go.
    std::lock_guard<std::mutex> lock(mu_);
    if (job) job->done = true;
    --posted_;
    cv_.notify_all();
  }

  WorkPool* pool_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Job*> todo_;
  size_t posted_ = 0;  // tasks handed to the pool and not yet finished
};

class Reader {
 public:
  Reader(py::object file, unsigned threads)
      : stream_(file),
        threads_(threads),
        window_(threads > 1 ? 4 * threads : 1),
        batch_(threads > 1 ? 2 * threads : 1) {
    if (threads_ > 1) jobs_ = std::make_unique<JobQueue>(&shared_pool(threads_ - 1));
  }

  ~Reader() {
    // Workers may still use job buffers; let them finish before those go.
    py::gil_scoped_release release;
    jobs_.reset();
  }

  py::tuple run() {
    double tm = now_seconds();
    Piece head = stream_.read(sizeof(FileHeader_t));
    if (head.size < 4 || load<uint32_t>(head.data) != FILE_SIGNATURE)
      raise_blf_error(
          "Unsupported file format. This tool only accepts Vector BLF (Binary Logging Format) "
          "files.");
    if (head.size < sizeof(FileHeader_t))
      raise_blf_error("The file header is truncated: " + u64(head.size) +
                      " bytes present at byte offset 0, 72 needed.");
    auto header = load<FileHeader_t>(head.data);
    if (header.header_size < sizeof(FileHeader_t))
      raise_blf_error("The file header at byte offset 0 declares header_size " +
                      u64(header.header_size) + ", less than its 72 defined bytes.");

    const uint32_t object_count = header.object_count;
    int64_t start_timestamp = systemtime_to_timestamp(header.start_timestamp);
    systemtime_to_timestamp(header.stop_timestamp);  // must convert, value unused
    stream_.skip(header.header_size - sizeof(FileHeader_t));

    size_t cap = std::min<size_t>(object_count, INITIAL_RECORDS_MAX);
    // + the scanner's copy slack
    ArraySink sink(cap, cap * INITIAL_BYTES_PER_RECORD + 256, object_count,
                   jobs_ ? &copies_ : nullptr);
    // Owned by the reader: workers still running when an error leaves
    // run() use the scanner until the destructor has waited for them.
    scanner_ = std::make_unique<InnerScanner>(start_timestamp);
    ordered_ = std::make_unique<OrderedScan>(*scanner_);

    try {
      read_objects(sink);
    } catch (...) {
      // Containers read ahead of a failure in the stream come first, as
      // they would without read-ahead; their own errors win. When the
      // failure is a container's own, those still pending lie after it and
      // a single-threaded read would never have reached them.
      if (!container_failed_)
        while (!pending_.empty()) finish_oldest(sink);
      throw;
    }
    while (!pending_.empty()) finish_oldest(sink);

    sink.trim();
    size_t idx_mem = sink.record_count * sizeof(DT_t);
    size_t chk_mem = sink.payload_size;
    print_line("load blf cost " + format_fixed2((now_seconds() - tm) * 1000) +
               "ms, obj_cnt=" + u64(object_count) + ", frm_cnt=" + u64(sink.record_count) +
               ", idx_mem=" + u64(idx_mem) + ", chk_mem=" + u64(chk_mem) +
               ", tot_mem=" + u64(idx_mem + chk_mem));
    return py::make_tuple(sink.index, sink.chunk);
  }

 private:
  void read_objects(ArraySink& sink) {
    for (bool more = true; more;) {
      const uint64_t object_pos = stream_.position();
      Piece base_bytes = stream_.read(sizeof(ObjHeaderBase_t));
      if (base_bytes.size == 0) break;
      if (base_bytes.size < sizeof(ObjHeaderBase_t)) {
        finish_all(sink);
        report_truncated(object_pos, sizeof(ObjHeaderBase_t), base_bytes.size);
        break;
      }
      auto base = load<ObjHeaderBase_t>(base_bytes.data);
      if (load<uint32_t>(base_bytes.data) != OBJ_SIGNATURE) raise_blf_error(nullptr);
      if (base.object_size < sizeof(ObjHeaderBase_t))
        raise_blf_error("The log object at byte offset " + u64(object_pos) +
                        " declares object_size " + u64(base.object_size) +
                        ", less than its 16-byte header.");

      Piece obj = stream_.read(base.object_size - sizeof(ObjHeaderBase_t));
      const bool truncated = obj.size < base.object_size - sizeof(ObjHeaderBase_t);
      if (!truncated) stream_.skip(base.object_size % 4);
      more = !truncated;

      if (base.object_type == LOG_CONTAINER) {
        if (!truncated && obj.size < sizeof(LogContainer_t))
          raise_blf_error("The log container at byte offset " + u64(object_pos) +
                          " declares object_size " + u64(base.object_size) +
                          ", less than its 32 bytes of headers.");
        if (obj.size >= sizeof(LogContainer_t)) {
          submit(object_pos, base.object_size, truncated, std::move(obj), sink);
          continue;
        }
      }
      if (truncated) {
        finish_all(sink);
        report_truncated(object_pos, base.object_size, sizeof(ObjHeaderBase_t) + obj.size);
      }
    }
  }

  void submit(uint64_t object_pos, uint32_t object_size, bool truncated, Piece&& obj,
              ArraySink& sink) {
    auto job = std::make_unique<Job>();
    auto container = load<LogContainer_t>(obj.data);
    job->object_pos = object_pos;
    job->object_size = object_size;
    job->method = container.compression_method;
    job->uncompressed_size = container.uncompressed_size;
    job->truncated = truncated;
    job->stored = std::move(obj);
    // A joined piece's pointer must be taken again after the move.
    if (!job->stored.joined.empty())
      job->stored.data = reinterpret_cast<const uint8_t*>(job->stored.joined.data());
    job->src = job->stored.data + sizeof(LogContainer_t);
    job->src_len = job->stored.size - sizeof(LogContainer_t);
    take_spare(*job);
    if (jobs_) {
      if (!job->ahead) job->ahead = std::make_unique<AheadSlot>();
      job->copies = &copies_;
      job->scan_ahead_with = scanner_.get();
    }
    job->out.clear();
    job->out.reserve_more(HEADROOM);
    job->out.commit(HEADROOM);
    bool known = job->method == NO_COMPRESSION || job->method == ZLIB_DEFLATE;
    Job* raw = job.get();
    pending_.push_back(std::move(job));
    if (!known)
      raw->done = true;
    else if (jobs_)
      jobs_->submit(raw);
    else
      raw->run(false);
    // Finished in batches, so that the stream is read in runs.
    if (pending_.size() >= window_)
      for (size_t i = 0; i < batch_; ++i) finish_oldest(sink);
  }

  void finish_all(ArraySink& sink) {
    while (!pending_.empty()) finish_oldest(sink);
  }

  // Takes the oldest container's data and scans it after the carried tail.
  void finish_oldest(ArraySink& sink) {
    try {
      finish_oldest_steps(sink);
    } catch (...) {
      container_failed_ = true;
      throw;
    }
  }

  void finish_oldest_steps(ArraySink& sink) {
    std::unique_ptr<Job> job = std::move(pending_.front());
    pending_.pop_front();
    if (jobs_) {
      py::gil_scoped_release release;
      jobs_->complete(*job);
    }
    // If anything below raises, the job is freed while its frames may still
    // be queued for copying; finish that copy first.
    struct CopyGuard {
      CopyQueue& queue;
      AheadSlot* slot;
      ~CopyGuard() {
        if (slot && slot->copying.load()) {
          py::gil_scoped_release release;
          queue.finish(slot->copying);
        }
      }
    } guard{copies_, job->ahead.get()};
    if (job->method != NO_COMPRESSION && job->method != ZLIB_DEFLATE) {
      print_line("Unknown compression method " + u64(job->method));
    } else {
      if (job->error) std::rethrow_exception(job->error);
      if (!job->result.ok()) raise_zlib_error(job->result.message);
      scan(*job, sink);
    }
    if (job->truncated)
      report_truncated(job->object_pos, job->object_size,
                       sizeof(ObjHeaderBase_t) + job->stored.size);
    spare_.push_back(Spare{std::move(job->out), std::move(job->ahead)});
    guard.slot = nullptr;  // the spare keeps it until its copy is done
  }

  // Buffers of a finished container whose frames have been copied out; a
  // fresh job's own when none is free yet, unless that many are waiting.
  void take_spare(Job& job) {
    auto ready = [](const Spare& sp) { return !sp.ahead || !sp.ahead->copying.load(); };
    auto it = std::find_if(spare_.begin(), spare_.end(), ready);
    if (it == spare_.end()) {
      if (spare_.size() < window_) return;
      it = spare_.begin();
      py::gil_scoped_release release;
      copies_.finish(it->ahead->copying);
    }
    job.out = std::move(it->out);
    job.ahead = std::move(it->ahead);
    spare_.erase(it);
  }

  void scan(Job& job, ArraySink& sink) {
    sink.copy_flag = job.ahead ? &job.ahead->copying : nullptr;
    ScanResult r = ordered_->feed(job.out.data() + HEADROOM, job.out.size() - HEADROOM,
                                  job.ahead ? &job.ahead->scan : nullptr, sink);
    sink.copy_flag = nullptr;
    for (uint16_t v : r.unknown_versions) print_line("Unknown object header version " + u64(v));
    if (r.status != ScanStatus::Done) raise_scan_error(r, job.object_pos);
  }

  Stream stream_;
  unsigned threads_;
  size_t window_;  // containers in flight
  size_t batch_;   // containers finished per wait
  std::deque<std::unique_ptr<Job>> pending_;
  // Buffers of finished containers, for the next ones.
  struct Spare {
    ByteBuffer out;
    std::unique_ptr<AheadSlot> ahead;
  };
  std::vector<Spare> spare_;
  bool container_failed_ = false;
  CopyQueue copies_;
  std::unique_ptr<InnerScanner> scanner_;
  std::unique_ptr<OrderedScan> ordered_;
  // Last, so that it is destroyed first: workers still running jobs use
  // the members above.
  std::unique_ptr<JobQueue> jobs_;
};

py::tuple read(py::object file, py::object threads) {
  Reader reader(file, thread_count(threads));
  return reader.run();
}

}  // namespace

void register_reader(py::module_& m) {
  m.def("read", &read, py::arg("file"), py::kw_only(), py::arg("threads") = py::none(),
        "Read a BLF log from a binary stream into a frames pair (index, chunk).");
  // Which inflater this build uses for complete containers.
  m.attr("INFLATER") = inflater_name();
  m.def(
      "_use_libdeflate", [](bool enabled) { return set_libdeflate_enabled(enabled); },
      py::arg("enabled"),
      "Switch libdeflate off or on (tests, benchmarks); returns the old value.");
  m.def(
      "_always_scan_ahead", [](bool enabled) { return always_scan_ahead.exchange(enabled); },
      py::arg("enabled"),
      "Make worker threads scan every container ahead of its turn (tests); returns the old "
      "value.");
}

}  // namespace korvel::bind

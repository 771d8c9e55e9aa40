#include "blf/pipeline.hpp"

#include <algorithm>

namespace korvel {

using namespace blf;

void CopyQueue::push(const Task& t) {
  t.pending->store(true);
  std::lock_guard<std::mutex> lock(mu_);
  queue_.push_back(t);
  ++outstanding_;
}

void CopyQueue::drain() {
  for (;;) {
    Task t;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (queue_.empty()) return;
      t = queue_.front();
      queue_.pop_front();
    }
    if (t.src->record_count) copy_frames(*t.src, t.out, t.payload_out, t.rebase);
    if (t.others) t.others->copy_bulk(*t.src->others, t.bulk);
    {
      std::lock_guard<std::mutex> lock(mu_);
      --outstanding_;
      t.pending->store(false);
    }
    done_.notify_all();
  }
}

void CopyQueue::finish_all() {
  drain();
  std::unique_lock<std::mutex> lock(mu_);
  done_.wait(lock, [this] { return outstanding_ == 0; });
}

void CopyQueue::finish(const std::atomic<bool>& pending) {
  drain();
  std::unique_lock<std::mutex> lock(mu_);
  done_.wait(lock, [&pending] { return !pending.load(); });
}

void Output::grow(size_t min_records, size_t min_payload) {
  wait_copies();
  push();
  sink_->grow(min_records, min_payload);
  pull();
}

void Output::append(const FrameSink& frames) {
  if (!copies_ || !copy_flag) {
    FrameSink::append(frames);
    return;
  }
  // Other objects: their records and payload bytes are copied with the
  // frames, off this thread, when there is room for them; the rest (events,
  // the channel list) is appended here, in order.
  CopyQueue::Task task{
      &frames, records + record_count, payload + payload_size, payload_size, copy_flag, nullptr,
      {}};
  if (others && frames.others) {
    others->waiter = this;
    if (others->append_deferred(*frames.others, task.bulk)) {
      task.others = others;
    } else {
      wait_copies();
      others->append(*frames.others);
    }
  }
  const size_t m = frames.record_count;
  if (m && (record_count + m > record_capacity ||
            payload_size + frames.payload_size > payload_capacity)) {
    grow(record_count + m, payload_size + frames.payload_size);
    task.out = records + record_count;
    task.payload_out = payload + payload_size;
    task.rebase = payload_size;
  }
  if (m == 0 && !task.others) return;
  copies_->push(task);
  record_count += m;
  payload_size += frames.payload_size;
}

void Job::run(bool scan_now) noexcept {
  try {
    run_steps(scan_now);
  } catch (...) {
    error = std::current_exception();
  }
}

void Job::run_steps(bool scan_now) {
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

JobQueue::~JobQueue() {
  // Posted tasks refer to this queue and to the jobs; the jobs nobody has
  // started are dropped.
  std::unique_lock<std::mutex> lock(mu_);
  todo_.clear();
  cv_.wait(lock, [this] { return posted_ == 0; });
}

void JobQueue::submit(Job* job) {
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

void JobQueue::complete(Job& job) {
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

void JobQueue::work_one() {
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

}  // namespace korvel

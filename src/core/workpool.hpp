// A small pool of native worker threads running independent jobs (container
// inflation, compression) while the caller keeps the file order.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace korvel {

class WorkPool {
 public:
  explicit WorkPool(unsigned threads) : threads_(threads) {}
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;
  ~WorkPool() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : workers_) t.join();
  }

  // Runs `job` on a worker; workers start on first use, so small inputs that
  // never need them pay nothing.
  // `urgent` jobs go ahead of those already waiting.
  std::future<void> submit(std::function<void()> job, bool urgent = false) {
    std::packaged_task<void()> task(std::move(job));
    std::future<void> done = task.get_future();
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (workers_.empty())
        for (unsigned i = 0; i < threads_; ++i) workers_.emplace_back([this] { run(); });
      if (urgent)
        queue_.push_front(std::move(task));
      else
        queue_.push_back(std::move(task));
    }
    cv_.notify_one();
    return done;
  }

 private:
  void run() {
    for (;;) {
      std::packaged_task<void()> task;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task();
    }
  }

  unsigned threads_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::packaged_task<void()>> queue_;
  std::vector<std::thread> workers_;
  bool stop_ = false;
};

// Cores this process may run on.
unsigned usable_cores();

// A process-wide pool of `threads` workers, kept for later calls so that
// reads and writes do not start threads (and warm their allocator arenas)
// each time. Pools are never torn down (their idle threads end with the
// process); a forked child gets pools of its own.
WorkPool& shared_pool(unsigned threads);

// Runs work(0) .. work(parts - 1): part 0 on the calling thread, the others
// on the shared pool of `threads` - 1 workers. Waits for all of them (their
// work may use the caller's data) and then rethrows the first failure.
template <class Work>
void run_parts(unsigned threads, size_t parts, Work&& work) {
  std::vector<std::future<void>> done;
  for (size_t p = 1; p < parts; ++p)
    done.push_back(shared_pool(threads - 1).submit([&work, p] { work(p); }));
  std::exception_ptr failure;
  try {
    if (parts) work(size_t(0));
  } catch (...) {
    failure = std::current_exception();
  }
  for (auto& f : done) try {
      f.get();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace korvel

#include "storage/worker_pool.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tarnwick {

namespace {

// How many threads answer a batch, the calling one included.
std::size_t answering_threads() {
  if (const char* forced = std::getenv("TARNWICK_WORKERS")) {
    long count = std::strtol(forced, nullptr, 10);
    if (count > 0) {
      return static_cast<std::size_t>(std::min(count, 1024L));
    }
  }
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
  }
  return std::max(std::thread::hardware_concurrency(), 1u);
}

// One batch: its positions are handed out one at a time to whichever worker asks first.
struct Job {
  const std::function<void(std::size_t)>* task;
  std::size_t count;     // guarded by the pool's mutex; cut to `next` when the batch stops
  std::size_t next = 0;  // guarded by the pool's mutex
  // Changed with the pool's mutex held; the calling thread also watches it without.
  std::atomic<std::size_t> done = 0;
  std::exception_ptr failure{};  // what the first failing position threw; guarded by the mutex
};

class ThreadPool final : public WorkerPool {
 public:
  // Starts up to `workers` threads; fewer if the system refuses more.
  explicit ThreadPool(std::size_t workers) {
    try {
      for (std::size_t i = 0; i < workers; ++i) {
        threads_.emplace_back([this] { work(); });
      }
    } catch (const std::system_error&) {
    }
  }

  std::size_t size() const override { return threads_.size() + 1; }

  bool run(std::size_t count, const std::function<void(std::size_t)>& task,
           const std::function<bool()>& interrupted) override {
    if (count == 0) {
      return true;
    }
    Job job{&task, count};
    std::unique_lock guard(mutex_);
    jobs_.push_back(&job);
    queued_.store(jobs_.size(), std::memory_order_release);
    work_ready_.notify_all();
    bool asking = true;
    // Asks interrupted() with the pool unlocked; once it says yes, nothing more is handed out
    // and the job ends with the positions under way.
    auto look = [&] {
      guard.unlock();
      asking = !interrupted();
      guard.lock();
      if (!asking) {
        stop_handing_out(job);
      }
    };
    // The calling thread answers positions too: it would only sleep otherwise, and a batch
    // then never runs slower than the same queries asked one by one.
    auto next_look = std::chrono::steady_clock::now() + WAIT_SLICE;
    while (job.next < job.count) {
      const std::size_t position = take(job);
      perform(job, position, guard);
      ++job.done;
      if (asking && std::chrono::steady_clock::now() >= next_look) {
        look();
        next_look = std::chrono::steady_clock::now() + WAIT_SLICE;
      }
    }
    // The last positions under way often end within microseconds, sooner than a sleeping
    // caller would wake. Only this thread changes job.count.
    guard.unlock();
    watch_briefly([&] { return job.done.load(std::memory_order_acquire) == job.count; });
    guard.lock();
    while (!job_done_.wait_for(guard, WAIT_SLICE, [&] { return job.done == job.count; })) {
      if (asking) {
        look();
      }
    }
    if (job.failure) {
      std::rethrow_exception(job.failure);
    }
    return job.count == count;
  }

 private:
  // The job's next position; a job with nothing left to hand out leaves the queue but stays
  // alive until its positions are done. Called with the mutex held.
  std::size_t take(Job& job) {
    const std::size_t position = job.next++;
    if (job.next == job.count) {
      unqueue(job);
    }
    return position;
  }

  // Runs one position with the mutex unlocked. Should it throw, the first exception is kept
  // for the calling thread and no more positions are handed out. Called and returns with
  // the mutex held.
  void perform(Job& job, std::size_t position, std::unique_lock<std::mutex>& guard) {
    guard.unlock();
    std::exception_ptr thrown;
    try {
      (*job.task)(position);
    } catch (...) {
      thrown = std::current_exception();
    }
    guard.lock();
    if (thrown) {
      if (!job.failure) {
        job.failure = thrown;
      }
      stop_handing_out(job);
    }
  }

  // Leaves out the positions not yet handed out. Called with the mutex held.
  void stop_handing_out(Job& job) {
    if (job.next < job.count) {
      unqueue(job);
      job.count = job.next;
    }
  }

  // Takes the job off the queue. Called with the mutex held.
  void unqueue(Job& job) {
    jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
    queued_.store(jobs_.size(), std::memory_order_release);
  }

  void work() {
    std::unique_lock guard(mutex_);
    for (;;) {
      if (jobs_.empty()) {
        guard.unlock();
        watch_briefly([this] { return queued_.load(std::memory_order_acquire) != 0; });
        guard.lock();
      }
      work_ready_.wait(guard, [&] { return !jobs_.empty(); });
      Job* job = jobs_.front();
      const std::size_t position = take(*job);
      perform(*job, position, guard);
      if (++job->done == job->count) {
        job_done_.notify_all();
      }
    }
  }

  // Watches for `ready` for a short while before a thread goes to sleep: a thread woken from
  // sleep takes tens of microseconds to start, longer than a small job such as one delete's
  // repairs, which callers often send one after another.
  template <class Ready>
  static void watch_briefly(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + SPIN_TIME;
    while (!ready() && std::chrono::steady_clock::now() < until) {
      for (int i = 0; i < 32; ++i) {
        __builtin_ia32_pause();
      }
    }
  }

  static constexpr std::chrono::microseconds SPIN_TIME{300};

  std::mutex mutex_;
  std::atomic<std::size_t> queued_{0};  // jobs_.size(), read without the mutex
  std::condition_variable work_ready_;
  std::condition_variable job_done_;
  std::deque<Job*> jobs_;  // jobs with positions still to hand out, oldest first
  std::vector<std::thread> threads_;
};

}  // namespace

WorkerPool* WorkerPool::instance() {
  static std::mutex creation;
  // Never destroyed: the workers live until the process ends.
  static ThreadPool* pool = nullptr;
  std::lock_guard guard(creation);
  if (pool == nullptr) {
    const std::size_t workers = answering_threads() - 1;
    auto started = std::make_unique<ThreadPool>(workers);
    if (workers != 0 && started->size() == 1) {
      return nullptr;
    }
    pool = started.release();
  }
  return pool;
}

}  // namespace tarnwick

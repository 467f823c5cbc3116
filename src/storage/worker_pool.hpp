// The process-wide pool of worker threads that answers batch searches.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace tarnwick {

class WorkerPool {
 public:
  // How long the calling thread of run() waits between two calls of its `interrupted` test.
  static constexpr std::chrono::milliseconds WAIT_SLICE{50};

  // The pool, started on first use. The calling thread of run() answers positions too, so
  // the pool starts one thread fewer than the processors the process may use: one thread per
  // processor answers in all (TARNWICK_WORKERS overrides that count; 1 leaves the caller
  // alone). Null if worker threads were wanted and none could be started.
  static WorkerPool* instance();

  // How many threads answer the positions of one run(): the workers and the calling thread.
  virtual std::size_t size() const = 0;

  // Calls task(i) for every i < count on the workers; returns once all calls are done. When
  // a task throws, positions not yet begun are left out, and once the ones under way are
  // done run throws the first exception again.
  void run(std::size_t count, const std::function<void(std::size_t)>& task) {
    run(count, task, [] { return false; });
  }
  // The same, asking interrupted() on the calling thread every WAIT_SLICE of waiting, with
  // no pool lock held. Once it says yes, positions not yet begun are left out and run returns
  // when the ones under way are done. Returns true when every position ran.
  virtual bool run(std::size_t count, const std::function<void(std::size_t)>& task,
                   const std::function<bool()>& interrupted) = 0;

 protected:
  ~WorkerPool() = default;
};

}  // namespace tarnwick

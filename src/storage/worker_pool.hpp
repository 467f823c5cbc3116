// The process-wide pool of worker threads that answers batch searches.
#pragma once

#include <cstddef>
#include <functional>

namespace tarnwick {

class WorkerPool {
 public:
  // The pool, started on first use with one worker per processor the process may use
  // (TARNWICK_WORKERS overrides the count). Null if no worker thread could be started.
  static WorkerPool* instance();

  // Calls task(i) for every i < count on the workers; returns once all calls are done.
  // Tasks must not throw.
  virtual void run(std::size_t count, const std::function<void(std::size_t)>& task) = 0;

 protected:
  ~WorkerPool() = default;
};

}  // namespace tarnwick

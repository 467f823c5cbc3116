// Long store operations (save, load) that Ctrl-C can stop: the work runs on a thread of its
// own while the calling thread waits detached, looking at the interpreter's signals every
// WorkerPool::WAIT_SLICE. The calling thread never holds a store lock, so it may attach at
// any time.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "bindings/detached.hpp"
#include "storage/cancel_token.hpp"
#include "storage/worker_pool.hpp"

namespace tarnwick::bindings {

// How an interruptible operation ended.
struct Interruptible {
  std::optional<std::string> failure;  // the operation's own result
  bool interrupted = false;            // a signal handler raised while it ran
  bool cancelled = false;              // ... and the operation stopped without effect
};

// Runs operation(token) to its end, on another thread. Called attached; returns attached.
// When a signal handler raises meanwhile, the token is cancelled and the wait goes on until
// the operation has stopped, so nothing it uses is freed under it.
inline Interruptible run_interruptible(
    const std::function<std::optional<std::string>(CancelToken&)>& operation) {
  Interruptible outcome;
  CancelToken token;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  Detached guard;
  std::thread worker;
  try {
    worker = std::thread([&] {
      std::optional<std::string> failure = operation(token);
      std::lock_guard lock(mutex);
      outcome.failure = std::move(failure);
      done = true;
      finished.notify_one();
    });
  } catch (const std::system_error&) {
    // No thread to be had: the work runs here, without a way to stop it.
    outcome.failure = operation(token);
    return outcome;
  }
  std::unique_lock lock(mutex);
  while (!finished.wait_for(lock, WorkerPool::WAIT_SLICE, [&] { return done; })) {
    if (outcome.interrupted) {
      continue;
    }
    lock.unlock();
    if (guard.signal_raised()) {
      outcome.interrupted = true;
      outcome.cancelled = token.cancel();
    }
    lock.lock();
  }
  lock.unlock();
  worker.join();
  return outcome;
}

}  // namespace tarnwick::bindings

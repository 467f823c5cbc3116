// Long store operations watched from the calling thread: the work runs on a thread of its own
// while the calling thread waits detached and, every WorkerPool::WAIT_SLICE, attaches (holding
// no store lock) to look: at progress (upsert_many) or at the interpreter's signals (save and
// load, through run_interruptible).
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include "bindings/detached.hpp"
#include "storage/worker_pool.hpp"

namespace tarnwick::bindings {

// Runs operation() to its end on another thread. Called attached; returns attached. Between
// waits, look() runs attached; once it returns false (with an exception set) it is not
// called again, and the exception stays set for the caller after the operation has ended.
// What operation() throws (std::bad_alloc, mostly) is thrown again here, once it has ended.
template <typename Result>
Result run_watched(const std::function<Result()>& operation, const std::function<bool()>& look) {
  Result result{};
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  Detached guard;
  std::thread worker;
  try {
    worker = std::thread([&] {
      Result outcome{};
      std::exception_ptr thrown;
      try {
        outcome = operation();
      } catch (...) {
        thrown = std::current_exception();
      }
      std::lock_guard lock(mutex);
      result = std::move(outcome);
      failure = thrown;
      done = true;
      finished.notify_one();
    });
  } catch (const std::system_error&) {
    return operation();  // no thread to be had: the work runs here, unwatched
  }
  bool looking = true;
  std::unique_lock lock(mutex);
  while (!finished.wait_for(lock, WorkerPool::WAIT_SLICE, [&] { return done; })) {
    if (looking) {
      lock.unlock();
      looking = guard.attached(look);
      lock.lock();
    }
  }
  lock.unlock();
  worker.join();
  if (failure) {
    std::rethrow_exception(failure);
  }
  return result;
}

}  // namespace tarnwick::bindings

// Long store operations (save, load) that Ctrl-C can stop: the work runs on a thread of its
// own while the calling thread waits detached, looking at the interpreter's signals every
// WorkerPool::WAIT_SLICE. The calling thread never holds a store lock, so it may attach at
// any time.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "bindings/watched.hpp"
#include "storage/cancel_token.hpp"

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
  outcome.failure = run_watched<std::optional<std::string>>(
      [&] { return operation(token); },
      [&] {
        if (PyErr_CheckSignals() == 0) {
          return true;
        }
        outcome.interrupted = true;
        outcome.cancelled = token.cancel();
        return false;
      });
  return outcome;
}

}  // namespace tarnwick::bindings

// Ends the test process when a test hangs: a call that never returns would otherwise stall the
// whole suite without saying where. The limit is minutes, far beyond any slow machine or
// sanitizer; it guards against hangs only and never measures speed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace tarnwick {

class Watchdog {
 public:
  explicit Watchdog(std::string what, std::chrono::seconds limit = std::chrono::seconds(300))
      : thread_([this, what = std::move(what), limit] {
          std::unique_lock guard(mutex_);
          if (!stopped_.wait_for(guard, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: %s did not finish within %lld s; stuck\n", what.c_str(),
                         static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}

  ~Watchdog() {
    {
      std::lock_guard guard(mutex_);
      done_ = true;
    }
    stopped_.notify_one();
    thread_.join();
  }

  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool done_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace tarnwick
